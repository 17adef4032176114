// Formatting, conversion and form-removal words: "fmtl", "refmtl", "fmtd",
// "fmtTime", "tcn", "s2us" and "=x".
// (Placeholders returning the empty text until the words are written.)
#include "TTMProcessor.h"

namespace VekLanguage {

std::string TTMProcessor::removeForms(Function*) { return std::string(); }
std::string TTMProcessor::utf16Codes(Function*) { return std::string(); }
std::string TTMProcessor::utf16Escapes(Function*) { return std::string(); }
std::string TTMProcessor::formatInteger(Function*) { return std::string(); }
std::string TTMProcessor::reformatInteger(Function*) { return std::string(); }
std::string TTMProcessor::formatReal(Function*) { return std::string(); }
std::string TTMProcessor::formatTime(Function*) { return std::string(); }

}  // namespace VekLanguage
