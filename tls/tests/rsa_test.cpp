// RSA and private-key reader tests against keys and operations of openssl.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "digest.h"
#include "des.h"
#include "kernel/VekAlloc.h"
#include "openssl_peer.h"
#include "rsa.h"

using namespace VekTls;
using namespace VekTlsTest;

namespace {

const int key_sizes[] = {512, 1024, 2048};

class Rsa : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = new ScratchDir;
    for (int bits : key_sizes) {
      std::string k = "k" + std::to_string(bits), in = " -in " + k + ".pem ";
      run(*dir, "openssl genrsa -out " + k + ".pem " + std::to_string(bits) + " && openssl rsa -traditional -outform DER" +
                    in + "-out " + k + ".der && openssl rsa -pubout" + in + "-out " + k + "pub.pem && openssl pkcs8 -topk8 -v1"
                    " PBE-MD5-DES -provider legacy -provider default -passout pass:secret -outform DER" + in + "-out " + k + ".p8");
    }
  }
  static void TearDownTestSuite() { delete dir; }

  // The private key from the PKCS#1 file and the public key beside it.
  static rsa_key private_key(int bits) {
    rsa_key key{};
    std::vector<u8> der = read_bytes(dir->file("k" + std::to_string(bits) + ".der"));
    EXPECT_EQ(parse_private_key(&key, der.data(), int(der.size())), 0);
    return key;
  }
  static rsa_key public_key(const rsa_key& private_key) {
    rsa_key key{static_cast<huge*>(vekCalloc(1, sizeof(huge))), static_cast<huge*>(vekCalloc(1, sizeof(huge)))};
    huge_copy(key.modulus, private_key.modulus);
    huge_set_uint(key.exponent, 65537);
    return key;
  }
  static std::string openssl(const std::string& command, const std::vector<u8>& input) {
    write_bytes(dir->file("in"), input);
    return run(*dir, command + " -in in");
  }

  static ScratchDir* dir;
};

ScratchDir* Rsa::dir = nullptr;

// Runs one of the four operations: its output as text, or "<-1>".
std::string apply(int (*operation)(const u8*, int, u8**, rsa_key*), const std::string& input, rsa_key* key) {
  u8* output = nullptr;
  int length = operation(reinterpret_cast<const u8*>(input.data()), int(input.size()), &output, key);
  std::string text = length < 0 ? "<-1>" : std::string(reinterpret_cast<const char*>(output), size_t(length));
  if (output) vekFree(&output);
  return text;
}

// EncryptedPrivateKeyInfo (pbeWithMD5AndDES-CBC, one iteration) of `plain`
// whose padding is the given bytes.
std::vector<u8> encrypted_key_info(const std::vector<u8>& info, const std::vector<u8>& padding, const std::vector<u8>& count) {
  const std::vector<u8> salt = from_hex("0102030405060708"), pass_and_salt = concat({from_text("secret"), salt});
  u32 derived[4];  // DES key, then IV
  md5_hash(pass_and_salt.data(), int(pass_and_salt.size()), derived);
  std::vector<u8> plain = concat({info, padding}), encrypted(plain.size());
  des_encrypt(plain.data(), int(plain.size()), encrypted.data(), &derived[2], reinterpret_cast<const u8*>(derived));
  std::vector<u8> parameters = der(0x30, concat({der(0x04, salt), der(0x02, count)}));
  return der(0x30, concat({der(0x30, concat({der(0x06, from_hex("2a864886f70d010503")), parameters})), der(0x04, encrypted)}));
}

}  // namespace

TEST_F(Rsa, KeyReadersAndOperationsInteroperateWithOpenssl) {
  const std::string message = "thirty-six bytes of md5 and sha1 !!!";
  for (int bits : key_sizes) {
    SCOPED_TRACE(bits);
    std::string k = "k" + std::to_string(bits);
    rsa_key key = private_key(bits), pub = public_key(key), decrypted{}, refused{};
    EXPECT_EQ("Modulus=" + huge_hex(*key.modulus) + "\n", run(*dir, "openssl rsa -noout -modulus -in " + k + ".pem"));
    std::vector<u8> p8 = read_bytes(dir->file(k + ".p8"));
    ASSERT_EQ(parse_pkcs8_private_key(&decrypted, p8.data(), int(p8.size()), "secret"), 0);
    EXPECT_EQ(huge_hex(*decrypted.modulus) + huge_hex(*decrypted.exponent), huge_hex(*key.modulus) + huge_hex(*key.exponent));
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse_pkcs8_private_key(&refused, p8.data(), int(p8.size()), "wrong"), 1);
    EXPECT_EQ(parse_private_key(&refused, p8.data(), int(p8.size())), 1);  // not an RSAPrivateKey
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(openssl("openssl pkeyutl -decrypt -inkey " + k + ".pem", from_text(apply(rsa_encrypt, message, &pub))), message);
    EXPECT_EQ(apply(rsa_decrypt, openssl("openssl pkeyutl -encrypt -pubin -inkey " + k + "pub.pem", from_text(message)), &key),
              message);
    EXPECT_EQ(openssl("openssl pkeyutl -verifyrecover -pubin -inkey " + k + "pub.pem", from_text(apply(rsa_sign, message, &key))),
              message);
    EXPECT_EQ(apply(rsa_decrypt, openssl("openssl pkeyutl -sign -inkey " + k + ".pem", from_text(message)), &pub), message);
    for (rsa_key* each : {&key, &pub, &decrypted}) free_rsa_key(each);
  }
}

