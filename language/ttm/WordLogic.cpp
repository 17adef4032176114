// The work shared by the template words and the Forth extension words of
// the same names (see WordLogic.h).
#include "WordLogic.h"

#include <fcntl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "Buffer.h"
#include "LanguageError.h"
#include "LanguageProcessor.h"
#include "LanguageSwitches.h"
#include "VekFile.h"
#include "VekRegex.h"
#include "VekUtil.h"
#include "base/VEKBaseRegistry.h"
#include "base/VEKCursor.h"
#include "base/VEKCursorProtected.h"
#include "tls/src/base64.h"
#include "tls/src/digest.h"

namespace VekLanguage {

namespace {

// The matcher refuses expressions with more than 99 groups, so slots past
// this many are never written; a caller asking for more gets no more memory.
constexpr int64 MaxCaptureSlots = 100;

constexpr u32 LoadChunk = 1023;        // bytes per read of a whole text (each piece kept up to a NUL)
constexpr u32 BinaryChunk = 1024;      // bytes per read when copying a file to the output
constexpr u32 Base64Chunk = 1023;      // bytes per read when encoding (a multiple of 3)
constexpr u32 Base64ChunkText = 1367;  // room for one encoded chunk and its NUL

// A descriptor closed when it goes out of scope.
class OpenFile {
public:
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
// take; false when the file cannot be opened or is not a regular file (a
// pipe or a device may never end and would hold the single server thread).
template <typename Take>
bool readPieces(const std::string& path, u32 chunk, Take take) {
    OpenFile file(VekKernel::openRegularFile(path.c_str(), O_RDONLY, 0));
    if (!file.isOpen()) return false;
    Buffer piece(chunk);
    int64 got;
    while ((got = VekKernel::fileRead(file.fd, piece.data, chunk)) > 0) take(piece.data, got);
    return true;
}

// Throws "Text too long" once a text read from a file passes limit.
void checkReadSize(std::size_t size, std::size_t limit) {
    if (size > limit) throw LanguageError("Text too long");
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

// Decodes base64 text into decoded (at least as long as the text); the byte
// count, or -1 for an invalid text. A length that is not a multiple of 4 is
// invalid too: nothing undecoded is ever handed on.
int64 decodeBase64(const std::string& text, Buffer& decoded) {
    if (text.size() % 4 != 0) return -1;
    return VekTls::base64_decode(reinterpret_cast<const u8*>(text.data()), static_cast<int>(text.size()), decoded.data);
}

// The pattern of a time with its first "%s" standing for the three-digit
// millisecond part of millis (done before strftime, which never sees it).
std::string withMilliseconds(std::string pattern, int64 millis) {
    std::size_t at = pattern.find("%s");
    if (at == std::string::npos) return pattern;
    char digits[32];
    std::snprintf(digits, sizeof digits, "%0*lld", 3, static_cast<long long>(millis % 1000));
    return pattern.replace(at, 2, digits);
}

}  // namespace

std::string digestHex(DigestKind kind, const std::string& text) {
    VekTls::digest_ctx context;
    if (kind == DigestKind::Md5) VekTls::new_md5_digest(&context);
    else if (kind == DigestKind::Sha1) VekTls::new_sha1_digest(&context);
    else VekTls::new_sha256_digest(&context);
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

int matchWithCaptures(const std::string& expression, const std::string& subject, int flags, int64 slots,
                      std::vector<std::string>& captures) {
    const int length = static_cast<int>(subject.size());
    captures.clear();
    if (slots < 1) return VekKernel::regexMatch(expression.c_str(), subject.data(), length, nullptr, 0, flags);
    std::vector<VekKernel::RegexCap> caps(static_cast<std::size_t>(std::min(slots, MaxCaptureSlots)),
                                          VekKernel::RegexCap{nullptr, 0});
    int result = VekKernel::regexMatch(expression.c_str(), subject.data(), length, caps.data(),
                                       static_cast<int>(caps.size()), flags);
    for (const VekKernel::RegexCap& cap : caps) {
        // A capture is the group's own text (its start and length).
        if (cap.len > 0) captures.emplace_back(cap.ptr, static_cast<std::size_t>(cap.len));
        else captures.emplace_back();
    }
    return result;
}

int64 nextTimeStamp() {
    int64 now = static_cast<int64>(std::time(nullptr));
    int64 rest = getTimeCounter % 9;
    getTimeCounter = getTimeCounter == 9 ? 0 : getTimeCounter + 1;
    return now * 1000 + rest;
}

std::string formatMillisecondTime(const std::string& pattern, int64 millis, bool utc) {
    const std::string withMillis = withMilliseconds(pattern, millis);
    std::time_t seconds = static_cast<std::time_t>(millis / 1000);
    // gmtime/localtime hand back libc's one shared record, used at once;
    // null for a time that does not fit a broken-down year.
    std::tm* broken = utc ? std::gmtime(&seconds) : std::localtime(&seconds);
    if (broken == nullptr) return std::string();
    char buffer[1024];
    std::size_t written = std::strftime(buffer, sizeof buffer, withMillis.c_str(), broken);
    // strftime leaves the buffer undefined when the result does not fit.
    return std::string(buffer, written);
}

bool loadFileText(const std::string& path, std::string& text, std::size_t limit) {
    text.clear();
    return readPieces(path, LoadChunk, [&](const u8* bytes, int64 length) {
        const char* piece = reinterpret_cast<const char*>(bytes);
        text.append(piece, strnlen(piece, static_cast<std::size_t>(length)));
        checkReadSize(text.size(), limit);
    });
}

bool loadFileAsBase64(const std::string& path, std::string& text, std::size_t limit) {
    text.clear();
    Buffer encoded(Base64ChunkText);
    auto encode = [&](const u8* bytes, int64 length) {
        VekTls::base64_encode(bytes, static_cast<int>(length), encoded.data);
        text += reinterpret_cast<const char*>(encoded.data);
        checkReadSize(text.size(), limit);
    };
    return readPieces(path, Base64Chunk, encode);
}

bool saveBase64AsFile(const std::string& path, const std::string& text) {
    OpenFile file(VekKernel::openRegularFile(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
    if (!file.isOpen()) return false;
    Buffer decoded(static_cast<u32>(text.size()) + 1);
    int64 count = decodeBase64(text, decoded);
    // An invalid text leaves the file created and empty.
    if (count > 0) writeAll(file.fd, decoded.data, count);
    return true;
}

bool appendFileToOutput(LanguageProcessor& processor, const std::string& path, std::size_t limit) {
    return readPieces(path, BinaryChunk, [&](const u8* bytes, int64 length) {
        checkReadSize(processor.outputLength() + static_cast<u64>(length), limit);
        processor.appendOutput(bytes, length);
    });
}

int64 appendBase64ToOutput(LanguageProcessor& processor, const std::string& text) {
    Buffer decoded(static_cast<u32>(text.size()) + 1);
    int64 count = decodeBase64(text, decoded);
    if (count > 0) processor.appendOutput(decoded.data, count);
    return count;
}

VekBase::VEKCursorProtected* openBaseByName(VekBase::VEKBaseRegistry& registry, const std::string& name, u64 owner) {
    if (VekBase::isMemoryBaseName(name)) return registry.open(name, VekBase::VEK_STREAM_MEMORY, owner);
    // With a ban set a file base is opened only when its write file exists,
    // so nothing can create one.
    if ((banBaseCreate || banBaseWrite) && VekKernel::fileAccess(name + "1", 0) != 0) return nullptr;
    return registry.open(name, VekBase::VEK_STREAM_FILE, owner);
}

bool endBaseProcess(VekBase::VEKCursorProtected& base, int64 id) {
    const bool wasWriter = base.getWriteProcess() == id;
    base.closeProcess(id);
    return wasWriter;
}

bool endAndDeleteBase(VekBase::VEKCursorProtected& base, int64 id, bool& wasWriter,
                      const std::function<void()>& giveBackUse) {
    // The names are copied first: the registry may delete the base below.
    const std::string writeFile = base.writeFileName();
    const std::string readFile = base.readFileName();
    const u32 mode = base.mode();
    wasWriter = endBaseProcess(base, id);
    giveBackUse();
    // The read file goes only after the write file did, so a failure never
    // leaves a write file without its committed copy.
    return VekBase::removeBaseFile(writeFile, mode) == 0 && VekBase::removeBaseFile(readFile, mode) == 0;
}

u64 newRunToken() {
    static u64 lastToken = 0;
    return ++lastToken;
}

VekBase::VEKCursorProtected* ownWriterBase(VekBase::VEKBaseRegistry& registry, u64 serial, int64 id, u64 owner) {
    VekBase::VEKCursorProtected* base = registry.find(serial);
    if (base == nullptr || !base->ownedBy(id, owner)) return nullptr;
    base->failLostCommit(id);
    return base;
}

std::string goneWriterFailure(const std::string& name) {
    return "Can't commit to the VEKBase file: " + name +
           "1: its writer ended before the commit (its base was closed, or the writer rolled back); nothing was stored";
}

int64 randomDraw(int64 range) {
    int64 drawn = std::rand();
    return range == 0 ? drawn : drawn % range;
}

}  // namespace VekLanguage
