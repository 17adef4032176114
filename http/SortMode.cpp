// Command-line sort mode: cuts a file into records (at divider bytes or every
// N bytes), counts each distinct record as a key of a base, and writes the
// keys back in ascending or descending key order, each record repeated as
// often as it was counted.
//
// Layout of the base: every record is one key at the level a new cursor
// stands on; its one child key is the record's count as 8 bytes (int64 in
// the machine's byte order). A record without a child counts as 1. The
// sort mode reads only bases of that layout: any other key (a page's base)
// refuses the base, which is then left as it was, and no output is left.
//
// Which bases those are, the base's file says (SortModeBase.h): a page's
// base is refused before it is touched, whatever name reaches it. A base
// the sort mode made says so, and each count of it is checked as a run
// reads it, so a run costs what it touches, not the size of the base; an
// older base that says nothing is checked whole once and then marked.
//
// One cursor serves the counting and then the writing, and its changes
// reach the base only when the whole run worked. A failure is never
// reported as success; each prints one line on standard error that names
// the file (and the record's line), and the program ends with status 1
// instead of serving:
//   1. An input that is named but cannot be opened or read.
//   2. A record the base refuses (longer than a key may be, say): the
//      counting stops at that record.
//   3. An error of the base while counting or writing.
//   4. A key of another layout, or the files of a page's base.
// A failed run discards the cursor's changes, so the base holds none of
// the run (a file base rolls its own journal back), and leaves the
// output's name as it was wherever it can (SortOutput.h). SIGINT, SIGTERM
// and SIGHUP fail the run the same way (SortSignals.h), and then end the
// process as the signal would have.
//
// A file base is locked (VEKFileLock) for the whole run, before anything
// touches it: a base that another process (a server) has open is refused,
// so its running writer's journal is never rolled back from here.
//
// The input is read from its descriptor to its end, so a pipe or
// /dev/stdin is counted like a file; only a regular file could be sized.
//
// Speed: the input is read in 64 KiB blocks, not byte by byte, and the
// counts of a batch of records are gathered in memory before they reach
// the base, so a record seen a thousand times costs one base update per
// batch. The base ends up exactly as if every record had been counted on
// its own; the output is gathered into 64 KiB writes the same way.
#include "SortMode.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "SortModeBase.h"
#include "SortOutput.h"
#include "SortSignals.h"
#include "base/VEKCursor.h"
#include "base/VEKFileLock.h"
#include "base/VEKTree.h"
#include "kernel/VekFile.h"
#include "kernel/VekUtil.h"

using VekBase::VEKBaseStamp;
using VekBase::VEKCursor;
using VekBase::VEKFileLock;

