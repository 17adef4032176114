// Hex and text helpers shared by the crypto tests.
#pragma once
#include <string>
#include <vector>

#include "kernel/VekTypes.h"

namespace VekTlsTest {

inline std::vector<u8> from_hex(const std::string& hex) {
  std::vector<u8> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(u8(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

inline std::string to_hex(const void* data, size_t length) {
  static const char digits[] = "0123456789abcdef";
  const u8* bytes = static_cast<const u8*>(data);
  std::string hex;
  for (size_t i = 0; i < length; i++) {
    hex += digits[bytes[i] >> 4];
    hex += digits[bytes[i] & 15];
  }
  return hex;
}

inline std::string to_hex(const std::vector<u8>& bytes) { return to_hex(bytes.data(), bytes.size()); }

inline std::vector<u8> from_text(const std::string& text) { return std::vector<u8>(text.begin(), text.end()); }

inline const u8* text_bytes(const std::string& text) { return reinterpret_cast<const u8*>(text.data()); }

}  // namespace VekTlsTest
