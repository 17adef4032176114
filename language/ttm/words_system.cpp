// System and binary words: "df", "load", "system", "outLoadBinary",
// "base64LoadBinary", "base64SaveBinary" and "outBase64Decode".
// (Placeholders returning the empty text until the words are written.)
#include "TTMProcessor.h"

namespace VekLanguage {

std::string TTMProcessor::deleteFile(Function*) { return std::string(); }
std::string TTMProcessor::loadFile(Function*) { return std::string(); }
std::string TTMProcessor::systemCommand(Function*) { return std::string(); }
std::string TTMProcessor::outLoadBinary(Function*) { return std::string(); }
std::string TTMProcessor::base64LoadBinary(Function*) { return std::string(); }
std::string TTMProcessor::base64SaveBinary(Function*) { return std::string(); }
std::string TTMProcessor::outBase64Decode(Function*) { return std::string(); }

}  // namespace VekLanguage
