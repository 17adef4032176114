// Sort mode against a reference: the sort mode gathers counts in memory and
// adds them to the base in batches; these tests check that the base it
// leaves and the file it writes are exactly those of counting every record
// on its own (find or create the record, then raise its child count by one)
// and writing key by key, for divider and fixed-length records, ascending
// and descending, and when counting into a base that already holds counts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "base/VEKCursor.h"
#include "base/VEKCursorProtected.h"
#include "base/VEKTree.h"
#include "http/SortMode.h"
#include "http/SortSignals.h"

using VekBase::VEKBaseStamp;
using VekBase::VEKCursor;

namespace {

// A scratch directory removed at the end of the test.
class ScratchDir {
public:
    ScratchDir()
    {
        char pattern[] = "/tmp/vek-sort-test-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~ScratchDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string file(const std::string& name) const { return path + "/" + name; }
    void write(const std::string& name, const std::string& data) const
    {
        std::ofstream(file(name), std::ios::binary) << data;
    }
    std::string read(const std::string& name) const
    {
        std::ifstream in(file(name), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::string path;
};

// A memory base of its own for each reference.
std::string referenceBaseName()
{
    static int next = 0;
    return "temp_sort_reference_" + std::to_string(getpid()) + "_" + std::to_string(next++);
}

// The records of data, cut as the sort mode cuts them.
std::vector<std::string> recordsOf(const std::string& data, int length, const std::string& dividers)
{
    std::vector<std::string> records;
    if (length > 0) {
        for (size_t at = 0; at + static_cast<size_t>(length) <= data.size(); at += static_cast<size_t>(length))
            records.push_back(data.substr(at, static_cast<size_t>(length)));
        return records;
    }
    std::string record;
    for (char byte : data) {
        if (byte == '\0' || dividers.find(byte) != std::string::npos) {
            if (!record.empty()) records.push_back(record);
            record.clear();
        } else {
            record += byte;
        }
    }
    if (!record.empty()) records.push_back(record);
    return records;
}

// Counts one record the plain way: one base update per occurrence.
void countOne(VEKCursor& cursor, const std::string& record)
{
    if (!cursor.putSymbolData(record.data(), record.size(), 0) || !cursor.goChild()) return;
    int64 count = 1;
    if (cursor.goFirst()) {
        cursor.readData(&count, sizeof count);
        ++count;
        cursor.replaceSymbolData(&count, sizeof count, 0);
    } else {
        cursor.putSymbolData(&count, sizeof count, 0);
    }
    cursor.goParent();
}

// Writes the base key by key, each record as often as its count says.
std::string writeAll(VEKCursor& cursor, bool descending, bool divided)
{
    std::string out;
    bool more = descending ? cursor.goLast() : cursor.goFirst();
    for (; more; more = descending ? cursor.goPrevKey(1) : cursor.goNextKey()) {
        int64 length = cursor.dataLength();
        if (length <= 0) continue;
        std::string record(static_cast<size_t>(length), '\0');
        cursor.readData(&record[0], static_cast<u64>(length));
        int64 count = 1;
        if (cursor.goChild()) {
            cursor.readData(&count, sizeof count);
            cursor.goParent();
        }
        for (; count > 0; --count) out += divided ? record + "\n" : record;
    }
    return out;
}

// Every key of the cursor's level with the keys of its children.
typedef std::vector<std::pair<std::string, std::vector<std::string>>> BaseDump;

std::string currentKey(VEKCursor& cursor)
{
    std::string key(static_cast<size_t>(cursor.dataLength()), '\0');
    if (!key.empty()) cursor.readData(&key[0], key.size());
    return key;
}

BaseDump dump(VEKCursor& cursor)
{
    BaseDump keys;
    for (bool more = cursor.goFirst(); more; more = cursor.goNextKey()) {
        keys.emplace_back(currentKey(cursor), std::vector<std::string>());
        if (!cursor.goChild()) continue;
        for (bool child = cursor.goFirst(); child; child = cursor.goNextKey())
            keys.back().second.push_back(currentKey(cursor));
        cursor.goParent();
    }
    return keys;
}

BaseDump dumpBase(const std::string& name, u32 flags)
{
    VEKCursor cursor(name.c_str(), flags);
    return dump(cursor);
}

// Runs the sort mode and the reference side by side over the same inputs.
class SortModeReference : public ::testing::Test {
protected:
    void SetUp() override
    {
        settings.base = dir.file("s.vek");
        settings.save = dir.file("out.txt");
        reference.reset(new VEKCursor(referenceBaseName().c_str(), VekBase::VEK_STREAM_MEMORY));
    }

    // Counts data through the sort mode and through the reference, then
    // checks that both bases hold the same keys and counts and that the
    // written file is the reference's.
    void countAndCompare(const std::string& data)
    {
        dir.write("in.txt", data);
        settings.input = dir.file("in.txt");
        ASSERT_TRUE(run_sort_mode(settings));
        for (const std::string& record : recordsOf(data, settings.length, settings.dividers))
            countOne(*reference, record);
        EXPECT_EQ(dumpBase(settings.base, VekBase::VEK_STREAM_FILE), dump(*reference));
        EXPECT_EQ(dir.read("out.txt"), writeAll(*reference, settings.descending, settings.length <= 0));
    }

    ScratchDir dir;
    SortSettings settings;
    std::unique_ptr<VEKCursor> reference;  // base counted one record at a time
};

TEST_F(SortModeReference, DividerRecordsWithRepeatsRunsAndNulBytes)
{
    std::string data("b\na\nb\n\n\nc\0a\nlast", 16);
    for (int i = 0; i < 500; ++i) data += "\nrepeat" + std::to_string(i % 7);
    countAndCompare(data);
}

TEST_F(SortModeReference, CountsAddUpAcrossRunsIntoAFileBase)
{
    countAndCompare("b\na\nb\n");
    countAndCompare("a\nc\nb\nb\n");
    settings.descending = true;
    countAndCompare("c\n");
}

TEST_F(SortModeReference, FixedLengthRecordsDescendingAcrossRuns)
{
    settings.length = 3;
    settings.descending = true;
    countAndCompare(std::string("abcxyzabc\0\n\0ab", 15));
    countAndCompare("xyzxyzq");
}

TEST_F(SortModeReference, RecordWithoutACountGetsTheSameCountAsSingleUpdates)
{
    // A record key placed without a child counts as 1 when written; the
    // next count of it gives it a child the same way either way.
    {
        VEKCursor cursor(settings.base.c_str(), VekBase::VEK_STREAM_FILE);
        cursor.putSymbol("bare");
    }
    reference->putSymbol("bare");
    countAndCompare("bare\nbare\nother\n");
}

TEST_F(SortModeReference, OutputOnlyWritesTheBaseAsItIs)
{
    countAndCompare("q\np\nq\n");
    settings.input.clear();
    settings.descending = true;
    ASSERT_TRUE(run_sort_mode(settings));
    EXPECT_EQ(dir.read("out.txt"), "q\nq\np\n");
    settings.save.clear();
    EXPECT_FALSE(run_sort_mode(settings));
}

// Bases whose keys are not records with counts (a page's base, say) are
// refused whole, for counting and for writing: their sub-level keys would
// be read as counts (the byte "b" as 98 copies, a date as trillions).
void putKey(VEKCursor& cursor, const std::string& key) { cursor.putSymbolData(key.data(), key.size(), 0); }

void putCount(VEKCursor& cursor, int64 count) { cursor.putSymbolData(&count, sizeof count, 0); }

struct ForeignShape {
    const char* what;
    void (*build)(VEKCursor&);  // puts the odd record at the cursor's level
};

const ForeignShape FOREIGN_SHAPES[] = {
    {"a key owning a one-byte key", [](VEKCursor& c) { putKey(c, "a"), c.goChild(), putKey(c, "b"); }},
    {"a page's list of entries",
     [](VEKCursor& c) { putKey(c, "entries"), c.goChild(), putKey(c, "first"), putKey(c, "second"); }},
    {"eight bytes of text", [](VEKCursor& c) { putKey(c, "day"), c.goChild(), putKey(c, "20261207"); }},
    {"two counts", [](VEKCursor& c) { putKey(c, "r"), c.goChild(), putCount(c, 1), putCount(c, 2); }},
    {"a zero count", [](VEKCursor& c) { putKey(c, "r"), c.goChild(), putCount(c, 0); }},
};

// Writes past a few MiB fail (EFBIG) while it lives: a sort that read a
// base's text as counts ends there instead of filling the disk.
class FileSizeBound {
public:
    FileSizeBound()
    {
        getrlimit(RLIMIT_FSIZE, &saved);
        previous = std::signal(SIGXFSZ, SIG_IGN);
        rlimit bound = {4 << 20, saved.rlim_max};
        setrlimit(RLIMIT_FSIZE, &bound);
    }
    ~FileSizeBound()
    {
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previous);
    }

private:
    rlimit saved;
    void (*previous)(int);
};

TEST(SortModeForeignBase, ABaseOfOtherKeysIsRefusedAndLeftAlone)
{
    FileSizeBound bound;
    for (const ForeignShape& shape : FOREIGN_SHAPES) {
        SCOPED_TRACE(shape.what);
        ScratchDir dir;
        SortSettings settings;
        settings.base = dir.file("page.vek");
        {
            VEKCursor cursor(settings.base.c_str(), VekBase::VEK_STREAM_FILE);
            putKey(cursor, "fine");
            cursor.goChild();
            putCount(cursor, 2);
            cursor.goParent();
            shape.build(cursor);
        }
        const BaseDump before = dumpBase(settings.base, VekBase::VEK_STREAM_FILE);
        dir.write("in.txt", "fine\nnew\n");
        // Counting; writing a new file; writing over a file that was there.
        for (const char* run : {"count", "write", "write over"}) {
            const bool counting = std::string(run) == "count", over = std::string(run) == "write over";
            settings.input = counting ? dir.file("in.txt") : "";
            settings.save = counting ? "" : dir.file("out.txt");
            if (over) dir.write("out.txt", "the operator's\n");
            testing::internal::CaptureStderr();
            EXPECT_EQ(sort_files(settings), SortOutcome::Failed) << run;
            std::string said = testing::internal::GetCapturedStderr();
            EXPECT_EQ(said.rfind("Sort: the base '" + settings.base + "' ", 0), 0u) << run << ": " << said;
            EXPECT_EQ(std::filesystem::exists(dir.file("out.txt")), over) << run;
            if (over) {
                EXPECT_EQ(dir.read("out.txt"), "the operator's\n");
            }
            EXPECT_EQ(dumpBase(settings.base, VekBase::VEK_STREAM_FILE), before) << run;
        }
    }
}

// A base that is open elsewhere (a server's, here one of this process, whose
// writer is mid-transaction) is refused, and its writer's journal is left
// alone: the writer's commit keeps its keys.
TEST(SortModeBaseInUse, ABaseHeldOpenIsRefused)
{
    ScratchDir dir;
    const std::string base = dir.file("shop");
    VekBase::VEKCursorProtected held(base + "1", base + "2", VekBase::VEK_STREAM_FILE);
    int64 writer = held.openWriteProcess("", "");
    for (int key = 0; key < 300; ++key) held.putSymbol(writer, "k" + std::to_string(key));
    const std::string journal = dir.read("shop1.sw");
    dir.write("in.txt", "a\n");
    SortSettings settings;
    settings.input = dir.file("in.txt");
    settings.base = base + "1";
    settings.init = true;
    testing::internal::CaptureStderr();
    EXPECT_EQ(sort_files(settings), SortOutcome::Failed);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Sort: cannot open the base '" + base + "1': Can't open the VEKBase file: " + base +
                  "1: another process has it open\n");
    EXPECT_EQ(dir.read("shop1.sw"), journal);
    EXPECT_NO_THROW(held.closeProcess(writer));
    int64 reader = held.openReadProcess("", "");
    EXPECT_EQ(held.getSymbolCount(reader), 300);
}

}  // namespace

namespace {

// Bases are told by what their file says, not by their names: a file
// stamped as a page base's is refused whatever reaches it, bases the sort
// mode made work whatever they are called, and a run reads only what it
// touches of a base that says it is the sort mode's.

// A base of records "a" (count 2) and "b" (count 1) at path, stamped kind.
void makeCountedBase(const std::string& path, VEKBaseStamp::Kind kind)
{
    VEKCursor cursor(path.c_str(), VekBase::VEK_STREAM_FILE);
    for (const char* record : {"a", "b"}) {
        putKey(cursor, record);
        cursor.goChild();
        putCount(cursor, record[0] == 'a' ? 2 : 1);
        cursor.goParent();
    }
    if (kind != VEKBaseStamp::None) cursor.setStamp(VEKBaseStamp::fresh(kind));
}

VEKBaseStamp::Kind stampKind(const std::string& path)
{
    VEKBaseStamp stamp;
    EXPECT_TRUE(VekBase::readBaseStamp(VekBase::VEKStreamFile(), path, &stamp)) << path;
    return static_cast<VEKBaseStamp::Kind>(stamp.kind);
}

// Every file of the directory with its size and a hash of its bytes.
std::map<std::string, std::string> filesOf(const ScratchDir& dir)
{
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path)) {
        if (!entry.is_regular_file()) continue;
        const std::string bytes = dir.read(entry.path().filename());
        files[entry.path().filename()] =
            std::to_string(bytes.size()) + " bytes, hash " + std::to_string(std::hash<std::string>()(bytes));
    }
    return files;
}

