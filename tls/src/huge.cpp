// First big-number layer: sign-magnitude integers with big-endian bytes in
// normal form, and the bridge huge_mod_pow to the second layer's Montgomery
// exponentiation.
//
// The arithmetic moves the magnitudes into word vectors (huge_words.h) and
// writes the result back in normal form. The rules that make the results
// more than plain values are kept here:
// 1. signs of add and subtract follow the operand of larger magnitude, and
//    with equal magnitudes the second operand (5 - 5 is zero with sign 1);
// 2. a product takes the sign (signs differ), also when it is zero;
// 3. a remainder keeps the dividend's sign, the quotient gets (signs differ);
// 4. operations that fill a fresh number (set, load, a quotient, a result)
//    do not release the array it held; in-place operations replace their own.
#include "huge.h"

#include <algorithm>
#include <cstring>

#include "huge_words.h"
#include "kernel/VekAlloc.h"

namespace VekTls {

using words::Nat;

namespace {

Nat magnitude(const huge* h) { return h->rep ? words::from_be_bytes(h->rep, h->size) : Nat(); }

// A new normal-form big-endian array for v.
u8* new_array(const Nat& v, u32* size) {
  size_t length = std::max<size_t>(words::byte_length(v), 1);
  u8* rep = static_cast<u8*>(vekMalloc(u32(length)));
  words::to_be_bytes(v, rep, length);
  *size = u32(length);
  return rep;
}

// h's magnitude becomes v; h's own array is released.
void replace_magnitude(huge* h, const Nat& v) {
  u8* old = h->rep;
  h->rep = new_array(v, &h->size);
  if (old) vekFree(&old);
}

// h's magnitude becomes v; whatever h held is not looked at.
void assign_magnitude(huge* h, const Nat& v) { h->rep = new_array(v, &h->size); }

// Squares and multiplies from the lowest exponent bit, reducing after every
// step when the modulus is not zero: the magnitude of base^exponent (mod modulus).
Nat power(const Nat& base, const huge* exponent, const Nat& modulus) {
  Nat result = words::from_u64(1), square = base;
  Nat e = magnitude(exponent);
  size_t bits = words::bit_length(e);
  for (size_t i = 0; i < bits; i++) {
    if ((e[i / 64] >> (i % 64)) & 1) {
      result = words::mul(result, square);
      if (!modulus.empty()) words::divmod(result, modulus, nullptr, &result);
    }
    if (i + 1 < bits) {
      square = words::mul(square, square);
      if (!modulus.empty()) words::divmod(square, modulus, nullptr, &square);
    }
  }
  return result;
}

// h1 = h1 + h2, or h1 - h2 when `subtract`: the operand of larger magnitude
// gives the sign, and with equal magnitudes the second one (negated when
// subtracting) does.
void add_signed(huge* h1, const huge* h2, bool subtract) {
  Nat a = magnitude(h1), b = magnitude(h2);
  const u32 second_sign = subtract ? !h2->sign : h2->sign;
  const bool same_signs = h1->sign == second_sign;
  u32 sign;
  Nat result;
  if (words::compare(a, b) > 0) {
    sign = h1->sign;
    result = same_signs ? words::add(a, b) : words::sub(a, b);
  } else {
    sign = second_sign;
    result = same_signs ? words::add(b, a) : words::sub(b, a);
  }
  replace_magnitude(h1, result);
  h1->sign = sign;
}

bool lowest_bit(const huge* h) { return h->rep && h->size && (h->rep[h->size - 1] & 1); }

}  // namespace

void huge_set_uint(huge* h, u32 value) {
  h->sign = 0;
  assign_magnitude(h, words::from_u64(value));
}

void huge_copy(huge* target, const huge* source) {
  if (target == source) return;
  if (target->rep) vekFree(&target->rep);
  target->sign = source->sign;
  target->size = source->size;
  target->rep = static_cast<u8*>(vekCalloc(std::max<u32>(source->size, 1), 1));
  if (source->size) std::memcpy(target->rep, source->rep, source->size);
}

void huge_free(huge* h) {
  if (h->rep) vekFree(&h->rep);
}

void huge_load_bytes(huge* h, const u8* bytes, size_t length) {
  size_t skip = 0;
  while (skip < length && bytes[skip] == 0) skip++;
  h->sign = 0;
  if (skip == length) {
    assign_magnitude(h, Nat());
    return;
  }
  h->size = u32(length - skip);
  h->rep = static_cast<u8*>(vekMalloc(h->size));
  std::memcpy(h->rep, bytes + skip, h->size);
}

void huge_store_bytes(const huge* h, u8* bytes, size_t length) {
  if (h->size > length) return;
  if (h->size) std::memcpy(bytes + length - h->size, h->rep, h->size);
}

void huge_contract(huge* h) {
  if (h->size == 0 || !h->rep) {
    replace_magnitude(h, Nat());
    return;
  }
  u32 skip = 0;
  while (skip + 1 < h->size && h->rep[skip] == 0) skip++;
  std::memmove(h->rep, h->rep + skip, h->size - skip);
  h->size -= skip;
}

int huge_compare(const huge* h1, const huge* h2) {
  if (h1->size != h2->size) return h1->size > h2->size ? 1 : -1;
  for (u32 i = 0; i < h1->size; i++)
    if (h1->rep[i] != h2->rep[i]) return h1->rep[i] > h2->rep[i] ? 1 : -1;
  return 0;
}

void huge_add(huge* h1, const huge* h2) { add_signed(h1, h2, false); }
void huge_subtract(huge* h1, const huge* h2) { add_signed(h1, h2, true); }

void huge_multiply(huge* h1, const huge* h2) {
  u32 sign = h1->sign != h2->sign;
  replace_magnitude(h1, words::mul(magnitude(h1), magnitude(h2)));
  h1->sign = sign;
}

void huge_divide(huge* dividend, const huge* divisor, huge* quotient) {
  Nat b = magnitude(divisor);
  if (b.empty()) {
    // Nothing divides by zero: the dividend stays, a quotient is zero.
    if (quotient) {
      quotient->sign = 0;
      assign_magnitude(quotient, Nat());
    }
    return;
  }
  u32 quotient_sign = dividend->sign != divisor->sign;
  Nat q, r;
  words::divmod(magnitude(dividend), b, &q, &r);
  replace_magnitude(dividend, r);
  if (quotient) {
    if (quotient == dividend)
      replace_magnitude(quotient, q);
    else
      assign_magnitude(quotient, q);
    quotient->sign = quotient_sign;
  }
}

void huge_mod_inverse(huge* z, const huge* a) {
  Nat n = magnitude(a), residue, inverse;
  if (!n.empty()) {
    // The true residue of z, also for a negative z, then Euclid's cofactor.
    words::divmod(magnitude(z), n, nullptr, &residue);
    if (z->sign && !residue.empty()) residue = words::sub(n, residue);
    words::inverse(residue, n, &inverse);
  }
  replace_magnitude(z, inverse);
  z->sign = 0;
}

void huge_exponentiate(huge* h1, const huge* exponent) {
  u32 sign = h1->sign && lowest_bit(exponent);
  replace_magnitude(h1, power(magnitude(h1), exponent, Nat()));
  h1->sign = sign;
}

void huge_mod_pow_bitwise(const huge* h1, const huge* exponent, const huge* modulus, huge* result) {
  u32 sign = h1->sign && lowest_bit(exponent);
  Nat value = power(magnitude(h1), exponent, magnitude(modulus));
  assign_magnitude(result, value);
  result->sign = sign;
}

void huge_mod_pow(const huge* base, const huge* exponent, const huge* modulus, huge* result) {
  // The second layer reads the same bytes in the other order.
  huge limbs[4];
  const huge* operands[3] = {base, exponent, modulus};
  for (int i = 0; i < 4; i++) init_huge(&limbs[i]);
  for (int i = 0; i < 3; i++) {
    read_huge_bytes(&limbs[i], operands[i]->rep, operands[i]->size);
    limbs[i].sign = operands[i]->sign;
  }
  exp_mod(&limbs[3], &limbs[0], &limbs[1], &limbs[2], nullptr);
  Nat value = words::from_le_bytes(limbs[3].rep, limbs[3].size);
  result->sign = limbs[3].sign;
  assign_magnitude(result, value);
  for (int i = 0; i < 4; i++) release_huge(&limbs[i]);
}

}  // namespace VekTls
