// Word kernel of the big-number code (internal to it): natural numbers as
// little-endian vectors of 64-bit words, with products through unsigned
// __int128. Both layers of huge.h move their bytes into these vectors for the
// quadratic work (multiplication, division, Montgomery exponentiation) and
// back; a little-endian byte array is the same number as a little-endian
// word array over the same bytes, padded with zeros to whole words.
//
// A `Nat` is kept trimmed: no high zero word, zero being the empty vector.
#pragma once
#include <cstddef>
#include <vector>

#include "kernel/VekTypes.h"

namespace VekTls {
namespace words {

typedef std::vector<u64> Nat;
typedef unsigned __int128 u128;

// Drops high zero words.
void trim(Nat& a);
Nat from_le_bytes(const u8* bytes, size_t length);
Nat from_be_bytes(const u8* bytes, size_t length);
// Writes the low `length` bytes of a (zero padded) little- or big-endian.
void to_le_bytes(const Nat& a, u8* bytes, size_t length);
void to_be_bytes(const Nat& a, u8* bytes, size_t length);
// Bytes needed for a (0 for zero), bit length, trailing zero bits (0 for zero).
size_t byte_length(const Nat& a);
size_t bit_length(const Nat& a);
size_t trailing_zeros(const Nat& a);
inline bool is_zero(const Nat& a) { return a.empty(); }
inline bool is_odd(const Nat& a) { return !a.empty() && (a[0] & 1); }
Nat from_u64(u64 value);

int compare(const Nat& a, const Nat& b);
Nat add(const Nat& a, const Nat& b);
// a - b for a >= b.
Nat sub(const Nat& a, const Nat& b);
Nat mul(const Nat& a, const Nat& b);
Nat shift_left(const Nat& a, size_t bits);
Nat shift_right(const Nat& a, size_t bits);
// q = a / b, r = a mod b for b != 0; either output may be null.
void divmod(const Nat& a, const Nat& b, Nat* q, Nat* r);
// a mod d for a single word d != 0.
u64 mod_word(const Nat& a, u64 d);
// gcd(a, b); gcd(a, 0) = a.
Nat gcd(Nat a, Nat b);
// a^-1 mod n for 0 <= a < n: true when gcd(a, n) = 1. Otherwise false, and
// result is a's Euclid cofactor mod n (result * a = gcd mod n).
bool inverse(const Nat& a, const Nat& n, Nat* result);
// base^exponent mod modulus for an odd modulus > 0 and base < modulus, by
// Montgomery multiplication with a sliding window. r_squared, when not null,
// must be R^2 mod modulus for R = 2^(64 * words of modulus).
Nat mod_pow(const Nat& base, const Nat& exponent, const Nat& modulus, const Nat* r_squared);
// Turns the MULX/ADX Montgomery kernel on (where the processor has it) or
// off, returning whether it was on; for tests of the portable kernel.
bool use_fast_montgomery(bool enable);
// R^2 mod modulus for R = 2^(64 * words of modulus).
Nat montgomery_r_squared(const Nat& modulus);

}  // namespace words
}  // namespace VekTls