// Runs the sort mode; its outcome and the line it printed.
std::pair<SortOutcome, std::string> sortSaying(SortSettings& settings)
{
    testing::internal::CaptureStderr();
    SortOutcome outcome = sort_files(settings);
    return {outcome, testing::internal::GetCapturedStderr()};
}

// Runs the sort mode and expects it refused with a line that holds why,
// every file of dir left as it was.
void expectRefusedLeavingFiles(const ScratchDir& dir, SortSettings& settings, const std::string& why)
{
    const auto before = filesOf(dir);
    auto [outcome, said] = sortSaying(settings);
    EXPECT_EQ(outcome, SortOutcome::Failed);
    EXPECT_NE(said.find(why), std::string::npos) << said;
    EXPECT_EQ(filesOf(dir), before);
}

struct PageFileWay {
    const char* what;
    const char* base;  // the name the sort mode is given
    void (*make)(const ScratchDir&);  // makes that name reach the page base "shop1"
};

const PageFileWay PAGE_FILE_WAYS[] = {
    {"its own name", "shop1", [](const ScratchDir&) {}},
    {"a name unlike a pair's", "pages.vek",
     [](const ScratchDir& d) { std::filesystem::rename(d.file("shop1"), d.file("pages.vek")); }},
    {"a symbolic link", "link.vek",
     [](const ScratchDir& d) { std::filesystem::create_symlink(d.file("shop1"), d.file("link.vek")); }},
    {"a hard link", "hard.vek",
     [](const ScratchDir& d) { std::filesystem::create_hard_link(d.file("shop1"), d.file("hard.vek")); }},
};