namespace {

// Bytes read from the input at once.
constexpr int64 SORT_BLOCK = 65536;
// Bytes of a stored count.
constexpr u64 COUNT_SIZE = sizeof(int64);
// The largest count the sort mode is taken to have written: 2^48 records
// need 512 TiB of input at least. Eight bytes of text read as a number are
// far above it (any byte but NUL in the last two places).
constexpr int64 MOST_COUNTED = static_cast<int64>(1) << 48;

// A failure of the sort mode; its text is the line printed for it.
class SortFailure : public std::runtime_error {
public:
    explicit SortFailure(const std::string& text) : std::runtime_error(text) {}
};

// The sort mode's cursor: a VEKCursor that also tells, as it enters a
// record's sub-level, whether more than the first key stands there. That
// takes one step from the first key instead of a second search of the
// tree, so checking every count a run reads costs next to nothing.
class SortCursor : public VEKCursor {
public:
    using VEKCursor::VEKCursor;
    // Keys under a record: none, one, or more than one.
    enum Children { NONE, ONE, MORE };
    // What goChild does (the sub-level's first key, or an empty position),
    // also telling how many keys stand there.
    bool goChildCounting(Children* children)
    {
        if (!hasCurrent) return false;
        frames.push_back(Frame{currentKey, currentId});
        VekBase::VEKPos pos = base().lowerBound(levelId(), std::string_view());
        std::string key;
        u64 id;
        *children = NONE;
        if (!itemOfLevel(pos, levelId(), &key, &id)) {
            standEmpty();
            return true;
        }
        standOn(key, id);
        *children = base().next(pos) && base().parentAt(pos) == levelId() ? MORE : ONE;
        return true;
    }
};

bool fileExists(const std::string& path)
{
    return VekKernel::fileAccess(path, F_OK) == 0;
}

std::string quoted(const std::string& name) { return "'" + name + "'"; }

bool isFileBase(const SortSettings& settings)
{
    return VekBase::streamKindFor(settings.base) == VekBase::VEK_STREAM_FILE;
}

// Locks the base's file (one made since the last lock included; with
// create, a missing one is made empty first, so that it is formatted only
// under the lock); refuses a base another process has open.
void lockBase(VEKFileLock& lock, const SortSettings& settings, bool create = false)
{
    try {
        if (isFileBase(settings)) lock.take(settings.base, create);
    } catch (const std::exception& e) {
        throw SortFailure("cannot open the base " + quoted(settings.base) + ": " + e.what());
    }
}

// Opens the base: nothing useful can be sorted without it, and serving
// instead would hide the failure. A base this run creates (after
// -sortinit too) is made and locked before it is formatted, so no other
// process can open it in between.
std::unique_ptr<SortCursor> openBase(const SortSettings& settings, VEKFileLock& lock)
{
    lockBase(lock, settings, true);
    std::unique_ptr<SortCursor> cursor;
    try {
        cursor.reset(new SortCursor(settings.base.c_str(), VekBase::streamKindFor(settings.base)));
    } catch (const std::exception& e) {
        throw SortFailure("cannot open the base " + quoted(settings.base) + ": " + e.what());
    }
    return cursor;
}

// Where a record starts in the input, for the message that refuses it:
// the line of its first byte (divider records) or its number (fixed ones).
struct RecordPlace {
    const std::string* input;  // the input's name
    const char* unit;          // "line" or "record"
    int64 number;              // 1 for the first
    std::string text() const { return quoted(*input) + " " + unit + " " + std::to_string(number); }
};

[[noreturn]] void refuseLongRecord(const RecordPlace& place)
{
    throw SortFailure(place.text() + ": the record is longer than the " + std::to_string(VEKCursor::MAX_KEY) +
                      " bytes a base key may hold");
}

// The record the cursor stands on, as a short printable text for a message.
std::string shownKey(VEKCursor& cursor)
{
    constexpr int64 SHOWN = 40;
    std::string key(static_cast<size_t>(std::min(cursor.dataLength(), SHOWN)), '\0');
    if (!key.empty()) cursor.readData(&key[0], key.size());
    for (char& byte : key)
        if (static_cast<u8>(byte) < 0x20 || byte == 0x7f) byte = '?';
    return quoted(key) + (cursor.dataLength() > SHOWN ? "..." : "");
}

// Why the sub-level the cursor has just entered, holding children keys,
// is not a count the sort mode wrote, with *count set when it is one:
// empty (a count of 1), or one key of COUNT_SIZE bytes holding 1 to
// MOST_COUNTED. What a count owns is never read, so it does not matter.
std::string countLevelFault(VEKCursor& cursor, SortCursor::Children children, int64* count)
{
    *count = 1;
    if (children == SortCursor::NONE) return "";
    if (cursor.dataLength() != static_cast<int64>(COUNT_SIZE)) return "owns a key that is not a count";
    cursor.readData(count, COUNT_SIZE);
    if (*count < 1 || *count > MOST_COUNTED) return "owns the count " + std::to_string(*count);
    if (children == SortCursor::MORE) return "owns more than one key";
    return "";
}

// Refuses the base for the record the cursor stands on.
[[noreturn]] void refuseRecord(VEKCursor& cursor, const std::string& fault)
{
    throw SortFailure("the base " + quoted(cursor.fileName()) + " holds keys the sort mode did not write: " +
                      shownKey(cursor) + " " + fault);
}

// The count of the record the cursor stands on. The sort mode reads only
// what it writes: in a base of other keys (a page's) sub-level keys would
// be read as counts (the key "b" as 98 copies, eight bytes of text as
// billions of copies), so anything else refuses the base.
int64 checkedCount(SortCursor& cursor)
{
    int64 count = 1;
    SortCursor::Children children;
    if (!cursor.goChildCounting(&children)) return count;
    std::string fault = countLevelFault(cursor, children, &count);
    cursor.goParent();
    if (!fault.empty()) refuseRecord(cursor, fault);
    return count;
}

// Checks every record of the base: for a base that does not say it is the
// sort mode's, and before writing where a failure could not take the
// output back.
void checkCountRecords(SortCursor& cursor)
{
    for (bool more = cursor.goFirst(); more; more = cursor.goNextKey()) {
        sort_stop_if_signalled();
        checkedCount(cursor);
    }
}

// Adds added to the count of the record the cursor stands on: its child
// key holds the count; a record without one gets the child added. goChild
// already stands on the first child when there is one (keys are never
// empty), so no second search for it is needed. The count is checked as it
// is read: a record the sort mode did not write refuses the base.
void raiseCount(SortCursor& cursor, int64 added)
{
    SortCursor::Children children;
    if (!cursor.goChildCounting(&children)) return;
    int64 count = 1;
    std::string fault = countLevelFault(cursor, children, &count);
    if (!fault.empty()) {
        cursor.goParent();
        refuseRecord(cursor, fault);
    }
    if (cursor.dataLength() > 0) {
        count += added;
        cursor.replaceSymbolData(&count, COUNT_SIZE, 0);
    } else {
        count = added;
        cursor.putSymbolData(&count, COUNT_SIZE, 0);
    }
    cursor.goParent();
}

// Counts gathered in memory and added to the base a batch at a time, so a
// record that occurs many times costs one base update per batch instead of
// one per occurrence. The base ends up the same as with single updates.
// An open-addressing table over one text arena keeps lookups to a cache
// miss or two.
class CountBatch {
public:
    explicit CountBatch(SortCursor& cursor) : cursor(cursor), slots(INITIAL_SLOTS) {}
    // Counts record, found at place in the input.
    void add(const std::string& record, const RecordPlace& place)
    {
        u64 hash = std::hash<std::string>()(record) | 1;  // 0 marks a free slot
        Slot* slot = find(hash, record);
        if (slot->hash) {
            ++slot->count;
            return;
        }
        *slot = Slot{hash, arena.size(), record.size(), 1, place};
        arena += record;
        if (++used * 2 > slots.size()) grow();
        if (arena.size() + slots.size() * sizeof(Slot) >= BATCH_BYTES) flush();
    }
    // The records go to the base in key order, so consecutive updates
    // touch the same few pages and new keys arrive at the ends of leaves.
    void flush()
    {
        std::vector<Ordered> ordered;
        ordered.reserve(used);
        for (const Slot& slot : slots)
            if (slot.hash) ordered.push_back(Ordered{leadingWord(keyOf(slot)), slot});
        std::sort(ordered.begin(), ordered.end(), [this](const Ordered& a, const Ordered& b) {
            if (a.lead != b.lead) return a.lead < b.lead;
            return keyOf(a.slot) < keyOf(b.slot);
        });
        for (const Ordered& entry : ordered) {
            sort_stop_if_signalled();
            if (!cursor.putSymbolData(arena.data() + entry.slot.offset, entry.slot.length, 0))
                throw SortFailure(entry.slot.place.text() + ": the base " + quoted(cursor.fileName()) +
                                  " refused the record");
            raiseCount(cursor, entry.slot.count);
        }
        slots.assign(INITIAL_SLOTS, Slot());
        arena.clear();
        used = 0;
    }

private:
    struct Slot {
        u64 hash = 0;     // hash of the record, 0 = free
        size_t offset = 0;  // record's first byte in the arena
        size_t length = 0;  // record's bytes
        int64 count = 0;    // occurrences not yet added to the base
        RecordPlace place{};  // where it first occurred
    };
    static constexpr size_t INITIAL_SLOTS = 1024;    // a power of two
    // A record to put, with its first eight bytes as a big-endian number:
    // most comparisons of the sort end there, without reading the arena,
    // and the slot is copied so the sorted records are read in order.
    struct Ordered {
        u64 lead;   // leading bytes, zero padded
        Slot slot;  // the record
    };
    static u64 leadingWord(std::string_view key)
    {
        u64 word = 0;
        for (size_t i = 0; i < 8; ++i) word = word << 8 | (i < key.size() ? static_cast<u8>(key[i]) : 0);
        return word;
    }
    std::string_view keyOf(const Slot& slot) const { return std::string_view(arena.data() + slot.offset, slot.length); }
    static constexpr size_t BATCH_BYTES = 32u << 20;  // memory a batch may hold

