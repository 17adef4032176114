// Tests of the stream journal: rollback restores bytes and size, the
// journalled regions say what to copy, a garbled record ends a rollback
// journal, and a committed journal that is not whole is never applied in
// part.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <set>

#include "BaseTestUtil.h"
#include "base/VEKCursor.h"
#include "base/VEKCursorProtected.h"
#include "base/VEKJournal.h"
#include "base/VEKStream.h"

using namespace VekBase;
using VekBaseTest::keysOf;

namespace {

std::string pattern(size_t size, char seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(seed + i * 7);
  return bytes;
}

void writeAt(VEKStream& stream, int64 offset, const std::string& bytes) {
  stream.seek(offset, SEEK_SET);
  stream.zwrite(bytes.data(), static_cast<int64>(bytes.size()));
}

}  // namespace

TEST(VEKJournal, RollbackAndCopyFollowTheSavedRegions) {
  VekBaseTest::TempDir dir;
  std::string original = pattern(3 * 4096 + 100, 'a');
  VEKStreamFile target, copy;
  target.open(dir.file("target").c_str(), O_RDWR | O_CREAT, 0600);
  copy.open(dir.file("copy").c_str(), O_RDWR | O_CREAT, 0600);
  writeAt(target, 0, original);
  writeAt(copy, 0, original);
  target.StartSaveWrite(dir.file("target.sw"));
  writeAt(target, 4000, pattern(200, 'x'));   // spans blocks 0 and 1
  writeAt(target, 4100, pattern(10, 'y'));    // block 1 again: saved once
  writeAt(target, 5 * 4096, pattern(50, 'z'));  // past the original end
  target.EndSaveWrite();
  VEKJournalImage image = readJournal(target, dir.file("target.sw"));
  ASSERT_TRUE(image.valid);
  EXPECT_EQ(image.originalSize, static_cast<int64>(original.size()));
  EXPECT_EQ(image.regions.size(), 2u);

  copyJournalled(target, copy, image);
  std::string changed = VekBaseTest::slurp(dir.file("target"));
  EXPECT_EQ(VekBaseTest::slurp(dir.file("copy")), changed);

  rollbackJournal(target, image);
  EXPECT_EQ(VekBaseTest::slurp(dir.file("target")), original);
}

TEST(VEKJournal, AGarbledRecordEndsTheJournal) {
  VekBaseTest::TempDir dir;
  VEKStreamFile target;
  target.open(dir.file("t").c_str(), O_RDWR | O_CREAT, 0600);
  writeAt(target, 0, pattern(3 * 4096, 'q'));
  target.StartSaveWrite(dir.file("t.sw"));
  writeAt(target, 0, "A");
  writeAt(target, 4096, "B");
  writeAt(target, 8192, "C");
  target.EndSaveWrite();
  std::string journal = VekBaseTest::slurp(dir.file("t.sw"));
  journal[20 + 16 + 4096 + 16 + 100] ^= 1;  // a byte of the second record
  VekBaseTest::spit(dir.file("t.sw"), journal);
  VEKJournalImage image = readJournal(target, dir.file("t.sw"));
  ASSERT_TRUE(image.valid);
  EXPECT_EQ(image.regions.size(), 1u);
  journal[3] ^= 1;  // the header
  VekBaseTest::spit(dir.file("t.sw"), journal);
  EXPECT_FALSE(readJournal(target, dir.file("t.sw")).valid);
}

// A journal left beside a file that was deleted and created anew must not
// pour the old file's pages into the new one: the plain base then opens as
// the fresh base it is.
TEST(VEKJournal, AStaleJournalLeavesANewFileAlone) {
  VekBaseTest::TempDir dir;
  std::string name = dir.file("base.vek");
  { VEKCursorBase cursor(name.c_str(), VEK_STREAM_FILE); cursor.putSymbol("old"); }
  {
    VEKStreamFile stream;
    stream.open(name.c_str(), O_RDWR, 0600);
    stream.StartSaveWrite(name + ".sw");
    writeAt(stream, 0, pattern(5000, 'g'));
    stream.EndSaveWrite();  // a crash here would leave the journal behind
  }
  ASSERT_EQ(VEKStreamFile::removeFile(name), 0);
  VEKStreamFile fresh;
  fresh.open(name.c_str(), O_RDWR | O_CREAT, 0600);
  writeAt(fresh, 0, "new");
  rollbackJournal(fresh, readJournal(fresh, name + ".sw"));
  fresh.close();
  EXPECT_EQ(VekBaseTest::slurp(name), "new");

  ASSERT_EQ(VEKStreamFile::removeFile(name), 0);
  VEKCursorBase cursor(name.c_str(), VEK_STREAM_FILE);
  EXPECT_FALSE(cursor.goFirst());
  EXPECT_NE(::access((name + ".sw").c_str(), 0), 0);
}

