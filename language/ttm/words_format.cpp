// Formatting, conversion and form-removal words: "fmtl", "refmtl", "fmtd",
// "fmtTime", "tcn", "s2us" and "=x".
//
// The number words take printf/scanf patterns from the page; FormatPattern
// checks each pattern before libc sees it, and a pattern that does not hold
// exactly one conversion of the word's kind gives the empty text.
#include <cstdio>
#include <cstdlib>

#include "FormatPattern.h"
#include "TTMProcessor.h"
#include "Words.h"
#include "TTMText.h"
#include "VekUtf8.h"
#include "VekUtil.h"
#include "WordLogic.h"

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

std::string formatInteger(TTMProcessor&, Function* call) {
    int64 value = VekKernel::stringToInt64(safeArg2(call));
    std::string result;
    printIntegerPattern(withInt64Modifier(safeArg1(call)), value, result);
    return result;
}

std::string reformatInteger(TTMProcessor&, Function* call) {
    int64 value = 0;
    if (!scanIntegerPattern(safeArg3(call), withInt64Modifier(safeArg1(call)), value)) return std::string();
    std::string result;
    printIntegerPattern(withInt64Modifier(safeArg2(call)), value, result);
    return result;
}

std::string formatReal(TTMProcessor&, Function* call) {
    std::string result;
    printRealPattern(safeArg1(call), std::strtod(safeArg2(call).c_str(), nullptr), result);
    return result;
}

std::string formatTime(TTMProcessor&, Function* call) {
    bool utc = call->count() >= 4 && safeArg3(call) == "GMT";
    return formatMillisecondTime(safeArg1(call), VekKernel::stringToInt64(safeArg2(call)), utc);
}

std::string utf16Codes(TTMProcessor&, Function* call) { return utf16Units(safeArg1(call), "%04x"); }

std::string utf16Escapes(TTMProcessor&, Function* call) { return utf16Units(safeArg1(call), "\\u%04x"); }

std::string removeForms(TTMProcessor& p, Function* call) {
    for (std::size_t i = 1; i < call->count(); ++i) {
        const std::string& name = call->args[i];
        FormMap* map;
        FormMap::iterator entry;
        if (p.findLevelEntry(name, map, entry)) {
            delete entry->second;
            map->erase(entry);
        } else if (p.hasGlobal(name)) {
            p.printPageText("Can not remove the global form \"" + std::string(name.c_str()) + "\"!");
        }
    }
    return std::string();
}

}  // namespace

// The words of this file, for the processor's word table.
const WordTable& formatWords() {
    static const WordTable table = {
        {"=x", removeForms},
        {"tcn", utf16Codes},
        {"s2us", utf16Escapes},
        {"fmtl", formatInteger},
        {"refmtl", reformatInteger},
        {"fmtd", formatReal},
        {"fmtTime", formatTime},
    };
    return table;
}

}  // namespace VekLanguage
