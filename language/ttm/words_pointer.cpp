// Form-pointer words.
#include "TTMProcessor.h"

namespace VekLanguage {

std::string TTMProcessor::replaceAllWord(Function*) { return std::string(); }
std::string TTMProcessor::replaceFirstWord(Function*) { return std::string(); }
std::string TTMProcessor::nextCharWord(Function*) { return std::string(); }
std::string TTMProcessor::nextSegment(Function*) { return std::string(); }
std::string TTMProcessor::skipPastWord(Function*) { return std::string(); }
std::string TTMProcessor::resetPointerWord(Function*) { return std::string(); }
std::string TTMProcessor::nextCharsWord(Function*) { return std::string(); }
std::string TTMProcessor::formLength(Function*) { return std::string(); }
std::string TTMProcessor::beforePointer(Function*) { return std::string(); }
std::string TTMProcessor::afterPointer(Function*) { return std::string(); }
std::string TTMProcessor::getPointerWord(Function*) { return std::string(); }
std::string TTMProcessor::setPointerWord(Function*) { return std::string(); }
std::string TTMProcessor::betweenWord(Function*) { return std::string(); }
std::string TTMProcessor::findWord(Function*) { return std::string(); }
std::string TTMProcessor::findIgnoreCaseWord(Function*) { return std::string(); }
std::string TTMProcessor::printForm(Function*) { return std::string(); }
std::string TTMProcessor::existsForm(Function*) { return std::string(); }

}  // namespace VekLanguage
