// Control, level and output words: the form level, the output block,
// tracing, stopping, comments, and the time, unique-id and buffer-state values.
#include <cstdint>
#include <cstdio>

#include "TTMProcessor.h"
#include "TTMText.h"
#include "VEKFileBuffers.h"
#include "VekUtf8.h"
#include "VekUtil.h"
#include "WordLogic.h"

namespace VekLanguage {

std::string TTMProcessor::getLevel(Function*) { return formatWord("%lld", static_cast<long long>(level)); }

std::string TTMProcessor::setLevel(Function* call) {
    level = scanInt64(safeArg1(call), 0);
    return std::string();
}

// ".v" accepts any 64-bit level, so ".+" and ".-" stop at the ends of the
// range instead of overflowing.
std::string TTMProcessor::levelUp(Function* call) {
    if (call->count() == 1 && level < INT64_MAX) ++level;
    return std::string();
}

std::string TTMProcessor::levelDown(Function* call) {
    if (call->count() == 1) {
        removeLevel(level);
        if (level > INT64_MIN) --level;
    }
    return std::string();
}

std::string TTMProcessor::out(Function* call) {
    const std::string text = safeArg1(call);
    chargeText(text.size());
    setOutputText(text);
    return std::string();
}

std::string TTMProcessor::cout(Function* call) {
    std::string text = safeArg1(call);
    chargeText(text.size());
    if (trace && !text.empty()) {
        // Echo one code point at a time; invalid UTF-8 fails the call before
        // the output block changes.
        std::printf("\n");
        for (auto it = text.cbegin(); it != text.cend();) {
            auto start = it;
            VekUtf8::next(it, text.cend());
            std::fwrite(&*start, 1, static_cast<std::size_t>(it - start), stdout);
        }
        std::fflush(stdout);
    }
    setOutputText(text);
    return std::string();
}

std::string TTMProcessor::traceOn(Function*) {
    trace = true;
    return std::string();
}

std::string TTMProcessor::traceOff(Function*) {
    trace = false;
    return std::string();
}

std::string TTMProcessor::deleteAll(Function*) {
    std::printf("Can not remove all forms!");
    return std::string();
}

std::string TTMProcessor::bitNot(Function* call) {
    long value = toInt32(safeArg1(call));
    return formatWord("%ld", -value - 1);
}

std::string TTMProcessor::sharp(Function*) { return std::string(); }

std::string TTMProcessor::exit(Function*) {
    exitFlag = true;
    return std::string();
}

std::string TTMProcessor::getTime(Function*) {
    char buffer[32];
    return VekKernel::int64ToText(nextTimeStamp(), buffer, sizeof buffer, 10);
}

std::string TTMProcessor::getUniqueID(Function*) { return VekKernel::newUuid(); }

std::string TTMProcessor::buffersGetState(Function*) { return VekBase::VEKFileBuffers::statusJson(); }

}  // namespace VekLanguage
