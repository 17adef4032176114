// Modular exponentiation with 2048-bit numbers: a private-key operation
// without CRT (2048-bit exponent) and a public one (exponent 65537), as
// exp_mod runs them for RSA; plus the first layer's bridge huge_mod_pow.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "huge.h"

using namespace VekTls;

namespace {

constexpr size_t BYTES = 256;  // 2048 bits

// A random little-endian number of BYTES bytes with its top bit set (odd when asked).
void random_number(huge* X, std::mt19937_64& rng, bool odd) {
  std::vector<u8> bytes(BYTES);
  for (u8& b : bytes) b = u8(rng());
  bytes[0] |= 0x80;
  if (odd) bytes[BYTES - 1] |= 1;
  read_huge_bytes(X, bytes.data(), bytes.size());
}

struct Operands {
  huge base, exponent, modulus, result;
  explicit Operands(bool private_exponent) {
    std::mt19937_64 rng(2048);
    for (huge* h : {&base, &exponent, &modulus, &result}) init_huge(h);
    random_number(&modulus, rng, true);
    random_number(&base, rng, false);
    mod_huge(&base, &base, &modulus);
    if (private_exponent)
      random_number(&exponent, rng, true);
    else
      set_huge_int(&exponent, 65537);
  }
  ~Operands() {
    for (huge* h : {&base, &exponent, &modulus, &result}) release_huge(h);
  }
};

void run_exp_mod(benchmark::State& state, bool private_exponent) {
  Operands o(private_exponent);
  for (auto _ : state) {
    exp_mod(&o.result, &o.base, &o.exponent, &o.modulus, nullptr);
    benchmark::DoNotOptimize(o.result.rep);
  }
  state.counters["ops/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_ExpMod2048Private(benchmark::State& state) { run_exp_mod(state, true); }
void BM_ExpMod2048Public(benchmark::State& state) { run_exp_mod(state, false); }

void BM_HugeModPow2048Public(benchmark::State& state) {
  Operands o(false);
  for (huge* h : {&o.base, &o.exponent, &o.modulus}) reverse_huge_bytes(h);  // big-endian for the first layer
  for (auto _ : state) {
    huge result;
    huge_mod_pow(&o.base, &o.exponent, &o.modulus, &result);
    huge_free(&result);
  }
  state.counters["ops/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(BM_ExpMod2048Private)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExpMod2048Public)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_HugeModPow2048Public)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
