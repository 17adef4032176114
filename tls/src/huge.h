// Arbitrary-length integers for the public-key code.
//
// One record, `huge`, serves two layers that read its bytes differently:
//
// 1. The first layer (huge_set_uint .. huge_mod_pow_bitwise) keeps a
//    sign-magnitude number whose `rep` holds `size` bytes, most significant
//    first, in normal form: no leading zero byte, zero being the single byte 0.
//    Its operations report nothing; the caller respects the stated limits.
//    Modular exponentiation is handed to the second layer by huge_mod_pow.
// 2. The second layer (init_huge .. exp_mod .. gen_prime_huge) keeps the
//    magnitude as little-endian byte limbs: byte i of `rep` carries bits 8i to
//    8i+7, `size` counts the limbs allocated and limbs above the highest
//    non-zero one are zero. Every operation returns a HUGE_* status, and no
//    number grows past HUGE_MAX_LIMBS limbs.
//
// In both layers `rep` is a block from vekMalloc/vekCalloc released with
// vekFree, and `sign` is 0 for zero or positive, 1 for negative.
#pragma once
#include <cstddef>
#include <cstdio>

#include "kernel/VekTypes.h"

namespace VekTls {

struct huge {
  u32 sign;  // 0 zero or positive, 1 negative
  u32 size;  // bytes (first layer) or limbs allocated (second layer) in rep
  u8* rep;   // the magnitude: big-endian (first layer), little-endian limbs (second layer)
};

// ---- First layer: big-endian bytes, normal form, no status ----

// h = value (sign 0) in the fewest of 1..4 bytes; h's old array is not released.
void huge_set_uint(huge* h, u32 value);
// Releases target's array, then copies sign, size and bytes of source.
void huge_copy(huge* target, const huge* source);
// Releases rep (the pointer becomes null); sign and size are left alone.
void huge_free(huge* h);
// h = the big-endian bytes without their leading zeros, sign 0; an empty or
// all-zero input gives the single zero byte. h's old array is not released.
void huge_load_bytes(huge* h, const u8* bytes, size_t length);
// Writes the magnitude into the last `size` bytes of the buffer, leaving the
// bytes before it alone; writes nothing when the magnitude is longer than length.
void huge_store_bytes(const huge* h, u8* bytes, size_t length);
// Removes leading zero bytes (zero keeps one byte).
void huge_contract(huge* h);
// 1, 0 or -1 comparing magnitudes: sizes first, then bytes from the top.
int huge_compare(const huge* h1, const huge* h2);
// h1 = h1 + h2, h1 = h1 - h2, h1 = h1 * h2 (signed). A zero result of the
// first two takes the sign of the rules for operands of equal magnitude:
// 5 - 5 and 5 + -5 give zero with sign 1.
void huge_add(huge* h1, const huge* h2);
void huge_subtract(huge* h1, const huge* h2);
void huge_multiply(huge* h1, const huge* h2);
// dividend = |dividend| mod |divisor| keeping the dividend's sign; a given
// quotient receives |dividend| / |divisor| with sign (signs differ) into a
// fresh array (its old one is not released). A zero divisor changes nothing
// but the quotient, which becomes zero.
void huge_divide(huge* dividend, const huge* divisor, huge* quotient);
// z = z^-1 mod a in 0..a-1 (meaningful when gcd(z, a) = 1); a zero a gives z = 0.
void huge_mod_inverse(huge* z, const huge* a);
// h1 = h1^exponent, without modulus.
void huge_exponentiate(huge* h1, const huge* exponent);
// result = h1^exponent mod modulus with first-layer operations only; result's
// old array is not released.
void huge_mod_pow_bitwise(const huge* h1, const huge* exponent, const huge* modulus, huge* result);
// result = base^exponent mod modulus through the second layer, big-endian in
// and out; the operands are unchanged. The modulus must be odd and positive
// and the exponent not negative, otherwise result is zero. result's old array
// is not released and it must not be one of the operands.
void huge_mod_pow(const huge* base, const huge* exponent, const huge* modulus, huge* result);

// ---- Second layer: little-endian limbs, status codes ----

constexpr int HUGE_OK = 0;
constexpr int HUGE_ERR_FILE = -1;               // file input or output failed
constexpr int HUGE_ERR_BAD_INPUT = -2;          // radix, bit value or argument out of range
constexpr int HUGE_ERR_INVALID_CHARACTER = -3;  // a character that is no digit of the radix
constexpr int HUGE_ERR_BUFFER_TOO_SMALL = -4;   // output buffer or line too small
constexpr int HUGE_ERR_NEGATIVE_VALUE = -5;     // negative value where none is allowed
constexpr int HUGE_ERR_DIVISION_BY_ZERO = -6;
constexpr int HUGE_ERR_NOT_ACCEPTABLE = -7;     // no inverse, not prime
constexpr int HUGE_ERR_ALLOC = -8;              // allocation failed or beyond HUGE_MAX_LIMBS
constexpr size_t HUGE_MAX_LIMBS = 40000;

// X becomes empty: all fields zero, no array.
void init_huge(huge* X);
// Releases X's array and makes X empty.
void release_huge(huge* X);
// Ensures n limbs (new limbs zero); never shrinks.
int grow_huge(huge* X, size_t n);
// Reallocates to max(used limbs (at least 1), n) limbs; grows when size <= n.
int shrink_huge(huge* X, size_t n);
// X = Y; an empty Y makes X empty. X keeps a larger allocation, cleared above Y.
int copy_huge(huge* X, const huge* Y);
// Exchanges the three fields.
void swap_huge(huge* X, huge* Y);
// X = Y when flag != 0, unchanged otherwise; the same work either way.
int cond_assign_huge(huge* X, const huge* Y, int flag);
// Exchanges the values when flag != 0; the same work either way.
int cond_swap_huge(huge* X, huge* Y, int flag);
// X = z.
int set_huge_int(huge* X, int z);
// Bit pos of the magnitude (0 beyond the array).
int get_huge_bit(const huge* X, size_t pos);
// Sets bit pos to value (0 or 1, else HUGE_ERR_BAD_INPUT), growing for a 1.
int set_huge_bit(huge* X, size_t pos, int value);
// Trailing zero bits (0 for zero), bit length, byte length.
size_t lsb_huge(const huge* X);
size_t msb_huge(const huge* X);
size_t size_huge(const huge* X);
// 1, 0 or -1 comparing magnitudes, signed values, and a signed value with z.
int compare_abs_huge(const huge* X, const huge* Y);
int compare_huge(const huge* X, const huge* Y);
int compare_huge_int(const huge* X, int z);
// X = |A| + |B|; X = |A| - |B| (HUGE_ERR_NEGATIVE_VALUE when |A| < |B|); sign 0.
int add_abs_huge(huge* X, const huge* A, const huge* B);
int subtract_abs_huge(huge* X, const huge* A, const huge* B);
// Signed X = A + B, A - B, A * B; X may be A or B.
int add_huge(huge* X, const huge* A, const huge* B);
int sub_huge(huge* X, const huge* A, const huge* B);
int mul_huge(huge* X, const huge* A, const huge* B);
int add_huge_int(huge* X, const huge* A, int z);
int sub_huge_int(huge* X, const huge* A, int z);
int mul_huge_int(huge* X, const huge* A, int z);
// Q = A / B truncated toward zero, R = A - Q * B (either may be null).
int div_huge(huge* Q, huge* R, const huge* A, const huge* B);
int div_huge_int(huge* Q, huge* R, const huge* A, int z);
// R = A mod B in 0..B-1 (HUGE_ERR_NEGATIVE_VALUE when B < 0).
int mod_huge(huge* R, const huge* A, const huge* B);
// *r = A mod b in 0..b-1 for 1 <= b <= 256 (a larger b is HUGE_ERR_BAD_INPUT).
int mod_huge_int(u8* r, const huge* A, int b);
// Shift the magnitude by count bits.
int shift_left_huge(huge* X, size_t count);
int shift_right_huge(huge* X, size_t count);
// X = the big-endian byte string (sign 0).
int read_huge_bytes(huge* X, const u8* bytes, size_t length);
// The magnitude big-endian, right-aligned in the buffer, leading bytes zero.
int write_huge_bytes(const huge* X, u8* buffer, size_t length);
// X = text in radix 2..16, a leading '-' making it negative.
int read_huge_string(huge* X, int radix, const char* text);
// Text in radix 2..16 with a final NUL; *length offers the room and receives
// the length written (NUL counted), or the room needed with HUGE_ERR_BUFFER_TOO_SMALL.
int write_huge_string(const huge* X, int radix, char* buffer, size_t* length);
// Reads one line and parses the number at its end.
int read_huge_file(huge* X, int radix, FILE* file);
// Writes prefix (null for none), the digits and CR LF to the file, or to
// standard output when file is null.
int write_huge_file(const char* prefix, const huge* X, int radix, FILE* file);
// Reverses the order of X's bytes in place.
void reverse_huge_bytes(huge* X);

// ---- Second layer: number theory ----

// A source of random bytes: fills length bytes, 0 on success, any other
// value is a failure status handed back to the caller.
typedef int (*huge_random_fn)(void* context, u8* buffer, size_t length);

// X = A^E mod N for odd positive N and E >= 0 (else HUGE_ERR_BAD_INPUT, X
// untouched). cache, when given, keeps R^2 mod N across calls with the same
// N: an empty cache receives the value, a filled one is used as it is.
int exp_mod(huge* X, const huge* A, const huge* E, const huge* N, huge* cache);
// G = gcd(|A|, |B|).
int gcd_huge(huge* G, const huge* A, const huge* B);
// X = A^-1 mod N in 0..N-1; HUGE_ERR_BAD_INPUT when N <= 0,
// HUGE_ERR_NOT_ACCEPTABLE (X untouched) when gcd(A, N) != 1.
int inv_mod(huge* X, const huge* A, const huge* N);
// X = length (at most 1024) random bytes read as a big-endian number.
int fill_huge_random(huge* X, size_t length, huge_random_fn generator, void* context);
// 0: no factor among the odd primes 3..997 and X above them; 1: X is at most
// one of those primes (X odd); HUGE_ERR_NOT_ACCEPTABLE: X even or divisible.
int check_small_factors(const huge* X);
// 0 when X passes every Miller-Rabin trial, HUGE_ERR_NOT_ACCEPTABLE when composite.
int miller_rabin_huge(const huge* X, huge_random_fn generator, void* context);
// 0 when |X| is prime, HUGE_ERR_NOT_ACCEPTABLE when not.
int is_prime_huge(const huge* X, huge_random_fn generator, void* context);
// X = a random prime of exactly `bits` bits (3..8192); with `safe`, (X - 1) / 2
// is prime too (4..8192 bits then).
int gen_prime_huge(huge* X, size_t bits, int safe, huge_random_fn generator, void* context);
// Checks multiplication, division, exponentiation, inverse and gcd against
// known results: 0 when all pass, 1 when one fails, or a failing operation's status.
int huge_self_test(int verbose);

}  // namespace VekTls
