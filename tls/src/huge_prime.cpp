// Second big-number layer: modular exponentiation (Montgomery multiplication
// with a sliding window), gcd, modular inverse, trial division, the
// Miller-Rabin test and prime generation.
#include <algorithm>
#include <array>

#include "huge.h"
#include "huge_limbs_internal.h"

namespace VekTls {

using words::Nat;

namespace {

constexpr int SMALL_PRIME_COUNT = 167;  // the odd primes 3 .. 997

constexpr std::array<int, SMALL_PRIME_COUNT> small_primes() {
  std::array<int, SMALL_PRIME_COUNT> primes{};
  int count = 0;
  for (int candidate = 3; count < SMALL_PRIME_COUNT; candidate += 2) {
    bool prime = true;
    for (int d = 3; d * d <= candidate; d += 2)
      if (candidate % d == 0) prime = false;
    if (prime) primes[count++] = candidate;
  }
  return primes;
}

constexpr std::array<int, SMALL_PRIME_COUNT> SMALL_PRIMES = small_primes();
static_assert(SMALL_PRIMES[SMALL_PRIME_COUNT - 1] == 997, "the trial divisors end at 997");

constexpr size_t RANDOM_BUFFER = 1024;  // most bytes fill_huge_random draws at once

bool is_negative(const huge* X) { return compare_huge_int(X, 0) < 0; }

// Miller-Rabin trials for a number of `bits` bits.
int trial_count(size_t bits) {
  if (bits >= 1300) return 2;
  if (bits >= 850) return 3;
  if (bits >= 650) return 4;
  if (bits >= 350) return 8;
  if (bits >= 250) return 12;
  if (bits >= 150) return 18;
  return 27;
}

// A random witness in 3 .. w - 1 (ending in binary 11) for w = x - 1 >= 4.
int random_witness(const Nat& w, size_t length, huge_random_fn generator, void* context, Nat* witness) {
  huge random;
  init_huge(&random);
  int status = fill_huge_random(&random, length, generator, context);
  Nat a = limbs_value(&random);
  release_huge(&random);
  if (status != HUGE_OK) return status;
  // Shifting a below w's top bit and setting its low two bits keeps it under w.
  for (;;) {
    if (words::compare(a, w) >= 0) a = words::shift_right(a, words::bit_length(a) - words::bit_length(w) + 1);
    if (a.empty()) a.push_back(0);
    a[0] |= 3;
    if (words::compare(a, w) < 0) break;
  }
  *witness = a;
  return HUGE_OK;
}

// One Miller-Rabin trial of x = w + 1 = r * 2^s + 1 with witness a.
bool witness_passes(const Nat& a, const Nat& x, const Nat& w, const Nat& r, size_t s, const Nat& r_squared) {
  Nat y = words::mod_pow(a, r, x, &r_squared);
  if (y == w || y == words::from_u64(1)) return true;
  for (size_t i = 1; i < s; i++) {
    words::divmod(words::mul(y, y), x, nullptr, &y);
    if (y == w) return true;
    if (y == words::from_u64(1)) return false;
  }
  return false;
}

// X = a random odd number of exactly `bits` bits ending in binary 11.
int random_start(huge* X, size_t bits, huge_random_fn generator, void* context) {
  int status = fill_huge_random(X, (bits + 7) / 8, generator, context);
  if (status != HUGE_OK) return status;
  size_t length = msb_huge(X);
  if (length < bits) status = shift_left_huge(X, bits - length);
  if (length > bits) status = shift_right_huge(X, length - bits);
  if (status == HUGE_OK) status = set_huge_bit(X, bits - 1, 1);
  if (status == HUGE_OK) X->rep[0] |= 3;
  return status;
}

// Small primes count as passing; 0 when x passes, else the status.
int passes_prime_tests(const huge* X, huge_random_fn generator, void* context) {
  int status = check_small_factors(X);
  if (status == 1) return HUGE_OK;
  if (status != HUGE_OK) return status;
  return miller_rabin_huge(X, generator, context);
}

// Searches upwards by 2 from a random start; a new start when the search
// runs past `bits` bits.
int search_prime(huge* X, size_t bits, huge_random_fn generator, void* context) {
  for (;;) {
    int status = random_start(X, bits, generator, context);
    while (status == HUGE_OK && msb_huge(X) == bits) {
      status = is_prime_huge(X, generator, context);
      if (status == HUGE_OK) return HUGE_OK;
      if (status == HUGE_ERR_NOT_ACCEPTABLE) status = add_huge_int(X, X, 2);
    }
    if (status != HUGE_OK) return status;
  }
}

// X = 11 mod 12 and Y = (X - 1) / 2 step by 12 and 6 until both are prime.
int search_safe_prime(huge* X, size_t bits, huge_random_fn generator, void* context) {
  huge Y;
  init_huge(&Y);
  int status;
  for (;;) {
    status = random_start(X, bits, generator, context);
    u8 r = 0;
    if (status == HUGE_OK) status = mod_huge_int(&r, X, 3);
    if (status == HUGE_OK && r != 2) status = add_huge_int(X, X, r == 0 ? 8 : 4);
    if (status == HUGE_OK) status = copy_huge(&Y, X);
    if (status == HUGE_OK) status = shift_right_huge(&Y, 1);
    while (status == HUGE_OK && msb_huge(X) == bits) {
      status = passes_prime_tests(X, generator, context);
      if (status == HUGE_OK) status = passes_prime_tests(&Y, generator, context);
      if (status == HUGE_OK) {
        release_huge(&Y);
        return HUGE_OK;
      }
      if (status == HUGE_ERR_NOT_ACCEPTABLE) status = add_huge_int(X, X, 12);
      if (status == HUGE_OK) status = add_huge_int(&Y, &Y, 6);
    }
    if (status != HUGE_OK) break;
  }
  release_huge(&Y);
  return status;
}

}  // namespace

int exp_mod(huge* X, const huge* A, const huge* E, const huge* N, huge* cache) {
  if (is_negative(N) || !N->rep || N->size == 0 || (N->rep[0] & 1) == 0 || is_negative(E)) return HUGE_ERR_BAD_INPUT;
  const size_t n = used_limbs(N);
  if (2 * (n + 1) > HUGE_MAX_LIMBS) return HUGE_ERR_ALLOC;
  Nat modulus = limbs_value(N), exponent = limbs_value(E), base;
  words::divmod(limbs_value(A), modulus, nullptr, &base);
  const bool negate = A->sign && !base.empty() && words::is_odd(exponent);

  // R = 256^n. Whole words give the word kernel the same R, so a cached R^2
  // serves it directly; otherwise the kernel makes its own.
  const bool whole_words = n % 8 == 0;
  Nat r_squared;
  if (cache && cache->rep) {
    if (whole_words) r_squared = limbs_value(cache);
  } else {
    r_squared = words::montgomery_r_squared(modulus);
    if (cache) {
      Nat cached = r_squared;
      if (!whole_words) words::divmod(words::shift_left(words::from_u64(1), 16 * n), modulus, nullptr, &cached);
      int status = store_value(cache, cached, 0);
      if (status != HUGE_OK) return status;
    }
  }
  Nat result = words::mod_pow(base, exponent, modulus, r_squared.empty() ? nullptr : &r_squared);
  if (negate && !result.empty()) result = words::sub(modulus, result);  // (-a)^odd = -(a^odd)
  int status = grow_huge(X, n + 1);
  if (status != HUGE_OK) return status;
  return store_value(X, result, 0);
}

int gcd_huge(huge* G, const huge* A, const huge* B) { return store_value(G, words::gcd(limbs_value(A), limbs_value(B)), 0); }

int inv_mod(huge* X, const huge* A, const huge* N) {
  if (compare_huge_int(N, 0) <= 0) return HUGE_ERR_BAD_INPUT;
  Nat modulus = limbs_value(N), residue, inverse;
  words::divmod(limbs_value(A), modulus, nullptr, &residue);
  if (A->sign && !residue.empty()) residue = words::sub(modulus, residue);
  if (!words::inverse(residue, modulus, &inverse)) return HUGE_ERR_NOT_ACCEPTABLE;
  return store_value(X, inverse, 0);
}

int fill_huge_random(huge* X, size_t length, huge_random_fn generator, void* context) {
  if (length > RANDOM_BUFFER) return HUGE_ERR_BAD_INPUT;
  u8 buffer[RANDOM_BUFFER];
  int status = generator(context, buffer, length);
  if (status != 0) return status;
  return read_huge_bytes(X, buffer, length);
}

int check_small_factors(const huge* X) {
  if (!X->rep || X->size == 0 || (X->rep[0] & 1) == 0) return HUGE_ERR_NOT_ACCEPTABLE;
  Nat x = limbs_value(X);
  for (int p : SMALL_PRIMES) {
    if (compare_huge_int(X, p) <= 0) return 1;
    u64 r = words::mod_word(x, u64(p));
    if (r == 0) return HUGE_ERR_NOT_ACCEPTABLE;
  }
  return HUGE_OK;
}

int miller_rabin_huge(const huge* X, huge_random_fn generator, void* context) {
  Nat x = limbs_value(X);
  if (words::compare(x, words::from_u64(5)) < 0) return x == words::from_u64(2) || x == words::from_u64(3) ? 0 : HUGE_ERR_NOT_ACCEPTABLE;
  if (!words::is_odd(x)) return HUGE_ERR_NOT_ACCEPTABLE;
  Nat w = words::sub(x, words::from_u64(1));
  size_t s = words::trailing_zeros(w);
  Nat r = words::shift_right(w, s);
  Nat r_squared = words::montgomery_r_squared(x);
  int trials = trial_count(words::bit_length(x));
  for (int i = 0; i < trials; i++) {
    Nat a;
    int status = random_witness(w, used_limbs(X), generator, context, &a);
    if (status != HUGE_OK) return status;
    if (!witness_passes(a, x, w, r, s, r_squared)) return HUGE_ERR_NOT_ACCEPTABLE;
  }
  return HUGE_OK;
}

int is_prime_huge(const huge* X, huge_random_fn generator, void* context) {
  huge magnitude = *X;
  magnitude.sign = 0;
  if (compare_huge_int(&magnitude, 0) == 0 || compare_huge_int(&magnitude, 1) == 0) return HUGE_ERR_NOT_ACCEPTABLE;
  if (compare_huge_int(&magnitude, 2) == 0) return HUGE_OK;
  return passes_prime_tests(&magnitude, generator, context);
}

int gen_prime_huge(huge* X, size_t bits, int safe, huge_random_fn generator, void* context) {
  // A safe prime built as 11 mod 12 needs 4 bits (11 = 2 * 5 + 1).
  if (bits < (safe ? 4u : 3u) || bits > 8192) return HUGE_ERR_BAD_INPUT;
  return safe ? search_safe_prime(X, bits, generator, context) : search_prime(X, bits, generator, context);
}

}  // namespace VekTls