TEST(SortModeBaseKind, APageBaseFileIsRefusedWhateverReachesIt)
{
    for (const PageFileWay& way : PAGE_FILE_WAYS) {
        for (const char* run : {"count", "write", "start afresh and count"}) {
            SCOPED_TRACE(std::string(way.what) + ", " + run);
            ScratchDir dir;
            makeCountedBase(dir.file("shop1"), VEKBaseStamp::PageBase);  // alone: no pair beside it
            way.make(dir);
            dir.write("in.txt", "a\n");
            SortSettings settings;
            settings.base = dir.file(way.base);
            if (std::string(run) != "write") settings.input = dir.file("in.txt");
            else settings.save = dir.file("out.txt");
            settings.init = std::string(run) == "start afresh and count";
            expectRefusedLeavingFiles(dir, settings, "page's base");
        }
    }
}

TEST(SortModeBaseKind, SortBasesNamedLikeAPairWork)
{
    ScratchDir dir;
    dir.write("in.txt", "x\ny\nx\n");
    SortSettings settings;
    settings.input = dir.file("in.txt");
    // Two bases of their own; a base and its copy.
    for (const char* name : {"sales2021", "sales2022", "words1"}) {
        settings.base = dir.file(name);
        ASSERT_EQ(sortSaying(settings).first, SortOutcome::Done) << name;
    }
    std::filesystem::copy_file(dir.file("words1"), dir.file("words2"));
    settings.save = dir.file("out.txt");
    for (const char* name : {"sales2021", "sales2022", "words1", "words2"}) {
        settings.base = dir.file(name);
        auto [outcome, said] = sortSaying(settings);
        EXPECT_EQ(outcome, SortOutcome::Done) << name << ": " << said;
        EXPECT_EQ(dir.read("out.txt"), "x\nx\nx\nx\ny\ny\n") << name;
    }
}

