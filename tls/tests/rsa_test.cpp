// RSA and private-key reader tests against keys and operations of openssl.
#include <gtest/gtest.h>

#include <cstring>
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
      std::string k = "k" + std::to_string(bits);
      run(*dir, "openssl genrsa -out " + k + ".pem " + std::to_string(bits) + " && openssl rsa -in " + k +
                    ".pem -traditional -outform DER -out " + k + ".der && openssl rsa -in " + k +
                    ".pem -pubout -out " + k + "pub.pem && openssl pkcs8 -topk8 -v1 PBE-MD5-DES -provider legacy "
                    "-provider default -in " + k + ".pem -passout pass:secret -outform DER -out " + k + ".p8");
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

std::string as_text(const u8* bytes, int length) {
  return length < 0 ? "<" + std::to_string(length) + ">" : std::string(reinterpret_cast<const char*>(bytes), size_t(length));
}

// Runs one of the four operations and returns its output as text.
std::string apply(int (*operation)(const u8*, int, u8**, rsa_key*), const std::string& input, rsa_key* key) {
  u8* output = nullptr;
  int length = operation(reinterpret_cast<const u8*>(input.data()), int(input.size()), &output, key);
  std::string text = as_text(output, length);
  if (output) vekFree(&output);
  return text;
}

// EncryptedPrivateKeyInfo (pbeWithMD5AndDES-CBC, one iteration) of `plain`
// whose padding is the given bytes.
std::vector<u8> encrypted_key_info(std::vector<u8> plain, const std::vector<u8>& padding, u8 count) {
  const std::vector<u8> salt = from_hex("0102030405060708"), pass = from_text("secret");
  std::vector<u8> input = concat({pass, salt});
  u32 derived[4];
  md5_hash(input.data(), int(input.size()), derived);
  const u8* key = reinterpret_cast<const u8*>(derived);
  plain.insert(plain.end(), padding.begin(), padding.end());
  std::vector<u8> encrypted(plain.size());
  u8 iv[8];
  std::memcpy(iv, key + 8, 8);
  des_encrypt(plain.data(), int(plain.size()), encrypted.data(), iv, key);
  std::vector<u8> algorithm =
      der(0x30, concat({der(0x06, from_hex("2a864886f70d010503")), der(0x30, concat({der(0x04, salt), der(0x02, {count})}))}));
  return der(0x30, concat({algorithm, der(0x04, encrypted)}));
}

}  // namespace

TEST_F(Rsa, KeyReadersAgreeWithOpenssl) {
  for (int bits : key_sizes) {
    std::string k = "k" + std::to_string(bits);
    rsa_key key = private_key(bits);
    EXPECT_EQ("Modulus=" + huge_hex(*key.modulus) + "\n", run(*dir, "openssl rsa -noout -modulus -in " + k + ".pem"));
    std::vector<u8> p8 = read_bytes(dir->file(k + ".p8"));
    rsa_key decrypted{};
    ASSERT_EQ(parse_pkcs8_private_key(&decrypted, p8.data(), int(p8.size()), "secret"), 0) << bits;
    EXPECT_EQ(huge_hex(*decrypted.modulus), huge_hex(*key.modulus));
    EXPECT_EQ(huge_hex(*decrypted.exponent), huge_hex(*key.exponent));
    free_rsa_key(&decrypted);
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse_pkcs8_private_key(&decrypted, p8.data(), int(p8.size()), "wrong"), 1);
    EXPECT_EQ(parse_private_key(&decrypted, p8.data(), int(p8.size())), 1);  // not an RSAPrivateKey
    testing::internal::GetCapturedStderr();
    free_rsa_key(&key);
  }
}

TEST_F(Rsa, EncryptionAndSignaturesInteroperateWithOpensslBothWays) {
  const std::string message = "thirty-six bytes of md5 and sha1 !!!";
  for (int bits : key_sizes) {
    std::string k = "k" + std::to_string(bits);
    rsa_key key = private_key(bits), pub = public_key(key);
    EXPECT_EQ(openssl("openssl pkeyutl -decrypt -inkey " + k + ".pem", from_text(apply(rsa_encrypt, message, &pub))),
              message) << bits;
    EXPECT_EQ(apply(rsa_decrypt, openssl("openssl pkeyutl -encrypt -pubin -inkey " + k + "pub.pem", from_text(message)), &key),
              message) << bits;
    EXPECT_EQ(openssl("openssl pkeyutl -verifyrecover -pubin -inkey " + k + "pub.pem", from_text(apply(rsa_sign, message, &key))),
              message) << bits;
    EXPECT_EQ(apply(rsa_decrypt, openssl("openssl pkeyutl -sign -inkey " + k + ".pem", from_text(message)), &pub), message)
        << bits;
    free_rsa_key(&key);
    free_rsa_key(&pub);
  }
}

