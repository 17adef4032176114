// The Lisp processor: a placeholder with no language of its own; it only
// prints to standard output. Subclasses give the processor operations.
#pragma once
#include "PrintingProcessor.h"

namespace VekLanguage {

class LispProcessor : public PrintingProcessor {
public:
    using PrintingProcessor::PrintingProcessor;
};

}  // namespace VekLanguage
