// Number and text conversions shared by the builtin words: numbers are
// texts, read with the libc conversions and written into 1024-byte buffers.
#pragma once
#include <string>

#include "VekTypes.h"

namespace VekLanguage {

// Results that are numbers are formatted into a buffer of this size.
constexpr std::size_t WordBufferSize = 1024;

// printf-style formatting into a WordBufferSize buffer (longer results are cut).
std::string formatWord(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
// "%.*f" of value with precision (as formatWord).
std::string formatReal(int precision, double value);
// Base-10 strtol of text held to the signed 32-bit range; 0 without digits.
int toInt32(const std::string& text);
// "%lld" of text; preset when the text does not begin with a number.
int64 scanInt64(const std::string& text, int64 preset);

}  // namespace VekLanguage
