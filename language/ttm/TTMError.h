// The template processor's own failure: an unmatched protected bracket, or a
// word that failed during evaluation ("eval: failed - ...").
#pragma once
#include "LanguageError.h"

namespace VekLanguage {

class TTMError : public LanguageError {
public:
    explicit TTMError(const std::string& message) : LanguageError(message) {}
};

}  // namespace VekLanguage
