// Runs a template text through a TTMProcessor the way the server does and
// gives back what the page output: for tests, benchmarks and tools.
#pragma once
#include <string>

#include "VekTypes.h"

namespace VekLanguage {

// The output bytes of running text (init with an empty text, setInput with
// text, then run with maxSteps until it finishes), less a final NUL.
// Failures of the run (TTMError) reach the caller.
std::string runTemplate(const std::string& text, int64 maxSteps = 0);

}  // namespace VekLanguage
