// Formatting and scanning with patterns that pages supply ("fmtl", "refmtl",
// "fmtd"). A page's pattern is never handed to printf or scanf as it stands:
// it is first checked to hold exactly one conversion of the kind the word
// supplies a value for, with flags, width and precision given as digits
// ("%%" is allowed anywhere). The value is then passed in the type that the
// conversion's length modifier names, so the libc call reads or writes that
// one value and nothing else. Any other pattern ("%s", "%n", "%p", "*"
// widths, positional "$" arguments, two conversions, none) gives no result.
#pragma once
#include <string>

#include "VekTypes.h"

namespace VekLanguage {

// Replaces the first "I64" of pattern by "ll" (the 64-bit length modifier
// that the integer words accept).
std::string withInt64Modifier(const std::string& pattern);

// printf of one integer; false when the pattern is not one integer
// conversion (d i o u x X, modifiers hh h l ll j). The result is cut to
// 1023 bytes.
bool printIntegerPattern(const std::string& pattern, int64 value, std::string& result);

// printf of one real; false when the pattern is not one floating
// conversion (f F e E g G a A, modifiers l L). Cut to 1023 bytes.
bool printRealPattern(const std::string& pattern, double value, std::string& result);

// sscanf of text with a pattern holding one integer conversion (d i o u x X,
// optional width, modifiers hh h l ll j). Returns false for any other
// pattern; otherwise true, with value set when the conversion stored one
// and left as it was when nothing was read.
bool scanIntegerPattern(const std::string& text, const std::string& pattern, int64& value);

}  // namespace VekLanguage