namespace {

// A protected base's three files as a commit leaves them at one of its
// steps: by default just past its commit point, where the write file holds
// the new state, the read file the old one, and the committed journal
// says what to copy; at "commit-written" the write file holds the new
// pages and its journal ".sw" the old ones. older is the read copy of the
// commit before the last one, which added leaves the last one leaves alone.
struct CommitFiles {
  std::string write, read, journal, older;
  size_t committedKeys = 0, keysBefore = 0;
};

CommitFiles filesPastTheCommitPoint(const std::string& base, const char* at = "commit-renamed") {
  CommitFiles files;
  VEKCursorProtected protectedBase(base + "1", base + "2", VEK_STREAM_FILE);
  int64 writer = protectedBase.openWriteProcess("", "");
  for (int i = 0; i < 2000; ++i) protectedBase.putSymbol(writer, "old" + std::to_string(i));
  protectedBase.closeProcess(writer);
  files.older = VekBaseTest::slurp(base + "2");
  writer = protectedBase.openWriteProcess("", "");
  for (int i = 0; i < 1000; ++i) protectedBase.putSymbol(writer, "zz" + std::to_string(i));  // leaves of their own
  protectedBase.closeProcess(writer);
  files.keysBefore = 3000;
  writer = protectedBase.openWriteProcess("", "");
  for (int i = 0; i < 2000; i += 3)
    if (protectedBase.findSymbol(writer, "old" + std::to_string(i))) protectedBase.deleteSymbol(writer);
  for (int i = 0; i < 600; ++i) protectedBase.putSymbol(writer, "new" + std::to_string(i));
  files.committedKeys = static_cast<size_t>(protectedBase.getSymbolCount(writer));
  const bool committed = std::strcmp(at, "commit-renamed") == 0;
  VEKCursorProtected::stepHook = [&](const char* step) {
    if (std::strcmp(step, at) != 0) return;
    files.write = VekBaseTest::slurp(base + "1");
    files.read = VekBaseTest::slurp(base + "2");
    files.journal = VekBaseTest::slurp(base + (committed ? "1.swt" : "1.sw"));
  };
  protectedBase.closeProcess(writer);
  VEKCursorProtected::stepHook = nullptr;
  return files;
}

// What a base opened over given files shows: the keys its readers and its
// writer see, or why it was refused.
struct Opened {
  bool open = false;
  std::vector<std::string> read, written;
  std::string failure;
};

Opened openOver(const std::string& base, const std::string& write, const std::string& read,
                const std::string* journal, const char* journalSuffix = "1.swt") {
  VekBaseTest::spit(base + "1", write);
  VekBaseTest::spit(base + "2", read);
  if (journal) VekBaseTest::spit(base + journalSuffix, *journal);
  Opened opened;
  try {
    VEKCursorProtected protectedBase(base + "1", base + "2", VEK_STREAM_FILE);
    opened.failure = protectedBase.failure();
    if (!protectedBase.hasCursors()) return opened;
    opened.open = true;
    int64 reader = protectedBase.openReadProcess("", "");
    int64 writer = protectedBase.openWriteProcess("", "");
    opened.read = keysOf(protectedBase, reader);
    opened.written = keysOf(protectedBase, writer);
    protectedBase.closeBase();
    protectedBase.closeProcess(reader);
  } catch (const std::exception& error) {
    opened.failure = error.what();
  }
  return opened;
}

// Lengths to cut a committed journal to: every length through the header
// and the first record's header, around every record boundary and record
// header, every length through the trailer, and a stride through the rest.
std::set<size_t> cutLengths(size_t size) {
  std::set<size_t> lengths;
  for (size_t length = 0; length <= 64 && length < size; ++length) lengths.insert(length);
  for (size_t boundary = 20; boundary < size; boundary += 16 + 4096)
    for (size_t near : {boundary - 1, boundary, boundary + 1, boundary + 8, boundary + 15, boundary + 16})
      if (near < size) lengths.insert(near);
  for (size_t length = size > 64 ? size - 64 : 0; length < size; ++length) lengths.insert(length);
  for (size_t length = 0; length < size; length += 509) lengths.insert(length);
  return lengths;
}

}  // namespace