    // The record's slot, or the free slot where it belongs.
    Slot* find(u64 hash, const std::string& record)
    {
        size_t mask = slots.size() - 1;
        for (size_t i = hash & mask;; i = (i + 1) & mask) {
            Slot& slot = slots[i];
            if (!slot.hash) return &slot;
            if (slot.hash == hash && slot.length == record.size() &&
                arena.compare(slot.offset, slot.length, record) == 0)
                return &slot;
        }
    }
    void grow()
    {
        std::vector<Slot> old(slots.size() * 2);
        old.swap(slots);
        size_t mask = slots.size() - 1;
        for (const Slot& slot : old) {
            if (!slot.hash) continue;
            size_t i = slot.hash & mask;
            while (slots[i].hash) i = (i + 1) & mask;
            slots[i] = slot;
        }
    }

    SortCursor& cursor;       // the base being counted into
    std::vector<Slot> slots;  // the table; size is a power of two
    std::string arena;        // bytes of every record in the table
    size_t used = 0;          // slots in use
};

// The input, read from its descriptor to its end: a pipe, /dev/stdin or a
// named pipe give their bytes like a regular file.
class SortInput {
public:
    explicit SortInput(const std::string& path) : path(path)
    {
        // Opening a named pipe waits for its writer; a signal ends the wait.
        do {
            sort_stop_if_signalled();
            fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) fail();
    }
    ~SortInput() { ::close(fd); }
    SortInput(const SortInput&) = delete;
    SortInput& operator=(const SortInput&) = delete;

