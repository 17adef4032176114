// DER parser, tree printer, PEM, hex and file helper tests.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "asn1.h"
#include "kernel/VekAlloc.h"
#include "openssl_peer.h"

using namespace VekTls;
using namespace VekTlsTest;

namespace {

// The tree as text: per node "class.tag[c]:length@offset", children in
// parentheses, siblings separated by spaces.
std::string describe(const asn1_node* node, const u8* base) {
  std::string text;
  for (; node; node = node->next) {
    text += std::string(text.empty() ? "" : " ") + std::to_string(node->tag_class) + "." + std::to_string(node->tag) +
            (node->constructed ? "c" : "") + ":" + std::to_string(node->length) + "@" + std::to_string(node->data - base);
    if (node->children) text += "(" + describe(node->children, base) + ")";
  }
  return text;
}

// The tree of hex DER, or "refused" (then with nothing left allocated).
std::string parse(const std::string& hex) {
  std::vector<u8> der = from_hex(hex);
  asn1_node top = {};
  int result = asn1_parse(der.data(), int(der.size()), &top);
  std::string text = result == 0 ? describe(&top, der.data()) : "refused";
  EXPECT_TRUE(result == 0 || (top.children == nullptr && top.next == nullptr)) << hex;
  asn1_free(&top);
  return text;
}

std::string nested_sequences(int depth) {
  std::string hex = "0500";
  for (int i = 0; i < depth; i++) hex = "30" + to_hex(std::vector<u8>{u8(hex.size() / 2)}) + hex;
  return hex;
}

}  // namespace

TEST(Asn1Parse, BuildsTheTreeAndRefusesLengthsBeyondTheirBoundsAndHostileShapes) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"3003020105", "0.16c:5@0(0.2:1@4)"},  // constructed: the whole element
      {"0201050500", "0.2:1@2 0.5:0@5"},     // top-level siblings
      {"3000", "0.16c:2@0"},                 // empty constructed: no child
      {"04820100" + std::string(512, '0'), "0.4:256@4"},
      {"a0053003010100", "2.0c:7@0(0.16c:5@2(0.1:1@6))"},
      {"020205", "refused"},                 // content past the buffer
      {"3003020205", "refused"},             // child past its parent
      {"30", "refused"},                     // header cut short
      {"0285", "refused"},                   // length bytes missing
      {"02850000000001ff", "refused"},       // five length bytes
      {"0284ffffffff00", "refused"},         // four length bytes, far past the end
      {"1f0100", "refused"},                 // high-tag-number form
      {"300402010002", "refused"},           // trailing element cut short
      {nested_sequences(ASN1_MAX_DEPTH + 1), "refused"},
  };
  for (const auto& [hex, tree] : cases) EXPECT_EQ(parse(hex), tree) << hex;
  EXPECT_NE(parse(nested_sequences(ASN1_MAX_DEPTH)), "refused");
}

TEST(Asn1Helpers, PemHexAndFilesDecodeOrAreRefused) {
  const std::vector<std::pair<std::string, std::string>> pem = {
      {"-----BEGIN X-----\r\nAQID\r\nBAU=\r\n-----END X-----\r\n", "0102030405"},
      {"-----BEGIN X-----\nAQID\n-----END X-----", "010203"},
      {"-----BEGIN X-----\nAQID\n", "refused"},                  // no END line
      {"-----BEGIN X-----\nAQ!D\n-----END X-----\n", "refused"},  // not base64
      {"-----BEGIN X-----\nAQI\n-----END X-----\n", "refused"},   // not a multiple of 4
      {"AQID\n", "refused"},                                      // no BEGIN line
  };
  for (const auto& [text, expected] : pem) {
    std::vector<u8> out(text.size());
    testing::internal::CaptureStderr();
    int result = pem_decode(text.c_str(), out.data());
    std::string message = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result < 0 ? "refused" : to_hex(out.data(), size_t(result)), expected) << text;
    EXPECT_TRUE(text[0] == '-' || message == "This does not appear to be a PEM-encoded certificate file\n");
  }
  const std::vector<std::pair<std::string, std::string>> hex = {
      {"0x0aFF", "0aff"}, {"abc", "61626300"}, {"0x", ""}, {"0xabc", "refused"}, {"0xzz", "refused"}};
  for (const auto& [text, expected] : hex) {
    u8* out = nullptr;
    int count = hex_decode(text.c_str(), &out);
    EXPECT_EQ(count < 0 ? "refused" : to_hex(out, size_t(count) + (text[1] == 'x' ? 0 : 1)), expected) << text;
    EXPECT_EQ(out == nullptr, count < 0);
    vekFree(&out);
  }
  ScratchDir dir;
  std::vector<u8> content(70000, 'x');
  content[123] = '\0';
  write_bytes(dir.file("f"), content);
  int size = -1;
  u8* block = load_file(dir.file("f").c_str(), &size);
  EXPECT_EQ(std::vector<u8>(block, block + size), content);
  vekFree(&block);
  testing::internal::CaptureStderr();
  EXPECT_EQ(load_file(dir.file("missing").c_str(), &size), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unable to open file: No such file or directory\n");
}