// A committed journal cut short, or with a byte changed, is never applied
// in part: with the write file whole the read copy is rebuilt from it, so
// readers and the writer see the committed state; with the write file
// damaged too the base is refused, naming the journal, which is kept.
TEST(CommittedJournal, ADamagedJournalIsNeverAppliedInPart) {
  VekBaseTest::TempDir dir;
  const CommitFiles files = filesPastTheCommitPoint(dir.file("origin"));
  ASSERT_FALSE(files.journal.empty());
  std::vector<std::pair<std::string, std::string>> journals;  // what, bytes
  for (size_t length : cutLengths(files.journal.size()))
    journals.emplace_back("cut to " + std::to_string(length), files.journal.substr(0, length));
  for (size_t at : {size_t(30), size_t(20 + 16 + 4096 + 200), files.journal.size() - 1}) {
    std::string flipped = files.journal;
    flipped[at] ^= 0x20;
    journals.emplace_back("byte " + std::to_string(at) + " changed", flipped);
  }
  std::string damagedWrite = files.write;
  damagedWrite[20] ^= 1;  // inside the header's checksum, past the magic
  int count = 0;
  std::printf("%zu damaged journals of %zu bytes\n", journals.size(), files.journal.size());
  for (const auto& journal : journals) {
    std::string base = dir.file("case" + std::to_string(count++));
    Opened whole = openOver(base, files.write, files.read, &journal.second);
    EXPECT_TRUE(whole.open) << journal.first << ": " << whole.failure;
    EXPECT_EQ(whole.read.size(), files.committedKeys) << journal.first;
    EXPECT_EQ(whole.read, whole.written) << journal.first;
    EXPECT_NE(::access((base + "1.swt").c_str(), 0), 0) << journal.first;

    base = dir.file("case" + std::to_string(count++));
    Opened refused = openOver(base, damagedWrite, files.read, &journal.second);
    EXPECT_FALSE(refused.open) << journal.first;
    EXPECT_NE(refused.failure.find(base + "1.swt"), std::string::npos) << journal.first << ": " << refused.failure;
    EXPECT_TRUE(VekBaseTest::slurp(base + "1.swt") == journal.second) << journal.first << ": journal not kept";
    EXPECT_TRUE(VekBaseTest::slurp(base + "2") == files.read) << journal.first << ": read copy changed";
  }
  // The whole journal is applied as it is.
  Opened applied = openOver(dir.file("whole"), files.write, files.read, &files.journal);
  EXPECT_EQ(applied.read.size(), files.committedKeys);
  EXPECT_EQ(applied.read, applied.written);
}

// A read copy that does not open while the write file does (damaged by a
// disk, or by a journal applied in part before this mend) is rebuilt from
// the write file instead of refusing the base for good. So is a read copy
// older than the commit before the one a committed journal brings (put
// back by hand, or moved in while a rebuild was cut short): patched with
// the journal's regions it would lack the commits between.
TEST(CommittedJournal, AReadCopyThatDoesNotOpenOrIsOlderIsRebuiltFromTheWriteFile) {
  VekBaseTest::TempDir dir;
  const CommitFiles files = filesPastTheCommitPoint(dir.file("origin"));
  std::string garbled = files.write, cut = files.write.substr(0, files.write.size() / 2);
  garbled[20] ^= 1;
  const std::pair<const std::string*, const std::string*> cases[] = {
      {&garbled, nullptr}, {&cut, nullptr}, {&files.older, &files.journal}};
  int count = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(count);
    Opened opened = openOver(dir.file("rebuilt" + std::to_string(count++)), files.write, *c.first, c.second);
    EXPECT_TRUE(opened.open) << opened.failure;
    EXPECT_EQ(opened.read.size(), files.committedKeys);
    EXPECT_EQ(opened.read, opened.written);
  }
}

// A crash past the commit point followed by the loss of the write file
// (or of both files) leaves a committed journal with nothing to publish
// into: the write file the lock makes afresh is empty, counts as gone,
// and the journal is dropped, so the name opens (as a fresh base) instead
// of being refused for good.
TEST(CommittedJournal, AnEmptyWriteFileBesideItCountsAsGone) {
  VekBaseTest::TempDir dir;
  const CommitFiles files = filesPastTheCommitPoint(dir.file("origin"));
  for (bool readCopyLost : {true, false}) {
    SCOPED_TRACE(readCopyLost ? "both files lost" : "the write file lost");
    const std::string base = dir.file(readCopyLost ? "both" : "write");
    VekBaseTest::spit(base + "1.swt", files.journal);
    if (!readCopyLost) VekBaseTest::spit(base + "2", files.read);
    for (int open = 0; open < 2; ++open) {
      std::string failure;
      std::vector<std::string> keys = VekBaseTest::keysAfterRestart(base, &failure);
      EXPECT_TRUE(failure.empty()) << failure;
      EXPECT_TRUE(keys.empty());
      EXPECT_NE(::access((base + "1.swt").c_str(), 0), 0);
    }
  }
}

