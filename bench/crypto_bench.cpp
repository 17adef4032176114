// Throughput of the digests and record ciphers over 64 KiB buffers.
#include <benchmark/benchmark.h>

#include <vector>

#include "aes.h"
#include "digest.h"
#include "rc4.h"

using namespace VekTls;

namespace {

constexpr int BUFFER_SIZE = 64 * 1024;

std::vector<u8> test_buffer() {
  std::vector<u8> buffer(BUFFER_SIZE);
  for (int i = 0; i < BUFFER_SIZE; i++) buffer[i] = u8(i * 31 + 7);
  return buffer;
}

void run_digest(benchmark::State& state, void (*setup)(digest_ctx*)) {
  std::vector<u8> buffer = test_buffer();
  for (auto _ : state) {
    digest_ctx context;
    setup(&context);
    update_digest(&context, buffer.data(), BUFFER_SIZE);
    finalize_digest(&context);
    benchmark::DoNotOptimize(context.hash[0]);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * BUFFER_SIZE);
}

void BM_Md5(benchmark::State& state) { run_digest(state, new_md5_digest); }
void BM_Sha1(benchmark::State& state) { run_digest(state, new_sha1_digest); }
void BM_Sha256(benchmark::State& state) { run_digest(state, new_sha256_digest); }

void run_cbc(benchmark::State& state, void (*function)(const u8*, int, u8*, void*, const u8*), int key_size) {
  std::vector<u8> input = test_buffer(), output(BUFFER_SIZE), key(key_size, 0x42);
  u8 iv[16] = {0};
  for (auto _ : state) {
    function(input.data(), BUFFER_SIZE, output.data(), iv, key.data());
    benchmark::DoNotOptimize(output.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * BUFFER_SIZE);
}

void BM_Aes128CbcEncrypt(benchmark::State& state) { run_cbc(state, aes_128_encrypt, 16); }
void BM_Aes128CbcDecrypt(benchmark::State& state) { run_cbc(state, aes_128_decrypt, 16); }
void BM_Aes256CbcEncrypt(benchmark::State& state) { run_cbc(state, aes_256_encrypt, 32); }

void BM_Rc4_128(benchmark::State& state) {
  std::vector<u8> input = test_buffer(), output(BUFFER_SIZE), key(16, 0x42);
  rc4_state rc4 = {};
  for (auto _ : state) {
    rc4_128_encrypt(input.data(), BUFFER_SIZE, output.data(), &rc4, key.data());
    benchmark::DoNotOptimize(output.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * BUFFER_SIZE);
}

}  // namespace

BENCHMARK(BM_Md5);
BENCHMARK(BM_Sha1);
BENCHMARK(BM_Sha256);
BENCHMARK(BM_Aes128CbcEncrypt);
BENCHMARK(BM_Aes128CbcDecrypt);
BENCHMARK(BM_Aes256CbcEncrypt);
BENCHMARK(BM_Rc4_128);

BENCHMARK_MAIN();