// Unstamped files (of older versions): NAME1 or NAME2 is an older page
// base's file when its unstamped partner is a copy of it, or when a page
// writer's journal lies beside the write file; and is refused, files byte
// for byte. Any other unstamped base is checked whole once and stamped as
// the sort mode's, as is a base the sort mode creates.
struct UnstampedCase {
    const char* what;
    const char* base;                 // the name the sort mode is given
    void (*make)(const ScratchDir&);  // the files beside it
    bool refused;
};

void makeOther(const ScratchDir& d, const char* name)
{
    makeCountedBase(d.file(name), VEKBaseStamp::None);
    VEKCursor cursor(d.file(name).c_str(), VekBase::VEK_STREAM_FILE);
    putKey(cursor, "another record");
}

const UnstampedCase UNSTAMPED_CASES[] = {
    {"a write file and its copy", "p1", [](const ScratchDir& d) {
         makeCountedBase(d.file("p1"), VEKBaseStamp::None);
         std::filesystem::copy_file(d.file("p1"), d.file("p2"));
     }, true},
    {"a read copy", "p2", [](const ScratchDir& d) {
         makeCountedBase(d.file("p1"), VEKBaseStamp::None);
         std::filesystem::copy_file(d.file("p1"), d.file("p2"));
     }, true},
    {"a writer's journal beside the write file", "j2", [](const ScratchDir& d) {
         makeCountedBase(d.file("j2"), VEKBaseStamp::None);
         makeOther(d, "j1");
         d.write("j1.swt", "a commit not yet published");
     }, true},
    {"a symbolic link to a write file", "link.vek", [](const ScratchDir& d) {
         makeCountedBase(d.file("p1"), VEKBaseStamp::None);
         std::filesystem::copy_file(d.file("p1"), d.file("p2"));
         std::filesystem::create_symlink(d.file("p1"), d.file("link.vek"));
     }, true},
    {"two bases of their own", "s2", [](const ScratchDir& d) {
         makeCountedBase(d.file("s2"), VEKBaseStamp::None);
         makeOther(d, "s1");
     }, false},
    {"a base alone", "older.vek", [](const ScratchDir& d) { makeCountedBase(d.file("older.vek"), VEKBaseStamp::None); },
     false},
    {"a base the run makes", "new.vek", [](const ScratchDir&) {}, false},
};