// The write file's journal ".sw" damaged (cut inside its records, which a
// crash alone does not do) after a kill in the middle of a commit's
// writes: the rollback cannot restore the write file whole. The read copy
// holds the last commit, so the base opens at it, the write file made
// again from it; with a read copy that does not open either, the base is
// refused and the three files are left as they are.
TEST(WriteJournal, ADamagedJournalNeverDestroysTheReadCopy) {
  VekBaseTest::TempDir dir;
  const CommitFiles files = filesPastTheCommitPoint(dir.file("origin"), "commit-written");
  ASSERT_GT(files.journal.size(), size_t(20 + 3 * (16 + 4096)));
  const std::string damagedRead = files.read.substr(0, files.read.size() / 2);
  struct Case {
    const char* how;
    size_t cut;             // journal bytes kept
    bool readCopyDamaged;   // the read copy cut to half
  };
  const Case cases[] = {
      {"cut inside the first record", 20 + 50, false},
      {"cut inside the second record", 20 + 16 + 4096 + 100, false},
      {"cut, read copy damaged", 20 + 16 + 4096 + 100, true},
  };
  int count = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.how);
    const std::string base = dir.file("case" + std::to_string(count++));
    const std::string journal = files.journal.substr(0, c.cut);
    const std::string& read = c.readCopyDamaged ? damagedRead : files.read;
    Opened opened = openOver(base, files.write, read, &journal, "1.sw");
    EXPECT_TRUE(VekBaseTest::slurp(base + "2") == read) << "the read copy was changed";
    if (!c.readCopyDamaged) {
      EXPECT_TRUE(opened.open) << opened.failure;
      EXPECT_EQ(opened.read.size(), files.keysBefore);
      EXPECT_EQ(opened.read, opened.written);
      EXPECT_TRUE(VekBaseTest::slurp(base + "1") == files.read) << "the write file is not made again";
      EXPECT_NE(::access((base + "1.sw").c_str(), 0), 0);
    } else {
      EXPECT_FALSE(opened.open);
      EXPECT_NE(opened.failure.find(base + "1.sw"), std::string::npos) << opened.failure;
      EXPECT_TRUE(VekBaseTest::slurp(base + "1") == files.write) << "the write file was changed";
      EXPECT_TRUE(VekBaseTest::slurp(base + "1.sw") == journal) << "the journal was not kept";
    }
  }
}

// A writer's journal ".sw" left whole by a kill (its writer open with
// nothing written yet, or in the middle of a commit's writes) beside an
// older copy of this base put back as its read copy (one commit behind):
// the rollback restores the write file whole, so the base opens at its
// last commit, the read copy rebuilt from it. The older copy must never be
// taken for the last commit and the write file made again from it.
TEST(WriteJournal, AnOlderReadCopyNeverUndoesTheLastCommit) {
  VekBaseTest::TempDir dir;
  const std::string origin = dir.file("origin");
  const CommitFiles files = filesPastTheCommitPoint(origin, "commit-written");
  std::string untouched, justOpened;  // the write file and journal of a writer that wrote nothing yet
  size_t lastCommitKeys = 0;
  {
    VEKCursorProtected base(origin + "1", origin + "2", VEK_STREAM_FILE);
    lastCommitKeys = keysOf(base, base.openReadProcess("", "")).size();
    int64 writer = base.openWriteProcess("", "");
    ASSERT_TRUE(base.putSymbol(writer, "late"));
    untouched = VekBaseTest::slurp(origin + "1");
    justOpened = VekBaseTest::slurp(origin + "1.sw");
  }
  struct Case {
    const char* how;
    const std::string *write, *journal, *olderRead;
    size_t lastCommitKeys;
  };
  const Case cases[] = {
      {"killed inside a commit's writes", &files.write, &files.journal, &files.older, files.keysBefore},
      {"killed with a writer open", &untouched, &justOpened, &files.read, lastCommitKeys},
  };
  int count = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.how);
    const std::string base = dir.file("older" + std::to_string(count++));
    Opened opened = openOver(base, *c.write, *c.olderRead, c.journal, "1.sw");
    EXPECT_TRUE(opened.open) << opened.failure;
    EXPECT_EQ(opened.read.size(), c.lastCommitKeys);
    EXPECT_EQ(opened.read, opened.written);
  }
}
