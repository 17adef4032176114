// Form definition, arithmetic and comparison words.
#include "TTMProcessor.h"

namespace VekLanguage {

std::string TTMProcessor::defineAtLevel(Function*) { return std::string(); }
std::string TTMProcessor::define(Function*) { return std::string(); }
std::string TTMProcessor::appendForm(Function*) { return std::string(); }
std::string TTMProcessor::listNames(Function*) { return std::string(); }
std::string TTMProcessor::add(Function*) { return std::string(); }
std::string TTMProcessor::subtract(Function*) { return std::string(); }
std::string TTMProcessor::multiply(Function*) { return std::string(); }
std::string TTMProcessor::divide(Function*) { return std::string(); }
std::string TTMProcessor::modulo(Function*) { return std::string(); }
std::string TTMProcessor::bitOr(Function*) { return std::string(); }
std::string TTMProcessor::bitAnd(Function*) { return std::string(); }
std::string TTMProcessor::equals(Function*) { return std::string(); }
std::string TTMProcessor::equalsNumber(Function*) { return std::string(); }
std::string TTMProcessor::greaterOrEqual(Function*) { return std::string(); }
std::string TTMProcessor::greaterOrEqualNumber(Function*) { return std::string(); }
std::string TTMProcessor::chr(Function*) { return std::string(); }
std::string TTMProcessor::charCount(Function*) { return std::string(); }

}  // namespace VekLanguage
