// The process-wide text budget.
#include "TextBudget.h"

#include <cassert>

namespace VekLanguage {

std::size_t TextBudget::limit_ = DefaultTextBudget;
std::size_t TextBudget::used_ = 0;

bool TextBudget::take(std::size_t bytes) {
    if (bytes > limit_ || used_ > limit_ - bytes) return false;
    used_ += bytes;
    return true;
}

void TextBudget::give(std::size_t bytes) {
    assert(bytes <= used_);
    used_ = bytes <= used_ ? used_ - bytes : 0;
}

}  // namespace VekLanguage
