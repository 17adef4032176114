// File-handle and file-status words: "oi", "oo", "oa", "cf", "eof", "frs",
// "frc", "fcm", "fps", "getFileTime" and "getFileSize".
// (Placeholders returning the empty text until the words are written.)
#include "TTMProcessor.h"

namespace VekLanguage {

std::string TTMProcessor::openInput(Function*) { return std::string(); }
std::string TTMProcessor::openOutput(Function*) { return std::string(); }
std::string TTMProcessor::openAppend(Function*) { return std::string(); }
std::string TTMProcessor::closeFile(Function*) { return std::string(); }
std::string TTMProcessor::fileEof(Function*) { return std::string(); }
std::string TTMProcessor::fileReadString(Function*) { return std::string(); }
std::string TTMProcessor::fileReadChar(Function*) { return std::string(); }
std::string TTMProcessor::fileCharMark(Function*) { return std::string(); }
std::string TTMProcessor::filePutString(Function*) { return std::string(); }
std::string TTMProcessor::getFileTime(Function*) { return std::string(); }
std::string TTMProcessor::getFileSize(Function*) { return std::string(); }

}  // namespace VekLanguage
