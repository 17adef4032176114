// X.509 reader tests: certificates made by openssl, checked field by field
// against openssl's own reading, their signatures checked with the parsed
// keys, and damaged certificates, names and chains refused without harm.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "kernel/VekAlloc.h"
#include "openssl_peer.h"
#include "x509.h"

using namespace VekTls;
using namespace VekTlsTest;

namespace {

struct certificate_case {
  const char* name;
  const char* make;     // openssl command writing <name>.der
  const char* digest;   // the digest of the signature
  int version, algorithm, key_algorithm, authority;
  const char* subject;  // the six fields joined by "/"
};

#define SUBJECT "-subj '/C=DE/ST=Berlin/L=Mitte/O=Org/OU=Unit/CN=host.example/emailAddress=a@b.c'"

const certificate_case certificates[] = {
    {"md5", "openssl req -x509 -new -key r512.pem -md5 -days 30 " SUBJECT " -addext keyUsage=digitalSignature,keyEncipherment",
     "md5", 3, SIG_MD5_WITH_RSA, PUBLIC_KEY_RSA, 0, "DE/Berlin/Mitte/Org/Unit/host.example"},
    {"ca", "openssl req -x509 -new -key r1024.pem -sha1 -days 30 " SUBJECT " -addext keyUsage=critical,keyCertSign,cRLSign",
     "sha1", 3, SIG_SHA1_WITH_RSA, PUBLIC_KEY_RSA, 1, "DE/Berlin/Mitte/Org/Unit/host.example"},
    {"sha256", "openssl req -x509 -new -key r2048.pem -sha256 -days 30 -subj /CN=sha256", "sha256", 3,
     SIG_SHA1_WITH_RSA, PUBLIC_KEY_RSA, 0, "/////sha256"},
    // Version 1, and a not-after year past 2049 written as GeneralizedTime.
    {"v1", "openssl req -new -key r512.pem -subj /CN=v1 | openssl x509 -req -signkey r512.pem -sha1 -days 40000",
     "sha1", 1, SIG_SHA1_WITH_RSA, PUBLIC_KEY_RSA, 0, "/////v1"},
    {"dsa", "openssl req -x509 -new -key dsa.pem -sha1 -days 30 -subj /CN=dsa", "sha1", 3, SIG_DSA_WITH_SHA1,
     PUBLIC_KEY_DSA, 0, "/////dsa"},
};

class X509 : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("TZ", "UTC", 1);  // validity is read as local time
    tzset();
    dir = new ScratchDir;
    run(*dir, "openssl genrsa -out r512.pem 512 && openssl genrsa -out r1024.pem 1024 && "
              "openssl genrsa -out r2048.pem 2048 && openssl genpkey -genparam -algorithm DSA -pkeyopt "
              "dsa_paramgen_bits:1024 -pkeyopt dsa_paramgen_q_bits:160 -out dp.pem && "
              "openssl genpkey -paramfile dp.pem -out dsa.pem");
    for (const certificate_case& c : certificates) run(*dir, c.make + std::string(" -outform DER -out ") + c.name + ".der");
  }
  static void TearDownTestSuite() { delete dir; }

  static std::vector<u8> der(const std::string& name) { return read_bytes(dir->file(name + ".der")); }
  static std::string openssl(const std::string& name, const std::string& options) {
    return run(*dir, "openssl x509 -inform DER -in " + name + ".der -noout " + options);
  }
  // The digest of the to-be-signed part as openssl computes it.
  static std::string tbs_digest(const std::string& name, const std::string& digest) {
    run(*dir, "openssl asn1parse -inform DER -in " + name + ".der -strparse 4 -noout -out tbs.bin");
    return to_hex(from_text(run(*dir, "openssl dgst -" + digest + " -binary tbs.bin")));
  }

  static ScratchDir* dir;
};

ScratchDir* X509::dir = nullptr;

time_t openssl_time(const std::string& line) {
  struct tm fields = {};
  strptime(line.substr(line.find('=') + 1).c_str(), "%b %d %H:%M:%S %Y GMT", &fields);
  return timegm(&fields);
}

std::string joined(const x509_name& name) {
  std::string text = name.country ? name.country : "";
  for (const char* field : {name.state_or_province, name.locality, name.organization, name.organizational_unit,
                            name.common_name}) text += "/" + std::string(field ? field : "");
  return text;
}

