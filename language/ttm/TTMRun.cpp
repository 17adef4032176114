// Runs a template text to its end and returns its output bytes.
#include "TTMRun.h"

#include "TTMProcessor.h"

namespace VekLanguage {

std::string runTemplate(const std::string& text, int64 maxSteps) {
    TTMProcessor processor;
    processor.init(std::string());
    processor.setInput(text);
    while (!processor.run(maxSteps)) {
    }
    std::string output = processor.outputText();
    if (!output.empty() && output.back() == '\0') output.pop_back();
    return output;
}

}  // namespace VekLanguage
