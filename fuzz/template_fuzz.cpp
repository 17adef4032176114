// Fuzz target: the template scanner and processor over page text, run the
// way the server runs a page: slices of 30 steps until the run ends, with a
// budget of slices and small call-depth and text limits. The words that
// reach other servers, bases or the shell do nothing here (their own
// parsers have targets of their own); file-changing words stay
// refused, as the permission switches start off. Forms a page defines with
// "=" are dropped after each input so that inputs do not see each other.
#include <cstdlib>

#include "FuzzSupport.h"
#include "language/ttm/TTMProcessor.h"

using namespace VekLanguage;

namespace {

constexpr int64 StepsPerSlice = 30;
constexpr int Slices = 300;

bool reachesOutside(const std::string& word)
{
    return word == "system" || (word[0] == '~' && word.size() > 1) ||
           word == "RemoveFromIndex" || word == "AddToIndex" || word == "SearchInIndex";
}

// The processor with those words made empty.
class FuzzTemplate : public TTMProcessor {
public:
    FuzzTemplate()
    {
        init(std::string());
        for (const auto& word : builtinList())
            if (reachesOutside(word.first)) (*builtins)[word.first] = static_cast<TTMHandler>(&FuzzTemplate::nothing);
    }

private:
    std::string nothing(Function*) { return std::string(); }
};

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
        FuzzTemplate processor;
        processor.maxCallDepth = 1000;
        processor.maxTextBytes = 1 << 20;
        processor.setInput(page);
        try {
            for (int slice = 0; slice < Slices && !processor.run(StepsPerSlice); ++slice) {
            }
        } catch (const std::exception&) {
            // A failing word ends the run, as the server ends the page.
        }
        if (u8* output = processor.getOutput()) {
            if (processor.outputLength() > (1u << 20) + 8) std::abort();
            (void)output;
        }
    }
    LanguageProcessor::clearGlobalForms();
    return 0;
}
