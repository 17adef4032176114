// DER parser, tree printer, PEM, hex and file helper tests.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "asn1.h"
#include "kernel/VekAlloc.h"
#include "test_bytes.h"

using namespace VekTls;
using namespace VekTlsTest;

namespace {

// The tree as text: per node "class.tag[c]:length@offset", children in
// parentheses, siblings separated by spaces.
std::string describe(const asn1_node* node, const u8* base) {
  std::string text;
  for (; node; node = node->next) {
    if (!text.empty()) text += " ";
    text += std::to_string(node->tag_class) + "." + std::to_string(node->tag) + (node->constructed ? "c" : "") +
            ":" + std::to_string(node->length) + "@" + std::to_string(node->data - base);
    if (node->children) text += "(" + describe(node->children, base) + ")";
  }
  return text;
}

// Parse result and tree text of hex DER.
std::string parse(const std::string& hex) {
  std::vector<u8> der = from_hex(hex);
  asn1_node top = {};
  int result = asn1_parse(der.data(), int(der.size()), &top);
  std::string text = result == 0 ? describe(&top, der.data()) : "refused";
  if (result != 0) {
    EXPECT_TRUE(top.children == nullptr && top.next == nullptr) << hex;
  }
  asn1_free(&top);
  return text;
}

std::string nested_sequences(int depth) {
  std::string hex = "0500";
  for (int i = 0; i < depth; i++) {
    char length[3];
    std::snprintf(length, sizeof(length), "%02x", int(hex.size() / 2));
    hex = "30" + std::string(length) + hex;
  }
  return hex;
}

}  // namespace

TEST(Asn1Parse, BuildsTheTreeWithWholeElementSpansForConstructedNodes) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"3003020105", "0.16c:5@0(0.2:1@4)"},
      {"0201050500", "0.2:1@2 0.5:0@5"},                        // top-level siblings
      {"3000", "0.16c:2@0"},                                    // empty constructed: no child
      {"04820100" + std::string(512, '0'), "0.4:256@4"},      // long-form length
      {"a0053003010100", "2.0c:7@0(0.16c:5@2(0.1:1@6))"},       // context class
      {"3006310402020000", "0.16c:8@0(0.17c:6@2(0.2:2@6))"},
      {"0400", "0.4:0@2"},
  };
  for (const auto& [hex, tree] : cases) EXPECT_EQ(parse(hex), tree) << hex;
}

TEST(Asn1Parse, RefusesLengthsBeyondTheirBoundsAndHostileShapes) {
  const std::vector<std::string> refused = {
      "020205",                    // content past the buffer
      "3003020205",                // child past its parent
      "30",                        // header cut short
      "0285",                      // length bytes missing
      "02850000000001ff",          // five length bytes
      "0284ffffffff00",            // four length bytes, far past the end
      "1f0100",                    // high-tag-number form
      "3004020100" "02",           // trailing element cut short
      nested_sequences(ASN1_MAX_DEPTH + 1),
  };
  for (const std::string& hex : refused) EXPECT_EQ(parse(hex), "refused") << hex;
  EXPECT_NE(parse(nested_sequences(ASN1_MAX_DEPTH)), "refused");
}

TEST(Asn1Show, PrintsTagNamesClassesAndContents) {
  std::vector<u8> der = from_hex("300e020105" "0603550403" "0c026869" "0500" "a103010100");
  asn1_node top = {};
  ASSERT_EQ(asn1_parse(der.data(), int(der.size()), &top), 0);
  testing::internal::CaptureStdout();
  asn1_show(0, &top);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "SEQUENCE, SEQUENCE OF (16:16) \n"
            " INTEGER (2:1) 05 \n"
            " OBJECT IDENTIFIER (6:3) 55 04 03 \n"
            " UTF8String (12:2)  hi\n"
            " NULL (5:0) \n"
            "context (1:5) \n"
            " BOOLEAN (1:1) \n");
  asn1_free(&top);
}

TEST(PemDecode, DecodesOneBlockAndRefusesBrokenOnes) {
  const std::vector<std::pair<std::string, int>> cases = {
      {"-----BEGIN X-----\r\nAQID\r\nBAU=\r\n-----END X-----\r\n", 5},
      {"-----BEGIN X-----\nAQID\n-----END X-----", 3},
      {"-----BEGIN X-----\nAQID\n", -1},                  // no END line
      {"-----BEGIN X-----\nAQ!D\n-----END X-----\n", -1},  // not base64
      {"-----BEGIN X-----\nAQI\n-----END X-----\n", -1},   // not a multiple of 4
      {"AQID\n", -1},                                      // no BEGIN line
  };
  for (const auto& [pem, expected] : cases) {
    std::vector<u8> out(pem.size());
    testing::internal::CaptureStderr();
    int result = pem_decode(pem.c_str(), out.data());
    std::string messages = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, expected) << pem;
    if (result > 0) {
      EXPECT_EQ(to_hex(out.data(), size_t(result)), std::string("0102030405").substr(0, 2 * result));
    }
  }
  testing::internal::CaptureStderr();
  pem_decode("AQID", nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "This does not appear to be a PEM-encoded certificate file\n");
}

TEST(HexDecode, ReadsDigitPairsOrCopiesTheTextAndRefusesBrokenDigits) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"0x0aFF", "0aff"}, {"abc", "61626300"}, {"0x", ""}, {"0xabc", "refused"}, {"0xzz", "refused"},
  };
  for (const auto& [text, expected] : cases) {
    u8* out = nullptr;
    int count = hex_decode(text.c_str(), &out);
    std::string got = count < 0 ? "refused" : to_hex(out, size_t(count) + (text.rfind("0x", 0) == 0 ? 0 : 1));
    EXPECT_EQ(got, expected) << text;
    if (count < 0) {
      EXPECT_EQ(out, nullptr);
    }
    vekFree(&out);
  }
  testing::internal::CaptureStdout();
  show_hex(from_hex("00a1ff").data(), 3);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "00a1ff\n");
}

TEST(LoadFile, ReadsWholeFilesAndReportsMissingOnes) {
  char path[] = "/tmp/asn1_load_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  std::string content(70000, 'x');
  content[123] = '\0';
  ASSERT_EQ(write(fd, content.data(), content.size()), ssize_t(content.size()));
  close(fd);
  int size = -1;
  u8* block = load_file(path, &size);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(block), size_t(size)), content);
  vekFree(&block);
  unlink(path);
  testing::internal::CaptureStderr();
  EXPECT_EQ(load_file(path, &size), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr().rfind("Unable to open file: ", 0), 0u);
}
