// The printing operations that the Forth, Lisp and PLZ processors share:
// text and numbers written to standard output, and three reserved slots.
#pragma once
#include <ostream>
#include <string>

#include "LanguageProcessor.h"

namespace VekLanguage {

class PrintingProcessor : public LanguageProcessor {
public:
    PrintingProcessor() = default;
    // Writes text to standard output (no newline) while constructing.
    explicit PrintingProcessor(const std::string& text);

    bool isTrace() override { return false; }
    // Writes text to standard output; 0.
    virtual int printText(const std::string& text);
    // Writes text to standard output and returns that stream.
    virtual std::ostream& printTextStream(const std::string& text);
    virtual void reserved10() {}
    // Writes number in decimal to standard output; 0.
    virtual int printNumber(int64 number);
    virtual int reserved12() { return 0; }
    virtual void reserved13() {}
};

}  // namespace VekLanguage
