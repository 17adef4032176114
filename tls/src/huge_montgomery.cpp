// Montgomery exponentiation on 64-bit words, the hot path of the public-key
// code (one private-key exponentiation per TLS handshake).
//
// For an odd modulus m of n words, R = 2^(64n) and a number a < m is held as
// a * R mod m. Two kernels compute the Montgomery product a * b / R mod m:
// 1. Portable: product scanning. Column k of the result sums every
//    a[j] * b[k-j] and q[j] * m[k-j] in a three-word accumulator, where q[k]
//    is chosen so that column k < n ends in a zero word. Sizes of 1024 and
//    2048 bits get fully unrolled copies.
// 2. On x86-64 processors with BMI2 and ADX (checked at start-up): operand
//    scanning in rows of MULX with two carry chains (ADCX, ADOX), which keeps
//    the additions of low and high product halves apart.
// Both square with each cross product a[j] * a[k-j] taken once, doubled.
//
// The final subtraction of m is made or not by a mask, so the work of a
// product does not depend on whether it was needed.
#include <algorithm>
#if defined(__x86_64__) && defined(__GNUC__)
#include <cpuid.h>
#endif

#include "huge_words.h"

#define VEK_UNROLL _Pragma("GCC unroll 64")

namespace VekTls {
namespace words {

namespace {

struct Montgomery {
  const u64* modulus;  // n words, odd
  size_t n;            // words of the modulus
  u64 m_prime;         // -modulus^-1 mod 2^64
};

u64 negated_inverse(u64 m0) {
  u64 x = m0;  // correct to 3 bits: m0 * m0 = 1 mod 8 for odd m0
  for (int i = 0; i < 5; i++) x *= 2 - m0 * x;
  return 0 - x;
}

// Three-word accumulator of one column of products.
struct Column {
  u64 low, mid, high;
};

inline u128 low_pair(const Column& c) { return (u128(c.mid) << 64) | c.low; }

inline void add_product(Column& c, u64 x, u64 y) {
  u128 p = u128(x) * y;
  u128 s = low_pair(c) + p;
  c.high += s < p;
  c.low = u64(s);
  c.mid = u64(s >> 64);
}

inline void add_column(Column& c, const Column& d) {
  u128 addend = low_pair(d);
  u128 s = low_pair(c) + addend;
  c.high += d.high + (s < addend);
  c.low = u64(s);
  c.mid = u64(s >> 64);
}

// Moves on to the next column, returning the word that leaves.
inline u64 next_column(Column& c) {
  u64 word = c.low;
  c.low = c.mid;
  c.mid = c.high;
  c.high = 0;
  return word;
}

// r = t - m when t (n words and a top word) is at least m, else t.
void subtract_modulus(u64* r, const u64* t, u64 top, const Montgomery& mont) {
  const u64* m = mont.modulus;
  u64 borrow = 0;
  for (size_t j = 0; j < mont.n; j++) {
    u64 d = t[j] - m[j];
    u64 b1 = t[j] < m[j];
    r[j] = d - borrow;
    borrow = b1 | (d < borrow);
  }
  u64 keep_t = 0 - u64(top < borrow);
  for (size_t j = 0; j < mont.n; j++) r[j] = (r[j] & ~keep_t) | (t[j] & keep_t);
}

// The reduction products q[j] * m[k-j] of column k for j in [low, high].
template <size_t N>
inline void add_reduction(Column& c, const u64* q, const u64* m, size_t k, size_t low, size_t high) {
  VEK_UNROLL for (size_t j = low; j <= high; j++) add_product(c, q[j], m[k - j]);
}

// Column k < n is done: choose q[k] so that it ends in a zero word.
inline void close_low_column(Column& c, u64* q, size_t k, const Montgomery& mont) {
  q[k] = c.low * mont.m_prime;
  add_product(c, q[k], mont.modulus[0]);
  next_column(c);
}

// r = a * b / R mod m; scratch holds 2n words; r may be a or b.
template <size_t N>
void mont_multiply(u64* r, const u64* a, const u64* b, const Montgomery& mont, u64* scratch) {
  const size_t n = N ? N : mont.n;
  const u64* m = mont.modulus;
  u64 *q = scratch, *out = scratch + n;
  Column c = {0, 0, 0};
  VEK_UNROLL for (size_t k = 0; k < n; k++) {
    VEK_UNROLL for (size_t j = 0; j < k; j++) {
      add_product(c, a[j], b[k - j]);
      add_product(c, q[j], m[k - j]);
    }
    add_product(c, a[k], b[0]);
    close_low_column(c, q, k, mont);
  }
  VEK_UNROLL for (size_t k = n; k < 2 * n - 1; k++) {
    VEK_UNROLL for (size_t j = k - n + 1; j < n; j++) {
      add_product(c, a[j], b[k - j]);
      add_product(c, q[j], m[k - j]);
    }
    out[k - n] = next_column(c);
  }
  out[n - 1] = next_column(c);
  subtract_modulus(r, out, c.low, mont);
}

// The square products a[j] * a[k-j] of column k for j in [low, k - low].
template <size_t N>
inline void add_square_column(Column& c, const u64* a, size_t k, size_t low) {
  Column cross = {0, 0, 0};
  size_t j = low;
  VEK_UNROLL for (; j < k - j; j++) add_product(cross, a[j], a[k - j]);
  cross.high = (cross.high << 1) | (cross.mid >> 63);
  cross.mid = (cross.mid << 1) | (cross.low >> 63);
  cross.low <<= 1;
  if (j == k - j) add_product(cross, a[j], a[j]);
  add_column(c, cross);
}

// r = a * a / R mod m; scratch holds 2n words; r may be a.
template <size_t N>
void mont_square(u64* r, const u64* a, const Montgomery& mont, u64* scratch) {
  const size_t n = N ? N : mont.n;
  const u64* m = mont.modulus;
  u64 *q = scratch, *out = scratch + n;
  Column c = {0, 0, 0};
  VEK_UNROLL for (size_t k = 0; k < n; k++) {
    if (k > 0) add_reduction<N>(c, q, m, k, 0, k - 1);
    add_square_column<N>(c, a, k, 0);
    close_low_column(c, q, k, mont);
  }
  VEK_UNROLL for (size_t k = n; k < 2 * n - 1; k++) {
    add_reduction<N>(c, q, m, k, k - n + 1, n - 1);
    add_square_column<N>(c, a, k, k - n + 1);
    out[k - n] = next_column(c);
  }
  out[n - 1] = next_column(c);
  subtract_modulus(r, out, c.low, mont);
}

// ---- The same products with MULX, ADCX and ADOX (x86-64 with BMI2 and ADX) ----
//
// Operand scanning: each row adds a word times an n-word number into the
// running sum, its low halves on the carry flag's chain and its high halves
// on the overflow flag's, so the two chains of additions overlap.

#if defined(__x86_64__) && defined(__GNUC__)

// rp[0..n) += up[0..n) * v; returns the carry word. Eight words per turn of
// the loop; lea and jrcxz leave both carry chains alone.
u64 add_row(u64* rp, const u64* up, size_t n, u64 v) {
  u64 hi = 0, lo, t;
  size_t count = n & 7;
  __asm__ volatile(
      "xorl %k[lo], %k[lo]\n\t"  // clears both flags
      "jrcxz 4f\n"
      "3:\n\t"  // the n mod 8 words one at a time
      "mulxq (%[up]), %[lo], %[t]\n\t"
      "adcxq (%[rp]), %[lo]\n\t"
      "adoxq %[hi], %[lo]\n\t"
      "movq %[lo], (%[rp])\n\t"
      "movq %[t], %[hi]\n\t"
      "leaq 8(%[up]), %[up]\n\t"
      "leaq 8(%[rp]), %[rp]\n\t"
      "leaq -1(%%rcx), %%rcx\n\t"
      "jrcxz 4f\n\t"
      "jmp 3b\n"
      "4:\n\t"
      "movq %[blocks], %%rcx\n\t"
      "jrcxz 5f\n\t"  // jrcxz reaches 127 bytes: a jmp takes it past the loop
      "jmp 1f\n"
      "5:\n\t"
      "jmp 2f\n"
      "1:\n\t"
      "mulxq 0(%[up]), %[lo], %[t]\n\t"
      "adcxq 0(%[rp]), %[lo]\n\t"
      "adoxq %[hi], %[lo]\n\t"
      "movq %[lo], 0(%[rp])\n\t"
      "mulxq 8(%[up]), %[lo], %[hi]\n\t"
      "adcxq 8(%[rp]), %[lo]\n\t"
      "adoxq %[t], %[lo]\n\t"
      "movq %[lo], 8(%[rp])\n\t"
      "mulxq 16(%[up]), %[lo], %[t]\n\t"
      "adcxq 16(%[rp]), %[lo]\n\t"
      "adoxq %[hi], %[lo]\n\t"
      "movq %[lo], 16(%[rp])\n\t"
      "mulxq 24(%[up]), %[lo], %[hi]\n\t"
      "adcxq 24(%[rp]), %[lo]\n\t"
      "adoxq %[t], %[lo]\n\t"
      "movq %[lo], 24(%[rp])\n\t"
      "mulxq 32(%[up]), %[lo], %[t]\n\t"
      "adcxq 32(%[rp]), %[lo]\n\t"
      "adoxq %[hi], %[lo]\n\t"
      "movq %[lo], 32(%[rp])\n\t"
      "mulxq 40(%[up]), %[lo], %[hi]\n\t"
      "adcxq 40(%[rp]), %[lo]\n\t"
      "adoxq %[t], %[lo]\n\t"
      "movq %[lo], 40(%[rp])\n\t"
      "mulxq 48(%[up]), %[lo], %[t]\n\t"
      "adcxq 48(%[rp]), %[lo]\n\t"
      "adoxq %[hi], %[lo]\n\t"
      "movq %[lo], 48(%[rp])\n\t"
      "mulxq 56(%[up]), %[lo], %[hi]\n\t"
      "adcxq 56(%[rp]), %[lo]\n\t"
      "adoxq %[t], %[lo]\n\t"
      "movq %[lo], 56(%[rp])\n\t"
      "leaq 64(%[up]), %[up]\n\t"
      "leaq 64(%[rp]), %[rp]\n\t"
      "leaq -1(%%rcx), %%rcx\n\t"
      "jrcxz 2f\n\t"
      "jmp 1b\n"
      "2:\n\t"
      "movl $0, %k[lo]\n\t"
      "adcxq %[lo], %[hi]\n\t"
      "adoxq %[lo], %[hi]\n\t"
      : [up] "+r"(up), [rp] "+r"(rp), [hi] "+r"(hi), [lo] "=&r"(lo), [t] "=&r"(t), "+c"(count)
      : "d"(v), [blocks] "r"(n >> 3)
      : "cc", "memory");
  return hi;
}

// (d[n], d[n+1]) += c.
inline void add_carry_word(u64* d, size_t n, u64 c) {
  u128 s = u128(d[n]) + c;
  d[n] = u64(s);
  d[n + 1] += u64(s >> 64);
}

// r = a * b / R mod m row by row: row i adds a * b[i] and q * m at word i;
// scratch holds 2n + 2 words.
void rows_multiply(u64* r, const u64* a, const u64* b, const Montgomery& mont, u64* scratch) {
  const size_t n = mont.n;
  std::fill(scratch, scratch + 2 * n + 2, 0);
  for (size_t i = 0; i < n; i++) {
    u64* d = scratch + i;
    add_carry_word(d, n, add_row(d, a, n, b[i]));
    add_carry_word(d, n, add_row(d, mont.modulus, n, d[0] * mont.m_prime));
  }
  subtract_modulus(r, scratch + n, scratch[2 * n], mont);
}

// r = a * a / R mod m: the cross products once, doubled, plus the squares,
// then n reduction rows; scratch holds 2n + 2 words.
void rows_square(u64* r, const u64* a, const Montgomery& mont, u64* scratch) {
  const size_t n = mont.n;
  u64* t = scratch;
  std::fill(t, t + 2 * n + 2, 0);
  for (size_t i = 0; i + 1 < n; i++) t[i + n] = add_row(t + 2 * i + 1, a + i + 1, n - i - 1, a[i]);
  u64 high_bit = 0, carry = 0;
  for (size_t i = 0; i < n; i++) {
    u64 low = t[2 * i], high = t[2 * i + 1];
    u128 square = u128(a[i]) * a[i];
    u128 s = u128((low << 1) | high_bit) + u64(square) + carry;
    t[2 * i] = u64(s);
    s = u128((high << 1) | (low >> 63)) + u64(square >> 64) + u64(s >> 64);
    t[2 * i + 1] = u64(s);
    high_bit = high >> 63;
    carry = u64(s >> 64);
  }
  u64 top = 0;
  for (size_t i = 0; i < n; i++) {
    u64 c = add_row(t + i, mont.modulus, n, t[i] * mont.m_prime);
    u128 s = u128(t[i + n]) + c + top;
    t[i + n] = u64(s);
    top = u64(s >> 64);
  }
  subtract_modulus(r, t + n, top, mont);
}

// Asks the processor itself (leaf 7: BMI2 is bit 8 of EBX, ADX bit 19), so
// the answer needs no runtime library's CPU model, which may not be set up
// yet when this runs from a static initialiser, and some compilers' builtin
// cannot name ADX.
bool rows_kernel_usable() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
  return (ebx & (1u << 8)) && (ebx & (1u << 19));
}

#else

void rows_multiply(u64*, const u64*, const u64*, const Montgomery&, u64*) {}
void rows_square(u64*, const u64*, const Montgomery&, u64*) {}
bool rows_kernel_usable() { return false; }

#endif

bool use_rows_kernel = rows_kernel_usable();

void mont_mul(u64* r, const u64* a, const u64* b, const Montgomery& mont, u64* scratch) {
  if (use_rows_kernel) return rows_multiply(r, a, b, mont, scratch);
  switch (mont.n) {
    case 16: return mont_multiply<16>(r, a, b, mont, scratch);
    case 32: return mont_multiply<32>(r, a, b, mont, scratch);
    default: return mont_multiply<0>(r, a, b, mont, scratch);
  }
}

void mont_sqr(u64* r, const u64* a, const Montgomery& mont, u64* scratch) {
  if (use_rows_kernel) return rows_square(r, a, mont, scratch);
  switch (mont.n) {
    case 16: return mont_square<16>(r, a, mont, scratch);
    case 32: return mont_square<32>(r, a, mont, scratch);
    default: return mont_square<0>(r, a, mont, scratch);
  }
}

// Window size by the exponent's bit length.
int window_bits(size_t bits) {
  if (bits > 671) return 6;
  if (bits > 239) return 5;
  if (bits > 79) return 4;
  if (bits > 23) return 3;
  return 1;
}

bool exponent_bit(const Nat& e, size_t i) { return (e[i / 64] >> (i % 64)) & 1; }

Nat padded(const Nat& a, size_t n) {
  Nat p = a;
  p.resize(n, 0);
  return p;
}

}  // namespace

bool use_fast_montgomery(bool enable) {
  bool was = use_rows_kernel;
  use_rows_kernel = enable && rows_kernel_usable();
  return was;
}

Nat montgomery_r_squared(const Nat& modulus) {
  Nat r2;
  divmod(shift_left(from_u64(1), 128 * modulus.size()), modulus, nullptr, &r2);
  return r2;
}

Nat mod_pow(const Nat& base, const Nat& exponent, const Nat& modulus, const Nat* r_squared) {
  const size_t n = modulus.size();
  Montgomery mont = {modulus.data(), n, negated_inverse(modulus[0])};
  Nat r2 = r_squared ? padded(*r_squared, n) : padded(montgomery_r_squared(modulus), n);
  Nat scratch(2 * n + 2), x(n), one(n, 0);
  one[0] = 1;

  // Table of the odd powers base^1, base^3, .. base^(2^w - 1) in Montgomery form.
  const int w = window_bits(bit_length(exponent));
  const size_t entries = size_t(1) << (w - 1);
  std::vector<Nat> table(entries, Nat(n));
  Nat g = padded(base, n), g2(n);
  mont_mul(table[0].data(), g.data(), r2.data(), mont, scratch.data());
  mont_sqr(g2.data(), table[0].data(), mont, scratch.data());
  for (size_t k = 1; k < entries; k++) mont_mul(table[k].data(), table[k - 1].data(), g2.data(), mont, scratch.data());

  // Left to right over the exponent, a window being at most w bits that start
  // and end with a 1 bit. x holds no value until the first window.
  bool started = false;
  for (size_t i = bit_length(exponent); i-- > 0;) {
    if (!exponent_bit(exponent, i)) {
      if (started) mont_sqr(x.data(), x.data(), mont, scratch.data());
      continue;
    }
    size_t low = i + 1 >= size_t(w) ? i + 1 - w : 0;
    while (!exponent_bit(exponent, low)) low++;
    size_t value = 0;
    for (size_t k = i + 1; k-- > low;) value = (value << 1) | exponent_bit(exponent, k);
    if (started) {
      for (size_t k = low; k <= i; k++) mont_sqr(x.data(), x.data(), mont, scratch.data());
      mont_mul(x.data(), x.data(), table[value >> 1].data(), mont, scratch.data());
    } else {
      x = table[value >> 1];
      started = true;
    }
    i = low;
  }
  if (!started) mont_mul(x.data(), one.data(), r2.data(), mont, scratch.data());  // 1 in Montgomery form
  mont_mul(x.data(), x.data(), one.data(), mont, scratch.data());
  trim(x);
  return x;
}

}  // namespace words
}  // namespace VekTls
