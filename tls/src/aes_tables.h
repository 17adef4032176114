// AES lookup tables, computed at compile time: the S-box and its inverse and
// the combined SubBytes/ShiftRows/MixColumns tables of the table-driven
// cipher (Te for encryption, Td for the equivalent inverse cipher).
#pragma once
#include <array>

#include "kernel/VekTypes.h"

namespace VekTls {
namespace AesTables {

typedef std::array<u8, 256> ByteTable;
typedef std::array<u32, 256> WordTable;

// Multiplication in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1.
constexpr u8 gf_multiply(u8 a, u8 b) {
  u8 product = 0;
  while (b) {
    if (b & 1) product ^= a;
    a = u8((a << 1) ^ ((a & 0x80) ? 0x1b : 0));
    b >>= 1;
  }
  return product;
}

constexpr u8 rotl8(u8 x, int n) { return u8((x << n) | (x >> (8 - n))); }

// Walks the multiplicative group with generator 3 (p) and its inverse (q),
// so that q is always p's inverse; the affine map of q gives sbox[p].
constexpr ByteTable make_sbox() {
  ByteTable sbox{};
  u8 p = 1, q = 1;
  do {
    p = u8(p ^ (p << 1) ^ ((p & 0x80) ? 0x1b : 0));
    q = u8(q ^ (q << 1));
    q = u8(q ^ (q << 2));
    q = u8(q ^ (q << 4));
    if (q & 0x80) q ^= 0x09;
    sbox[p] = u8(q ^ rotl8(q, 1) ^ rotl8(q, 2) ^ rotl8(q, 3) ^ rotl8(q, 4) ^ 0x63);
  } while (p != 1);
  sbox[0] = 0x63;
  return sbox;
}

constexpr ByteTable make_inverse(const ByteTable& table) {
  ByteTable inverse{};
  for (int i = 0; i < 256; i++) inverse[table[i]] = u8(i);
  return inverse;
}

constexpr u32 column(u8 b0, u8 b1, u8 b2, u8 b3) {
  return (u32(b0) << 24) | (u32(b1) << 16) | (u32(b2) << 8) | u32(b3);
}

constexpr u32 rotr_word(u32 v, int n) { return n == 0 ? v : (v >> n) | (v << (32 - n)); }

// Te_k[x]: the MixColumns column (2s, s, s, 3s) of s = sbox[x], rotated right by 8k bits.
constexpr WordTable make_te(const ByteTable& sbox, int k) {
  WordTable table{};
  for (int x = 0; x < 256; x++) {
    u8 s = sbox[x];
    table[x] = rotr_word(column(gf_multiply(s, 2), s, s, gf_multiply(s, 3)), 8 * k);
  }
  return table;
}

// Td_k[x]: the InvMixColumns column (14s, 9s, 13s, 11s) of s = inverse sbox[x], rotated right by 8k bits.
constexpr WordTable make_td(const ByteTable& inverse_sbox, int k) {
  WordTable table{};
  for (int x = 0; x < 256; x++) {
    u8 s = inverse_sbox[x];
    table[x] = rotr_word(
        column(gf_multiply(s, 14), gf_multiply(s, 9), gf_multiply(s, 13), gf_multiply(s, 11)), 8 * k);
  }
  return table;
}

constexpr ByteTable sbox = make_sbox();
constexpr ByteTable inverse_sbox = make_inverse(sbox);
constexpr WordTable te0 = make_te(sbox, 0), te1 = make_te(sbox, 1), te2 = make_te(sbox, 2), te3 = make_te(sbox, 3);
constexpr WordTable td0 = make_td(inverse_sbox, 0), td1 = make_td(inverse_sbox, 1), td2 = make_td(inverse_sbox, 2),
                    td3 = make_td(inverse_sbox, 3);

static_assert(sbox[0x00] == 0x63 && sbox[0x01] == 0x7c && sbox[0x53] == 0xed, "AES S-box");

}  // namespace AesTables
}  // namespace VekTls
