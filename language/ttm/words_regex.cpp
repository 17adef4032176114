// Regular-expression, digest, random and bit words: "RegEx", "MD5", "SHA1",
// "SHA256", "rand", "lShiftBits", "rShiftBits" and "countBits".
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "TTMProcessor.h"
#include "TTMText.h"
#include "VekRegex.h"
#include "VekUtil.h"
#include "tls/src/digest.h"

namespace VekLanguage {

namespace {

// The matcher refuses expressions with more than 99 groups, so slots past
// this many are never written; a page asking for more gets no more memory.
constexpr int MaxCaptureSlots = 100;

// The digest of text's bytes (NUL bytes included) as upper-case hex.
std::string hexDigest(void (*setUp)(VekTls::digest_ctx*), const std::string& text) {
    VekTls::digest_ctx context;
    setUp(&context);
    VekTls::update_digest(&context, reinterpret_cast<const u8*>(text.data()), static_cast<int>(text.size()));
    VekTls::finalize_digest(&context);
    // The finalised hash words hold the digest bytes in memory order.
    const u8* bytes = reinterpret_cast<const u8*>(context.hash);
    std::string result;
    for (int i = 0; i < context.hash_len * 4; ++i) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02X", bytes[i]);
        result += digits;
    }
    return result;
}

// The shift distance of a count text: its low six bits ("%d", 0 when it
// does not parse).
unsigned shiftDistance(const std::string& count) { return static_cast<unsigned>(toInt32(count)) & 63u; }

}  // namespace

std::string TTMProcessor::regEx(Function* call) {
    const std::string expression = safeArg1(call);
    const std::string subject = safeArg2(call);
    int flags = call->count() > 3 && safeArg3(call) == "IGNORE_CASE" ? VekKernel::IGNORE_CASE : 0;
    int length = static_cast<int>(subject.size());
    if (call->count() <= 4)
        return formatWord("%d", VekKernel::regexMatch(expression.c_str(), subject.data(), length, nullptr, 0, flags));

    int slots = toInt32(safeArg5(call));
    if (slots <= 0) return std::string();
    std::vector<VekKernel::RegexCap> caps(static_cast<std::size_t>(std::min(slots, MaxCaptureSlots)),
                                          VekKernel::RegexCap{nullptr, 0});
    int result = VekKernel::regexMatch(expression.c_str(), subject.data(), length, caps.data(),
                                       static_cast<int>(caps.size()), flags);
    const std::string prefix = safeArg4(call);
    for (std::size_t i = 0; i < caps.size(); ++i) {
        if (caps[i].len <= 0) continue;
        // A capture form holds the group's own text (its start and length).
        std::string text(caps[i].ptr, static_cast<std::size_t>(caps[i].len));
        defineFormAtLevel(prefix + std::to_string(i), text, level);
    }
    return formatWord("%d", result);
}

std::string TTMProcessor::md5(Function* call) { return hexDigest(VekTls::new_md5_digest, safeArg1(call)); }

std::string TTMProcessor::sha1(Function* call) { return hexDigest(VekTls::new_sha1_digest, safeArg1(call)); }

std::string TTMProcessor::sha256(Function* call) { return hexDigest(VekTls::new_sha256_digest, safeArg1(call)); }

std::string TTMProcessor::random(Function* call) {
    int range = toInt32(safeArg1(call));
    int64 offset = VekKernel::stringToInt64(safeArg2(call));
    int64 drawn = std::rand();
    if (range != 0) drawn %= range;
    // Added in unsigned arithmetic: an offset near the int64 limits wraps
    // instead of overflowing.
    return formatWord("%lld", static_cast<long long>(static_cast<u64>(drawn) + static_cast<u64>(offset)));
}

std::string TTMProcessor::lShiftBits(Function* call) {
    int64 value = VekKernel::stringToInt64(safeArg1(call));
    if (value == 0) return "0";
    u64 shifted = static_cast<u64>(value) << shiftDistance(safeArg2(call));
    return formatWord("%lld", static_cast<long long>(shifted));
}

std::string TTMProcessor::rShiftBits(Function* call) {
    int64 value = VekKernel::stringToInt64(safeArg1(call));
    if (value == 0) return "0";
    // Arithmetic shift: the sign bit fills in.
    return formatWord("%lld", static_cast<long long>(value >> shiftDistance(safeArg2(call))));
}

std::string TTMProcessor::countBits(Function* call) {
    u64 bits = static_cast<u64>(VekKernel::stringToInt64(safeArg1(call)));
    return formatWord("%d", __builtin_popcountll(bits));
}

}  // namespace VekLanguage
