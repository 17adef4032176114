// The process-wide text budget.
#include "TextBudget.h"

#include <cassert>

namespace VekLanguage {

std::size_t TextBudget::limit_ = DefaultTextBudget;
std::size_t TextBudget::used_ = 0;
std::size_t TextBudget::clientUsed_ = 0;

namespace {

// True when adding bytes to used keeps it within limit.
bool fits(std::size_t used, std::size_t bytes, std::size_t limit) { return bytes <= limit && used <= limit - bytes; }

}  // namespace

bool TextBudget::take(std::size_t bytes, Share share) {
    if (!fits(used_, bytes, limit_)) return false;
    if (share == Share::Clients && !fits(clientUsed_, bytes, clientLimit())) return false;
    takeAnyway(bytes, share);
    return true;
}

void TextBudget::takeAnyway(std::size_t bytes, Share share) {
    used_ += bytes;
    if (share == Share::Clients) clientUsed_ += bytes;
}

void TextBudget::give(std::size_t bytes, Share share) {
    assert(bytes <= used_);
    used_ = bytes <= used_ ? used_ - bytes : 0;
    if (share == Share::Clients) {
        assert(bytes <= clientUsed_);
        clientUsed_ = bytes <= clientUsed_ ? clientUsed_ - bytes : 0;
    }
}

}  // namespace VekLanguage
