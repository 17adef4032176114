// Throughput of template words that pages run in loops or on whole files:
// number formatting through a checked pattern, digests, line reading with
// "frs", and the binary file words.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "TTMProcessor.h"
#include "TTMRun.h"

using namespace VekLanguage;

namespace {

// A file holding bytes under /tmp, removed at the end of the benchmark.
class ScratchFile {
public:
    explicit ScratchFile(const std::string& bytes) {
        char pattern[] = "/tmp/vekwordsbench-XXXXXX";
        int fd = mkstemp(pattern);
        if (fd >= 0) close(fd);
        path = pattern;
        std::ofstream(path, std::ios::binary) << bytes;
    }
    ~ScratchFile() { std::remove(path.c_str()); }
    std::string path;  // where the file is
};

std::string repeatCalls(const std::string& call, int count) {
    std::string page;
    for (int i = 0; i < count; ++i) page += call;
    return page;
}

void BM_FormatInteger(benchmark::State& state) {
    const std::string page = repeatCalls("#[fmtl;%08I64X;123456789]", 1000);
    for (auto _ : state) benchmark::DoNotOptimize(runTemplate(page));
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_FormatInteger);

void BM_Sha256OfKilobyte(benchmark::State& state) {
    const std::string page = repeatCalls("#[SHA256;" + std::string(1024, 'x') + "]", 100);
    for (auto _ : state) benchmark::DoNotOptimize(runTemplate(page));
    state.SetBytesProcessed(state.iterations() * 100 * 1024);
}
BENCHMARK(BM_Sha256OfKilobyte);

void BM_ReadLinesWithFrs(benchmark::State& state) {
    std::string lines;
    for (int i = 0; i < 1000; ++i) lines += "a line of about forty bytes of text ...|";
    ScratchFile file(lines);
    const std::string page = "#[oi;h;" + file.path + ";]#[fcm;h;|]" + repeatCalls("#[frs;h]", 1000);
    for (auto _ : state) benchmark::DoNotOptimize(runTemplate(page));
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(lines.size()));
}
BENCHMARK(BM_ReadLinesWithFrs);

void BM_OutLoadBinaryMegabyte(benchmark::State& state) {
    ScratchFile file(std::string(1 << 20, '\x5a'));
    const std::string page = "#[outLoadBinary;" + file.path + "]";
    for (auto _ : state) benchmark::DoNotOptimize(runTemplate(page));
    state.SetBytesProcessed(state.iterations() * (1 << 20));
}
BENCHMARK(BM_OutLoadBinaryMegabyte);

void BM_Base64LoadBinaryMegabyte(benchmark::State& state) {
    ScratchFile file(std::string(1 << 20, '\x5a'));
    const std::string page = "#[.=;x;##[base64LoadBinary;" + file.path + "]]";
    for (auto _ : state) benchmark::DoNotOptimize(runTemplate(page));
    state.SetBytesProcessed(state.iterations() * (1 << 20));
}
BENCHMARK(BM_Base64LoadBinaryMegabyte);

}  // namespace

BENCHMARK_MAIN();
