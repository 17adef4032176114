// DSA, curve arithmetic and ECDSA tests: signatures made here verify with
// openssl and openssl's verify here, nonces follow RFC 6979 and differ per
// hash, and out-of-range signatures and degenerate point sums are refused.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "digest.h"
#include "dsa.h"
#include "ecc.h"
#include "openssl_peer.h"

using namespace VekTls;
using namespace VekTlsTest;

namespace {

const std::string message = "a message to be signed";

digest_ctx digest(const std::string& name, const std::string& text = message) {
  digest_ctx context;
  (name == "sha1" ? new_sha1_digest : new_sha256_digest)(&context);
  update_digest(&context, reinterpret_cast<const u8*>(text.data()), int(text.size()));
  finalize_digest(&context);
  return context;
}

// A curve with its private key d and public point Q from an ECPrivateKey
// (version, d, [0] curve, [1] 00 04 x y).
struct ec_key {
  elliptic_curve curve{};
  ec_point Q{};
  huge d{};
  ec_key(const char* name, std::vector<std::string> fields) {
    EXPECT_EQ(get_named_curve(name, &curve), 0);
    fields.resize(4, std::string(8 * curve.p.size, '0'));
    std::string point = fields[3].substr(fields[3].size() - 4 * curve.p.size);
    d = huge_from_hex(fields[1]);
    Q = ec_point{huge_from_hex(point.substr(0, point.size() / 2)), huge_from_hex(point.substr(point.size() / 2))};
  }
  ~ec_key() {
    free_elliptic_curve(&curve);
    for (huge* number : {&Q.x, &Q.y, &d}) huge_free(number);
  }
};

std::string point_hex(const ec_point& point) { return huge_hex(point.x) + "," + huge_hex(point.y); }

}  // namespace

TEST(Signatures, InteroperateWithOpensslAndRefuseValuesOutsideTheOrder) {
  ScratchDir dir;
  write_bytes(dir.file("msg"), from_text(message));
  run(dir, "openssl genpkey -genparam -algorithm DSA -pkeyopt dsa_paramgen_bits:1024 -pkeyopt dsa_paramgen_q_bits:160 "
           "-out dp.pem && openssl genpkey -paramfile dp.pem -out dsa.pem && openssl pkey -in dsa.pem -outform DER "
           "-out dsa.der && openssl pkey -in dsa.pem -pubout -out dsapub.pem");
  for (std::string c : {"prime192v1", "prime256v1"}) {
    run(dir, "openssl ecparam -genkey -noout -name " + c + " -out " + c + ".pem && openssl ec -outform DER -in " + c +
                 ".pem -out " + c + ".der && openssl ec -pubout -in " + c + ".pem -out " + c + "pub.pem");
  }
  std::vector<std::string> fields = sequence_integers(read_bytes(dir.file("dsa.der")));  // 0, p, q, g, y, x
  fields.resize(6, "00");
  dsa_params params{huge_from_hex(fields[3]), huge_from_hex(fields[1]), huge_from_hex(fields[2])};
  huge y = huge_from_hex(fields[4]), x = huge_from_hex(fields[5]);
  ec_key p192("prime192v1", sequence_integers(read_bytes(dir.file("prime192v1.der"))));
  ec_key p256("prime256v1", sequence_integers(read_bytes(dir.file("prime256v1.der"))));
  typedef std::function<int(const digest_ctx&, dsa_signature*)> operation;
  operation dsa_signer = [&](const digest_ctx& h, dsa_signature* s) { return dsa_sign(&params, &x, h.hash, h.hash_len, s), 0; };
  operation dsa_verifier = [&](const digest_ctx& h, dsa_signature* s) { return dsa_verify(&params, &y, h.hash, h.hash_len, s); };
  auto ec_signer = [](ec_key& k) -> operation {
    return [&k](const digest_ctx& h, dsa_signature* s) { return ecdsa_sign(&k.curve, &k.d, h.hash, h.hash_len, s), 0; };
  };
  auto ec_verifier = [](ec_key& k) -> operation {
    return [&k](const digest_ctx& h, dsa_signature* s) { return ecdsa_verify(&k.curve, &k.Q, h.hash, h.hash_len, s); };
  };
  // SHA-1 and SHA-256 over DSA's 20-byte q: the whole hash, then its first 20 bytes.
  const std::vector<std::tuple<std::string, std::string, operation, operation, const huge*>> schemes = {
      {"dsa", "sha1", dsa_signer, dsa_verifier, &params.q},
      {"dsa", "sha256", dsa_signer, dsa_verifier, &params.q},
      {"prime192v1", "sha256", ec_signer(p192), ec_verifier(p192), &p192.curve.n},
      {"prime256v1", "sha256", ec_signer(p256), ec_verifier(p256), &p256.curve.n},
  };
  for (const auto& [key, digest_name, sign, verify, order] : schemes) {
    SCOPED_TRACE(key + " " + digest_name);
    digest_ctx hash = digest(digest_name), other_hash = digest(digest_name, message + ".");
    dsa_signature ours{}, other{}, theirs{};
    sign(hash, &ours);
    write_bytes(dir.file("sig"), der_signature(ours.r, ours.s));
    EXPECT_EQ(run(dir, "openssl dgst -" + digest_name + " -verify " + key + "pub.pem -signature sig msg"), "Verified OK\n");
    sign(other_hash, &other);
    EXPECT_NE(huge_hex(other.r), huge_hex(ours.r)) << "a nonce shared by two hashes";
    run(dir, "openssl dgst -" + digest_name + " -sign " + key + ".pem -out sig msg");
    std::vector<std::string> rs = sequence_integers(read_bytes(dir.file("sig")));
    rs.resize(2, "00");
    theirs = dsa_signature{huge_from_hex(rs[0]), huge_from_hex(rs[1])};
    EXPECT_EQ(verify(hash, &theirs), 1);
    EXPECT_EQ(verify(other_hash, &theirs), 0);
    // r or s replaced by 0 or by the order.
    for (const std::string& bad : {std::string("00"), huge_hex(*order)}) {
      for (int which = 0; which < 2; which++) {
        dsa_signature changed{huge_from_hex(which ? huge_hex(ours.r) : bad), huge_from_hex(which ? bad : huge_hex(ours.s))};
        EXPECT_EQ(verify(hash, &changed), 0) << bad << " as " << (which ? "s" : "r");
        for (huge* number : {&changed.r, &changed.s}) huge_free(number);
      }
    }
    for (huge* number : {&ours.r, &ours.s, &other.r, &other.s, &theirs.r, &theirs.s}) huge_free(number);
  }
  for (huge* number : {&params.g, &params.p, &params.q, &y, &x}) huge_free(number);
}

