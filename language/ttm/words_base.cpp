// Base words: the template words that reach the protected bases of the
// process-wide base registry, and the two packed-string-list words.
// (Placeholders returning the empty text until the words are written.)
#include "TTMProcessor.h"

namespace VekLanguage {

std::string TTMProcessor::baseOpen(Function*) { return std::string(); }
std::string TTMProcessor::baseRemove(Function*) { return std::string(); }
std::string TTMProcessor::baseOpenWriteProcess(Function*) { return std::string(); }
std::string TTMProcessor::baseOpenReadProcess(Function*) { return std::string(); }
std::string TTMProcessor::baseCloseProcess(Function*) { return std::string(); }
std::string TTMProcessor::baseCloseAndDelete(Function*) { return std::string(); }
std::string TTMProcessor::baseCloseBase(Function*) { return std::string(); }
std::string TTMProcessor::basePutSymbol(Function*) { return std::string(); }
std::string TTMProcessor::baseReplaceSymbol(Function*) { return std::string(); }
std::string TTMProcessor::baseDeleteSymbol(Function*) { return std::string(); }
std::string TTMProcessor::baseReadString(Function*) { return std::string(); }
std::string TTMProcessor::baseFindSymbol(Function*) { return std::string(); }
std::string TTMProcessor::baseDataLength(Function*) { return std::string(); }
std::string TTMProcessor::baseGoChild(Function*) { return std::string(); }
std::string TTMProcessor::baseGoParent(Function*) { return std::string(); }
std::string TTMProcessor::baseGoFirst(Function*) { return std::string(); }
std::string TTMProcessor::baseGoLast(Function*) { return std::string(); }
std::string TTMProcessor::baseGoNextKey(Function*) { return std::string(); }
std::string TTMProcessor::baseGoPrevKey(Function*) { return std::string(); }
std::string TTMProcessor::baseSearchSymbol(Function*) { return std::string(); }
std::string TTMProcessor::baseFindSymbolOrNext(Function*) { return std::string(); }
std::string TTMProcessor::baseFindSymbolOrPrev(Function*) { return std::string(); }
std::string TTMProcessor::baseGetStringList(Function*) { return std::string(); }
std::string TTMProcessor::baseFindStringList(Function*) { return std::string(); }
std::string TTMProcessor::baseReadStringAtList(Function*) { return std::string(); }
std::string TTMProcessor::baseExistsSymbol(Function*) { return std::string(); }
std::string TTMProcessor::baseExistsStringList(Function*) { return std::string(); }
std::string TTMProcessor::baseSetStringList(Function*) { return std::string(); }
std::string TTMProcessor::baseGoPr(Function*) { return std::string(); }
std::string TTMProcessor::baseGoNx(Function*) { return std::string(); }
std::string TTMProcessor::baseGoUp(Function*) { return std::string(); }
std::string TTMProcessor::baseGoDn(Function*) { return std::string(); }
std::string TTMProcessor::basePackStringList(Function*) { return std::string(); }
std::string TTMProcessor::baseUnpackStringList(Function*) { return std::string(); }
std::string TTMProcessor::baseLockWrite(Function*) { return std::string(); }
std::string TTMProcessor::baseUnlockWrite(Function*) { return std::string(); }
std::string TTMProcessor::baseLockRead(Function*) { return std::string(); }
std::string TTMProcessor::baseUnlockRead(Function*) { return std::string(); }
std::string TTMProcessor::baseMoveStringList(Function*) { return std::string(); }
std::string TTMProcessor::baseRemoveFromIndex(Function*) { return std::string(); }
std::string TTMProcessor::baseAddToIndex(Function*) { return std::string(); }
std::string TTMProcessor::baseSearchInIndex(Function*) { return std::string(); }
std::string TTMProcessor::baseAddUser(Function*) { return std::string(); }
std::string TTMProcessor::baseChangePassword(Function*) { return std::string(); }
std::string TTMProcessor::baseDeleteUser(Function*) { return std::string(); }
std::string TTMProcessor::baseGetChildCount(Function*) { return std::string(); }
std::string TTMProcessor::baseGetSymbolCount(Function*) { return std::string(); }
std::string TTMProcessor::baseGoSubLevel(Function*) { return std::string(); }

}  // namespace VekLanguage
