// Control, level and output words: the form level, the output block,
// tracing, stopping, comments, and the time, unique-id and buffer-state values.
#include <cstdint>
#include <cstdio>

#include "TTMProcessor.h"
#include "Words.h"
#include "TTMText.h"
#include "VEKFileBuffers.h"
#include "VekUtf8.h"
#include "VekUtil.h"
#include "WordLogic.h"

namespace VekLanguage {

namespace {

std::string getLevel(TTMProcessor& p, Function*) { return formatWord("%lld", static_cast<long long>(p.level)); }

std::string setLevel(TTMProcessor& p, Function* call) {
    p.level = scanInt64(safeArg1(call), 0);
    return std::string();
}

// ".v" accepts any 64-bit level, so ".+" and ".-" stop at the ends of the
// range instead of overflowing.
std::string levelUp(TTMProcessor& p, Function* call) {
    if (call->count() == 1 && p.level < INT64_MAX) ++p.level;
    return std::string();
}

std::string levelDown(TTMProcessor& p, Function* call) {
    if (call->count() == 1) {
        p.removeLevel(p.level);
        if (p.level > INT64_MIN) --p.level;
    }
    return std::string();
}

// Replaces the output block by text and its NUL; the old block's bytes
// are given back.
void replaceOutput(TTMProcessor& p, const std::string& text) {
    const std::size_t replaced = static_cast<std::size_t>(p.outputLength());
    p.setOutputText(text);
    p.releaseText(replaced);
}

std::string out(TTMProcessor& p, Function* call) {
    const std::string text = safeArg1(call);
    p.chargeText(text.size() + 1);
    replaceOutput(p, text);
    return std::string();
}

std::string cout(TTMProcessor& p, Function* call) {
    std::string text = safeArg1(call);
    p.chargeText(text.size() + 1);
    if (p.trace && !text.empty()) {
        // Invalid UTF-8 fails the call before anything is printed or the
        // output block changes.
        for (auto it = text.cbegin(); it != text.cend();) VekUtf8::next(it, text.cend());
        p.printPageText("\n", 1);
        p.printPageText(text);
        std::fflush(stdout);
    }
    replaceOutput(p, text);
    return std::string();
}

std::string traceOn(TTMProcessor& p, Function*) {
    p.trace = true;
    return std::string();
}

std::string traceOff(TTMProcessor& p, Function*) {
    p.trace = false;
    return std::string();
}

std::string deleteAll(TTMProcessor&, Function*) {
    std::printf("Can not remove all forms!");
    return std::string();
}

std::string bitNot(TTMProcessor&, Function* call) {
    long value = toInt32(safeArg1(call));
    return formatWord("%ld", -value - 1);
}

std::string sharp(TTMProcessor&, Function*) { return std::string(); }

std::string exit(TTMProcessor& p, Function*) {
    p.exitFlag = true;
    return std::string();
}

std::string getTime(TTMProcessor&, Function*) {
    char buffer[32];
    return VekKernel::int64ToText(nextTimeStamp(), buffer, sizeof buffer, 10);
}

std::string getUniqueID(TTMProcessor&, Function*) { return VekKernel::newUuid(); }

std::string buffersGetState(TTMProcessor&, Function*) { return VekBase::VEKFileBuffers::statusJson(); }

}  // namespace

// The words of this file, for the processor's word table.
const WordTable& controlWords() {
    static const WordTable table = {
        {".^", getLevel},
        {".v", setLevel},
        {".+", levelUp},
        {".-", levelDown},
        {"cout", cout},
        {"out", out},
        {"cout+", traceOn},
        {"cout-", traceOff},
        {"=x..", deleteAll},
        {"~", bitNot},
        {"#", sharp},
        {"exit", exit},
        {"getTime", getTime},
        {"^UID", getUniqueID},
        {"BuffersGetState", buffersGetState},
    };
    return table;
}

}  // namespace VekLanguage
