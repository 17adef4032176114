// Fuzz target: the template scanner and processor over page text, run the
// way the server runs a page: slices of 30 steps until the run ends, with a
// budget of slices and small call-depth and text limits. The words that
// reach other servers, bases or the shell are disarmed (TemplateGuard.h);
// file-changing words stay refused, as the permission switches start off. Forms a page defines with
// "=" are dropped after each input so that inputs do not see each other.
#include <cstdlib>

#include "FuzzSupport.h"
#include "TemplateGuard.h"

using namespace VekLanguage;

namespace {

constexpr int64 StepsPerSlice = 30;
constexpr int Slices = 200;
// A step may rescan all the text a page holds, so the text limit times the
// steps bounds the work of one input.
constexpr std::size_t TextLimit = 1 << 16;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    VekFuzz::enterScratchDirectory();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 1 << 16) return 0;
    std::string page(reinterpret_cast<const char*>(data), size);
    {
        TTMProcessor processor;
        processor.init(std::string());
        VekFuzz::disarmOutsideWords(processor);
        processor.maxCallDepth = 1000;
        processor.maxTextBytes = TextLimit;
        processor.confinePaths = true;
        processor.setInput(page);
        try {
            for (int slice = 0; slice < Slices && !processor.run(StepsPerSlice); ++slice) {
            }
        } catch (const std::exception&) {
            // A failing word ends the run, as the server ends the page.
        }
        if (processor.getOutput() && processor.outputLength() > TextLimit + 8) std::abort();
    }
    LanguageProcessor::clearGlobalForms();
    return 0;
}