TEST_F(Rsa, EncryptionPadsWithFreshNonZeroBytesAndSplitsLongInput) {
  rsa_key key = private_key(2048), pub = public_key(key);
  const std::string message(48, 'm'), longer(256 - 10, 'x');
  std::string first = apply(rsa_encrypt, message, &pub), two_blocks = apply(rsa_encrypt, longer, &pub);
  EXPECT_NE(first, apply(rsa_encrypt, message, &pub));
  // 00 02, padding without a zero byte, 00, the message.
  std::string block = openssl("openssl pkeyutl -decrypt -pkeyopt rsa_padding_mode:none -inkey k2048.pem", from_text(first));
  EXPECT_EQ(block.find('\0', 1), 256u - 48 - 1);
  EXPECT_EQ(block.substr(0, 2) + block.substr(256 - 48), std::string("\0\2", 2) + message);
  EXPECT_EQ(two_blocks.size(), 2 * 256u);
  EXPECT_EQ(apply(rsa_decrypt, two_blocks, &key), longer);
  free_rsa_key(&key);
  free_rsa_key(&pub);
}

TEST_F(Rsa, DecryptionRefusesMalformedBlocksAndLengths) {
  rsa_key key = private_key(512), pub = public_key(key);
  // Raw 64-byte blocks as hex: a good type 2 and type 1 block, then bad ones.
  const std::string data = "7061796c6f6164", pad7 = "5a5a5a5a5a5a5a", ff = std::string(108, 'f');
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"0002" + pad7 + "5a00" + std::string(92, '1') + data, std::string(46, '\x11') + "payload"},
      {"0001" + ff + "00" + data, "payload"},
      {"0101" + ff + "00" + data, "<-1>"},                              // byte 0 not zero
      {"0003" + ff + "00" + data, "<-1>"},                              // unknown type
      {"0001" + ff.substr(2) + "fe00" + data, "<-1>"},                  // type 1 padding not all FF
      {"0002" + pad7 + "00" + std::string(94, '1') + data, "<-1>"},  // 7 padding bytes
      {"0002" + std::string(124, '5'), "<-1>"},                         // no separator
  };
  testing::internal::CaptureStderr();
  for (const auto& [raw, expected] : cases) {
    huge message = huge_from_hex(raw), cipher{};
    huge_mod_pow(&message, pub.exponent, pub.modulus, &cipher);  // encrypt the raw block
    std::vector<u8> encrypted(64, 0);
    huge_store_bytes(&cipher, encrypted.data(), encrypted.size());
    EXPECT_EQ(apply(rsa_decrypt, std::string(encrypted.begin(), encrypted.end()), &key), expected) << raw;
    huge_free(&message);
    huge_free(&cipher);
  }
  testing::internal::GetCapturedStderr();
  std::string good = apply(rsa_encrypt, "payload", &pub);
  testing::internal::CaptureStderr();
  EXPECT_EQ(apply(rsa_decrypt, good + "x", &key), "<-1>");
  EXPECT_EQ(apply(rsa_decrypt, good.substr(1), &key), "<-1>");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error - input must be an even multiple \t\t\t\t\t\t\tof key modulus 64 (got 1)\n"
            "Error - input must be an even multiple \t\t\t\t\t\t\tof key modulus 64 (got 63)\n");
  free_rsa_key(&key);
  free_rsa_key(&pub);
}

TEST_F(Rsa, Pkcs8RefusesBadPaddingAndIterationCounts) {
  std::vector<u8> info = from_text(run(*dir, "openssl pkcs8 -topk8 -nocrypt -outform DER -in k512.pem"));
  const size_t pad = 8 - info.size() % 8;
  // (last padding byte, iteration count, result); -1 keeps the proper padding.
  const std::vector<std::tuple<int, std::vector<u8>, int>> cases = {
      {-1, {1}, 0}, {9, {1}, 1}, {0, {1}, 1}, {-1, {0}, 1}, {-1, {0x10, 0, 1}, 1}};
  for (const auto& [last, count, expected] : cases) {
    std::vector<u8> padding(pad, u8(pad));
    if (last >= 0) padding.back() = u8(last);
    std::vector<u8> der = encrypted_key_info(info, padding, count);
    rsa_key key{};
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse_pkcs8_private_key(&key, der.data(), int(der.size()), "secret"), expected) << last << " " << int(count.back());
    std::string messages = testing::internal::GetCapturedStderr();
    EXPECT_EQ(messages == "Decryption error, bad padding\n", last == 9 || last == 0) << messages;
    EXPECT_EQ(messages.find("at most") != std::string::npos, count.size() > 1) << messages;
    free_rsa_key(&key);
  }
}

TEST(RsaPowerNaive, MatchesModularPowersIncludingZeroExponent) {
  const std::vector<std::tuple<std::string, std::string, std::string, std::string>> cases = {
      {"04", "0D", "01F1", "01BD"}, {"04", "00", "01F1", "01"}, {"01F4", "01", "01F1", "03"}, {"07", "05", "03E8", "0327"}};
  for (const auto& [m, e, n, expected] : cases) {
    huge base = huge_from_hex(m), exponent = huge_from_hex(e), modulus = huge_from_hex(n), result{};
    rsa_power_naive(&base, &exponent, &modulus, &result);
    EXPECT_EQ(huge_hex(result), expected) << m << "^" << e << " mod " << n;
    for (huge* number : {&base, &exponent, &modulus, &result}) huge_free(number);
  }
}
