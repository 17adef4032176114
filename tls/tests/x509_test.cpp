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
  const char* make;        // openssl command writing <name>.der
  const char* digest;      // the digest of the signature
  int version, algorithm, key_algorithm, authority;
  const char* common_name;
};

const char* const subject = "-subj '/C=DE/ST=Berlin/L=Mitte/O=Org/OU=Unit/CN=host.example/emailAddress=a@b.c'";

const certificate_case certificates[] = {
    {"md5", "openssl req -x509 -new -key r512.pem -md5 -days 30 SUBJ -addext keyUsage=digitalSignature,keyEncipherment",
     "md5", 3, SIG_MD5_WITH_RSA, PUBLIC_KEY_RSA, 0, "host.example"},
    {"ca", "openssl req -x509 -new -key r1024.pem -sha1 -days 30 SUBJ -addext keyUsage=critical,keyCertSign,cRLSign",
     "sha1", 3, SIG_SHA1_WITH_RSA, PUBLIC_KEY_RSA, 1, "host.example"},
    {"sha256", "openssl req -x509 -new -key r2048.pem -sha256 -days 30 -subj /CN=sha256", "sha256", 3,
     SIG_SHA1_WITH_RSA, PUBLIC_KEY_RSA, 0, "sha256"},
    {"v1", "openssl req -new -key r512.pem -subj /CN=v1 | openssl x509 -req -signkey r512.pem -sha1 -days 40000",
     "sha1", 1, SIG_SHA1_WITH_RSA, PUBLIC_KEY_RSA, 0, "v1"},
    {"dsa", "openssl req -x509 -new -key dsa.pem -sha1 -days 30 -subj /CN=dsa", "sha1", 3, SIG_DSA_WITH_SHA1,
     PUBLIC_KEY_DSA, 0, "dsa"},
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
    for (const certificate_case& c : certificates) {
      std::string make = c.make;
      if (make.find("SUBJ") != std::string::npos) make.replace(make.find("SUBJ"), 4, subject);
      run(*dir, make + " -outform DER -out " + c.name + ".der");
    }
  }
  static void TearDownTestSuite() { delete dir; }

  static std::vector<u8> der(const std::string& name) { return read_bytes(dir->file(name + ".der")); }
  static std::string openssl(const std::string& name, const std::string& options) {
    return run(*dir, "openssl x509 -inform DER -in " + name + ".der -noout " + options);
  }
  // The digest of the to-be-signed part as openssl computes it.
  static std::vector<u8> tbs_digest(const std::string& name, const std::string& digest) {
    run(*dir, "openssl asn1parse -inform DER -in " + name + ".der -strparse 4 -noout -out tbs.bin");
    return from_text(run(*dir, "openssl dgst -" + digest + " -binary tbs.bin"));
  }

  static ScratchDir* dir;
};

ScratchDir* X509::dir = nullptr;

time_t openssl_time(const std::string& line) {
  struct tm fields = {};
  strptime(line.substr(line.find('=') + 1).c_str(), "%b %d %H:%M:%S %Y GMT", &fields);
  return timegm(&fields);
}

// The RSA signature opened with the certificate's own key: the DigestInfo.
std::vector<u8> open_rsa_signature(x509_certificate* certificate) {
  rsa_key* key = &certificate->public_key.rsa_public_key;
  std::vector<u8> block(key->modulus->size, 0);
  huge_store_bytes(&certificate->rsa_signature, block.data(), block.size());
  u8* output = nullptr;
  int length = rsa_decrypt(block.data(), int(block.size()), &output, key);
  std::vector<u8> info(output, output + (length > 0 ? length : 0));
  if (output) vekFree(&output);
  return info;
}

int parse(const std::vector<u8>& bytes) {
  x509_certificate certificate;
  init_x509_certificate(&certificate);
  int result = parse_x509_certificate(bytes.data(), int(bytes.size()), &certificate);
  free_x509_certificate(&certificate);
  return result;
}

// A TLS certificate list: 3-byte total, then 3-byte length and bytes each.
std::vector<u8> chain(const std::vector<std::vector<u8>>& certificates, int total_adjust, int last_adjust) {
  auto length3 = [](size_t n) { return std::vector<u8>{u8(n >> 16), u8(n >> 8), u8(n)}; };
  std::vector<u8> body;
  for (size_t i = 0; i < certificates.size(); i++) {
    int adjust = i + 1 == certificates.size() ? last_adjust : 0;
    body = concat({body, length3(certificates[i].size() + adjust), certificates[i]});
  }
  return concat({length3(body.size() + total_adjust), body});
}

