// Command-line sort mode: cuts a file into records (at divider bytes or every
// N bytes), counts each distinct record as a key of a base, and writes the
// keys back in ascending or descending key order, each record repeated as
// often as it was counted.
//
// Layout of the base: every record is one key at the level a new cursor
// stands on; its one child key is the record's count as 8 bytes (int64 in
// the machine's byte order). A record without a child counts as 1.
//
// The counting half and the writing half each own their cursor. An error
// inside a half (a read or write failure, a failed move) ends that half
// quietly and the other half still runs; only a base that cannot be opened
// at all stops the program with a message.
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
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/VEKCursor.h"
#include "base/VEKStream.h"
#include "kernel/VekFile.h"
#include "kernel/VekUtil.h"

using VekBase::VEKCursor;
using VekBase::VEKStreamFile;

namespace {

// Bytes read from the input, and gathered before one write to the output.
constexpr int64 SORT_BLOCK = 65536;
// Bytes of a stored count.
constexpr u64 COUNT_SIZE = sizeof(int64);

bool fileExists(const std::string& path)
{
    return VekKernel::fileAccess(path, F_OK) == 0;
}

// Opens the base, or ends the program: nothing useful can be sorted
// without it, and serving instead would hide the failure.
std::unique_ptr<VEKCursor> openBase(const SortSettings& settings)
{
    try {
        return std::unique_ptr<VEKCursor>(new VEKCursor(settings.base.c_str(), VekBase::streamKindFor(settings.base)));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Sort: cannot open the base '%s': %s\n", settings.base.c_str(), e.what());
        std::exit(1);
    }
}

// Adds added to the count of the record the cursor stands on: its child
// key holds the count; a record without one gets the child added. goChild
// already stands on the first child when there is one (keys are never
// empty), so no second search for it is needed.
void raiseCount(VEKCursor& cursor, int64 added)
{
    if (!cursor.goChild()) return;
    int64 count = added;
    if (cursor.dataLength() > 0) {
        cursor.readData(&count, COUNT_SIZE);
        count += added;
        cursor.replaceSymbolData(&count, COUNT_SIZE, 0);
    } else {
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
    explicit CountBatch(VEKCursor& cursor) : cursor(cursor), slots(INITIAL_SLOTS) {}
    void add(const std::string& record)
    {
        u64 hash = std::hash<std::string>()(record) | 1;  // 0 marks a free slot
        Slot* slot = find(hash, record);
        if (slot->hash) {
            ++slot->count;
            return;
        }
        *slot = Slot{hash, arena.size(), record.size(), 1};
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
        for (const Ordered& entry : ordered)
            if (cursor.putSymbolData(arena.data() + entry.slot.offset, entry.slot.length, 0))
                raiseCount(cursor, entry.slot.count);
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

    VEKCursor& cursor;        // the base being counted into
    std::vector<Slot> slots;  // the table; size is a power of two
    std::string arena;        // bytes of every record in the table
    size_t used = 0;          // slots in use
};

// Reads the next block of the input into block; its length, 0 at the end.
int64 readBlock(VEKStreamFile& input, std::string& block)
{
    int64 left = input.size() - input.tell();
    if (left <= 0) return 0;
    int64 want = left < SORT_BLOCK ? left : SORT_BLOCK;
    block.resize(static_cast<size_t>(want));
    return input.zread(&block[0], want);
}

// Records of exactly length bytes; a shorter last piece is dropped.
void countFixedRecords(CountBatch& batch, VEKStreamFile& input, int length)
{
    std::string record;
    std::string block;
    for (int64 got = readBlock(input, block); got > 0; got = readBlock(input, block)) {
        for (int64 at = 0; at < got;) {
            int64 missing = length - static_cast<int64>(record.size());
            size_t take = static_cast<size_t>(std::min<int64>(got - at, missing));
            record.append(block, static_cast<size_t>(at), take);
            at += static_cast<int64>(take);
            if (static_cast<int64>(record.size()) < length) continue;
            batch.add(record);
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
// A read error still counts the record collected so far.
void countDividedRecords(CountBatch& batch, VEKStreamFile& input, const std::string& dividers)
{
    DividerSet set(dividers);
    std::string record;
    std::string block;
    try {
        for (int64 got = readBlock(input, block); got > 0; got = readBlock(input, block)) {
            for (int64 i = 0; i < got; ++i) {
                char byte = block[static_cast<size_t>(i)];
                if (!set.isDivider[static_cast<u8>(byte)]) {
                    record += byte;
                } else if (!record.empty()) {
                    batch.add(record);
                    record.clear();
                }
            }
        }
    } catch (const std::exception&) {
        if (!record.empty()) batch.add(record);
        throw;
    }
    if (!record.empty()) batch.add(record);
}

std::string dividersOf(const SortSettings& settings)
{
    if (!settings.dividerFile.empty() && fileExists(settings.dividerFile))
        return VekKernel::readFile(settings.dividerFile);
    return settings.dividers;
}

void countInput(const SortSettings& settings)
{
    std::unique_ptr<VEKCursor> cursor = openBase(settings);
    VEKStreamFile input;
    CountBatch batch(*cursor);
    try {
        input.open(settings.input.c_str(), O_RDONLY, 0600);
        if (settings.length > 0) countFixedRecords(batch, input, settings.length);
        else countDividedRecords(batch, input, dividersOf(settings));
    } catch (const std::exception&) {
        // A read error ends the reading; what was read is still counted.
    }
    try {
        batch.flush();
    } catch (const std::exception&) {
        // A failing base ends the half; earlier batches stay counted.
    }
    input.close();
}

// Collects output bytes and writes them in large blocks.
class SortWriter {
public:
    explicit SortWriter(VEKStreamFile& output) : output(output) {}
    void put(const char* data, size_t size)
    {
        pending.append(data, size);
        if (static_cast<int64>(pending.size()) >= SORT_BLOCK) flush();
    }
    // The bytes leave pending before they are written, so a failed write
    // is never repeated.
    void flush()
    {
        std::string data;
        data.swap(pending);
        if (!data.empty()) output.zwrite(data.data(), static_cast<int64>(data.size()));
    }

private:
    VEKStreamFile& output;  // the sorted file
    std::string pending;    // bytes not yet written
};

// Count stored under the record the cursor stands on (1 without a child).
int64 storedCount(VEKCursor& cursor)
{
    int64 count = 1;
    if (cursor.goChild()) {
        cursor.readData(&count, COUNT_SIZE);
        cursor.goParent();
    }
    return count;
}

void writeRecord(VEKCursor& cursor, SortWriter& writer, std::string& record, bool divided)
{
    int64 length = cursor.dataLength();
    if (length <= 0) return;
    record.resize(static_cast<size_t>(length));
    cursor.readData(&record[0], static_cast<u64>(length));
    if (divided) record += '\n';
    for (int64 count = storedCount(cursor); count > 0; --count) writer.put(record.data(), record.size());
}

void writeKeys(VEKCursor& cursor, SortWriter& writer, const SortSettings& settings)
{
    std::string record;
    bool divided = settings.length <= 0;
    if (settings.descending) {
        for (bool more = cursor.goLast(); more; more = cursor.goPrevKey(1))
            writeRecord(cursor, writer, record, divided);
    } else {
        for (bool more = cursor.goFirst(); more; more = cursor.goNextKey())
            writeRecord(cursor, writer, record, divided);
    }
    writer.flush();
}

void writeOutput(const SortSettings& settings)
{
    std::unique_ptr<VEKCursor> cursor = openBase(settings);
    VEKStreamFile output;
    SortWriter writer(output);
    try {
        // The old file goes first so that the cache holds nothing stale of it.
        if (fileExists(settings.save)) VEKStreamFile::removeFile(settings.save);
        output.open(settings.save.c_str(), O_WRONLY | O_CREAT, 0600);
        writeKeys(*cursor, writer, settings);
    } catch (const std::exception&) {
        // The half ends here. The records gathered before a failing move
        // still go out, as they would have had each been written at once.
        try {
            if (output.isOpen()) writer.flush();
        } catch (const std::exception&) {
        }
    }
    output.close();
}

}  // namespace

bool run_sort_mode(SortSettings& settings)
{
    // Only a base is started afresh: any other file at that name stays, and
    // opening the base over it then fails with its name.
    if (settings.init) VekBase::removeBaseFile(settings.base, VekBase::streamKindFor(settings.base));
    bool counted = !settings.input.empty() && fileExists(settings.input);
    if (counted) countInput(settings);
    if (!settings.save.empty()) writeOutput(settings);
    return counted || !settings.save.empty();
}
