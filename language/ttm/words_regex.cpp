// Regular-expression, digest, random and bit words: "RegEx", "MD5", "SHA1",
// "SHA256", "rand", "lShiftBits", "rShiftBits" and "countBits".
// (Placeholders returning the empty text until the words are written.)
#include "TTMProcessor.h"

namespace VekLanguage {

std::string TTMProcessor::regEx(Function*) { return std::string(); }
std::string TTMProcessor::md5(Function*) { return std::string(); }
std::string TTMProcessor::sha1(Function*) { return std::string(); }
std::string TTMProcessor::sha256(Function*) { return std::string(); }
std::string TTMProcessor::random(Function*) { return std::string(); }
std::string TTMProcessor::lShiftBits(Function*) { return std::string(); }
std::string TTMProcessor::rShiftBits(Function*) { return std::string(); }
std::string TTMProcessor::countBits(Function*) { return std::string(); }

}  // namespace VekLanguage
