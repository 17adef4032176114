// DSA, curve arithmetic and ECDSA tests: signatures made here verify with
// openssl and openssl's verify here, nonces are deterministic per hash, and
// out-of-range signatures and degenerate point sums are refused.
#include <gtest/gtest.h>

#include <cctype>
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

class Signatures : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = new ScratchDir;
    write_bytes(dir->file("msg"), from_text(message));
    run(*dir, "openssl genpkey -genparam -algorithm DSA -pkeyopt dsa_paramgen_bits:1024 -pkeyopt "
              "dsa_paramgen_q_bits:160 -out dp.pem && openssl genpkey -paramfile dp.pem -out dsa.pem && "
              "openssl pkey -in dsa.pem -outform DER -out dsa.der && openssl pkey -in dsa.pem -pubout -out dsapub.pem");
    for (std::string curve : {"prime192v1", "prime256v1"}) {
      run(*dir, "openssl ecparam -genkey -name " + curve + " -noout -out " + curve + ".pem && openssl ec -in " + curve +
                    ".pem -outform DER -out " + curve + ".der && openssl ec -in " + curve + ".pem -pubout -out " +
                    curve + "pub.pem");
    }
  }
  static void TearDownTestSuite() { delete dir; }

  // Hash words of the message.
  static digest_ctx digest(const std::string& name, const std::string& text = message) {
    digest_ctx context;
    (name == "sha1" ? new_sha1_digest : new_sha256_digest)(&context);
    update_digest(&context, reinterpret_cast<const u8*>(text.data()), int(text.size()));
    finalize_digest(&context);
    return context;
  }
  // Verifies `signature` over the message with openssl.
  static bool openssl_verifies(const std::string& digest_name, const std::string& public_pem, const std::vector<u8>& der) {
    write_bytes(dir->file("sig"), der);
    return run(*dir, "openssl dgst -" + digest_name + " -verify " + public_pem + " -signature sig msg") == "Verified OK\n";
  }
  // r and s of an openssl signature over the message.
  static dsa_signature openssl_sign(const std::string& digest_name, const std::string& private_pem) {
    run(*dir, "openssl dgst -" + digest_name + " -sign " + private_pem + " -out osig msg");
    std::vector<std::string> integers = sequence_integers(read_bytes(dir->file("osig")));
    EXPECT_EQ(integers.size(), 2u);
    return dsa_signature{huge_from_hex(integers.at(0)), huge_from_hex(integers.at(1))};
  }

  static ScratchDir* dir;
};

ScratchDir* Signatures::dir = nullptr;

void free_signature(dsa_signature* signature) {
  huge_free(&signature->r);
  huge_free(&signature->s);
}

struct dsa_key {
  dsa_params params;
  huge y, x;
  explicit dsa_key(const std::vector<std::string>& fields)  // 0, p, q, g, y, x
      : params{huge_from_hex(fields.at(3)), huge_from_hex(fields.at(1)), huge_from_hex(fields.at(2))},
        y(huge_from_hex(fields.at(4))),
        x(huge_from_hex(fields.at(5))) {}
  ~dsa_key() {
    for (huge* number : {&params.g, &params.p, &params.q, &y, &x}) huge_free(number);
  }
};

struct ec_key {
  elliptic_curve curve{};
  ec_point Q{};
  huge d{};
  ec_key(const char* name, const std::vector<std::string>& fields) {  // 1, d, [0] curve, [1] 00 04 x y
    EXPECT_EQ(get_named_curve(name, &curve), 0);
    d = huge_from_hex(fields.at(1));
    const std::string& point = fields.at(3);
    size_t half = 2 * curve.p.size;
    Q.x = huge_from_hex(point.substr(point.size() - 2 * half, half));
    Q.y = huge_from_hex(point.substr(point.size() - half));
  }
  ~ec_key() {
    free_elliptic_curve(&curve);
    for (huge* number : {&Q.x, &Q.y, &d}) huge_free(number);
  }
};

std::string point_hex(const ec_point& point) { return huge_hex(point.x) + "," + huge_hex(point.y); }

}  // namespace