TEST(SortModeBaseKind, UnstampedFilesAreToldByTheirPartnerAndStampedOnce)
{
    for (const UnstampedCase& each : UNSTAMPED_CASES) {
        SCOPED_TRACE(each.what);
        ScratchDir dir;
        each.make(dir);
        dir.write("in.txt", "a\n");
        SortSettings settings;
        settings.input = dir.file("in.txt");
        settings.base = dir.file(each.base);
        if (each.refused) {
            expectRefusedLeavingFiles(dir, settings, "page's base");
        } else {
            auto [outcome, said] = sortSaying(settings);
            EXPECT_EQ(outcome, SortOutcome::Done) << said;
            EXPECT_EQ(stampKind(settings.base), VEKBaseStamp::SortBase);
        }
    }
}

// A foreign record ("odd", owning a key that is not a count) in a base
// stamped as the sort mode's: a run that does not touch it never reads it;
// one that does is refused whole, the counts of the run dropped, an
// output that was there kept byte for byte.
TEST(SortModeBaseKind, AStampedBaseIsCheckedWhereTheRunTouchesIt)
{
    ScratchDir dir;
    SortSettings settings;
    settings.base = dir.file("s.vek");
    makeCountedBase(settings.base, VEKBaseStamp::SortBase);
    {
        VEKCursor cursor(settings.base.c_str(), VekBase::VEK_STREAM_FILE);
        putKey(cursor, "odd");
        cursor.goChild();
        putKey(cursor, "b");
    }
    dir.write("in.txt", "a\nfresh\n");
    settings.input = dir.file("in.txt");
    auto [outcome, said] = sortSaying(settings);
    ASSERT_EQ(outcome, SortOutcome::Done) << said;
    const auto counted = filesOf(dir);
    dir.write("out.txt", "the operator's\n");
    dir.write("in.txt", "a\nodd\nzz\n");
    for (bool counting : {true, false}) {
        SCOPED_TRACE(counting ? "counting and writing" : "writing over a file");
        settings.input = counting ? dir.file("in.txt") : "";
        settings.save = dir.file("out.txt");
        std::tie(outcome, said) = sortSaying(settings);
        EXPECT_EQ(outcome, SortOutcome::Failed);
        EXPECT_NE(said.find("'odd' owns a key that is not a count"), std::string::npos) << said;
        auto left = filesOf(dir);
        EXPECT_EQ(left.erase("out.txt"), 1u);
        left.erase("in.txt");
        auto before = counted;
        before.erase("in.txt");
        EXPECT_EQ(left, before);
        EXPECT_EQ(dir.read("out.txt"), "the operator's\n");
    }
}

