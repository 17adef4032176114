// Helpers shared by the big-number tests: owners for both layers' numbers,
// hexadecimal in and out, and a seeded random generator.
#pragma once
#include <string>
#include <vector>

#include "huge.h"
#include "test_bytes.h"

namespace VekTlsTest {

// A second-layer number that releases itself.
struct Limbs {
  VekTls::huge h;
  Limbs() { VekTls::init_huge(&h); }
  explicit Limbs(const std::string& hex) : Limbs() { VekTls::read_huge_string(&h, 16, hex.c_str()); }
  ~Limbs() { VekTls::release_huge(&h); }
  Limbs(const Limbs&) = delete;
  Limbs& operator=(const Limbs&) = delete;
  VekTls::huge* operator&() { return &h; }
  // Signed hex of the value ("-" only for a non-zero negative value).
  std::string hex() const {
    char text[16 * 1024];
    size_t length = sizeof text;
    VekTls::huge magnitude = h;
    magnitude.sign = 0;
    VekTls::write_huge_string(&magnitude, 16, text, &length);
    std::string digits(text);
    while (digits.size() > 1 && digits[0] == '0') digits.erase(0, 1);
    return (h.sign && digits != "0" ? "-" : "") + digits;
  }
};

// A first-layer number (big-endian bytes) that releases itself.
struct Bytes {
  VekTls::huge h;
  Bytes() : h{0, 0, nullptr} {}
  explicit Bytes(const std::string& hex) : Bytes() {
    bool negative = !hex.empty() && hex[0] == '-';
    std::string digits = hex.substr(negative);
    if (digits.size() % 2) digits = "0" + digits;
    std::vector<u8> bytes = from_hex(digits);
    VekTls::huge_load_bytes(&h, bytes.data(), bytes.size());
    h.sign = negative;
  }
  ~Bytes() { VekTls::huge_free(&h); }
  Bytes(const Bytes&) = delete;
  Bytes& operator=(const Bytes&) = delete;
  VekTls::huge* operator&() { return &h; }
  // Signed upper-case hex; "!" marks a number that is not in normal form.
  std::string hex() const {
    if (h.size == 0 || (h.size > 1 && h.rep[0] == 0)) return "!";
    std::string digits = to_hex(h.rep, h.size);
    for (char& c : digits) c = char(toupper(c));
    if (digits[0] == '0') digits.erase(0, 1);
    return (h.sign && digits != "0" ? "-" : "") + digits;
  }
};

// xorshift64: a repeatable stream of random bytes for the prime tests.
inline int test_random(void* context, u8* buffer, size_t length) {
  u64* state = static_cast<u64*>(context);
  for (size_t i = 0; i < length; i++) {
    *state ^= *state << 13;
    *state ^= *state >> 7;
    *state ^= *state << 17;
    buffer[i] = u8(*state >> 32);
  }
  return 0;
}

}  // namespace VekTlsTest
