// The work behind the builtin words that the template processor and the
// Forth processor both offer: digests as hex, regular-expression captures,
// time stamps and time patterns, base64 between files, texts and the output
// block, opening and deleting protected bases by name, random draws and bit
// shifts. Each word of either language reads its arguments its own way and
// then calls one of these, so both languages give the same results.
// (The checked printf/scanf patterns of the formatting words are in
// FormatPattern.h.)
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include "VekTypes.h"

namespace VekBase {
class VEKBaseRegistry;
class VEKCursorProtected;
}  // namespace VekBase

namespace VekLanguage {

class LanguageProcessor;

// ---- digests ----

enum class DigestKind { Md5, Sha1, Sha256 };

// The digest of all bytes of text (NUL bytes included) as upper-case hex:
// 32, 40 or 64 digits.
std::string digestHex(DigestKind kind, const std::string& text);

// ---- regular expressions ----

// Matches expression (up to its NUL) against subject with `slots` capture
// slots (none when slots is below 1; at most as many as the matcher can
// fill). captures gets one entry per slot: the group's own text when the
// group matched a non-empty text, else empty. Returns regexMatch's result.
int matchWithCaptures(const std::string& expression, const std::string& subject, int flags, int64 slots,
                      std::vector<std::string>& captures);

// ---- time ----

// The "getTime" stamp: the current time in seconds times 1000 plus the
// process-wide counter modulo 9; the counter steps 0..9 and wraps, so stamps
// taken within one second differ.
int64 nextTimeStamp();

// strftime of the time millis (milliseconds since 1970) with pattern, in
// UTC or local time; the pattern's first "%s" stands for the three-digit
// millisecond part. Empty for a time libc cannot break down.
std::string formatMillisecondTime(const std::string& pattern, int64 millis, bool utc);

// ---- files, base64 and the output block ----

// Reads of whole files take regular files only: a pipe, socket or device
// (which may never end) counts as a file that cannot be opened. A read that
// would pass its limit throws LanguageError "Text too long".

// The whole file as text, each piece of 1023 bytes kept up to its first
// NUL byte; false when it cannot be opened.
bool loadFileText(const std::string& path, std::string& text, std::size_t limit = SIZE_MAX);
// The whole file as one base64 text; false when it cannot be opened.
bool loadFileAsBase64(const std::string& path, std::string& text, std::size_t limit = SIZE_MAX);
// Creates or truncates the file (owner read and write) and writes the bytes
// that the base64 text decodes to; an invalid text leaves it empty. False
// when the file cannot be opened.
bool saveBase64AsFile(const std::string& path, const std::string& text);
// Appends the file's bytes to the processor's output block, which may hold
// at most limit bytes; false when it cannot be opened.
bool appendFileToOutput(LanguageProcessor& processor, const std::string& path, std::size_t limit = SIZE_MAX);
// Decodes the base64 text and appends the bytes to the output block; the
// byte count, or -1 (nothing appended) for an invalid text. A length that is
// not a multiple of 4 is invalid too.
int64 appendBase64ToOutput(LanguageProcessor& processor, const std::string& text);

// ---- protected bases ----

// Opens (or adds a use to) the base of that name: in memory for memory
// names, else as files, but while a ban is set only when its write file
// exists, so no file base is ever created then. The use is owner's when
// owner is not 0. The base, or null when nothing was opened.
VekBase::VEKCursorProtected* openBaseByName(VekBase::VEKBaseRegistry& registry, const std::string& name,
                                            u64 owner = 0);
// Closes the process id (a writer commits); true when it was the writer.
bool endBaseProcess(VekBase::VEKCursorProtected& base, int64 id);
// Ends the process, gives back the base's use (giveBackUse) and deletes its
// write file and, once that is gone, its read file; a file that is not a
// base is never deleted. True when both deletions succeeded; wasWriter
// tells whether the id was the writer.
bool endAndDeleteBase(VekBase::VEKCursorProtected& base, int64 id, bool& wasWriter,
                      const std::function<void()>& giveBackUse);

// A token for a run of either language, never handed out twice: it owns
// the sessions the run opens (their owner in the process pools).
u64 newRunToken();
// The base that writer id, opened by the run owner on the base with
// serial, commits on: that base, whatever the name reaches now. Null when
// the writer is gone: its base closed, or it was rolled back (its id may
// be another writer's by now). Throws, giving the id back, when its files
// went under it (VEKCursorProtected::failLostCommit). Either way its commit
// must fail: it would store nothing, or another writer's keys.
VekBase::VEKCursorProtected* ownWriterBase(VekBase::VEKBaseRegistry& registry, u64 serial, int64 id, u64 owner);
// The failure of a commit through a writer that is gone, of the base name.
std::string goneWriterFailure(const std::string& name);

// ---- random numbers and bits ----

// libc rand() modulo range (truncating), or rand() itself for range 0.
int64 randomDraw(int64 range);

// value shifted left by count modulo its width, bits shifted out lost.
template <typename Int>
Int bitsShiftedLeft(Int value, int64 count) {
    using Unsigned = std::make_unsigned_t<Int>;
    const unsigned distance = static_cast<unsigned>(count) & (sizeof(Int) * 8 - 1);
    return static_cast<Int>(static_cast<Unsigned>(value) << distance);
}

// value shifted right arithmetically (the sign filling in) by count modulo
// its width.
template <typename Int>
Int bitsShiftedRight(Int value, int64 count) {
    const unsigned distance = static_cast<unsigned>(count) & (sizeof(Int) * 8 - 1);
    return static_cast<Int>(value >> distance);
}

}  // namespace VekLanguage
