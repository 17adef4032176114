// Remote request words: "~+", "~-" and "~>".
// (Placeholders returning the empty text until the words are written.)
#include "TTMProcessor.h"

namespace VekLanguage {

std::string TTMProcessor::remoteAcquire(Function*) { return std::string(); }
std::string TTMProcessor::remoteRelease(Function*) { return std::string(); }
std::string TTMProcessor::remoteRequest(Function*) { return std::string(); }

}  // namespace VekLanguage
