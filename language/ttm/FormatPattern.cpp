// Checked printf/scanf patterns of the formatting words: each pattern is
// parsed into its one conversion before libc sees it, and the value is passed
// in exactly the type that conversion expects.
#include "FormatPattern.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace VekLanguage {

namespace {

constexpr std::size_t ResultBufferSize = 1024;
// Widths and precisions are at most this many digits: larger ones cannot
// show in a 1023-byte result and would only make printf pad for nothing.
constexpr int MaxFieldDigits = 4;

enum class Length { None, Char, Short, Long, LongLong, IntMax, LongDouble };

// The one conversion found in a pattern.
struct Conversion {
    char specifier = 0;            // conversion letter
    Length length = Length::None;  // length modifier
};

const char* const IntegerLetters = "diouxX";
const char* const RealLetters = "fFeEgGaA";

bool isOneOf(char c, const char* letters) { return c != '\0' && std::strchr(letters, c) != nullptr; }

bool isUnsignedLetter(char c) { return c != 'd' && c != 'i'; }

// Skips at most MaxFieldDigits digits at p; false when there are more.
bool skipDigits(const char*& p) {
    int digits = 0;
    while (std::isdigit(static_cast<unsigned char>(*p))) {
        if (++digits > MaxFieldDigits) return false;
        ++p;
    }
    return true;
}

// Reads an integer length modifier (hh h l ll j) at p.
Length readIntegerLength(const char*& p) {
    if (p[0] == 'h' && p[1] == 'h') return p += 2, Length::Char;
    if (p[0] == 'h') return p += 1, Length::Short;
    if (p[0] == 'l' && p[1] == 'l') return p += 2, Length::LongLong;
    if (p[0] == 'l') return p += 1, Length::Long;
    if (p[0] == 'j') return p += 1, Length::IntMax;
    return Length::None;
}

// Reads a floating length modifier (l L) at p.
Length readRealLength(const char*& p) {
    if (p[0] == 'l') return p += 1, Length::Long;
    if (p[0] == 'L') return p += 1, Length::LongDouble;
    return Length::None;
}

// One printf conversion after its "%": flags, width, precision, modifier,
// letter. False when it is not a conversion of the wanted kind.
bool readPrintfConversion(const char*& p, bool integer, Conversion& conversion) {
    while (*p != '\0' && std::strchr("-+ #0'", *p) != nullptr) ++p;
    if (!skipDigits(p)) return false;
    if (*p == '.') {
        ++p;
        if (!skipDigits(p)) return false;
    }
    conversion.length = integer ? readIntegerLength(p) : readRealLength(p);
    conversion.specifier = *p;
    if (!isOneOf(*p, integer ? IntegerLetters : RealLetters)) return false;
    ++p;
    return true;
}

// One scanf conversion after its "%": width, modifier, letter.
bool readScanfConversion(const char*& p, Conversion& conversion) {
    if (!skipDigits(p)) return false;
    conversion.length = readIntegerLength(p);
    conversion.specifier = *p;
    if (!isOneOf(*p, IntegerLetters)) return false;
    ++p;
    return true;
}

// Walks pattern (up to its first NUL, as libc reads it): true when it holds
// exactly one conversion that readOne accepts, besides any number of "%%".
template <typename ReadOne>
bool findOneConversion(const std::string& pattern, Conversion& conversion, ReadOne readOne) {
    bool found = false;
    const char* p = pattern.c_str();
    while (*p != '\0') {
        if (*p++ != '%') continue;
        if (*p == '%') {
            ++p;
            continue;
        }
        if (found || !readOne(p, conversion)) return false;
        found = true;
    }
    return found;
}

template <typename Value>
std::string printOne(const std::string& pattern, Value value) {
    char buffer[ResultBufferSize];
    // The pattern was checked to hold one conversion taking a Value.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int written = std::snprintf(buffer, sizeof buffer, pattern.c_str(), value);
#pragma GCC diagnostic pop
    return written < 0 ? std::string() : std::string(buffer);
}

template <typename Signed, typename Unsigned>
std::string printInteger(const std::string& pattern, char specifier, int64 value) {
    if (isUnsignedLetter(specifier)) return printOne(pattern, static_cast<Unsigned>(value));
    return printOne(pattern, static_cast<Signed>(value));
}

template <typename Target>
bool scanOne(const std::string& text, const std::string& pattern, int64& value) {
    Target target = 0;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int stored = std::sscanf(text.c_str(), pattern.c_str(), &target);
#pragma GCC diagnostic pop
    if (stored == 1) value = static_cast<int64>(target);
    return true;
}

template <typename Signed, typename Unsigned>
bool scanInteger(const std::string& text, const std::string& pattern, char specifier, int64& value) {
    if (isUnsignedLetter(specifier)) return scanOne<Unsigned>(text, pattern, value);
    return scanOne<Signed>(text, pattern, value);
}

}  // namespace

std::string withInt64Modifier(const std::string& pattern) {
    std::string result = pattern;
    std::size_t at = result.find("I64");
    if (at != std::string::npos) result.replace(at, 3, "ll");
    return result;
}

bool printIntegerPattern(const std::string& pattern, int64 value, std::string& result) {
    Conversion c;
    auto read = [](const char*& p, Conversion& conversion) { return readPrintfConversion(p, true, conversion); };
    if (!findOneConversion(pattern, c, read)) return false;
    switch (c.length) {
        case Length::Long:
            result = printInteger<long, unsigned long>(pattern, c.specifier, value);
            break;
        case Length::LongLong:
            result = printInteger<long long, unsigned long long>(pattern, c.specifier, value);
            break;
        case Length::IntMax:
            result = printInteger<std::intmax_t, std::uintmax_t>(pattern, c.specifier, value);
            break;
        default:  // none, hh and h all take an int (printf narrows it itself)
            result = printInteger<int, unsigned>(pattern, c.specifier, value);
            break;
    }
    return true;
}

bool printRealPattern(const std::string& pattern, double value, std::string& result) {
    Conversion c;
    auto read = [](const char*& p, Conversion& conversion) { return readPrintfConversion(p, false, conversion); };
    if (!findOneConversion(pattern, c, read)) return false;
    if (c.length == Length::LongDouble)
        result = printOne(pattern, static_cast<long double>(value));
    else
        result = printOne(pattern, value);
    return true;
}

bool scanIntegerPattern(const std::string& text, const std::string& pattern, int64& value) {
    Conversion c;
    if (!findOneConversion(pattern, c, readScanfConversion)) return false;
    switch (c.length) {
        case Length::Char:
            return scanInteger<signed char, unsigned char>(text, pattern, c.specifier, value);
        case Length::Short:
            return scanInteger<short, unsigned short>(text, pattern, c.specifier, value);
        case Length::Long:
            return scanInteger<long, unsigned long>(text, pattern, c.specifier, value);
        case Length::LongLong:
            return scanInteger<long long, unsigned long long>(text, pattern, c.specifier, value);
        case Length::IntMax:
            return scanInteger<std::intmax_t, std::uintmax_t>(text, pattern, c.specifier, value);
        default:
            return scanInteger<int, unsigned>(text, pattern, c.specifier, value);
    }
}

}  // namespace VekLanguage
