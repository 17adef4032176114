// Control, level and output words.
#include "TTMProcessor.h"

namespace VekLanguage {

std::string TTMProcessor::getLevel(Function*) { return std::string(); }
std::string TTMProcessor::setLevel(Function*) { return std::string(); }
std::string TTMProcessor::levelUp(Function*) { return std::string(); }
std::string TTMProcessor::levelDown(Function*) { return std::string(); }
std::string TTMProcessor::cout(Function*) { return std::string(); }
std::string TTMProcessor::out(Function*) { return std::string(); }
std::string TTMProcessor::traceOn(Function*) { return std::string(); }
std::string TTMProcessor::traceOff(Function*) { return std::string(); }
std::string TTMProcessor::deleteAll(Function*) { return std::string(); }
std::string TTMProcessor::bitNot(Function*) { return std::string(); }
std::string TTMProcessor::sharp(Function*) { return std::string(); }
std::string TTMProcessor::exit(Function*) { return std::string(); }
std::string TTMProcessor::getTime(Function*) { return std::string(); }
std::string TTMProcessor::getUniqueID(Function*) { return std::string(); }
std::string TTMProcessor::buffersGetState(Function*) { return std::string(); }

}  // namespace VekLanguage