std::vector<u8> name_der(const std::vector<std::vector<u8>>& sets) {
  std::vector<u8> body;
  for (const auto& set : sets) body = concat({body, set});
  return der(0x30, body);
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
    EXPECT_STREQ(certificate.subject.common_name, c.common_name);
    EXPECT_STREQ(certificate.issuer.common_name, c.common_name);
    EXPECT_EQ(certificate.not_before, openssl_time(openssl(c.name, "-startdate")));
    EXPECT_EQ(certificate.not_after, openssl_time(openssl(c.name, "-enddate")));
    // The to-be-signed digest is MD5 for MD5 signatures and SHA-1 otherwise.
    std::string tbs_digest_name = c.algorithm == SIG_MD5_WITH_RSA ? "md5" : "sha1";
    EXPECT_EQ(to_hex(certificate.tbs_hash, 4 * certificate.tbs_hash_words), to_hex(tbs_digest(c.name, tbs_digest_name)));
    if (c.key_algorithm == PUBLIC_KEY_RSA) {
      EXPECT_EQ("Modulus=" + huge_hex(*certificate.public_key.rsa_public_key.modulus) + "\n", openssl(c.name, "-modulus"));
      std::string info = to_hex(open_rsa_signature(&certificate)), digest = to_hex(tbs_digest(c.name, c.digest));
      EXPECT_EQ(info.substr(info.size() - digest.size()), digest);
    } else {
      EXPECT_EQ(dsa_verify(&certificate.public_key.dsa_parameters, &certificate.public_key.dsa_public_key,
                           certificate.tbs_hash, certificate.tbs_hash_words, &certificate.dsa_signature), 1);
    }
    if (std::string(c.common_name) == "host.example") {
      EXPECT_STREQ(certificate.subject.country, "DE");
      EXPECT_STREQ(certificate.subject.state_or_province, "Berlin");
      EXPECT_STREQ(certificate.subject.locality, "Mitte");
      EXPECT_STREQ(certificate.subject.organization, "Org");
      EXPECT_STREQ(certificate.subject.organizational_unit, "Unit");
      const std::string skip_email = "Skipping unrecognized or unsupported name token OID of 2a 86 48 86 f7 0d 01 09 01 \n";
      EXPECT_EQ(skipped, skip_email + skip_email);  // issuer and subject
    }
    free_x509_certificate(&certificate);
  }
}

TEST_F(X509, UtcTimeYearsFallIn2000To2099) {
  std::vector<u8> bytes = der("md5");
  const std::string not_after = "301231235959Z";
  // The second UTCTime (tag 23, length 13) is the not-after time.
  size_t at = 0;
  for (int seen = 0; seen < 2; seen++) at = std::string(bytes.begin(), bytes.end()).find("\x17\x0d", at + 1);
  std::copy(not_after.begin(), not_after.end(), bytes.begin() + long(at) + 2);
  x509_certificate certificate;
  init_x509_certificate(&certificate);
  testing::internal::CaptureStdout();
  int result = parse_x509_certificate(bytes.data(), int(bytes.size()), &certificate);
  testing::internal::GetCapturedStdout();
  ASSERT_EQ(result, 0);
  EXPECT_EQ(certificate.not_after, openssl_time("=Dec 31 23:59:59 2030 GMT"));
  free_x509_certificate(&certificate);
}

