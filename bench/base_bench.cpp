// Benchmarks of the database engine: one level of 1 000 000 distinct
// 16-byte random keys inserted and then found, in a memory base and in a
// file base (the file base includes writing it out when the cursor closes);
// and a protected base's writer session of 100 000 keys with its commit,
// then a reader finding each key, in files and in memory; and on a
// protected file base of about 279 MB, a clean open (both files there, no
// journal) and a commit of one key.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "base/VEKCursor.h"
#include "base/VEKCursorProtected.h"
#include "base/VEKProcessPool.h"
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

// Removes the base's files and, for a file base, its directory.
void removeBase(const std::string& name, bool memory) {
  for (const char* suffix : {"", "1", "2"}) VEKStreamFile::removeFile(name + suffix);
  if (!memory) rmdir(name.substr(0, name.rfind('/')).c_str());
}

// Seconds of processor time this thread has used: on a busy machine it
// leaves out the time other processes held the processor.
double threadSeconds() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void insertThenFind(benchmark::State& state, bool memory) {
  const std::vector<std::string>& all = keys();
  double insertSeconds = 0, findSeconds = 0, insertCpu = 0, findCpu = 0;
  for (auto _ : state) {
    std::string name = baseName(memory);
    {
      VEKCursor cursor(name.c_str(), memory ? VEK_STREAM_MEMORY : VEK_STREAM_FILE);
      auto start = std::chrono::steady_clock::now();
      double cpuStart = threadSeconds();
      for (const std::string& key : all) cursor.putSymbol(key);
      cursor.flush();
      auto middle = std::chrono::steady_clock::now();
      double cpuMiddle = threadSeconds();
      size_t found = 0;
      for (const std::string& key : all) found += cursor.findSymbol(key);
      auto end = std::chrono::steady_clock::now();
      double cpuEnd = threadSeconds();
      if (found != all.size()) state.SkipWithError("a key was lost");
      insertSeconds += std::chrono::duration<double>(middle - start).count();
      findSeconds += std::chrono::duration<double>(end - middle).count();
      insertCpu += cpuMiddle - cpuStart;
      findCpu += cpuEnd - cpuMiddle;
    }
    removeBase(name, memory);
  }
  double done = static_cast<double>(all.size()) * static_cast<double>(state.iterations());
  state.counters["inserts/s"] = benchmark::Counter(done / insertSeconds);
  state.counters["finds/s"] = benchmark::Counter(done / findSeconds);
  state.counters["cpu_inserts/s"] = benchmark::Counter(done / insertCpu);
  state.counters["cpu_finds/s"] = benchmark::Counter(done / findCpu);
}

void BM_MemoryBaseMillionKeys(benchmark::State& state) { insertThenFind(state, true); }
void BM_FileBaseMillionKeys(benchmark::State& state) { insertThenFind(state, false); }

void writerSessionThenReader(benchmark::State& state, bool memory) {
  const std::vector<std::string>& all = keys();
  const size_t count = 100000;
  double sessionSeconds = 0, commitSeconds = 0, findSeconds = 0;
  for (auto _ : state) {
    std::string name = baseName(memory);
    {
      VEKCursorProtected base(name + "1", name + "2", memory ? VEK_STREAM_MEMORY : VEK_STREAM_FILE);
      auto start = std::chrono::steady_clock::now();
      int64 writer = base.openWriteProcess("", "");
      for (size_t i = 0; i < count; ++i) base.putSymbol(writer, all[i]);
      auto committing = std::chrono::steady_clock::now();
      base.closeProcess(writer);
      auto committed = std::chrono::steady_clock::now();
      int64 reader = base.openReadProcess("", "");
      size_t found = 0;
      for (size_t i = 0; i < count; ++i) found += base.findSymbol(reader, all[i]);
      auto end = std::chrono::steady_clock::now();
      if (found != count) state.SkipWithError("a key was lost");
      sessionSeconds += std::chrono::duration<double>(committed - start).count();
      commitSeconds += std::chrono::duration<double>(committed - committing).count();
      findSeconds += std::chrono::duration<double>(end - committed).count();
      base.closeProcess(reader);
    }
    removeBase(name, memory);
  }
  double runs = static_cast<double>(state.iterations());
  state.counters["session_ms"] = benchmark::Counter(1000 * sessionSeconds / runs);
  state.counters["commit_ms"] = benchmark::Counter(1000 * commitSeconds / runs);
  state.counters["reader_find_ms"] = benchmark::Counter(1000 * findSeconds / runs);
}