TEST_F(Signatures, DsaInteroperatesWithOpensslAndIsDeterministicPerHash) {
  dsa_key key(sequence_integers(read_bytes(dir->file("dsa.der"))));
  for (std::string name : {"sha1", "sha256"}) {  // 20 and 32 hash bytes over a 20-byte q
    digest_ctx hash = digest(name);
    dsa_signature ours{}, again{}, other{};
    dsa_sign(&key.params, &key.x, hash.hash, hash.hash_len, &ours);
    EXPECT_TRUE(openssl_verifies(name, "dsapub.pem", der_signature(ours.r, ours.s))) << name;
    dsa_sign(&key.params, &key.x, hash.hash, hash.hash_len, &again);
    EXPECT_EQ(huge_hex(again.r) + huge_hex(again.s), huge_hex(ours.r) + huge_hex(ours.s));
    digest_ctx other_hash = digest(name, message + ".");
    dsa_sign(&key.params, &key.x, other_hash.hash, other_hash.hash_len, &other);
    EXPECT_NE(huge_hex(other.r), huge_hex(ours.r)) << "a nonce shared by two hashes";
    dsa_signature theirs = openssl_sign(name, "dsa.pem");
    EXPECT_EQ(dsa_verify(&key.params, &key.y, hash.hash, hash.hash_len, &theirs), 1) << name;
    reinterpret_cast<u8*>(hash.hash)[19] ^= 1;  // inside the bytes that q's length takes
    EXPECT_EQ(dsa_verify(&key.params, &key.y, hash.hash, hash.hash_len, &theirs), 0) << name;
    for (dsa_signature* signature : {&ours, &again, &other, &theirs}) free_signature(signature);
  }
}

TEST_F(Signatures, EcdsaInteroperatesWithOpensslOnBothCurves) {
  for (const char* name : {"prime192v1", "prime256v1"}) {
    ec_key key(name, sequence_integers(read_bytes(dir->file(std::string(name) + ".der"))));
    digest_ctx hash = digest("sha256");
    dsa_signature ours{}, other{};  // the same hash signing alike is shown by the RFC 6979 vector
    ecdsa_sign(&key.curve, &key.d, hash.hash, hash.hash_len, &ours);
    EXPECT_TRUE(openssl_verifies("sha256", std::string(name) + "pub.pem", der_signature(ours.r, ours.s))) << name;
    digest_ctx other_hash = digest("sha256", message + ".");
    ecdsa_sign(&key.curve, &key.d, other_hash.hash, other_hash.hash_len, &other);
    EXPECT_NE(huge_hex(other.r), huge_hex(ours.r)) << "a nonce shared by two hashes";
    dsa_signature theirs = openssl_sign("sha256", std::string(name) + ".pem");
    EXPECT_EQ(ecdsa_verify(&key.curve, &key.Q, hash.hash, hash.hash_len, &theirs), 1) << name;
    reinterpret_cast<u8*>(hash.hash)[0] ^= 1;
    EXPECT_EQ(ecdsa_verify(&key.curve, &key.Q, hash.hash, hash.hash_len, &theirs), 0) << name;
    for (dsa_signature* signature : {&ours, &other, &theirs}) free_signature(signature);
  }
}

TEST_F(Signatures, SignatureValuesOutsideOneToOrderAreRefused) {
  dsa_key dsa(sequence_integers(read_bytes(dir->file("dsa.der"))));
  ec_key ec("prime256v1", sequence_integers(read_bytes(dir->file("prime256v1.der"))));
  digest_ctx hash = digest("sha256");
  dsa_signature dsa_good{}, ec_good{};
  dsa_sign(&dsa.params, &dsa.x, hash.hash, hash.hash_len, &dsa_good);
  ecdsa_sign(&ec.curve, &ec.d, hash.hash, hash.hash_len, &ec_good);
  const std::string q = huge_hex(dsa.params.q), n = huge_hex(ec.curve.n);
  // (replace r, replace s, r, s); an empty text keeps the good value.
  const std::vector<std::tuple<std::string, std::string>> dsa_cases = {{"00", ""}, {"", "00"}, {q, ""}, {"", q}};
  for (const auto& [r, s] : dsa_cases) {
    dsa_signature bad{r.empty() ? huge_from_hex(huge_hex(dsa_good.r)) : huge_from_hex(r),
                      s.empty() ? huge_from_hex(huge_hex(dsa_good.s)) : huge_from_hex(s)};
    EXPECT_EQ(dsa_verify(&dsa.params, &dsa.y, hash.hash, hash.hash_len, &bad), 0) << r << "/" << s;
    free_signature(&bad);
  }
  const std::vector<std::tuple<std::string, std::string>> ec_cases = {{"00", ""}, {"", "00"}, {n, ""}, {"", n}};
  for (const auto& [r, s] : ec_cases) {
    dsa_signature bad{r.empty() ? huge_from_hex(huge_hex(ec_good.r)) : huge_from_hex(r),
                      s.empty() ? huge_from_hex(huge_hex(ec_good.s)) : huge_from_hex(s)};
    EXPECT_EQ(ecdsa_verify(&ec.curve, &ec.Q, hash.hash, hash.hash_len, &bad), 0) << r << "/" << s;
    free_signature(&bad);
  }
  free_signature(&dsa_good);
  free_signature(&ec_good);
}