    // Reads the next block into block; its length, 0 at the end. A signal
    // ends the run here, also while the read waits on a pipe.
    int64 read(std::string& block)
    {
        block.resize(static_cast<size_t>(SORT_BLOCK));
        for (;;) {
            sort_stop_if_signalled();
            ssize_t got = ::read(fd, &block[0], block.size());
            if (got >= 0) return got;
            if (errno != EINTR) fail();
        }
    }
    const std::string path;  // the input's name

private:
    [[noreturn]] void fail() const
    {
        throw SortFailure("cannot read the input " + quoted(path) + ": " + std::strerror(errno));
    }
    int fd = -1;  // open descriptor
};

// Records of exactly length bytes; a shorter last piece is dropped. A
// length beyond what a key may hold refuses the first whole record.
void countFixedRecords(CountBatch& batch, SortInput& input, int length)
{
    RecordPlace place{&input.path, "record", 1};
    std::string record;
    std::string block;
    if (static_cast<u64>(length) > VEKCursor::MAX_KEY) {
        int64 total = 0;
        for (int64 got = input.read(block); got > 0; got = input.read(block))
            if ((total += got) >= length) refuseLongRecord(place);
        return;
    }
    for (int64 got = input.read(block); got > 0; got = input.read(block)) {
        for (int64 at = 0; at < got;) {
            int64 missing = length - static_cast<int64>(record.size());
            size_t take = static_cast<size_t>(std::min<int64>(got - at, missing));
            record.append(block, static_cast<size_t>(at), take);
            at += static_cast<int64>(take);
            if (static_cast<int64>(record.size()) < length) continue;
            batch.add(record, place);
            ++place.number;
            record.clear();
        }
    }
}

// Divider bytes as a table; NUL always divides (the set is a C text).
struct DividerSet {
    bool isDivider[256] = {};
    explicit DividerSet(const std::string& dividers)
    {
        isDivider[0] = true;
        for (size_t i = 0; i < dividers.size() && dividers[i]; ++i) isDivider[static_cast<u8>(dividers[i])] = true;
    }
};

// Records between divider bytes; runs of dividers make no empty records.
// A record is placed at the line of its first byte. One longer than a key
// may hold is refused as soon as it grows past that.
void countDividedRecords(CountBatch& batch, SortInput& input, const std::string& dividers)
{
    DividerSet set(dividers);
    RecordPlace place{&input.path, "line", 1};
    int64 line = 1;
    std::string record;
    std::string block;
    for (int64 got = input.read(block); got > 0; got = input.read(block)) {
        for (int64 i = 0; i < got; ++i) {
            char byte = block[static_cast<size_t>(i)];
            if (!set.isDivider[static_cast<u8>(byte)]) {
                if (record.empty()) place.number = line;
                record += byte;
                if (record.size() > VEKCursor::MAX_KEY) refuseLongRecord(place);
            } else if (!record.empty()) {
                batch.add(record, place);
                record.clear();
            }
            if (byte == '\n') ++line;
        }
    }
    if (!record.empty()) batch.add(record, place);
}

std::string dividersOf(const SortSettings& settings)
{
    if (!settings.dividerFile.empty() && fileExists(settings.dividerFile))
        return VekKernel::readFile(settings.dividerFile);
    return settings.dividers;
}

// Drops every change the cursor made; a failed counting keeps nothing of
// its run in the base.
void discardChanges(VEKCursor& cursor)
{
    try {
        cursor.discard();
    } catch (const std::exception&) {
        // A file base rolls its journal back when it is next opened.
    }
}

// Runs work; an error of the base or a file (not a refusal or a signal,
// which say what happened themselves) fails the run with what before it.
template <typename Work>
void failingAs(const std::string& what, Work work)
{
    try {
        work();
    } catch (const SortFailure&) {
        throw;
    } catch (const SortInterrupted&) {
        throw;
    } catch (const std::exception& e) {
        throw SortFailure(what + e.what());
    }
}

// Makes sure the base is the sort mode's before anything else reads it: a
// base this run made is stamped as the sort mode's; one of an older
// version, which says nothing of itself, is checked whole (once: it is
// stamped then). The stamp reaches the file with the run's other changes.
// True when the base was checked whole here.
bool markSortBase(SortCursor& cursor, const SortSettings& settings)
{
    const u32 kind = cursor.stamp().kind;
    if (kind == VEKBaseStamp::SortBase) return false;
    // Another kind found only now: the open mended a header the first
    // look could not read.
    if (kind != VEKBaseStamp::None)
        throw SortFailure("the base " + quoted(settings.base) + " is not the sort mode's (its file says kind " +
                          std::to_string(kind) + "); the sort mode leaves it alone");
    const bool checkWhole = !cursor.created();
    if (checkWhole) checkCountRecords(cursor);
    cursor.setStamp(VEKBaseStamp::fresh(VEKBaseStamp::SortBase));
    return checkWhole;
}

void countInput(SortCursor& cursor, SortInput& input, const SortSettings& settings)
{
    failingAs("counting " + quoted(settings.input) + " into the base " + quoted(settings.base) + " failed: ", [&] {
        CountBatch batch(cursor);
        if (settings.length > 0) countFixedRecords(batch, input, settings.length);
        else countDividedRecords(batch, input, dividersOf(settings));
        batch.flush();
    });
}

// Writes the records of the base, each count checked as it is read.
class RecordWriter {
public:
    RecordWriter(SortCursor& cursor, SortWriter& writer, const SortSettings& settings)
        : cursor(cursor), writer(writer), settings(settings)
    {
    }
    void writeAll()
    {
        if (settings.descending) {
            for (bool more = cursor.goLast(); more; more = cursor.goPrevKey(1)) writeRecord();
        } else {
            for (bool more = cursor.goFirst(); more; more = cursor.goNextKey()) writeRecord();
        }
        writer.flush();
    }

private:
    void writeRecord()
    {
        sort_stop_if_signalled();
        int64 length = cursor.dataLength();
        if (length <= 0) return;
        record.resize(static_cast<size_t>(length));
        cursor.readData(&record[0], static_cast<u64>(length));
        if (settings.length <= 0) record += '\n';
        for (int64 count = checkedCount(cursor); count > 0; --count) writer.put(record.data(), record.size());
    }

