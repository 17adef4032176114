// Operations of a form: the read pointer, searches and replacements.
#include "Form.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "LanguageError.h"
#include "VekUtf8.h"

namespace VekLanguage {

namespace {

const char* const NoContents = "No contents";
const char* const InvalidPointer = "Invalid pointer";

std::string foldCase(const std::string& text) {
    std::string folded(text);
    for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return folded;
}

}  // namespace

void Form::setText(const std::string& newText) {
    text = newText;
    pointer = 0;
}

void Form::append(const std::string& more) { text += more; }

std::string Form::rest() const {
    if (text.empty() || pointer >= text.size()) return std::string();
    return text.substr(pointer);
}

std::size_t Form::length() const { return VekUtf8::length(text); }

bool Form::replaceIn(std::string& text, const std::string& from, const std::string& to) {
    if (from.empty()) return false;
    std::size_t found = text.find(from);
    if (found == std::string::npos) return false;
    std::string result;
    std::size_t offset = 0;
    for (; found != std::string::npos; found = text.find(from, offset)) {
        result.append(text, offset, found - offset);
        result += to;
        offset = found + from.size();
    }
    result.append(text, offset, std::string::npos);
    text.swap(result);
    return true;
}

std::size_t Form::sizeAfterReplaceIn(const std::string& text, const std::string& from, const std::string& to) {
    if (from.empty()) return text.size();
    std::size_t count = 0;
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + from.size()))
        ++count;
    return text.size() - count * from.size() + count * to.size();
}

void Form::replaceAll(const std::string& from, const std::string& to) {
    if (!text.empty()) replaceIn(text, from, to);
}

void Form::replaceFirst(const std::string& from, const std::string& to) {
    if (text.empty()) return;
    std::size_t found = text.find(from);
    if (found != std::string::npos) text.replace(found, from.size(), to);
}

char Form::nextChar() {
    if (text.empty() || pointer >= text.size()) throw LanguageError(NoContents);
    return text[pointer++];
}

std::string Form::nextUntil(char stop) {
    if (text.empty() || pointer >= text.size()) throw LanguageError(NoContents);
    std::size_t found = text.find(stop, pointer);
    if (found == std::string::npos) {
        std::string piece = text.substr(pointer);
        pointer = text.size();
        return piece;
    }
    std::string piece = text.substr(pointer, found - pointer);
    pointer = found + 2;  // past both bytes of the segment mark
    return piece;
}

void Form::skipPast(const std::string& s) {
    if (text.empty()) throw LanguageError(NoContents);
    std::size_t found = text.find(s, pointer);
    if (found == std::string::npos) throw LanguageError("No string");
    pointer = found + s.size();
}

void Form::setPointer(std::size_t position) {
    pointer = (text.empty() || position <= text.size()) ? position : text.size();
}

std::string Form::nextChars(int n) {
    if (text.empty()) throw LanguageError(NoContents);
    if (pointer >= text.size()) throw LanguageError(InvalidPointer);
    if (n == 0) return std::string();
    auto start = text.cbegin() + static_cast<std::ptrdiff_t>(pointer);
    auto it = start;
    // A negative n never reaches its count, so the rest of the text is taken.
    for (long taken = 0; it != text.cend() && taken != n; ++taken) VekUtf8::next(it, text.cend());
    std::string piece(start, it);
    pointer += piece.size();
    return piece;
}

std::string Form::before() const { return text.substr(0, std::min(pointer, text.size())); }

std::string Form::after() const { return text.substr(pointer); }

bool Form::find(const std::string& s) {
    if (text.empty() || pointer >= text.size()) return false;
    std::size_t found = text.find(s, pointer);
    if (found == std::string::npos) return false;
    pointer = found;
    return true;
}

bool Form::findIgnoreCase(const std::string& s) {
    if (text.empty() || pointer >= text.size()) return false;
    std::size_t found = foldCase(text).find(foldCase(s), pointer);
    if (found == std::string::npos) return false;
    pointer = found;
    return true;
}

std::string Form::between(const std::string& start, const std::string& end) {
    if (text.empty()) throw LanguageError(NoContents);
    if (pointer >= text.size()) throw LanguageError(InvalidPointer);
    std::size_t startAt = text.find(start, pointer);
    if (startAt == std::string::npos) throw LanguageError("No " + start);
    std::size_t from = startAt + start.size();
    std::size_t endAt = text.find(end, from);
    if (endAt == std::string::npos) throw LanguageError("No " + end);
    pointer = endAt + end.size();
    return text.substr(from, endAt - from);
}

}  // namespace VekLanguage