TEST_F(Signatures, NamedCurvesMatchOpensslParameters) {
  const std::vector<std::pair<const char*, const char*>> names = {
      {"prime192v1", "prime192v1"}, {"secp192r1", "prime192v1"}, {"prime256v1", "prime256v1"}, {"secp256r1", "prime256v1"}};
  for (const auto& [name, openssl_name] : names) {
    elliptic_curve curve{};
    ASSERT_EQ(get_named_curve(name, &curve), 0) << name;
    // Explicit parameters: version, (field OID, p), (a, b), 04 | G, n, cofactor.
    std::string text = run(*dir, std::string("openssl ecparam -name ") + openssl_name + " -param_enc explicit -text -noout");
    std::string compact;
    for (char c : text) {
      if (std::isxdigit(static_cast<unsigned char>(c))) compact += char(std::toupper(c));
    }
    for (const huge* value : {&curve.p, &curve.a, &curve.b, &curve.G.x, &curve.G.y, &curve.n}) {
      EXPECT_NE(compact.find(huge_hex(*value)), std::string::npos) << name;
    }
    free_elliptic_curve(&curve);
  }
  elliptic_curve untouched{};
  EXPECT_EQ(get_named_curve("P-256", &untouched), 1);
  EXPECT_EQ(untouched.p.rep, nullptr);
}

TEST(EllipticCurve, PointSumsHandleDoublingOppositesAndInfinity) {
  elliptic_curve curve{};
  ASSERT_EQ(get_named_curve("prime256v1", &curve), 0);
  auto copy = [](const ec_point& point) { return ec_point{huge_from_hex(huge_hex(point.x)), huge_from_hex(huge_hex(point.y))}; };
  auto times = [&](const std::string& k_hex, int* infinity) {
    ec_point point = copy(curve.G);
    huge k = huge_from_hex(k_hex);
    *infinity = multiply_point(&point, &k, &curve.a, &curve.p);
    huge_free(&k);
    return point;
  };
  int infinity;
  ec_point doubled = copy(curve.G), two_g = times("02", &infinity);
  EXPECT_EQ(add_points(&doubled, &curve.G, &curve.p), 0);
  EXPECT_EQ(point_hex(doubled), point_hex(two_g));  // G + G by doubling
  ec_point three_g = times("03", &infinity);
  EXPECT_EQ(add_points(&doubled, &curve.G, &curve.p), 0);
  EXPECT_EQ(point_hex(doubled), point_hex(three_g));
  ec_point opposite = copy(curve.G), sum = copy(curve.G);
  opposite.y.sign = 1;  // -G = (x, -y)
  EXPECT_EQ(add_points(&sum, &opposite, &curve.p), 1);
  EXPECT_EQ(point_hex(sum), point_hex(curve.G)) << "left as it was";
  const std::string n = huge_hex(curve.n);
  std::vector<std::tuple<std::string, int, std::string>> multiples = {
      {"00", 1, point_hex(curve.G)}, {n, 1, point_hex(curve.G)}, {"01", 0, point_hex(curve.G)}};
  for (const auto& [k, expected_infinity, expected] : multiples) {
    ec_point product = times(k, &infinity);
    EXPECT_EQ(infinity, expected_infinity) << k;
    EXPECT_EQ(point_hex(product), expected) << k;
    huge_free(&product.x);
    huge_free(&product.y);
  }
  for (ec_point* point : {&doubled, &two_g, &three_g, &opposite, &sum}) {
    huge_free(&point->x);
    huge_free(&point->y);
  }
  free_elliptic_curve(&curve);
}

TEST(EllipticCurve, EcdsaNonceFollowsRfc6979) {
  // RFC 6979 A.2.5: P-256, SHA-256, message "sample".
  elliptic_curve curve{};
  ASSERT_EQ(get_named_curve("secp256r1", &curve), 0);
  huge x = huge_from_hex("C9AFA9D845BA75166B5C215767B1D6934E50C3DB36E89B127B8A622B120F6721");
  digest_ctx hash;
  new_sha256_digest(&hash);
  update_digest(&hash, reinterpret_cast<const u8*>("sample"), 6);
  finalize_digest(&hash);
  dsa_signature signature{};
  ecdsa_sign(&curve, &x, hash.hash, hash.hash_len, &signature);
  EXPECT_EQ(huge_hex(signature.r), "EFD48B2AACB6A8FD1140DD9CD45E81D69D2C877B56AAF991C34D0EA84EAF3716");
  EXPECT_EQ(huge_hex(signature.s), "F7CB1C942D657C41D436C7A1B6E29F65F3E900DBB9AFF4064DC4AB2F843ACDA8");
  free_signature(&signature);
  huge_free(&x);
  free_elliptic_curve(&curve);
}