// An output written over a file that was there keeps that file's mode and
// every name it has; a base's file is never taken for the output.
TEST(SortModeOutput, AFileThatWasThereKeepsItsModeAndNamesAndNoBaseIsWrittenOver)
{
    ScratchDir dir;
    dir.write("in.txt", "b\na\n");
    dir.write("out.txt", "old\n");
    chmod(dir.file("out.txt").c_str(), 0640);
    dir.write("linked.txt", "old\n");
    std::filesystem::create_hard_link(dir.file("linked.txt"), dir.file("other-name.txt"));
    SortSettings settings;
    settings.input = dir.file("in.txt");
    settings.base = dir.file("s.vek");
    for (const char* out : {"out.txt", "linked.txt"}) {
        settings.save = dir.file(out);
        ASSERT_EQ(sortSaying(settings).first, SortOutcome::Done) << out;
    }
    struct stat status;
    ASSERT_EQ(stat(dir.file("out.txt").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    EXPECT_EQ(dir.read("out.txt"), "a\nb\n");
    EXPECT_EQ(dir.read("other-name.txt"), "a\na\nb\nb\n");
    makeCountedBase(dir.file("page.vek"), VEKBaseStamp::PageBase);
    settings.input.clear();
    settings.save = dir.file("page.vek");
    expectRefusedLeavingFiles(dir, settings, "holds a base");
}

// A file mounted over the output's name (a file volume of a container)
// cannot be replaced by a rename: it is written through its name, and the
// run succeeds (instead of failing once the base already holds its counts).
TEST(SortModeOutput, AFileMountedAtTheNameIsWrittenThrough)
{
    ScratchDir dir;
    dir.write("in.txt", "b\na\n");
    dir.write("volume.txt", "old\n");
    dir.write("out.txt", "");
    if (mount(dir.file("volume.txt").c_str(), dir.file("out.txt").c_str(), nullptr, MS_BIND, nullptr) != 0)
        GTEST_SKIP() << "no bind mount here: " << std::strerror(errno);
    SortSettings settings;
    settings.input = dir.file("in.txt");
    settings.base = dir.file("s.vek");
    settings.save = dir.file("out.txt");
    auto [outcome, said] = sortSaying(settings);
    umount2(dir.file("out.txt").c_str(), MNT_DETACH);
    EXPECT_EQ(outcome, SortOutcome::Done) << said;
    EXPECT_EQ(dir.read("volume.txt"), "a\nb\n");
    EXPECT_EQ(filesOf(dir).size(), 4u);  // nothing left beside it
}

}  // namespace

namespace {

// Whether the thread tid is waiting in a read (its system call, as
// /proc shows it).
bool waitsInRead(pid_t tid)
{
    std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long call = -1;
    return static_cast<bool>(status >> call) && call == SYS_read;
}

// A signal that comes after the run looked at its note and before it
// entered the read that waits on its input interrupts nothing. Here the
// signal is taken by another thread while this one already waits: the run
// is left in that same state (noted, yet waiting), and must still end
// before its input does.
TEST(SortModeSignals, ASignalNotedWhileTheInputWaitsEndsTheRun)
{
    ScratchDir dir;
    ASSERT_EQ(mkfifo(dir.file("in.fifo").c_str(), 0600), 0);
    SortSettings settings;
    settings.input = dir.file("in.fifo");
    settings.base = dir.file("counts.vek");
    const pid_t sorter = static_cast<pid_t>(syscall(SYS_gettid));
    std::atomic<bool> sortEnded{false}, inputEnded{false};
    std::thread signaller([&] {
        sigset_t onlyAlarm;
        sigemptyset(&onlyAlarm);
        sigaddset(&onlyAlarm, SIGALRM);
        pthread_sigmask(SIG_SETMASK, &onlyAlarm, nullptr);  // SIGTERM comes here
        int input = open(settings.input.c_str(), O_WRONLY);
        for (int wait = 0; wait < 5000 && !waitsInRead(sorter); ++wait) usleep(1000);
        kill(getpid(), SIGTERM);
        for (int wait = 0; wait < 10000 && !sortEnded; ++wait) usleep(1000);
        inputEnded = !sortEnded;
        close(input);
    });
    sigset_t terminate, previous;
    sigemptyset(&terminate);
    sigaddset(&terminate, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &terminate, &previous);
    testing::internal::CaptureStderr();
    const SortOutcome outcome = sort_files(settings);
    const std::string said = testing::internal::GetCapturedStderr();
    sortEnded = true;
    signaller.join();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    sort_note_signal(0);
    EXPECT_EQ(outcome, SortOutcome::Interrupted) << said;
    EXPECT_FALSE(inputEnded) << "the run waited until its input ended";
}

}  // namespace

namespace {

// A hangup (the terminal of a long sort closed) ends the run as SIGTERM
// does, so the file written beside an output is removed; a sort started
// with hangups ignored (nohup) goes on.
TEST(SortModeSignals, AHangupIsNotedUnlessIgnored)
{
    EXPECT_EXIT(
        {
            SortSignals signals;
            raise(SIGHUP);
            std::_Exit(sort_signal_noted() == SIGHUP ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            signal(SIGHUP, SIG_IGN);
            {
                SortSignals signals;
                raise(SIGHUP);
            }
            std::_Exit(sort_signal_noted() == 0 && signal(SIGHUP, SIG_DFL) == SIG_IGN ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
