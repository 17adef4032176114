// Benchmarks of the template processor. With "--loop" it instead runs the
// million-iteration loop page once through TTMProcessor::run (no step limit)
// and prints its output; with "--page" it does the same for the page text
// read from standard input. ttm_vs_m4.py times both against m4.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <string>

#include "TTMProcessor.h"
#include "TTMRun.h"

namespace {

std::string loopPage(long iterations) {
    return "#[.=;i;0]#[.=;loop;[#[>=n;#[i];" + std::to_string(iterations) +
           ";;[#[.=;i;#[+;#[i];1;0]]#[loop]]]]]#[loop]#[out;#[i]]";
}

void BM_LoopByRecursion(benchmark::State& state) {
    const std::string page = loopPage(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(VekLanguage::runTemplate(page));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_LoopByRecursion)->Arg(10000);

void BM_FormCallWithParameters(benchmark::State& state) {
    const std::string page =
        "#[.=;f;[<a href=\"X\">Y</a>]]#[=.;f;X;Y]#[.=;n;0]#[.=;l;[#[>=n;#[n];1000;;[#[f;u;v]"
        "#[.=;n;#[+;#[n];1;0]]#[l]]]]]#[l]";
    for (auto _ : state) benchmark::DoNotOptimize(VekLanguage::runTemplate(page));
}
BENCHMARK(BM_FormCallWithParameters);

void BM_RunInTurnsOf30Steps(benchmark::State& state) {
    const std::string page = loopPage(10000);
    for (auto _ : state) benchmark::DoNotOptimize(VekLanguage::runTemplate(page, 30));
}
BENCHMARK(BM_RunInTurnsOf30Steps);

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--loop") == 0) {
        long iterations = argc > 2 ? std::atol(argv[2]) : 1000000;
        std::printf("%s\n", VekLanguage::runTemplate(loopPage(iterations)).c_str());
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "--page") == 0) {
        std::string page((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
        std::printf("%s\n", VekLanguage::runTemplate(page).c_str());
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
