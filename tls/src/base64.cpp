// Base64 encoding and decoding with the RFC 4648 alphabet and "=" padding.
#include "base64.h"

#include <cstdio>

namespace VekTls {

namespace {

const char base64_alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of a base64 character, or -1 when it is not one of the 64.
int base64_value(u8 c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

int report_invalid(u8 c) {
  std::fprintf(stderr, "invalid character for base64 encoding: %c\n", c);
  return -1;
}

// Number of "=" that end the last quartet (0, 1 or 2); -1 when the padding
// is malformed ("=" before a data character, or three of them).
int padding_count(const u8* quartet) {
  if (quartet[3] != '=') return quartet[2] == '=' ? -1 : 0;
  if (quartet[2] != '=') return 1;
  return quartet[1] == '=' ? -1 : 2;
}

// Decodes one quartet of which the first 4 - padding characters carry data.
// Returns the bytes written (3 - padding) or -1 for an invalid character.
int decode_quartet(const u8* quartet, int padding, u8* output) {
  u32 bits = 0;
  for (int i = 0; i < 4; i++) {
    int value = i < 4 - padding ? base64_value(quartet[i]) : 0;
    if (value < 0) return report_invalid(quartet[i]);
    bits = (bits << 6) | u32(value);
  }
  int written = 3 - padding;
  for (int i = 0; i < written; i++) output[i] = u8(bits >> (16 - 8 * i));
  return written;
}

}  // namespace

void base64_encode(const u8* input, int length, u8* output) {
  for (; length > 0; input += 3, length -= 3) {
    u32 bits = u32(input[0]) << 16;
    if (length > 1) bits |= u32(input[1]) << 8;
    if (length > 2) bits |= input[2];
    *output++ = base64_alphabet[(bits >> 18) & 63];
    *output++ = base64_alphabet[(bits >> 12) & 63];
    *output++ = length > 1 ? base64_alphabet[(bits >> 6) & 63] : '=';
    *output++ = length > 2 ? base64_alphabet[bits & 63] : '=';
  }
  *output = 0;
}

int base64_decode(const u8* input, int length, u8* output) {
  if (length < 0 || length % 4 != 0) {
    std::fprintf(stderr, "invalid length for base64 encoding: %d\n", length);
    return -1;
  }
  int written = 0;
  for (int at = 0; at < length; at += 4) {
    // Only the last quartet may end with padding; an "=" anywhere else is
    // an invalid character.
    int padding = at + 4 == length ? padding_count(input + at) : 0;
    if (padding < 0) return report_invalid('=');
    int count = decode_quartet(input + at, padding, output + written);
    if (count < 0) return -1;
    written += count;
  }
  return written;
}

}  // namespace VekTls
