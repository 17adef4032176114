// Throughput of the kernel services that pages drive with whole texts and
// files: the regular-expression matcher (a literal search, a lazy scan with
// captures, a search that backtracks at every start) and whole-file reading.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "VekRegex.h"
#include "VekUtil.h"

using namespace VekKernel;

namespace {

constexpr int TextSize = 64 * 1024;

// Markup-like text without the byte 'z': "<p>word word</p>" repeated.
std::string markupText() {
    std::string text;
    while (text.size() < TextSize) text += "<p class=\"x\">lorem ipsum dolor</p>\n";
    text.resize(TextSize);
    return text;
}

void runRegex(benchmark::State& state, const char* regex, const std::string& text, int slots) {
    RegexCap caps[8] = {};
    for (auto _ : state) {
        int rc = regexMatch(regex, text.data(), static_cast<int>(text.size()), slots > 0 ? caps : nullptr, slots, 0);
        benchmark::DoNotOptimize(rc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}

// A literal that is not there: every start position is skipped at once.
void BM_RegexLiteralMiss(benchmark::State& state) { runRegex(state, "zebra", markupText(), 0); }

// A class run that is not there: one short attempt per start position.
void BM_RegexClassMiss(benchmark::State& state) { runRegex(state, "[0-9]+x", markupText(), 0); }

// A lazy scan to the end of the text with two captures.
void BM_RegexLazyCaptureToEnd(benchmark::State& state) {
    std::string text = markupText() + "<end>";
    runRegex(state, "(<p[^>]*>)(.*?)<end>", text, 2);
}

void BM_ReadFileOneMiB(benchmark::State& state) {
    char pattern[] = "/tmp/vekkernelbench-XXXXXX";
    int fd = mkstemp(pattern);
    if (fd >= 0) close(fd);
    std::string bytes(1 << 20, 'k');
    std::ofstream(pattern, std::ios::binary) << bytes;
    for (auto _ : state) benchmark::DoNotOptimize(readFile(pattern));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes.size()));
    std::remove(pattern);
}

}  // namespace

BENCHMARK(BM_RegexLiteralMiss);
BENCHMARK(BM_RegexClassMiss);
BENCHMARK(BM_RegexLazyCaptureToEnd);
BENCHMARK(BM_ReadFileOneMiB);

BENCHMARK_MAIN();
