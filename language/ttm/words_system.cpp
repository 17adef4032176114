// System and binary words: "df", "load", "system", "outLoadBinary",
// "base64LoadBinary", "base64SaveBinary" and "outBase64Decode".
//
// Words that change files need the "-write" switch, "system" needs
// "-system"; without it each prints its refusal and returns its failure
// result. Failures while working are logged with the lines below and give
// the word's failure text.
#include <fcntl.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "Buffer.h"
#include "TTMProcessor.h"
#include "TTMText.h"
#include "VEKLog.h"
#include "VEKStream.h"
#include "VekFile.h"
#include "VekUtil.h"
#include "tls/src/base64.h"

namespace VekLanguage {

namespace {

const char* const SourceName = "language/ttm/TTMProcessor";
// Log lines of the words' failures.
constexpr int LoadLine = 1337;
constexpr int OutLoadBinaryLine = 1363;
constexpr int OutBase64DecodeLine = 1395;
constexpr int Base64LoadBinaryLine = 1430;
constexpr int Base64SaveBinaryLine = 1461;

constexpr u32 BinaryChunk = 1024;        // bytes per read of "outLoadBinary"
constexpr u32 Base64Chunk = 1023;        // bytes per read of "base64LoadBinary" (a multiple of 3)
constexpr u32 Base64ChunkText = 1367;    // room for one encoded chunk and its NUL

// A descriptor closed when it goes out of scope.
class OpenFile {
public:
    OpenFile(const std::string& path, int flags, int mode) : fd(VekKernel::fileOpen(path.c_str(), flags, mode)) {}
    explicit OpenFile(int descriptor) : fd(descriptor) {}
    ~OpenFile() {
        if (fd >= 0) VekKernel::fileClose(fd);
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    bool isOpen() const { return fd >= 0; }

    const int fd;  // -1 when the open failed
};

// Reads the whole file in pieces of at most `chunk` bytes, handing each to
// take; false when the file cannot be opened or is a device, which may never
// end and would hold the single server thread.
template <typename Take>
bool readPieces(const std::string& path, u32 chunk, Take take) {
    OpenFile file(VekKernel::openForWholeRead(path));
    if (!file.isOpen()) return false;
    Buffer piece(chunk);
    int64 got;
    while ((got = VekKernel::fileRead(file.fd, piece.data, chunk)) > 0) take(piece.data, got);
    return true;
}

// Writes all length bytes, going on after a partial write; false on failure.
bool writeAll(int fd, const u8* bytes, int64 length) {
    while (length > 0) {
        int64 wrote = VekKernel::fileWrite(fd, bytes, static_cast<u32>(length));
        if (wrote <= 0) return false;
        bytes += wrote;
        length -= wrote;
    }
    return true;
}

// Decodes base64 text into decoded (sized to the text); the byte count, or
// -1 for an invalid text. A length that is not a multiple of 4 is invalid
// too: nothing undecoded is ever handed on.
int64 decodeBase64(const std::string& text, Buffer& decoded) {
    if (text.size() % 4 != 0) return -1;
    return VekTls::base64_decode(reinterpret_cast<const u8*>(text.data()), static_cast<int>(text.size()), decoded.data);
}

void logFailure(const std::exception& failure, int line) { VekKernel::vekLog.error(failure.what(), SourceName, line); }

}  // namespace

std::string TTMProcessor::deleteFile(Function* call) {
    const std::string failure = safeArg2(call);
    if (!allowWriteCommands) {
        std::printf("Command: \"df\" (delete file) not allowed! Set command line option \"-write\" to allow it.\n");
        return failure;
    }
    // Also drops the file's cache entry; a handle or base still reading the
    // file goes on without it (direct reads of the file it opened).
    return VekBase::VEKStreamFile::removeFile(safeArg1(call)) == 0 ? std::string() : failure;
}

std::string TTMProcessor::loadFile(Function* call) {
    try {
        return VekKernel::readFile(safeArg1(call));
    } catch (const std::exception& failure) {
        logFailure(failure, LoadLine);
        return safeArg2(call);
    }
}

std::string TTMProcessor::systemCommand(Function* call) {
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

std::string TTMProcessor::outLoadBinary(Function* call) {
    try {
        readPieces(safeArg1(call), BinaryChunk, [this](const u8* bytes, int64 length) { appendOutput(bytes, length); });
    } catch (const std::exception& failure) {
        logFailure(failure, OutLoadBinaryLine);
        return safeArg2(call);
    }
    return std::string();
}

std::string TTMProcessor::base64LoadBinary(Function* call) {
    std::string result;
    try {
        Buffer encoded(Base64ChunkText);
        auto encode = [&](const u8* bytes, int64 length) {
            VekTls::base64_encode(bytes, static_cast<int>(length), encoded.data);
            result += reinterpret_cast<const char*>(encoded.data);
        };
        readPieces(safeArg1(call), Base64Chunk, encode);
    } catch (const std::exception& failure) {
        logFailure(failure, Base64LoadBinaryLine);
        return safeArg2(call);
    }
    return result;
}

std::string TTMProcessor::base64SaveBinary(Function* call) {
    if (!allowWriteCommands) {
        std::printf("Command: \"base64SaveBinary\" not allowed! Set command line option \"-write\" to allow it.\n");
        return std::string();
    }
    try {
        OpenFile file(safeArg1(call), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (!file.isOpen()) return std::string();
        const std::string text = safeArg2(call);
        Buffer decoded(static_cast<u32>(text.size()) + 1);
        int64 count = decodeBase64(text, decoded);
        // An invalid text leaves the file created and empty.
        if (count > 0) writeAll(file.fd, decoded.data, count);
    } catch (const std::exception& failure) {
        logFailure(failure, Base64SaveBinaryLine);
    }
    return std::string();
}

std::string TTMProcessor::outBase64Decode(Function* call) {
    const std::string text = safeArg1(call);
    if (text.empty()) return std::string();
    try {
        Buffer decoded(static_cast<u32>(text.size()));
        int64 count = decodeBase64(text, decoded);
        if (count < 0) return std::string();
        if (count > 0) appendOutput(decoded.data, count);
        return formatWord("%lld", static_cast<long long>(count));
    } catch (const std::exception& failure) {
        logFailure(failure, OutBase64DecodeLine);
        return std::string();
    }
}

}  // namespace VekLanguage