void BM_ProtectedFileSession100k(benchmark::State& state) { writerSessionThenReader(state, false); }
void BM_ProtectedMemorySession100k(benchmark::State& state) { writerSessionThenReader(state, true); }

// A protected file base of about 279 MB (850 000 keys of 200 bytes),
// made once per run of the program and removed at its end.
struct BigBase {
  std::string name;
  BigBase() : name(baseName(false)) {
    const std::vector<std::string>& all = keys();
    VEKCursorProtected base(name + "1", name + "2", VEK_STREAM_FILE);
    const size_t perSession = 85000;
    for (size_t first = 0; first < 850000; first += perSession) {
      int64 writer = base.openWriteProcess("", "");
      for (size_t i = first; i < first + perSession; ++i)
        base.putSymbol(writer, all[i % all.size()] + std::to_string(i) + std::string(176, 'v'));
      base.closeProcess(writer);
    }
  }
  ~BigBase() {
    for (const char* suffix : {"1.sw", "1.swt"}) VEKStreamFile::removeFile(name + suffix);
    removeBase(name, false);
  }
};

BigBase& bigBase() {
  static BigBase made;
  return made;
}

// Opening the big base with a reader, as the first "~~+" and "~~^" of a
// server started over it do: what it costs must not grow with the base.
void BM_ProtectedCleanOpen279MB(benchmark::State& state) {
  const std::string& name = bigBase().name;
  double seconds = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    VEKCursorProtected base(name + "1", name + "2", VEK_STREAM_FILE);
    int64 reader = base.openReadProcess("", "");
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (reader < 0) state.SkipWithError(base.failure().c_str());
    base.closeProcess(reader);
  }
  state.counters["open_ms"] = benchmark::Counter(1000 * seconds / static_cast<double>(state.iterations()));
  VEKStreamFile file;
  file.open((name + "2").c_str(), O_RDONLY, 0);
  state.counters["base_MB"] = benchmark::Counter(static_cast<double>(file.size()) / 1e6);
}

// A writer session that stores one key and commits, on the big base. Its
// time is mostly the fsyncs, which other work on a shared machine makes
// jump: the median says more than the mean.
void BM_ProtectedCommitOneKey279MB(benchmark::State& state) {
  const std::string& name = bigBase().name;
  VEKCursorProtected base(name + "1", name + "2", VEK_STREAM_FILE);
  std::vector<double> times;
  double cpu = 0;
  int64 round = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    double cpuStart = threadSeconds();
    int64 writer = base.openWriteProcess("", "");
    base.putSymbol(writer, "one key " + std::to_string(round++));
    base.closeProcess(writer);
    cpu += threadSeconds() - cpuStart;
    times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  state.counters["median_commit_ms"] = benchmark::Counter(1000 * times[times.size() / 2]);
  state.counters["cpu_commit_ms"] = benchmark::Counter(1000 * cpu / static_cast<double>(times.size()));
}

}  // namespace

BENCHMARK(BM_ProtectedCleanOpen279MB)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_ProtectedCommitOneKey279MB)->Unit(benchmark::kMillisecond)->Iterations(300);
BENCHMARK(BM_ProtectedFileSession100k)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_ProtectedMemorySession100k)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_MemoryBaseMillionKeys)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_FileBaseMillionKeys)->Unit(benchmark::kMillisecond)->Iterations(3);

BENCHMARK_MAIN();
