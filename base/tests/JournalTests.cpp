// Tests of the stream journal: rollback restores bytes and size, the
// journalled regions say what to copy, and a garbled record ends the journal.
#include <fcntl.h>
#include <gtest/gtest.h>

#include "BaseTestUtil.h"
#include "base/VEKCursor.h"
#include "base/VEKJournal.h"
#include "base/VEKStream.h"

using namespace VekBase;

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
