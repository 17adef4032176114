// Form definition, arithmetic and comparison words: ".=", "=", "append",
// "ln", the four real operations, "%", the bit words "|" and "&", the four
// comparisons, "chr" and "(.)".
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "TTMProcessor.h"
#include "Words.h"
#include "TTMText.h"
#include "VekUtf8.h"
#include "VekUtil.h"

namespace VekLanguage {

namespace {

// Difference below which two numbers compare as equal.
constexpr double Tolerance = 1e-10;
// Decimals of a real result unless the call gives a precision.
constexpr int DefaultPrecision = 17;
// A precision past this cannot change a result cut to the word buffer.
constexpr int MaxPrecision = static_cast<int>(WordBufferSize) + 16;

enum class RealOp { Add, Subtract, Multiply, Divide };

double applyReal(RealOp op, double a, double b) {
    switch (op) {
    case RealOp::Add:
        return a + b;
    case RealOp::Subtract:
        return a - b;
    case RealOp::Multiply:
        return a * b;
    case RealOp::Divide:
        return a / b;
    }
    return 0;
}

// then (argument 3) or else (argument 4).
std::string choose(const Function* call, bool condition) {
    return safeArg(call, condition ? 3 : 4);
}

double difference(const Function* call) {
    return toDouble(safeArg1(call)) - toDouble(safeArg2(call));
}

void appendNames(const FormMap& forms, const std::string& separator, std::string& list, bool& first) {
    for (const auto& entry : forms) {
        if (!first) list += separator;
        list += entry.first;
        first = false;
    }
}

// The global names this run sees, in ascending byte order: the shared map
// merged with the run's own global forms (a copy shares its name).
void appendGlobalNames(const TTMProcessor& p, const std::string& separator, std::string& list, bool& first) {
    const FormMap* own = p.ownGlobalForms();
    if (own == nullptr) return appendNames(p.globalForms, separator, list, first);
    auto shared = p.globalForms.cbegin();
    auto mine = own->cbegin();
    while (shared != p.globalForms.cend() || mine != own->cend()) {
        const bool takeShared = mine == own->cend() || (shared != p.globalForms.cend() && shared->first <= mine->first);
        const std::string& name = takeShared ? shared->first : mine->first;
        if (takeShared && mine != own->cend() && mine->first == name) ++mine;
        if (takeShared) ++shared;
        else ++mine;
        if (!first) list += separator;
        list += name;
        first = false;
    }
}

std::string defineAtLevel(TTMProcessor& p, Function* call) {
    int64 atLevel = call->count() > 3 ? VekKernel::stringToInt64(safeArg3(call)) : p.level;
    const std::string name = safeArg1(call);
    const std::string text = safeArg2(call);
    p.chargeText(TTMProcessor::formBytes(name, text.size()));
    p.defineFormAtLevel(name, text, atLevel);
    return std::string();
}

std::string define(TTMProcessor& p, Function* call) {
    const std::string name = safeArg1(call);
    const std::string text = safeArg2(call);
    p.chargeForm(name, text.size());
    p.defineForm(name, text, false);
    return std::string();
}

std::string appendForm(TTMProcessor& p, Function* call) {
    std::string name = safeArg1(call);
    std::string text = safeArg2(call);
    // A page that appends in a loop must stop at the text limit.
    if (const Form* form = p.findLevelForm(name)) p.checkTextSize(form->text.size() + text.size());
    p.chargeForm(name, text.size());
    p.defineForm(name, text, true);
    return std::string();
}

std::string listNames(TTMProcessor& p, Function* call) {
    std::string separator = safeArg1(call);
    std::string list;
    bool first = true;
    appendGlobalNames(p, separator, list, first);
    for (const auto& entry : *p.levelForms)
        if (entry.second != nullptr) appendNames(*entry.second, separator, list, first);
    return list;
}

// The four real operations share one body: a; b; [precision].
static std::string realWord(TTMProcessor& processor, Function* call, RealOp op) {
    if (processor.checkArgs(call, 3)) return std::string();
    double a = toDouble(safeArg1(call));
    double b = toDouble(safeArg2(call));
    int precision = DefaultPrecision;
    if (call->count() > 3) precision = std::min(toInt32(safeArg3(call)), MaxPrecision);
    return formatReal(precision, applyReal(op, a, b));
}

std::string add(TTMProcessor& p, Function* call) { return realWord(p, call, RealOp::Add); }
std::string subtract(TTMProcessor& p, Function* call) { return realWord(p, call, RealOp::Subtract); }
std::string multiply(TTMProcessor& p, Function* call) { return realWord(p, call, RealOp::Multiply); }
std::string divide(TTMProcessor& p, Function* call) { return realWord(p, call, RealOp::Divide); }

std::string modulo(TTMProcessor& p, Function* call) {
    if (p.checkArgs(call, 3)) return std::string();
    int64 a = scanInt64(safeArg1(call), 0);
    int64 b = scanInt64(safeArg2(call), 1);
    // Divisor 0 leaves a (quotient 0), and INT64_MIN % -1 is 0: both would
    // trap in the processor's division.
    if (b == 0) return formatWord("%lld", static_cast<long long>(a));
    if (b == -1) return "0";
    return formatWord("%lld", static_cast<long long>(a % b));
}

std::string bitOr(TTMProcessor&, Function* call) {
    return formatWord("%ld", static_cast<long>(toInt32(safeArg1(call)) | toInt32(safeArg2(call))));
}

std::string bitAnd(TTMProcessor&, Function* call) {
    return formatWord("%ld", static_cast<long>(toInt32(safeArg1(call)) & toInt32(safeArg2(call))));
}

std::string equals(TTMProcessor&, Function* call) { return choose(call, safeArg1(call) == safeArg2(call)); }

std::string equalsNumber(TTMProcessor&, Function* call) {
    return choose(call, std::fabs(difference(call)) < Tolerance);
}

std::string greaterOrEqual(TTMProcessor&, Function* call) {
    // std::string compares bytes as unsigned, the shorter prefix first.
    return choose(call, safeArg1(call).compare(safeArg2(call)) >= 0);
}

std::string greaterOrEqualNumber(TTMProcessor&, Function* call) {
    double d = difference(call);
    return choose(call, d >= 0 || std::fabs(d) <= Tolerance);
}

std::string chr(TTMProcessor&, Function* call) {
    std::string argument = safeArg1(call);
    if (argument.empty()) return "0";
    // Negative numbers are far above U+10FFFF once taken as unsigned; the
    // encoder refuses them and the surrogates with invalid_code_point.
    std::string encoded = VekUtf8::encode(static_cast<u32>(toInt32(argument)));
    return encoded == std::string(1, '\0') ? std::string() : encoded;
}

std::string charCount(TTMProcessor&, Function* call) {
    return formatWord("%ld", static_cast<long>(VekUtf8::length(safeArg1(call))));
}

}  // namespace

// The words of this file, for the processor's word table.
const WordTable& formWords() {
    static const WordTable table = {
        {".=", defineAtLevel},
        {"=", define},
        {"+", add},
        {"-", subtract},
        {"*", multiply},
        {"/", divide},
        {"%", modulo},
        {"==", equals},
        {"==n", equalsNumber},
        {">=", greaterOrEqual},
        {">=n", greaterOrEqualNumber},
        {"ta", greaterOrEqual},
        {"chr", chr},
        {"(.)", charCount},
        {"|", bitOr},
        {"&", bitAnd},
        {"ln", listNames},
        {"append", appendForm},
    };
    return table;
}

}  // namespace VekLanguage