// The RSA signature opened with the certificate's own key: the DigestInfo.
std::string open_rsa_signature(x509_certificate* certificate) {
  rsa_key* key = &certificate->public_key.rsa_public_key;
  std::vector<u8> block(key->modulus->size, 0);
  huge_store_bytes(&certificate->rsa_signature, block.data(), block.size());
  u8* output = nullptr;
  int length = rsa_decrypt(block.data(), int(block.size()), &output, key);
  std::string info = to_hex(output, size_t(length > 0 ? length : 0));
  if (output) vekFree(&output);
  return info;
}

// A TLS certificate list: 3-byte total, then 3-byte length and bytes each;
// the adjustments falsify the total and the last certificate's length.
std::vector<u8> chain(const std::vector<std::vector<u8>>& certificates, int total_adjust, int last_adjust) {
  auto length3 = [](size_t n) { return std::vector<u8>{u8(n >> 16), u8(n >> 8), u8(n)}; };
  std::vector<u8> body;
  for (size_t i = 0; i < certificates.size(); i++) {
    body = concat({body, length3(certificates[i].size() + (i + 1 == certificates.size() ? last_adjust : 0)), certificates[i]});
  }
  return concat({length3(body.size() + total_adjust), body});
}

std::vector<u8> attribute(const std::string& oid_hex, u8 tag, const std::string& value) {
  return der(0x31, der(0x30, concat({der(0x06, from_hex(oid_hex)), der(tag, from_text(value))})));
}

}  // namespace

TEST_F(X509, FieldsMatchOpensslAndSignaturesCheckWithTheParsedKey) {
  for (const certificate_case& c : certificates) {
    SCOPED_TRACE(c.name);
    std::vector<u8> bytes = der(c.name);
    x509_certificate certificate;
    init_x509_certificate(&certificate);
    testing::internal::CaptureStdout();
    int result = parse_x509_certificate(bytes.data(), int(bytes.size()), &certificate);
    std::string skipped = testing::internal::GetCapturedStdout();
    ASSERT_EQ(result, 0);
    EXPECT_EQ(certificate.version, c.version);
    EXPECT_EQ("serial=" + huge_hex(certificate.serial_number) + "\n", openssl(c.name, "-serial"));
    EXPECT_EQ(certificate.signature_algorithm, c.algorithm);
    EXPECT_EQ(certificate.tbs_signature_algorithm, c.algorithm);
    EXPECT_EQ(certificate.public_key.algorithm, c.key_algorithm);
    EXPECT_EQ(certificate.certificate_authority, c.authority);
    EXPECT_EQ(joined(certificate.subject), c.subject);
    EXPECT_EQ(joined(certificate.issuer), c.subject);
    // The e-mail attribute of issuer and subject is skipped with its OID.
    EXPECT_EQ(skipped.empty(), std::string(c.subject)[0] == '/') << skipped;
    EXPECT_EQ(certificate.not_before, openssl_time(openssl(c.name, "-startdate")));
    EXPECT_EQ(certificate.not_after, openssl_time(openssl(c.name, "-enddate")));
    // The to-be-signed digest is MD5 for MD5 signatures and SHA-1 otherwise.
    std::string tbs_name = c.algorithm == SIG_MD5_WITH_RSA ? "md5" : "sha1";
    EXPECT_EQ(to_hex(certificate.tbs_hash, 4 * certificate.tbs_hash_words), tbs_digest(c.name, tbs_name));
    if (c.key_algorithm == PUBLIC_KEY_RSA) {
      EXPECT_EQ("Modulus=" + huge_hex(*certificate.public_key.rsa_public_key.modulus) + "\n", openssl(c.name, "-modulus"));
      std::string info = open_rsa_signature(&certificate), digest = tbs_digest(c.name, c.digest);
      EXPECT_EQ(info.substr(info.size() - digest.size()), digest);
    } else {
      public_key_info* key = &certificate.public_key;
      EXPECT_EQ(dsa_verify(&key->dsa_parameters, &key->dsa_public_key, certificate.tbs_hash,
                           certificate.tbs_hash_words, &certificate.dsa_signature), 1);
    }
    free_x509_certificate(&certificate);
  }
}

