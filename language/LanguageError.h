// The exception that the language processors throw for their own failures;
// TTMError (language/ttm) derives from it.
#pragma once
#include <exception>
#include <string>

namespace VekLanguage {

class LanguageError : public std::exception {
public:
    explicit LanguageError(const std::string& message) : message(message) {}
    ~LanguageError() override = default;
    const char* what() const noexcept override { return message.c_str(); }

    std::string message;  // the text what() returns
};

}  // namespace VekLanguage
