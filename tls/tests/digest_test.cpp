// Known-answer and streaming tests for MD5, SHA-1 and SHA-256.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "digest.h"
#include "test_bytes.h"

using namespace VekTls;
using namespace VekTlsTest;

namespace {

typedef void (*digest_setup)(digest_ctx*);

std::string digest_hex(digest_setup setup, const std::string& text) {
  digest_ctx context;
  setup(&context);
  update_digest(&context, text_bytes(text), int(text.size()));
  finalize_digest(&context);
  return to_hex(context.hash, sizeof(u32) * context.hash_len);
}

std::string million_a_hex(digest_setup setup) {
  std::string thousand(1000, 'a');
  digest_ctx context;
  setup(&context);
  for (int i = 0; i < 1000; i++) update_digest(&context, text_bytes(thousand), 1000);
  finalize_digest(&context);
  return to_hex(context.hash, sizeof(u32) * context.hash_len);
}

const std::string digits80 =
    "12345678901234567890123456789012345678901234567890123456789012345678901234567890";

}  // namespace

// Published answers: the empty text, "abc", a two-block message, a million
// times 'a' (fed a thousand at a time) and a NUL byte.
TEST(Digest, KnownAnswers) {
  const std::string two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  const std::string million = "<million>";
  struct Case {
    digest_setup setup;
    std::string text;
    const char* hex;
  } cases[] = {
      {new_md5_digest, "", "d41d8cd98f00b204e9800998ecf8427e"},
      {new_md5_digest, "abc", "900150983cd24fb0d6963f7d28e17f72"},
      {new_md5_digest, digits80, "57edf4a22be3c955ac49da2e2107b67a"},
      {new_md5_digest, million, "7707d6ae4e027c70eea2a935c2296f21"},
      {new_md5_digest, std::string("\0", 1), "93b885adfe0da089cdf634904fd59f71"},
      {new_sha1_digest, "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {new_sha1_digest, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {new_sha1_digest, two_blocks, "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {new_sha1_digest, million, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
      {new_sha256_digest, "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {new_sha256_digest, "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {new_sha256_digest, two_blocks, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {new_sha256_digest, million, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.text == million ? million_a_hex(c.setup) : digest_hex(c.setup, c.text), c.hex) << c.text.size();
}

// Lengths around the padding boundaries (55, 56, 63, 64, 119, 120 bytes)
// are all crossed here by cutting a 300-byte message into pieces.
TEST(Digest, PiecesOfEverySizeGiveTheOneShotResult) {
  std::string message;
  for (int i = 0; i < 300; i++) message += char(i * 7 + 3);
  for (digest_setup setup : {new_md5_digest, new_sha1_digest, new_sha256_digest}) {
    std::string expected = digest_hex(setup, message);
    for (int piece = 1; piece <= 130; piece++) {
      digest_ctx context;
      setup(&context);
      for (size_t at = 0; at < message.size(); at += piece) {
        int length = int(std::min<size_t>(piece, message.size() - at));
        update_digest(&context, text_bytes(message) + at, length);
      }
      finalize_digest(&context);
      ASSERT_EQ(to_hex(context.hash, sizeof(u32) * context.hash_len), expected) << "piece " << piece;
    }
  }
}

TEST(Digest, CopyFinalisesWithoutDisturbingTheRunningDigest) {
  digest_ctx running;
  new_sha1_digest(&running);
  update_digest(&running, text_bytes("ab"), 2);
  digest_ctx snapshot = running;
  finalize_digest(&snapshot);
  EXPECT_EQ(to_hex(snapshot.hash, 20), "da23614e02469a0d7c7bd1bdab5c9c474b1904dc");  // SHA-1("ab")
  update_digest(&running, text_bytes("c"), 1);
  finalize_digest(&running);
  EXPECT_EQ(to_hex(running.hash, 20), "a9993e364706816aba3e25717850c26c9cd0d89d");  // SHA-1("abc")
}

TEST(Digest, Md5HashOneShotAndIgnoredNegativeLength) {
  u32 hash[4];
  md5_hash(text_bytes("abc"), 3, hash);
  EXPECT_EQ(to_hex(hash, 16), "900150983cd24fb0d6963f7d28e17f72");
  digest_ctx context;
  new_md5_digest(&context);
  update_digest(&context, text_bytes("abc"), -5);
  finalize_digest(&context);
  EXPECT_EQ(to_hex(context.hash, 16), "d41d8cd98f00b204e9800998ecf8427e");
}

// Messages whose padding just fits (55), just misses (56) or fills whole
// blocks (63 to 65 bytes); reference values from Python's hashlib.
TEST(Digest, PaddingBoundaryLengthsMatchReference) {
  struct Case {
    int length;
    const char* md5;
    const char* sha1;
    const char* sha256;
  };
  const Case cases[] = {
      {55, "ef1772b6dff9a122358552954ad0df65", "c1c8bbdc22796e28c0e15163d20899b65621d65a",
       "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {56, "3b0c8ac703f828b04c6c197006d17218", "c2db330f6083854c99d4b5bfb6e8f29f201be699",
       "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {63, "b06521f39153d618550606be297466d5", "03f09f5b158a7a8cdad920bddc29b81c18a551f5",
       "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
      {64, "014842d480b571495a4a0363793f7367", "0098ba824b5c16427bd7a1122a5a442a25ec644d",
       "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
      {65, "c743a45e0d2e6a95cb859adae0248435", "11655326c708d70319be2610e8a57d9a5b959d3b",
       "635361c48bb9eab14198e76ea8ab7f1a41685d6ad62aa9146d301d4f17eb0ae0"},
  };
  for (const Case& c : cases) {
    std::string message(c.length, 'a');
    EXPECT_EQ(digest_hex(new_md5_digest, message), c.md5) << c.length;
    EXPECT_EQ(digest_hex(new_sha1_digest, message), c.sha1) << c.length;
    EXPECT_EQ(digest_hex(new_sha256_digest, message), c.sha256) << c.length;
  }
}
