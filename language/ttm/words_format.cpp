// Formatting, conversion and form-removal words: "fmtl", "refmtl", "fmtd",
// "fmtTime", "tcn", "s2us" and "=x".
//
// The number words take printf/scanf patterns from the page; FormatPattern
// checks each pattern before libc sees it, and a pattern that does not hold
// exactly one conversion of the word's kind gives the empty text.
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "FormatPattern.h"
#include "TTMProcessor.h"
#include "TTMText.h"
#include "VekUtf8.h"
#include "VekUtil.h"

namespace VekLanguage {

namespace {

// Each UTF-16 code unit of text (a surrogate pair above U+FFFF) written
// with unitPattern; invalid UTF-8 throws the library's exception.
std::string utf16Units(const std::string& text, const char* unitPattern) {
    std::string result;
    for (char16_t unit : VekUtf8::utf8to16(text)) {
        char digits[16];
        std::snprintf(digits, sizeof digits, unitPattern, static_cast<unsigned>(unit));
        result += digits;
    }
    return result;
}

// The pattern of "fmtTime" with its first "%s" standing for the three-digit
// millisecond part of millis (done before strftime, which never sees it).
std::string withMilliseconds(std::string pattern, int64 millis) {
    std::size_t at = pattern.find("%s");
    if (at == std::string::npos) return pattern;
    char digits[32];
    std::snprintf(digits, sizeof digits, "%0*lld", 3, static_cast<long long>(millis % 1000));
    return pattern.replace(at, 2, digits);
}

}  // namespace

std::string TTMProcessor::formatInteger(Function* call) {
    int64 value = VekKernel::stringToInt64(safeArg2(call));
    std::string result;
    printIntegerPattern(withInt64Modifier(safeArg1(call)), value, result);
    return result;
}

std::string TTMProcessor::reformatInteger(Function* call) {
    int64 value = 0;
    if (!scanIntegerPattern(safeArg3(call), withInt64Modifier(safeArg1(call)), value)) return std::string();
    std::string result;
    printIntegerPattern(withInt64Modifier(safeArg2(call)), value, result);
    return result;
}

std::string TTMProcessor::formatReal(Function* call) {
    std::string result;
    printRealPattern(safeArg1(call), std::strtod(safeArg2(call).c_str(), nullptr), result);
    return result;
}

std::string TTMProcessor::formatTime(Function* call) {
    int64 millis = VekKernel::stringToInt64(safeArg2(call));
    bool utc = call->count() >= 4 && safeArg3(call) == "GMT";
    std::string pattern = withMilliseconds(safeArg1(call), millis);
    std::time_t seconds = static_cast<std::time_t>(millis / 1000);
    // gmtime/localtime hand back libc's one shared record, used at once;
    // null for a time that does not fit a broken-down year.
    std::tm* broken = utc ? std::gmtime(&seconds) : std::localtime(&seconds);
    if (broken == nullptr) return std::string();
    char buffer[WordBufferSize];
    std::size_t written = std::strftime(buffer, sizeof buffer, pattern.c_str(), broken);
    // strftime leaves the buffer undefined when the result does not fit.
    return std::string(buffer, written);
}

std::string TTMProcessor::utf16Codes(Function* call) { return utf16Units(safeArg1(call), "%04x"); }

std::string TTMProcessor::utf16Escapes(Function* call) { return utf16Units(safeArg1(call), "\\u%04x"); }

std::string TTMProcessor::removeForms(Function* call) {
    for (std::size_t i = 1; i < call->count(); ++i) {
        const std::string& name = call->args[i];
        FormMap* map;
        FormMap::iterator entry;
        if (findLevelEntry(name, map, entry)) {
            delete entry->second;
            map->erase(entry);
        } else if (globalForms.count(name) != 0) {
            std::printf("Can not remove the global form \"%s\"!", name.c_str());
        }
    }
    return std::string();
}

}  // namespace VekLanguage
