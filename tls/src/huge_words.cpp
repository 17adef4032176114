// Word kernel of the big-number code: schoolbook multiplication, Knuth's
// long division, Euclid's gcd and inverse on little-endian 64-bit words.
#include "huge_words.h"

#include <algorithm>
#include <cstring>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "byte limbs are read as little-endian words");

namespace VekTls {
namespace words {

void trim(Nat& a) {
  while (!a.empty() && a.back() == 0) a.pop_back();
}

Nat from_le_bytes(const u8* bytes, size_t length) {
  Nat a(length / 8 + (length % 8 != 0), 0);
  if (length) std::memcpy(reinterpret_cast<u8*>(a.data()), bytes, length);
  trim(a);
  return a;
}

Nat from_be_bytes(const u8* bytes, size_t length) {
  Nat a((length + 7) / 8, 0);
  for (size_t i = 0; i < length; i++) a[i / 8] |= u64(bytes[length - 1 - i]) << (8 * (i % 8));
  trim(a);
  return a;
}

void to_le_bytes(const Nat& a, u8* bytes, size_t length) {
  size_t have = std::min(length, a.size() * 8);
  if (have) std::memcpy(bytes, a.data(), have);
  std::memset(bytes + have, 0, length - have);
}

void to_be_bytes(const Nat& a, u8* bytes, size_t length) {
  for (size_t i = 0; i < length; i++) {
    size_t word = i / 8;
    bytes[length - 1 - i] = word < a.size() ? u8(a[word] >> (8 * (i % 8))) : 0;
  }
}

size_t bit_length(const Nat& a) {
  if (a.empty()) return 0;
  return 64 * a.size() - size_t(__builtin_clzll(a.back()));
}

size_t byte_length(const Nat& a) { return (bit_length(a) + 7) / 8; }

size_t trailing_zeros(const Nat& a) {
  for (size_t i = 0; i < a.size(); i++)
    if (a[i]) return 64 * i + size_t(__builtin_ctzll(a[i]));
  return 0;
}

Nat from_u64(u64 value) { return value ? Nat{value} : Nat{}; }

int compare(const Nat& a, const Nat& b) {
  if (a.size() != b.size()) return a.size() > b.size() ? 1 : -1;
  for (size_t i = a.size(); i-- > 0;)
    if (a[i] != b[i]) return a[i] > b[i] ? 1 : -1;
  return 0;
}

Nat add(const Nat& a, const Nat& b) {
  const Nat& longer = a.size() >= b.size() ? a : b;
  const Nat& shorter = a.size() >= b.size() ? b : a;
  Nat sum(longer.size() + 1, 0);
  u64 carry = 0;
  for (size_t i = 0; i < longer.size(); i++) {
    u128 s = u128(longer[i]) + (i < shorter.size() ? shorter[i] : 0) + carry;
    sum[i] = u64(s);
    carry = u64(s >> 64);
  }
  sum[longer.size()] = carry;
  trim(sum);
  return sum;
}

// a -= b over n words of a (b has at most n words), returning the borrow out.
static u64 sub_in_place(u64* a, size_t n, const u64* b, size_t nb) {
  u64 borrow = 0;
  for (size_t i = 0; i < n; i++) {
    u64 subtrahend = i < nb ? b[i] : 0;
    u64 d = a[i] - subtrahend;
    u64 b1 = a[i] < subtrahend;
    a[i] = d - borrow;
    borrow = b1 | (d < borrow);
  }
  return borrow;
}

Nat sub(const Nat& a, const Nat& b) {
  Nat d = a;
  sub_in_place(d.data(), d.size(), b.data(), b.size());
  trim(d);
  return d;
}

// d[0..n) += s[0..n) * m; returns the carry word out of d[n-1].
static inline u64 mul_add_words(u64* d, const u64* s, size_t n, u64 m) {
  u64 carry = 0;
  for (size_t i = 0; i < n; i++) {
    u128 p = u128(s[i]) * m + d[i] + carry;
    d[i] = u64(p);
    carry = u64(p >> 64);
  }
  return carry;
}

Nat mul(const Nat& a, const Nat& b) {
  if (a.empty() || b.empty()) return Nat();
  Nat product(a.size() + b.size(), 0);
  for (size_t j = 0; j < b.size(); j++) product[j + a.size()] = mul_add_words(&product[j], a.data(), a.size(), b[j]);
  trim(product);
  return product;
}

Nat shift_left(const Nat& a, size_t bits) {
  if (a.empty()) return Nat();
  size_t words = bits / 64, rest = bits % 64;
  Nat shifted(a.size() + words + 1, 0);
  for (size_t i = 0; i < a.size(); i++) {
    shifted[i + words] |= a[i] << rest;
    if (rest) shifted[i + words + 1] = a[i] >> (64 - rest);
  }
  trim(shifted);
  return shifted;
}

Nat shift_right(const Nat& a, size_t bits) {
  size_t words = bits / 64, rest = bits % 64;
  if (words >= a.size()) return Nat();
  Nat shifted(a.size() - words, 0);
  for (size_t i = 0; i < shifted.size(); i++) {
    shifted[i] = a[i + words] >> rest;
    if (rest && i + words + 1 < a.size()) shifted[i] |= a[i + words + 1] << (64 - rest);
  }
  trim(shifted);
  return shifted;
}

u64 mod_word(const Nat& a, u64 d) {
  u64 r = 0;
  for (size_t i = a.size(); i-- > 0;) r = u64(((u128(r) << 64) | a[i]) % d);
  return r;
}

// Division by one word.
static void divmod_word(const Nat& a, u64 d, Nat* q, Nat* r) {
  Nat quotient(a.size(), 0);
  u64 rest = 0;
  for (size_t i = a.size(); i-- > 0;) {
    u128 x = (u128(rest) << 64) | a[i];
    quotient[i] = u64(x / d);
    rest = u64(x % d);
  }
  trim(quotient);
  if (q) *q = std::move(quotient);
  if (r) *r = from_u64(rest);
}

// Estimate of the quotient word for the top of u against the normalised v
// (top bit of v[n-1] set), corrected so that it is at most one too large.
static u64 estimate_quotient(const u64* u, const u64* v, size_t n) {
  u128 top = (u128(u[n]) << 64) | u[n - 1];
  u128 qhat = top / v[n - 1];
  u128 rhat = top % v[n - 1];
  while ((qhat >> 64) != 0 || qhat * v[n - 2] > ((rhat << 64) | u[n - 2])) {
    qhat--;
    rhat += v[n - 1];
    if ((rhat >> 64) != 0) break;
  }
  return u64(qhat);
}

// u[0..n] -= qhat * v[0..n); returns true when the result went negative.
static bool mul_sub_words(u64* u, const u64* v, size_t n, u64 qhat) {
  u64 carry = 0, borrow = 0;
  for (size_t i = 0; i < n; i++) {
    u128 p = u128(qhat) * v[i] + carry;
    carry = u64(p >> 64);
    u64 low = u64(p);
    u64 d = u[i] - low;
    u64 b1 = u[i] < low;
    u[i] = d - borrow;
    borrow = b1 | (d < borrow);
  }
  u64 owed = carry + borrow;
  bool negative = u[n] < owed;
  u[n] -= owed;
  return negative;
}

// u[0..n] += v[0..n), the carry out of u[n] dropped.
static void add_back(u64* u, const u64* v, size_t n) {
  u64 carry = 0;
  for (size_t i = 0; i < n; i++) {
    u128 s = u128(u[i]) + v[i] + carry;
    u[i] = u64(s);
    carry = u64(s >> 64);
  }
  u[n] += carry;
}

void divmod(const Nat& a, const Nat& b, Nat* q, Nat* r) {
  if (compare(a, b) < 0) {
    if (r) *r = a;
    if (q) q->clear();
    return;
  }
  if (b.size() == 1) return divmod_word(a, b[0], q, r);
  // Knuth's algorithm D: normalise so that the divisor's top bit is set.
  size_t n = b.size(), m = a.size();
  unsigned shift = unsigned(__builtin_clzll(b.back()));
  Nat v = shift_left(b, shift);
  Nat u = shift_left(a, shift);
  u.resize(m + 1, 0);
  Nat quotient(m - n + 1, 0);
  for (size_t j = m - n + 1; j-- > 0;) {
    u64 qhat = estimate_quotient(&u[j], v.data(), n);
    if (mul_sub_words(&u[j], v.data(), n, qhat)) {
      qhat--;
      add_back(&u[j], v.data(), n);
    }
    quotient[j] = qhat;
  }
  trim(quotient);
  if (q) *q = std::move(quotient);
  if (r) {
    trim(u);
    *r = shift_right(u, shift);
  }
}

Nat gcd(Nat a, Nat b) {
  while (!b.empty()) {
    Nat rest;
    divmod(a, b, nullptr, &rest);
    a = std::move(b);
    b = std::move(rest);
  }
  return a;
}

bool inverse(const Nat& a, const Nat& n, Nat* result) {
  // Extended Euclid on (n, a) keeping only a's cofactor. Its magnitudes grow
  // and its signs alternate, so magnitudes and the step count's parity suffice.
  Nat r0 = n, r1 = a, x0, x1 = from_u64(1);
  bool odd_steps = false;
  while (!r1.empty()) {
    Nat q, rest;
    divmod(r0, r1, &q, &rest);
    r0 = std::move(r1);
    r1 = std::move(rest);
    Nat x = add(x0, mul(q, x1));
    x0 = std::move(x1);
    x1 = std::move(x);
    odd_steps = !odd_steps;
  }
  // After an odd count of steps the cofactor is +x0, after an even count -x0.
  Nat value = odd_steps || x0.empty() ? x0 : sub(n, x0);
  divmod(value, n, nullptr, result);
  return r0 == from_u64(1);
}

}  // namespace words
}  // namespace VekTls
