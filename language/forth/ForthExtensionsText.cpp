// Forth extension words on texts and numbers: digests, time stamps and
// time patterns, unique ids, the file-buffer state, regular expressions,
// the formatting words, "rand", "append" and the bit words. Each reads its
// inputs as the Forth conventions say and then does what the template word
// of the same name does (WordLogic, FormatPattern).
#include <cstdint>
#include <string>
#include <vector>

#include "FormatPattern.h"
#include "ForthExtensions.h"
#include "TTMText.h"
#include "VEKFileBuffers.h"
#include "VekRegex.h"
#include "VekUtil.h"
#include "WordLogic.h"

namespace VekLanguage {

namespace {

// The low 32 bits of a cell as a signed value (two's complement).
int32_t low32(Cell x) { return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(x))); }

// text -- hex
void digestWord(ForthProcessor& forth, const char* name, DigestKind kind) {
    ForthInputs in(forth, name, 1, 2);
    const std::string hex = digestHex(kind, in.text(0));
    in.consume();
    forth.pushText(hex, name);
}

// -- text
void resultWord(ForthProcessor& forth, const char* name, const std::string& text) { forth.pushText(text, name); }

// Every "I64" of pattern replaced by "ll", the 64-bit length modifier.
std::string withEveryInt64Modifier(std::string pattern) {
    for (std::size_t at = pattern.find("I64"); at != std::string::npos; at = pattern.find("I64", at + 2))
        pattern.replace(at, 3, "ll");
    return pattern;
}

// n format ... -- text: the pattern must hold exactly one integer
// conversion; any other pattern gives the empty text.
void integerFormatWord(ForthProcessor& forth, const char* name, int cells) {
    ForthInputs in(forth, name, cells, 2);
    const int formatCell = cells - 2;
    const Cell value = in.cell(formatCell + 1);
    std::string text;
    printIntegerPattern(withEveryInt64Modifier(in.text(formatCell)), value, text);
    in.consume();
    forth.pushText(text, name);
}

}  // namespace

void ForthProcessor::extMd5() { digestWord(*this, "MD5", DigestKind::Md5); }

void ForthProcessor::extSha1() { digestWord(*this, "SHA1", DigestKind::Sha1); }

void ForthProcessor::extSha256() { digestWord(*this, "SHA256", DigestKind::Sha256); }

void ForthProcessor::extGetTime() {
    resultWord(*this, "getTime", formatWord("%lld", static_cast<long long>(nextTimeStamp())));
}

void ForthProcessor::extBuffersGetState() {
    resultWord(*this, "BuffersGetState", VekBase::VEKFileBuffers::statusJson());
}

void ForthProcessor::extNewUid() { resultWord(*this, "^UID", VekKernel::newUuid()); }

// count prefix option text regex -- result: with a count of 1 or more each
// group that matched a non-empty text becomes the form prefix + its index
// (from 0) at the current level.
void ForthProcessor::extRegEx() {
    ForthInputs in(*this, "RegEx", 5, 2);
    const std::string expression = in.text(0);
    const std::string subject = in.text(1);
    const int flags = in.text(2) == "IGNORE_CASE" ? VekKernel::IGNORE_CASE : 0;
    const Cell slots = in.cell(4);
    const std::string prefix = slots >= 1 ? in.text(3) : std::string();
    in.consume();
    std::vector<std::string> captures;
    const int result = matchWithCaptures(expression, subject, flags, slots, captures);
    for (std::size_t i = 0; i < captures.size(); ++i)
        if (!captures[i].empty()) defineFormAtLevel(prefix + std::to_string(i), captures[i], level);
    pushText(formatWord("%d", result), "RegEx");
}

// n format -- text
void ForthProcessor::extFmtl() { integerFormatWord(*this, "fmtl", 2); }

// n format x -- text: the top cell does not change the result.
void ForthProcessor::extRefmtl() { integerFormatWord(*this, "refmtl", 3); }

// u format -- text: the cell read as unsigned, formatted as a real.
void ForthProcessor::extFmtd() {
    ForthInputs in(*this, "fmtd", 2, 2);
    const double value = static_cast<double>(static_cast<uint64_t>(in.cell(1)));
    std::string text;
    printRealPattern(in.text(0), value, text);
    in.consume();
    pushText(text, "fmtd");
}

// zone t format -- text: zone "GMT" gives UTC, anything else local time.
void ForthProcessor::extFmtTime() {
    ForthInputs in(*this, "fmtTime", 3, 2);
    const std::string pattern = in.text(0);
    const Cell millis = in.cell(1);
    const bool utc = in.text(2) == "GMT";
    in.consume();
    pushText(formatMillisecondTime(pattern, millis, utc), "fmtTime");
}

// low range -- r, in 32-bit arithmetic that wraps.
void ForthProcessor::extRand() {
    ForthInputs in(*this, "rand", 2, 1);
    const int64 drawn = randomDraw(low32(in.cell(0)));
    const Cell low = in.cell(1);
    in.consume();
    push(low32(static_cast<Cell>(static_cast<uint64_t>(low) + static_cast<uint64_t>(drawn))));
}

// text name --: appends the text to the form (or defines it).
void ForthProcessor::extAppend() {
    ForthInputs in(*this, "append", 2, 0);
    const std::string name = in.text(0);
    const std::string text = in.text(1);
    in.consume();
    defineForm(name, text, true);
}

// count x -- y, on the low 32 bits of x, sign-extended.
void ForthProcessor::extLShiftBits() {
    ForthInputs in(*this, "lShiftBits", 2, 1);
    const int32_t shifted = bitsShiftedLeft(low32(in.cell(0)), in.cell(1));
    in.consume();
    push(shifted);
}

void ForthProcessor::extRShiftBits() {
    ForthInputs in(*this, "rShiftBits", 2, 1);
    const int32_t shifted = bitsShiftedRight(low32(in.cell(0)), in.cell(1));
    in.consume();
    push(shifted);
}

// x -- n: the 1 bits of the low 32 bits of x sign-extended to a cell.
void ForthProcessor::extCountBits() {
    ForthInputs in(*this, "countBits", 1, 1);
    const int ones = __builtin_popcountll(static_cast<uint64_t>(static_cast<int64>(low32(in.cell(0)))));
    in.consume();
    push(ones);
}

}  // namespace VekLanguage
