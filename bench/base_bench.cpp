// Benchmarks of the database engine: one level of 1 000 000 distinct
// 16-byte random keys inserted and then found, in a memory base and in a
// file base (the file base includes writing it out when the cursor closes).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "base/VEKCursor.h"
#include "base/VEKStream.h"

using namespace VekBase;

namespace {

const std::vector<std::string>& keys() {
  static std::vector<std::string> all = [] {
    std::mt19937_64 random(42);
    std::vector<std::string> made(1000000, std::string(16, '\0'));
    for (std::string& key : made)
      for (size_t i = 0; i < 16; i += 8) {
        u64 bits = random();
        key.replace(i, 8, reinterpret_cast<const char*>(&bits), 8);
      }
    return made;
  }();
  return all;
}

std::string baseName(bool memory) {
  if (memory) return "memory_bench";
  char pattern[] = "/tmp/vekbase-bench-XXXXXX";
  return std::string(mkdtemp(pattern)) + "/bench.vek";
}

void insertThenFind(benchmark::State& state, bool memory) {
  const std::vector<std::string>& all = keys();
  double insertSeconds = 0, findSeconds = 0;
  for (auto _ : state) {
    std::string name = baseName(memory);
    {
      VEKCursor cursor(name.c_str(), memory ? VEK_STREAM_MEMORY : VEK_STREAM_FILE);
      auto start = std::chrono::steady_clock::now();
      for (const std::string& key : all) cursor.putSymbol(key);
      cursor.flush();
      auto middle = std::chrono::steady_clock::now();
      size_t found = 0;
      for (const std::string& key : all) found += cursor.findSymbol(key);
      auto end = std::chrono::steady_clock::now();
      if (found != all.size()) state.SkipWithError("a key was lost");
      insertSeconds += std::chrono::duration<double>(middle - start).count();
      findSeconds += std::chrono::duration<double>(end - middle).count();
    }
    VEKStreamFile::removeFile(name);
  }
  state.counters["inserts/s"] = benchmark::Counter(static_cast<double>(all.size()) * state.iterations() / insertSeconds);
  state.counters["finds/s"] = benchmark::Counter(static_cast<double>(all.size()) * state.iterations() / findSeconds);
}

void BM_MemoryBaseMillionKeys(benchmark::State& state) { insertThenFind(state, true); }
void BM_FileBaseMillionKeys(benchmark::State& state) { insertThenFind(state, false); }

}  // namespace

BENCHMARK(BM_MemoryBaseMillionKeys)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_FileBaseMillionKeys)->Unit(benchmark::kMillisecond)->Iterations(3);

BENCHMARK_MAIN();