TEST_F(X509, DamagedCertificatesAreRefusedWithoutHarm) {
  std::vector<u8> bytes = der("ca");
  auto parse = [](const std::vector<u8>& damaged) {
    x509_certificate certificate;
    init_x509_certificate(&certificate);
    int result = parse_x509_certificate(damaged.data(), int(damaged.size()), &certificate);
    free_x509_certificate(&certificate);
    return result;
  };
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  for (size_t length = 0; length < bytes.size(); length++) {
    EXPECT_EQ(parse(std::vector<u8>(bytes.begin(), bytes.begin() + long(length))), X509_PARSE_FAILED) << length;
  }
  std::mt19937 random(14);
  for (int flip = 0; flip < 3000; flip++) {
    std::vector<u8> damaged = bytes;
    for (int n = 0; n < 1 + flip % 3; n++) damaged[random() % damaged.size()] ^= u8(1 + random() % 255);
    int result = parse(damaged);
    EXPECT_TRUE(result == 0 || result == X509_PARSE_FAILED);
  }
  testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();
}

TEST_F(X509, ChainReaderKeepsTheFirstKeyAndRefusesBadFraming) {
  std::vector<u8> first = der("ca"), second = der("md5");
  const std::vector<std::tuple<std::vector<u8>, bool>> cases = {
      {chain({first, second}, 0, 0), true},   {chain({first}, 0, 0), true},
      {chain({first, second}, 1, 0), false},  {chain({first, second}, -1, 0), false},
      {chain({first, second}, 0, 1), false},  // the last certificate runs past the end
      {chain({from_hex("3003020101"), first}, 0, 0), false},  // the first does not parse
      {from_hex("0000"), false},              {from_hex("000000"), true},
  };
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  for (auto [data, accepted] : cases) {
    public_key_info key{};
    u8* end = parse_x509_chain(data.data(), int(data.size()), &key);
    EXPECT_EQ(end, accepted ? data.data() + data.size() : nullptr) << to_hex(data).substr(0, 12);
    EXPECT_EQ(key.rsa_public_key.modulus != nullptr, accepted && data.size() > 3);
    if (key.rsa_public_key.modulus) {
      EXPECT_EQ("Modulus=" + huge_hex(*key.rsa_public_key.modulus) + "\n", openssl("ca", "-modulus"));
    }
    free_public_key_info(&key);
  }
  testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();
}

TEST(X509Name, ReadsStringAttributesAndRefusesOtherShapes) {
  const std::string cn = "550403", country = "550406", email = "2a864886f70d010901";
  const std::vector<std::tuple<std::vector<u8>, int, std::string>> cases = {
      {der(0x30, concat({attribute(country, 19, "DE"), attribute(cn, 12, "x"), attribute(cn, 22, "y")})), 0, "DE/////y"},
      {der(0x30, concat({attribute(email, 22, "a@b"), attribute(cn, 20, "t61")})), 0, "/////t61"},
      {der(0x30, attribute(cn, 30, std::string("\0b", 2))), 4, "Error parsing tag value pair in name, expected a string tag, got a 30\n"},
      {der(0x30, der(0x30, {})), 1, "Error parsing 'tag value pair in name'; expected a 17 tag, got a 16.\n"},
      {der(0x30, der(0x31, der(0x30, der(0x06, from_hex(cn))))), 2,
       "Error parsing 'tag value pair in name'; expected 2 children, found 1.\n"},
      {der(0x30, der(0x31, der(0x30, concat({der(0x04, {1}), der(0x0c, {'x'})})))), 3,
       "Error parsing 'tag value pair in name type'; expected a 6 tag, got a 4.\n"},
      {der(0x30, {}), 1, "Error parsing 'name'; expected 1 children, found 0.\n"},
  };
  for (const auto& [bytes, expected, fields_or_message] : cases) {
    asn1_node top = {};
    ASSERT_EQ(asn1_parse(bytes.data(), int(bytes.size()), &top), 0);
    x509_name name = {};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse_name(&top, &name), expected) << to_hex(bytes);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(expected == 0 ? joined(name) : testing::internal::GetCapturedStderr(), fields_or_message);
    if (expected == 0) testing::internal::GetCapturedStderr();
    for (char** field : {&name.country, &name.common_name}) vekFree(field);
    asn1_free(&top);
  }
  const u8 bits[] = {0x00, 0x06};  // unused-bits byte, then bits 5 and 6 set
  EXPECT_EQ(std::to_string(asn1_get_bit(2, bits, 5) != 0) + std::to_string(asn1_get_bit(2, bits, 7) != 0) +
                std::to_string(asn1_get_bit(2, bits, 8) != 0), "100");
}
