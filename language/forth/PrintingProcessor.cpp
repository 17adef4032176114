// The printing operations shared by the Forth, Lisp and PLZ processors.
#include "PrintingProcessor.h"

#include <iostream>

namespace VekLanguage {

PrintingProcessor::PrintingProcessor(const std::string& text) { std::cout << text; }

int PrintingProcessor::printText(const std::string& text) {
    std::cout << text;
    return 0;
}

std::ostream& PrintingProcessor::printTextStream(const std::string& text) { return std::cout << text; }

int PrintingProcessor::printNumber(int64 number) {
    std::cout << number;
    return 0;
}

}  // namespace VekLanguage
