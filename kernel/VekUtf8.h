// The system's own UTF-8 interface. Everything outside the kernel calls
// VekUtf8 only; the validating work is done by the UTF8-CPP library.
// Errors are thrown as invalid_utf8 ("Invalid UTF-8"), invalid_code_point
// ("Invalid code point") and not_enough_room ("Not enough space").
#pragma once
#include <iterator>
#include <string>

#include <utf8.h>

#include "VekTypes.h"

namespace VekUtf8 {

using exception = utf8::exception;
using invalid_utf8 = utf8::invalid_utf8;
using invalid_code_point = utf8::invalid_code_point;
using not_enough_room = utf8::not_enough_room;

// Decodes the code point at it and moves it past it. Throws not_enough_room
// for a sequence cut by end, invalid_utf8 for a bad lead or continuation
// byte or an overlong form, invalid_code_point for a surrogate or a value
// above U+10FFFF.
template <typename OctetIterator>
inline u32 next(OctetIterator& it, OctetIterator end) {
    return utf8::next(it, end);
}

// Moves it forward by n code points, validating them.
template <typename OctetIterator>
inline void advance(OctetIterator& it, std::size_t n, OctetIterator end) {
    for (std::size_t i = 0; i < n; ++i) utf8::next(it, end);
}

// Number of code points in [first, last), validating them.
template <typename OctetIterator>
inline std::size_t distance(OctetIterator first, OctetIterator last) {
    std::size_t count = 0;
    while (first != last) {
        utf8::next(first, last);
        ++count;
    }
    return count;
}

// Number of code points of a whole text, validating them.
inline std::size_t length(const std::string& text) {
    return VekUtf8::distance(text.begin(), text.end());
}

// Appends the UTF-8 bytes of codePoint; throws invalid_code_point for a
// surrogate or a value above U+10FFFF.
inline void append(u32 codePoint, std::string& out) {
    utf8::append(codePoint, std::back_inserter(out));
}

// The UTF-8 bytes of one code point (same checks as append).
inline std::string encode(u32 codePoint) {
    std::string out;
    append(codePoint, out);
    return out;
}

// True when the whole text is valid UTF-8.
inline bool isValid(const std::string& text) {
    return utf8::is_valid(text.begin(), text.end());
}

// UTF-8 to UTF-16 (a surrogate pair above U+FFFF); throws on invalid UTF-8.
inline std::u16string utf8to16(const std::string& text) {
    std::u16string out;
    utf8::utf8to16(text.begin(), text.end(), std::back_inserter(out));
    return out;
}

// UTF-16 to UTF-8; throws invalid_utf16 on a lone surrogate.
using invalid_utf16 = utf8::invalid_utf16;
inline std::string utf16to8(const std::u16string& text) {
    std::string out;
    utf8::utf16to8(text.begin(), text.end(), std::back_inserter(out));
    return out;
}

// UTF-8 to wide text (one wchar_t per code point) and back.
inline std::wstring toWide(const std::string& text) {
    std::wstring out;
    for (auto it = text.begin(); it != text.end();) out.push_back(static_cast<wchar_t>(utf8::next(it, text.end())));
    return out;
}
inline std::string fromWide(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) append(static_cast<u32>(c), out);
    return out;
}

}  // namespace VekUtf8
