// HMAC known answers for MD5, SHA-1 and SHA-256 (RFC 2202 and RFC 4231): a
// short key, a key longer than a block (hashed first), a key of exactly one
// block (used as it is; values from the openssl command line), and the empty
// key and text passed as null pointers (values from Python's hmac module).
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
  hmac(key.empty() ? nullptr : key.data(), int(key.size()), text.empty() ? nullptr : text.data(), int(text.size()),
       &digest);
  return to_hex(digest.hash, sizeof(u32) * digest.hash_len);
}

}  // namespace

TEST(Hmac, KnownAnswersForEveryKeyLength) {
  const std::vector<u8> hi = from_text("Hi There");
  const std::vector<u8> hash_key_first = from_text("Test Using Larger Than Block-Size Key - Hash Key First");
  struct Case {
    digest_setup setup;
    std::vector<u8> key, text;
    const char* hex;
  } cases[] = {
      {new_md5_digest, std::vector<u8>(16, 0x0b), hi, "9294727a3638bb1c13f48ef8158bfc9d"},
      {new_md5_digest, std::vector<u8>(80, 0xaa), hash_key_first, "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
      {new_md5_digest, std::vector<u8>(64, 0xab), hi, "2d933fcce5fb0378aa621c72a860e3a6"},
      {new_md5_digest, {}, {}, "74e6f7298a9c2d168935f58c001bad88"},
      {new_sha1_digest, std::vector<u8>(20, 0x0b), hi, "b617318655057264e28bc0b6fb378c8ef146be00"},
      {new_sha1_digest, std::vector<u8>(80, 0xaa), hash_key_first, "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
      {new_sha1_digest, std::vector<u8>(64, 0xab), hi, "28cbb94cff18ab27f19b6a0aeafc10959d382d1a"},
      {new_sha1_digest, {}, {}, "fbdb1d1b18aa6c08324b7d64b71fb76370690e1d"},
      {new_sha256_digest, std::vector<u8>(20, 0x0b), hi,
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {new_sha256_digest, std::vector<u8>(131, 0xaa), hash_key_first,
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {new_sha256_digest, std::vector<u8>(64, 0xab), hi,
       "6422541ff95fd81a3ff0f63f4f0991d24f890c83b66754bda39a6fd4c9d5f795"},
      {new_sha256_digest, {}, {}, "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad"},
  };
  for (const Case& c : cases) EXPECT_EQ(hmac_hex(c.setup, c.key, c.text), c.hex) << c.key.size();
}