TEST(EllipticCurve, PointSumsHandleDoublingOppositesAndInfinity) {
  ec_key key("prime256v1", {"", "01"});
  elliptic_curve& curve = key.curve;
  const std::string G = point_hex(curve.G);
  auto copy_of_g = [&] { return ec_point{huge_from_hex(huge_hex(curve.G.x)), huge_from_hex(huge_hex(curve.G.y))}; };
  // k * G as its infinity flag and the point.
  auto times = [&](const std::string& k_hex) {
    ec_point point = copy_of_g();
    huge k = huge_from_hex(k_hex);
    std::string text = std::to_string(multiply_point(&point, &k, &curve.a, &curve.p));
    text += " " + point_hex(point);
    for (huge* number : {&point.x, &point.y, &k}) huge_free(number);
    return text;
  };
  ec_point sum = copy_of_g(), opposite = copy_of_g(), kept = copy_of_g();
  EXPECT_EQ(add_points(&sum, &curve.G, &curve.p), 0);  // equal points: doubling
  EXPECT_EQ("0 " + point_hex(sum), times("02"));
  EXPECT_EQ(add_points(&sum, &curve.G, &curve.p), 0);
  EXPECT_EQ("0 " + point_hex(sum), times("03"));
  opposite.y.sign = 1;  // -G = (x, -y)
  EXPECT_EQ(add_points(&kept, &opposite, &curve.p), 1);
  EXPECT_EQ(point_hex(kept), G) << "left as it was";
  EXPECT_EQ(times("00"), "1 " + G);
  EXPECT_EQ(times(huge_hex(curve.n)), "1 " + G);
  EXPECT_EQ(times("01"), "0 " + G);
  for (huge* number : {&sum.x, &sum.y, &opposite.x, &opposite.y, &kept.x, &kept.y}) huge_free(number);
  elliptic_curve untouched{};
  EXPECT_EQ(get_named_curve("P-256", &untouched), 1);
  EXPECT_EQ(untouched.p.rep, nullptr);
}

TEST(EllipticCurve, EcdsaNonceFollowsRfc6979) {
  // RFC 6979 A.2.5: P-256, SHA-256, message "sample".
  ec_key key("secp256r1", {"", "C9AFA9D845BA75166B5C215767B1D6934E50C3DB36E89B127B8A622B120F6721"});
  digest_ctx hash = digest("sha256", "sample");
  dsa_signature signature{};
  ecdsa_sign(&key.curve, &key.d, hash.hash, hash.hash_len, &signature);
  EXPECT_EQ(huge_hex(signature.r), "EFD48B2AACB6A8FD1140DD9CD45E81D69D2C877B56AAF991C34D0EA84EAF3716");
  EXPECT_EQ(huge_hex(signature.s), "F7CB1C942D657C41D436C7A1B6E29F65F3E900DBB9AFF4064DC4AB2F843ACDA8");
  huge_free(&signature.r);
  huge_free(&signature.s);
}
