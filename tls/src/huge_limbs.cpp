// Second big-number layer: little-endian byte limbs with status codes.
//
// Rules the operations keep:
// 1. `size` counts allocated limbs; a result never shrinks its target's
//    array: it grows the target to the limbs it needs (at least one), clears
//    it and writes the value, as copy_huge does.
// 2. No growth passes HUGE_MAX_LIMBS; the operation then returns
//    HUGE_ERR_ALLOC and the target may be partly updated.
// 3. The destination may be one of the operands: operands are read (into
//    word vectors or temporaries) before the destination is written.
// Multiplication and division run on 64-bit words (huge_words.h).
#include <algorithm>
#include <cstring>

#include "huge.h"
#include "huge_limbs_internal.h"
#include "huge_words.h"
#include "kernel/VekAlloc.h"

namespace VekTls {

using words::Nat;

size_t used_limbs(const huge* X) {
  size_t n = X->rep ? X->size : 0;
  while (n > 0 && X->rep[n - 1] == 0) n--;
  return n;
}

Nat limbs_value(const huge* X) { return words::from_le_bytes(X->rep, used_limbs(X)); }

int store_value(huge* X, const Nat& value, u32 sign) {
  int status = grow_huge(X, std::max<size_t>(words::byte_length(value), 1));
  if (status != HUGE_OK) return status;
  words::to_le_bytes(value, X->rep, X->size);
  X->sign = sign;
  return HUGE_OK;
}

small_huge::small_huge(int z) {
  u32 magnitude = z < 0 ? 0u - u32(z) : u32(z);
  for (int i = 0; i < 4; i++) limbs[i] = u8(magnitude >> (8 * i));
  value.sign = z < 0;
  value.size = 1;
  while (value.size < 4 && (magnitude >> (8 * value.size)) != 0) value.size++;
  value.rep = limbs;
}

void init_huge(huge* X) {
  X->sign = 0;
  X->size = 0;
  X->rep = nullptr;
}

void release_huge(huge* X) {
  if (X->rep) vekFree(&X->rep);
  init_huge(X);
}

// Replaces X's array by a cleared one of n limbs holding the low limbs of the old.
static void reallocate(huge* X, size_t n) {
  u8* limbs = static_cast<u8*>(vekCalloc(u32(n), 1));
  if (X->rep) {
    std::memcpy(limbs, X->rep, std::min<size_t>(X->size, n));
    vekFree(&X->rep);
  }
  X->rep = limbs;
  X->size = u32(n);
}

int grow_huge(huge* X, size_t n) {
  if (n > HUGE_MAX_LIMBS) return HUGE_ERR_ALLOC;
  if (n > X->size || (n > 0 && !X->rep)) reallocate(X, n);
  return HUGE_OK;
}

int shrink_huge(huge* X, size_t n) {
  if (X->size <= n) return grow_huge(X, n);
  reallocate(X, std::max({used_limbs(X), size_t(1), n}));
  return HUGE_OK;
}

int copy_huge(huge* X, const huge* Y) {
  if (X == Y) return HUGE_OK;
  if (!Y->rep) {
    release_huge(X);
    return HUGE_OK;
  }
  size_t n = std::max<size_t>(used_limbs(Y), 1);
  int status = grow_huge(X, n);
  if (status != HUGE_OK) return status;
  X->sign = Y->sign;
  std::memset(X->rep, 0, X->size);
  std::memcpy(X->rep, Y->rep, std::min<size_t>(n, Y->size));
  return HUGE_OK;
}

void swap_huge(huge* X, huge* Y) {
  huge t = *X;
  *X = *Y;
  *Y = t;
}

int cond_assign_huge(huge* X, const huge* Y, int flag) {
  const u32 take = flag != 0, keep = 1 - take;
  int status = grow_huge(X, Y->size);
  if (status != HUGE_OK) return status;
  X->sign = X->sign * keep + Y->sign * take;
  for (u32 i = 0; i < X->size; i++) {
    u32 from_y = i < Y->size ? Y->rep[i] : 0;
    X->rep[i] = u8(X->rep[i] * keep + from_y * take);
  }
  return HUGE_OK;
}

int cond_swap_huge(huge* X, huge* Y, int flag) {
  if (X == Y) return HUGE_OK;
  const u32 swap = flag != 0, keep = 1 - swap;
  size_t n = std::max(X->size, Y->size);
  int status = grow_huge(X, n);
  if (status == HUGE_OK) status = grow_huge(Y, n);
  if (status != HUGE_OK) return status;
  u32 sign = X->sign * keep + Y->sign * swap;
  Y->sign = Y->sign * keep + X->sign * swap;
  X->sign = sign;
  for (size_t i = 0; i < n; i++) {
    u32 x = X->rep[i], y = Y->rep[i];
    X->rep[i] = u8(x * keep + y * swap);
    Y->rep[i] = u8(y * keep + x * swap);
  }
  return HUGE_OK;
}

int set_huge_int(huge* X, int z) {
  small_huge small(z);
  return copy_huge(X, &small.value);
}

int get_huge_bit(const huge* X, size_t pos) {
  if (!X->rep || pos / 8 >= X->size) return 0;
  return (X->rep[pos / 8] >> (pos % 8)) & 1;
}

int set_huge_bit(huge* X, size_t pos, int value) {
  if (value != 0 && value != 1) return HUGE_ERR_BAD_INPUT;
  size_t limb = pos / 8;
  if (limb >= X->size || !X->rep) {
    if (value == 0) return HUGE_OK;
    if (limb >= HUGE_MAX_LIMBS) return HUGE_ERR_ALLOC;
    int status = grow_huge(X, limb + 1);
    if (status != HUGE_OK) return status;
  }
  X->rep[limb] = u8((X->rep[limb] & ~(1u << (pos % 8))) | (u32(value) << (pos % 8)));
  return HUGE_OK;
}

size_t lsb_huge(const huge* X) {
  for (size_t i = 0; X->rep && i < X->size; i++)
    if (X->rep[i]) return 8 * i + size_t(__builtin_ctz(X->rep[i]));
  return 0;
}

size_t msb_huge(const huge* X) {
  size_t n = used_limbs(X);
  if (n == 0) return 0;
  return 8 * (n - 1) + size_t(32 - __builtin_clz(X->rep[n - 1]));
}

size_t size_huge(const huge* X) { return (msb_huge(X) + 7) / 8; }

// Compares the used limbs of X and Y from the top.
static int compare_limbs(const huge* X, const huge* Y, size_t n) {
  for (size_t i = n; i-- > 0;)
    if (X->rep[i] != Y->rep[i]) return X->rep[i] > Y->rep[i] ? 1 : -1;
  return 0;
}

int compare_abs_huge(const huge* X, const huge* Y) {
  size_t i = used_limbs(X), j = used_limbs(Y);
  if (i != j) return i > j ? 1 : -1;
  return compare_limbs(X, Y, i);
}

int compare_huge(const huge* X, const huge* Y) {
  size_t i = used_limbs(X), j = used_limbs(Y);
  if (i == 0 && j == 0) return 0;
  if (i > j) return X->sign ? -1 : 1;
  if (i < j) return Y->sign ? 1 : -1;
  if (X->sign != Y->sign) return X->sign ? -1 : 1;
  int order = compare_limbs(X, Y, i);
  return X->sign ? -order : order;
}

int compare_huge_int(const huge* X, int z) {
  small_huge small(z);
  return compare_huge(X, &small.value);
}

int add_abs_huge(huge* X, const huge* A, const huge* B) {
  const huge* operand = B;
  if (X == B) {
    operand = A;  // X already holds B
  } else if (X != A) {
    int status = copy_huge(X, A);
    if (status != HUGE_OK) return status;
  }
  size_t n = used_limbs(operand);
  int status = grow_huge(X, std::max<size_t>(n, 1));
  if (status != HUGE_OK) return status;
  X->sign = 0;
  u32 carry = 0;
  for (size_t i = 0; i < n; i++) {
    u32 sum = u32(X->rep[i]) + operand->rep[i] + carry;
    X->rep[i] = u8(sum);
    carry = sum >> 8;
  }
  for (size_t i = n; carry; i++) {
    if (i >= X->size && (status = grow_huge(X, i + 1)) != HUGE_OK) return status;
    u32 sum = u32(X->rep[i]) + carry;
    X->rep[i] = u8(sum);
    carry = sum >> 8;
  }
  return HUGE_OK;
}

int subtract_abs_huge(huge* X, const huge* A, const huge* B) {
  if (compare_abs_huge(A, B) < 0) return HUGE_ERR_NEGATIVE_VALUE;
  huge copy_of_b;
  init_huge(&copy_of_b);
  const huge* subtrahend = B;
  int status = HUGE_OK;
  if (X == B && X != A) {
    status = copy_huge(&copy_of_b, B);
    subtrahend = &copy_of_b;
  }
  if (status == HUGE_OK && X != A) status = copy_huge(X, A);
  if (status == HUGE_OK) {
    X->sign = 0;
    size_t n = used_limbs(subtrahend);
    u32 borrow = 0;
    for (size_t i = 0; i < n || borrow; i++) {
      u32 take = (i < n ? subtrahend->rep[i] : 0) + borrow;
      borrow = X->rep[i] < take;
      X->rep[i] = u8(X->rep[i] - take);
    }
  }
  release_huge(&copy_of_b);
  return status;
}

// X = A + B (negate_b false) or A - B (negate_b true) by the signs.
static int add_signed(huge* X, const huge* A, const huge* B, bool negate_b) {
  const u32 sign = A->sign;
  const bool same_signs = (A->sign == B->sign) != negate_b;
  int status;
  u32 result_sign = sign;
  if (same_signs) {
    status = add_abs_huge(X, A, B);
  } else if (compare_abs_huge(A, B) >= 0) {
    status = subtract_abs_huge(X, A, B);
  } else {
    status = subtract_abs_huge(X, B, A);
    result_sign = !sign;
  }
  if (status == HUGE_OK) X->sign = result_sign;
  return status;
}

int add_huge(huge* X, const huge* A, const huge* B) { return add_signed(X, A, B, false); }
int sub_huge(huge* X, const huge* A, const huge* B) { return add_signed(X, A, B, true); }

int add_huge_int(huge* X, const huge* A, int z) {
  small_huge small(z);
  return add_huge(X, A, &small.value);
}

int sub_huge_int(huge* X, const huge* A, int z) {
  small_huge small(z);
  return sub_huge(X, A, &small.value);
}

int mul_huge_int(huge* X, const huge* A, int z) {
  small_huge small(z);
  return mul_huge(X, A, &small.value);
}

int mul_huge(huge* X, const huge* A, const huge* B) {
  size_t n = used_limbs(A) + used_limbs(B);
  if (n > HUGE_MAX_LIMBS) return HUGE_ERR_ALLOC;
  const u32 sign = A->sign != B->sign;
  Nat product = words::mul(limbs_value(A), limbs_value(B));
  int status = grow_huge(X, std::max<size_t>(n, 1));
  if (status != HUGE_OK) return status;
  words::to_le_bytes(product, X->rep, X->size);
  X->sign = sign;
  return HUGE_OK;
}

int div_huge(huge* Q, huge* R, const huge* A, const huge* B) {
  if (compare_huge_int(B, 0) == 0) return HUGE_ERR_DIVISION_BY_ZERO;
  Nat a = limbs_value(A), b = limbs_value(B), q, r;
  const bool below = words::compare(a, b) < 0;
  if (!below && size_t(A->size) + 2 > HUGE_MAX_LIMBS) return HUGE_ERR_ALLOC;
  const u32 quotient_sign = below ? 0 : A->sign != B->sign;
  words::divmod(a, b, &q, &r);
  // The remainder takes A's sign, but a zero left by a real division is positive.
  const u32 remainder_sign = !below && words::is_zero(r) ? 0 : A->sign;
  int status = HUGE_OK;
  if (Q) status = store_value(Q, q, quotient_sign);
  if (R && status == HUGE_OK) status = store_value(R, r, remainder_sign);
  return status;
}

int div_huge_int(huge* Q, huge* R, const huge* A, int z) {
  small_huge small(z);
  return div_huge(Q, R, A, &small.value);
}

int mod_huge(huge* R, const huge* A, const huge* B) {
  if (compare_huge_int(B, 0) < 0) return HUGE_ERR_NEGATIVE_VALUE;
  int status = div_huge(nullptr, R, A, B);
  while (status == HUGE_OK && compare_huge_int(R, 0) < 0) status = add_huge(R, R, B);
  while (status == HUGE_OK && compare_huge(R, B) >= 0) status = sub_huge(R, R, B);
  return status;
}

int mod_huge_int(u8* r, const huge* A, int b) {
  if (b == 0) return HUGE_ERR_DIVISION_BY_ZERO;
  if (b < 0) return HUGE_ERR_NEGATIVE_VALUE;
  if (b > 256) return HUGE_ERR_BAD_INPUT;  // the remainder is one limb
  u64 y = words::mod_word(limbs_value(A), u64(b));
  if (A->sign && y != 0) y = u64(b) - y;
  *r = u8(y);
  return HUGE_OK;
}

int shift_left_huge(huge* X, size_t count) {
  if (count > 8 * HUGE_MAX_LIMBS) return HUGE_ERR_ALLOC;
  size_t limbs = (msb_huge(X) + count + 7) / 8;
  int status = grow_huge(X, limbs);
  if (status != HUGE_OK) return status;
  if (X->size) words::to_le_bytes(words::shift_left(limbs_value(X), count), X->rep, X->size);
  return HUGE_OK;
}

int shift_right_huge(huge* X, size_t count) {
  size_t limbs = count / 8;
  if (limbs > X->size || (limbs == X->size && count % 8 != 0)) return set_huge_int(X, 0);
  if (X->size) words::to_le_bytes(words::shift_right(limbs_value(X), count), X->rep, X->size);
  return HUGE_OK;
}

int read_huge_bytes(huge* X, const u8* bytes, size_t length) {
  size_t skip = 0;
  while (skip < length && bytes[skip] == 0) skip++;
  size_t n = length - skip;
  if (n > HUGE_MAX_LIMBS) return HUGE_ERR_ALLOC;
  int status = grow_huge(X, std::max<size_t>(n, 1));
  if (status != HUGE_OK) return status;
  std::memset(X->rep, 0, X->size);
  X->sign = 0;
  for (size_t i = 0; i < n; i++) X->rep[i] = bytes[length - 1 - i];
  return HUGE_OK;
}

int write_huge_bytes(const huge* X, u8* buffer, size_t length) {
  size_t n = size_huge(X);
  if (n > length) return HUGE_ERR_BUFFER_TOO_SMALL;
  std::memset(buffer, 0, length);
  for (size_t i = 0; i < n; i++) buffer[length - 1 - i] = X->rep[i];
  return HUGE_OK;
}

void reverse_huge_bytes(huge* X) {
  if (X->rep) std::reverse(X->rep, X->rep + X->size);
}

}  // namespace VekTls
