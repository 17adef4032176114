// HMAC known-answer tests: RFC 2202 (MD5, SHA-1) and RFC 4231 (SHA-256),
// including keys of exactly one block and keys longer than a block.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hmac.h"
#include "test_bytes.h"

using namespace VekTls;
using namespace VekTlsTest;

namespace {

typedef void (*digest_setup)(digest_ctx*);

std::string hmac_hex(digest_setup setup, const std::vector<u8>& key, const std::vector<u8>& text) {
  digest_ctx digest;
  setup(&digest);
  hmac(key.data(), int(key.size()), text.data(), int(text.size()), &digest);
  return to_hex(digest.hash, sizeof(u32) * digest.hash_len);
}

struct HmacCase {
  std::vector<u8> key;
  std::vector<u8> text;
};

std::vector<u8> counting_key() {
  std::vector<u8> key;
  for (int i = 1; i <= 25; i++) key.push_back(u8(i));
  return key;
}

// The shared inputs of RFC 2202 and RFC 4231 (cases 1 to 4), the first
// three with a key of `short_key_length` bytes.
std::vector<HmacCase> common_cases(size_t short_key_length) {
  return {
      {std::vector<u8>(short_key_length, 0x0b), from_text("Hi There")},
      {from_text("Jefe"), from_text("what do ya want for nothing?")},
      {std::vector<u8>(short_key_length, 0xaa), std::vector<u8>(50, 0xdd)},
      {counting_key(), std::vector<u8>(50, 0xcd)},
  };
}

const std::string hash_key_first = "Test Using Larger Than Block-Size Key - Hash Key First";
const std::string larger_data = "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data";

}  // namespace

TEST(Hmac, Md5Rfc2202) {
  std::vector<HmacCase> cases = common_cases(16);
  EXPECT_EQ(hmac_hex(new_md5_digest, cases[0].key, cases[0].text), "9294727a3638bb1c13f48ef8158bfc9d");
  EXPECT_EQ(hmac_hex(new_md5_digest, cases[1].key, cases[1].text), "750c783e6ab0b503eaa86e310a5db738");
  EXPECT_EQ(hmac_hex(new_md5_digest, cases[2].key, cases[2].text), "56be34521d144c88dbb8c733f0e8b3f6");
  EXPECT_EQ(hmac_hex(new_md5_digest, cases[3].key, cases[3].text), "697eaf0aca3a3aea3a75164746ffaa79");
  std::vector<u8> long_key(80, 0xaa);
  EXPECT_EQ(hmac_hex(new_md5_digest, long_key, from_text(hash_key_first)), "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd");
  EXPECT_EQ(hmac_hex(new_md5_digest, long_key, from_text(larger_data)), "6f630fad67cda0ee1fb1f562db3aa53e");
}

TEST(Hmac, Sha1Rfc2202) {
  std::vector<HmacCase> cases = common_cases(20);
  EXPECT_EQ(hmac_hex(new_sha1_digest, cases[0].key, cases[0].text), "b617318655057264e28bc0b6fb378c8ef146be00");
  EXPECT_EQ(hmac_hex(new_sha1_digest, cases[1].key, cases[1].text), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
  EXPECT_EQ(hmac_hex(new_sha1_digest, cases[2].key, cases[2].text), "125d7342b9ac11cd91a39af48aa17b4f63f175d3");
  EXPECT_EQ(hmac_hex(new_sha1_digest, cases[3].key, cases[3].text), "4c9007f4026250c6bc8414f9bf50c86c2d7235da");
  std::vector<u8> long_key(80, 0xaa);
  EXPECT_EQ(hmac_hex(new_sha1_digest, long_key, from_text(hash_key_first)),
            "aa4ae5e15272d00e95705637ce8a3b55ed402112");
  EXPECT_EQ(hmac_hex(new_sha1_digest, long_key, from_text(larger_data)),
            "e8e99d0f45237d786d6bbaa7965c7808bbff1a91");
}

TEST(Hmac, Sha256Rfc4231) {
  std::vector<HmacCase> cases = common_cases(20);
  EXPECT_EQ(hmac_hex(new_sha256_digest, cases[0].key, cases[0].text),
            "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
  EXPECT_EQ(hmac_hex(new_sha256_digest, cases[1].key, cases[1].text),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  EXPECT_EQ(hmac_hex(new_sha256_digest, cases[2].key, cases[2].text),
            "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe");
  EXPECT_EQ(hmac_hex(new_sha256_digest, cases[3].key, cases[3].text),
            "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b");
  std::vector<u8> long_key(131, 0xaa);
  EXPECT_EQ(hmac_hex(new_sha256_digest, long_key, from_text(hash_key_first)),
            "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
  std::string long_text =
      "This is a test using a larger than block-size key and a larger than block-size data. "
      "The key needs to be hashed before being used by the HMAC algorithm.";
  EXPECT_EQ(hmac_hex(new_sha256_digest, long_key, from_text(long_text)),
            "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2");
}

// A key of exactly one block is used as it is (not hashed); values from the
// openssl command line.
TEST(Hmac, KeyOfExactlyOneBlock) {
  std::vector<u8> key(64, 0xab);
  std::vector<u8> text = from_text("Hi There");
  EXPECT_EQ(hmac_hex(new_md5_digest, key, text), "2d933fcce5fb0378aa621c72a860e3a6");
  EXPECT_EQ(hmac_hex(new_sha1_digest, key, text), "28cbb94cff18ab27f19b6a0aeafc10959d382d1a");
  EXPECT_EQ(hmac_hex(new_sha256_digest, key, text),
            "6422541ff95fd81a3ff0f63f4f0991d24f890c83b66754bda39a6fd4c9d5f795");
}

// An empty key and an empty text, passed as null pointers, are the empty
// byte strings (reference values from Python's hmac module).
TEST(Hmac, EmptyKeyAndTextMayBeNull) {
  const std::pair<digest_setup, const char*> cases[] = {
      {new_md5_digest, "74e6f7298a9c2d168935f58c001bad88"},
      {new_sha1_digest, "fbdb1d1b18aa6c08324b7d64b71fb76370690e1d"},
      {new_sha256_digest, "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad"},
  };
  for (const auto& [setup, expected] : cases) {
    digest_ctx digest;
    setup(&digest);
    hmac(nullptr, 0, nullptr, 0, &digest);
    EXPECT_EQ(to_hex(digest.hash, sizeof(u32) * digest.hash_len), expected);
  }
}