TEST_F(Rsa, EncryptionPadsWithFreshNonZeroBytesAndSplitsLongInput) {
  rsa_key key = private_key(2048), pub = public_key(key);
  const int k = 256;
  const std::string message(48, 'm');
  std::string first = apply(rsa_encrypt, message, &pub), second = apply(rsa_encrypt, message, &pub);
  EXPECT_NE(first, second);
  std::string block = openssl("openssl pkeyutl -decrypt -pkeyopt rsa_padding_mode:none -inkey k2048.pem", from_text(first));
  ASSERT_EQ(block.size(), size_t(k));
  EXPECT_EQ(block.substr(0, 2), std::string("\0\2", 2));
  EXPECT_EQ(block.find('\0', 2), size_t(k - 48 - 1));
  EXPECT_EQ(block.substr(k - 48), message);
  const std::string longer(k - 10, 'x');
  std::string two_blocks = apply(rsa_encrypt, longer, &pub);
  EXPECT_EQ(two_blocks.size(), size_t(2 * k));
  EXPECT_EQ(apply(rsa_decrypt, two_blocks, &key), longer);
  free_rsa_key(&key);
  free_rsa_key(&pub);
}

TEST_F(Rsa, DecryptionRefusesMalformedBlocksAndLengths) {
  rsa_key key = private_key(512), pub = public_key(key);
  const int k = 64;
  const std::string data = "payload";
  auto block = [&](const std::string& head, const std::string& padding) {
    std::string raw = head + padding + std::string(1, '\0');
    return raw + std::string(size_t(k) - raw.size() - data.size(), '\x01') + data;  // \x01 only when the block is short
  };
  const std::vector<std::pair<std::string, std::string>> cases = {
      {block(std::string("\0\2", 2), std::string(k - 3 - data.size(), '\x5a')), data},
      {block(std::string("\0\1", 2), std::string(k - 3 - data.size(), '\xff')), data},
      {block(std::string("\0\2", 2), std::string(8, '\x5a')), std::string(k - 11 - data.size(), '\x01') + data},
      {block(std::string("\1\2", 2), std::string(k - 3 - data.size(), '\x5a')), "<-1>"},  // byte 0 not zero
      {block(std::string("\0\3", 2), std::string(k - 3 - data.size(), '\x5a')), "<-1>"},  // unknown type
      {block(std::string("\0\1", 2), std::string(k - 4 - data.size(), '\xff') + "\xfe"), "<-1>"},  // type 1 not FF
      {block(std::string("\0\2", 2), std::string(7, '\x5a')), "<-1>"},                     // 7 padding bytes
      {std::string("\0\2", 2) + std::string(k - 2, '\x5a'), "<-1>"},                       // no separator
  };
  testing::internal::CaptureStderr();
  for (const auto& [raw, expected] : cases) {
    // Raise the raw block to the public exponent, then decrypt it.
    huge message{}, cipher{};
    huge_load_bytes(&message, reinterpret_cast<const u8*>(raw.data()), raw.size());
    huge_mod_pow(&message, pub.exponent, pub.modulus, &cipher);
    std::vector<u8> encrypted(k, 0);
    huge_store_bytes(&cipher, encrypted.data(), encrypted.size());
    EXPECT_EQ(apply(rsa_decrypt, as_text(encrypted.data(), k), &key), expected);
    huge_free(&message);
    huge_free(&cipher);
  }
  testing::internal::GetCapturedStderr();
  std::string good = apply(rsa_encrypt, data, &pub);
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
  const std::vector<std::tuple<int, u8, int>> cases = {{-1, 1, 0}, {9, 1, 1}, {0, 1, 1}, {-1, 0, 1}};
  for (const auto& [last, count, expected] : cases) {
    std::vector<u8> padding(pad, u8(pad));
    if (last >= 0) padding.back() = u8(last);
    std::vector<u8> der = encrypted_key_info(info, padding, count);
    rsa_key key{};
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse_pkcs8_private_key(&key, der.data(), int(der.size()), "secret"), expected) << last << " " << int(count);
    std::string messages = testing::internal::GetCapturedStderr();
    EXPECT_EQ(messages == "Decryption error, bad padding\n", last == 9 || last == 0) << messages;
    free_rsa_key(&key);
  }
}

TEST(RsaPowerNaive, MatchesModularPowersIncludingZeroExponent) {
  const std::vector<std::tuple<u32, u32, u32, std::string>> cases = {
      {4, 13, 497, "01BD"}, {4, 0, 497, "01"}, {500, 1, 497, "03"}, {7, 5, 1000, "0327"},
  };
  for (const auto& [m, e, n, expected] : cases) {
    huge base{}, exponent{}, modulus{}, result{};
    huge_set_uint(&base, m);
    huge_set_uint(&exponent, e);
    huge_set_uint(&modulus, n);
    rsa_power_naive(&base, &exponent, &modulus, &result);
    EXPECT_EQ(huge_hex(result), expected) << m << "^" << e << " mod " << n;
    for (huge* number : {&base, &exponent, &modulus, &result}) huge_free(number);
  }
}
