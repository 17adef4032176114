// System and binary words: "df", "load", "system", "outLoadBinary",
// "base64LoadBinary", "base64SaveBinary" and "outBase64Decode".
//
// Words that change files need the "-write" switch, "system" needs
// "-system"; without it each prints its refusal and returns its failure
// result. Failures while working are logged with the lines below and give
// the word's failure text.
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "TTMProcessor.h"
#include "Words.h"
#include "TTMText.h"
#include "VEKLog.h"
#include "VEKStream.h"
#include "VekUtil.h"
#include "WordLogic.h"

namespace VekLanguage {

namespace {

const char* const SourceName = "language/ttm/TTMProcessor";
// Log lines of the words' failures.
constexpr int LoadLine = 1337;
constexpr int OutLoadBinaryLine = 1363;
constexpr int OutBase64DecodeLine = 1395;
constexpr int Base64LoadBinaryLine = 1430;
constexpr int Base64SaveBinaryLine = 1461;

void logFailure(const std::exception& failure, int line) { VekKernel::vekLog.error(failure.what(), SourceName, line); }

std::string deleteFile(TTMProcessor& p, Function* call) {
    const std::string path = safeArg1(call);
    const std::string failure = safeArg2(call);
    if (!allowWriteCommands) {
        std::printf("Command: \"df\" (delete file) not allowed! Set command line option \"-write\" to allow it.\n");
        return failure;
    }
    if (p.refusesPath(path)) return failure;
    // Also drops the file's cache entry; a handle or base still reading the
    // file goes on without it (direct reads of the file it opened).
    return VekBase::VEKStreamFile::removeFile(path) == 0 ? std::string() : failure;
}

std::string loadFile(TTMProcessor& p, Function* call) {
    const std::string path = safeArg1(call);
    std::string text;
    if (p.refusesPath(path)) return text;
    try {
        loadFileText(path, text, p.maxTextBytes);
        return text;
    } catch (const std::exception& failure) {
        logFailure(failure, LoadLine);
        return safeArg2(call);
    }
}

std::string systemCommand(TTMProcessor&, Function* call) {
    if (!allowSystemCommands) {
        std::printf("Command \"system\" not allowed! Set command line option \"-system\" to allow it.\n");
        return "-1";
    }
    if (std::system(nullptr) == 0) return "-1";
    // The command writes to the same standard output: flush ours first so
    // the two stay in order.
    std::fflush(stdout);
    // The raw wait status, as system returns it (exit 3 gives 768).
    return formatWord("%d", std::system(safeArg1(call).c_str()));
}

// The output grows at most by what the run may still hold.
std::string outLoadBinary(TTMProcessor& p, Function* call) {
    const std::string path = safeArg1(call);
    if (p.refusesPath(path)) return std::string();
    const u64 before = p.outputLength();
    const std::size_t held = p.runTextBytes();
    try {
        appendFileToOutput(p, path, held < p.maxTextBytes ? before + (p.maxTextBytes - held) : before);
        p.chargeText(p.outputLength() - before);
    } catch (const std::exception& failure) {
        p.chargeText(p.outputLength() - before);
        logFailure(failure, OutLoadBinaryLine);
        return safeArg2(call);
    }
    return std::string();
}

std::string base64LoadBinary(TTMProcessor& p, Function* call) {
    const std::string path = safeArg1(call);
    std::string result;
    if (p.refusesPath(path)) return result;
    try {
        loadFileAsBase64(path, result, p.maxTextBytes);
    } catch (const std::exception& failure) {
        logFailure(failure, Base64LoadBinaryLine);
        return safeArg2(call);
    }
    return result;
}

std::string base64SaveBinary(TTMProcessor& p, Function* call) {
    if (!allowWriteCommands) {
        std::printf("Command: \"base64SaveBinary\" not allowed! Set command line option \"-write\" to allow it.\n");
        return std::string();
    }
    const std::string path = safeArg1(call);
    if (p.refusesPath(path)) return std::string();
    try {
        saveBase64AsFile(path, safeArg2(call));
    } catch (const std::exception& failure) {
        logFailure(failure, Base64SaveBinaryLine);
    }
    return std::string();
}

std::string outBase64Decode(TTMProcessor& p, Function* call) {
    const std::string text = safeArg1(call);
    if (text.empty()) return std::string();
    try {
        p.chargeText(text.size() / 4 * 3);  // at most what the text decodes to
        int64 count = appendBase64ToOutput(p, text);
        if (count < 0) return std::string();
        return formatWord("%lld", static_cast<long long>(count));
    } catch (const std::exception& failure) {
        logFailure(failure, OutBase64DecodeLine);
        return std::string();
    }
}

}  // namespace

// The words of this file, for the processor's word table.
const WordTable& systemWords() {
    static const WordTable table = {
        {"df", deleteFile},
        {"load", loadFile},
        {"system", systemCommand},
        {"outLoadBinary", outLoadBinary},
        {"base64LoadBinary", base64LoadBinary},
        {"base64SaveBinary", base64SaveBinary},
        {"outBase64Decode", outBase64Decode},
    };
    return table;
}

}  // namespace VekLanguage