    SortCursor& cursor;            // the base, on its records' level
    SortWriter& writer;            // the output
    const SortSettings& settings;  // order and separators
    std::string record;            // the current record and its separator
};

// Writes the base into output, which is left open for the caller to put
// in place once the base holds the run's counts. The base's own file, or
// any base's, is never the output: the sorted lines would destroy it.
// Where a failure leaves the name as it was (a file made or written
// beside), the records are checked as they are written; anything else (a
// file written through its name, a pipe, the terminal) gets nothing from a
// refused base, which is checked whole first.
void writeOutput(SortCursor& cursor, const SortSettings& settings, bool checkedWhole,
                 std::unique_ptr<SortOutput>& output)
{
    if (isFileBase(settings) && VekBase::VEKFileId::of(settings.save) == VekBase::VEKFileId::of(settings.base))
        throw SortFailure("cannot write " + quoted(settings.save) + ": it is the base " + quoted(settings.base));
    failingAs("", [&] { refuseBaseAsOutput(settings.save); });
    failingAs("cannot write " + quoted(settings.save) + " from the base " + quoted(settings.base) + ": ", [&] {
        output.reset(new SortOutput(settings.save));
        if (!output->undoable() && !checkedWhole) checkCountRecords(cursor);
        output->begin();
        SortWriter writer(*output);
        RecordWriter(cursor, writer, settings).writeAll();
    });
}

// Counts the input into the base and writes the base out, through one
// cursor: nothing of the run reaches the base unless all of it worked,
// and the output is put in place only once the base holds what it shows.
// A failure drops the run's changes (a file base rolls its own journal
// back) and takes back the output where it can (SortOutput.h).
void sortThroughBase(const SortSettings& settings, VEKFileLock& lock)
{
    std::unique_ptr<SortInput> input;
    // The input is opened before the base, so a misspelt name leaves the
    // base as it was.
    if (!settings.input.empty()) input.reset(new SortInput(settings.input));
    std::unique_ptr<SortCursor> cursor = openBase(settings, lock);
    std::unique_ptr<SortOutput> output;
    try {
        bool checkedWhole = false;
        failingAs("cannot read the base " + quoted(settings.base) + ": ",
                  [&] { checkedWhole = markSortBase(*cursor, settings); });
        if (input) countInput(*cursor, *input, settings);
        if (!settings.save.empty()) writeOutput(*cursor, settings, checkedWhole, output);
        if (output) failingAs("cannot write " + quoted(settings.save) + ": ", [&] { output->close(); });
        failingAs("cannot save the base " + quoted(settings.base) + ": ", [&] { cursor->close(); });
        if (output)
            failingAs("cannot write " + quoted(settings.save) + ": ", [&] { output->finish(); });
    } catch (const std::exception&) {
        if (output) output->discard();
        discardChanges(*cursor);
        throw;
    }
}

SortOutcome runSort(SortSettings& settings)
{
    const bool counting = !settings.input.empty();
    const bool writing = !settings.save.empty();
    if (!counting && !writing && !settings.init) return SortOutcome::Serve;
    if (counting || writing) sort_stop_if_signalled();  // one that came during the start-up script
    VEKFileLock lock;  // held until the run ends
    lockBase(lock, settings);
    // A page's base is told by what its file says, whatever name reaches
    // it, before anything touches it (-sortinit included).
    failingAs("", [&] { examineSortBase(settings.base, VekBase::streamKindFor(settings.base)); });
    // Only a base is started afresh: any other file at that name stays,
    // and opening the base over it then fails with its name.
    if (settings.init) VekBase::removeBaseFile(settings.base, VekBase::streamKindFor(settings.base));
    if (counting || writing) sortThroughBase(settings, lock);
    return counting || writing ? SortOutcome::Done : SortOutcome::Serve;
}

}  // namespace

SortOutcome sort_files(SortSettings& settings)
{
    // Only a run with work takes the signals over: one that goes on to
    // serve must not lose a signal to a handler that only notes it.
    std::optional<SortSignals> signals;
    if (!settings.input.empty() || !settings.save.empty()) signals.emplace();
    try {
        return runSort(settings);
    } catch (const SortInterrupted& e) {
        std::fprintf(stderr, "Sort: %s\n", e.what());
        return SortOutcome::Interrupted;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Sort: %s\n", e.what());
        return SortOutcome::Failed;
    }
}

bool run_sort_mode(SortSettings& settings)
{
    SortOutcome outcome = sort_files(settings);
    if (outcome == SortOutcome::Interrupted) {
        std::fflush(stdout);
        sort_end_by_signal(sort_signal_noted());
    }
    if (outcome == SortOutcome::Failed) std::exit(1);
    return outcome == SortOutcome::Done;
}
