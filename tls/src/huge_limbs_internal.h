// Helpers shared by the second-layer big-number sources (internal to them).
#pragma once
#include "huge.h"
#include "huge_words.h"

namespace VekTls {

// Limbs up to and including the highest non-zero one (0 for zero or no array).
size_t used_limbs(const huge* X);
// The magnitude of X as words.
words::Nat limbs_value(const huge* X);
// X = value with the given sign: X grows to the limbs the value needs (at
// least one), keeps a larger array cleared above the value.
int store_value(huge* X, const words::Nat& value, u32 sign);

// A small integer as a temporary huge over its own 1 to 4 limbs, for the
// operations that take an int operand.
struct small_huge {
  explicit small_huge(int z);
  small_huge(const small_huge&) = delete;
  small_huge& operator=(const small_huge&) = delete;
  u8 limbs[4];  // |z|, little-endian
  huge value;   // points at limbs
};

}  // namespace VekTls
