// Regular-expression, digest, random and bit words: "RegEx", "MD5", "SHA1",
// "SHA256", "rand", "lShiftBits", "rShiftBits" and "countBits".
#include <string>
#include <vector>

#include "TTMProcessor.h"
#include "Words.h"
#include "TTMText.h"
#include "VekRegex.h"
#include "VekUtil.h"
#include "WordLogic.h"

namespace VekLanguage {

namespace {

std::string regEx(TTMProcessor& p, Function* call) {
    int flags = call->count() > 3 && safeArg3(call) == "IGNORE_CASE" ? VekKernel::IGNORE_CASE : 0;
    std::vector<std::string> captures;
    if (call->count() <= 4)
        return formatWord("%d", matchWithCaptures(safeArg1(call), safeArg2(call), flags, 0, captures));

    int slots = toInt32(safeArg5(call));
    if (slots <= 0) return std::string();
    int result = matchWithCaptures(safeArg1(call), safeArg2(call), flags, slots, captures);
    const std::string prefix = safeArg4(call);
    for (std::size_t i = 0; i < captures.size(); ++i) {
        if (captures[i].empty()) continue;
        // Nested groups capture the same text again: each form counts.
        const std::string name = prefix + std::to_string(i);
        p.chargeText(TTMProcessor::formBytes(name, captures[i].size()));
        p.defineFormAtLevel(name, captures[i], p.level);
    }
    return formatWord("%d", result);
}

std::string md5(TTMProcessor&, Function* call) { return digestHex(DigestKind::Md5, safeArg1(call)); }

std::string sha1(TTMProcessor&, Function* call) { return digestHex(DigestKind::Sha1, safeArg1(call)); }

std::string sha256(TTMProcessor&, Function* call) { return digestHex(DigestKind::Sha256, safeArg1(call)); }

std::string random(TTMProcessor&, Function* call) {
    int range = toInt32(safeArg1(call));
    int64 offset = VekKernel::stringToInt64(safeArg2(call));
    int64 drawn = randomDraw(range);
    // Added in unsigned arithmetic: an offset near the int64 limits wraps
    // instead of overflowing.
    return formatWord("%lld", static_cast<long long>(static_cast<u64>(drawn) + static_cast<u64>(offset)));
}

// The count reads as "%d" (0 when it does not parse); only its low six bits count.
std::string lShiftBits(TTMProcessor&, Function* call) {
    int64 value = VekKernel::stringToInt64(safeArg1(call));
    if (value == 0) return "0";
    return formatWord("%lld", static_cast<long long>(bitsShiftedLeft(value, toInt32(safeArg2(call)))));
}

std::string rShiftBits(TTMProcessor&, Function* call) {
    int64 value = VekKernel::stringToInt64(safeArg1(call));
    if (value == 0) return "0";
    return formatWord("%lld", static_cast<long long>(bitsShiftedRight(value, toInt32(safeArg2(call)))));
}

std::string countBits(TTMProcessor&, Function* call) {
    u64 bits = static_cast<u64>(VekKernel::stringToInt64(safeArg1(call)));
    return formatWord("%d", __builtin_popcountll(bits));
}

}  // namespace

// The words of this file, for the processor's word table.
const WordTable& regexWords() {
    static const WordTable table = {
        {"RegEx", regEx},
        {"MD5", md5},
        {"SHA1", sha1},
        {"SHA256", sha256},
        {"rand", random},
        {"lShiftBits", lShiftBits},
        {"rShiftBits", rShiftBits},
        {"countBits", countBits},
    };
    return table;
}

}  // namespace VekLanguage