TEST_F(X509, DamagedCertificatesAreRefusedWithoutHarm) {
  std::vector<u8> bytes = der("ca");
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
  std::vector<u8> garbage = from_hex("3003020101");
  const std::vector<std::tuple<std::vector<u8>, bool>> cases = {
      {chain({first, second}, 0, 0), true},
      {chain({first}, 0, 0), true},
      {chain({first, second}, 1, 0), false},    // total says one byte more
      {chain({first, second}, -1, 0), false},   // total one short
      {chain({first, second}, 0, 1), false},    // last certificate runs past the end
      {chain({garbage, first}, 0, 0), false},   // first certificate does not parse
      {from_hex("0000"), false},
  };
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  for (const auto& [list, accepted] : cases) {
    std::vector<u8> data = list;
    public_key_info key{};
    u8* end = parse_x509_chain(data.data(), int(data.size()), &key);
    EXPECT_EQ(end != nullptr, accepted) << to_hex(data).substr(0, 12);
    if (end) {
      EXPECT_EQ(end, data.data() + data.size());
      EXPECT_EQ("Modulus=" + huge_hex(*key.rsa_public_key.modulus) + "\n", openssl("ca", "-modulus"));
    }
    free_public_key_info(&key);
  }
  std::vector<u8> empty = from_hex("000000");
  public_key_info key{};
  EXPECT_EQ(parse_x509_chain(empty.data(), 3, &key), empty.data() + 3);
  testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();
}

TEST(X509Name, ReadsStringAttributesAndRefusesOtherShapes) {
  const std::string cn = "550403", country = "550406", email = "2a864886f70d010901";
  const std::vector<std::tuple<std::vector<u8>, int, std::string>> cases = {
      {name_der({attribute(country, 19, "DE"), attribute(cn, 12, "x"), attribute(cn, 22, "y")}), 0, "DE/y"},
      {name_der({attribute(email, 22, "a@b"), attribute(cn, 20, "t61")}), 0, "/t61"},
      {name_der({attribute(cn, 30, "\0b")}), 4, ""},                                          // BMPString
      {name_der({der(0x30, {})}), 1, ""},                                                     // not a SET
      {name_der({der(0x31, der(0x30, der(0x06, from_hex(cn))))}), 2, ""},                    // no value
      {name_der({der(0x31, der(0x30, concat({der(0x04, {1}), der(0x0c, {'x'})})))}), 3, ""},  // type not an OID
      {der(0x30, {}), 1, ""},
  };
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  for (const auto& [bytes, expected, fields] : cases) {
    asn1_node top = {};
    ASSERT_EQ(asn1_parse(bytes.data(), int(bytes.size()), &top), 0);
    x509_name name = {};
    EXPECT_EQ(parse_name(&top, &name), expected) << to_hex(bytes);
    if (expected == 0) {
      EXPECT_EQ(std::string(name.country ? name.country : "") + "/" + (name.common_name ? name.common_name : ""), fields);
    }
    for (char** field : {&name.country, &name.common_name}) {
      if (*field) vekFree(field);
    }
    asn1_free(&top);
  }
  testing::internal::GetCapturedStdout();
  std::string messages = testing::internal::GetCapturedStderr();
  EXPECT_NE(messages.find("Error parsing tag value pair in name, expected a string tag, got a 30\n"), std::string::npos);
  EXPECT_NE(messages.find("Error parsing 'tag value pair in name'; expected a 17 tag, got a 16.\n"), std::string::npos);
  EXPECT_NE(messages.find("Error parsing 'tag value pair in name'; expected 2 children, found 1.\n"), std::string::npos);
  EXPECT_NE(messages.find("Error parsing 'name'; expected 1 children, found 0.\n"), std::string::npos);
}

TEST(X509Bits, KeyUsageBitsAndValidateNodeMessages) {
  const std::vector<std::tuple<std::string, int, bool>> bits = {
      {"05a0", 5, false}, {"0106", 5, true}, {"0106", 6, true}, {"0106", 7, false}, {"00", 0, false}, {"0001", 7, true}, {"0001", 8, false},
  };
  for (const auto& [hex, bit, set] : bits) {
    std::vector<u8> contents = from_hex(hex);
    EXPECT_EQ(asn1_get_bit(int(contents.size()), contents.data(), bit) != 0, set) << hex << " bit " << bit;
  }
  asn1_node integer = {0, 0, 2, 1, nullptr, nullptr, nullptr};
  testing::internal::CaptureStderr();
  EXPECT_EQ(validate_node(nullptr, 2, "thing"), 0);
  EXPECT_EQ(validate_node(&integer, 16, 0, "thing"), 0);
  EXPECT_EQ(validate_node(&integer, "pair"), 0);
  EXPECT_EQ(validate_node(&integer, 2, "thing"), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error - 'thing' missing.\n"
            "Error parsing 'thing'; expected a 16 tag, got a 2.\n"
            "Error parsing 'pair'; expected a 16 tag, got a 2.\n");
}
