// RC4 tests: RFC 6229 keystreams for a 40-bit and a 128-bit key, state
// carried across calls, and decryption undoing encryption.
#include <gtest/gtest.h>

#include <vector>

#include "rc4.h"
#include "test_bytes.h"

using namespace VekTls;
using namespace VekTlsTest;

namespace {

// Keystream bytes at offsets 0, 16, 240 and 256 (16 each), as RFC 6229 lists them.
std::string keystream_samples(const std::vector<u8>& keystream) {
  std::string samples;
  for (size_t offset : {0, 16, 240, 256}) samples += to_hex(keystream.data() + offset, 16);
  return samples;
}

// The keystream (encryption of zeros) produced in pieces of `piece` bytes.
std::vector<u8> keystream(void (*cipher)(const u8*, int, u8*, void*, const u8*), const std::vector<u8>& key,
                          size_t piece) {
  std::vector<u8> zeros(272, 0), stream(272);
  rc4_state state = {};
  for (size_t at = 0; at < zeros.size(); at += piece) {
    int length = int(std::min(piece, zeros.size() - at));
    cipher(zeros.data() + at, length, stream.data() + at, &state, key.data());
  }
  return stream;
}

}  // namespace

TEST(Rc4, Rfc6229KeystreamsInOneCallAndInPieces) {
  const std::string expected40 =
      "b2396305f03dc027ccc3524a0a1118a86982944f18fc82d589c403a47a0d0919"
      "28cb1132c96ce286421dcaadb8b69eae1cfcf62b03eddb641d77dfcf7f8d8c93";
  const std::string expected128 =
      "9ac7cc9a609d1ef7b2932899cde41b975248c4959014126a6e8a84f11d1a9e1c"
      "065902e4b620f6cc36c8589f66432f2bd39d566bc6bce3010768151549f3873f";
  // The 40-bit functions use only the first 5 key bytes.
  std::vector<u8> key = from_hex("0102030405060708090a0b0c0d0e0f10");
  for (size_t piece : {272, 1, 7, 100}) {
    EXPECT_EQ(keystream_samples(keystream(rc4_40_encrypt, key, piece)), expected40) << "piece " << piece;
    EXPECT_EQ(keystream_samples(keystream(rc4_128_encrypt, key, piece)), expected128) << "piece " << piece;
  }
}

TEST(Rc4, DecryptionWithItsOwnStateRestoresTheText) {
  std::vector<u8> key(16, 0x5a);
  std::vector<u8> text = from_text("attack at dawn, then again at dusk");
  rc4_state send = {}, receive = {};
  std::vector<u8> sealed(text.size()), opened(text.size());
  rc4_128_encrypt(text.data(), int(text.size()), sealed.data(), &send, key.data());
  EXPECT_NE(sealed, text);
  // In place, in two pieces.
  opened = sealed;
  rc4_128_decrypt(opened.data(), 10, opened.data(), &receive, key.data());
  rc4_128_decrypt(opened.data() + 10, int(opened.size()) - 10, opened.data() + 10, &receive, key.data());
  EXPECT_EQ(opened, text);
  rc4_state receive40 = {}, send40 = {};
  rc4_40_encrypt(text.data(), int(text.size()), sealed.data(), &send40, key.data());
  rc4_40_decrypt(sealed.data(), int(sealed.size()), opened.data(), &receive40, key.data());
  EXPECT_EQ(opened, text);
}
