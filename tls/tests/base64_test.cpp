// Base64 tests: RFC 4648 vectors, round trips and refused input.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base64.h"
#include "test_bytes.h"

using namespace VekTls;
using namespace VekTlsTest;

namespace {

std::string encode(const std::string& text) {
  std::vector<u8> output(base64_encoded_length(int(text.size())) + 1, 0xff);
  base64_encode(text_bytes(text), int(text.size()), output.data());
  EXPECT_EQ(output.back(), 0) << "final NUL";
  return std::string(reinterpret_cast<const char*>(output.data()));
}

// Decoded text, or "<-1>" style marker for a negative result.
std::string decode(const std::string& text) {
  std::vector<u8> output(text.size() + 1);
  int count = base64_decode(text_bytes(text), int(text.size()), output.data());
  if (count < 0) return "<" + std::to_string(count) + ">";
  return std::string(output.begin(), output.begin() + count);
}

const std::vector<std::pair<std::string, std::string>> rfc4648 = {
    {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},        {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
};

}  // namespace

TEST(Base64, Rfc4648VectorsBothWays) {
  for (const auto& [plain, encoded] : rfc4648) {
    EXPECT_EQ(encode(plain), encoded);
    EXPECT_EQ(decode(encoded), plain);
  }
}

TEST(Base64, EveryByteValueRoundTrips) {
  std::string all;
  for (int i = 0; i < 256; i++) all += char(i);
  for (size_t length = 0; length <= all.size(); length += 37) {
    std::string part = all.substr(0, length);
    EXPECT_EQ(decode(encode(part)), part) << "length " << length;
  }
  EXPECT_EQ(encode("\xfb\xff\xbf"), "+/+/");
}

TEST(Base64, InvalidCharactersAreRefusedWithAMessage) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(decode("Zm9v!mFy"), "<-1>");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "invalid character for base64 encoding: !\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(decode("Zm 9"), "<-1>");
  EXPECT_EQ(decode("Zm9v\nmFy"), "<-1>");
  testing::internal::GetCapturedStderr();
}

TEST(Base64, MisplacedPaddingIsRefused) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(decode("Zg==Zm8="), "<-1>");  // padding before the last quartet
  EXPECT_EQ(decode("Z==="), "<-1>");      // three "=" leave no whole byte
  EXPECT_EQ(decode("Zm=v"), "<-1>");      // "=" followed by data
  EXPECT_EQ(decode("===="), "<-1>");
  testing::internal::GetCapturedStderr();
}

TEST(Base64, LengthNotAMultipleOfFourWritesNothing) {
  testing::internal::CaptureStderr();
  u8 output[8] = {0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55};
  EXPECT_LT(base64_decode(text_bytes("Zm9vY"), 5, output), 0);
  EXPECT_LT(base64_decode(text_bytes("Zm9"), -4, output), 0);
  testing::internal::GetCapturedStderr();
  for (u8 byte : output) EXPECT_EQ(byte, 0x55);
}
