// What a protected file base's files say about themselves (the stamp in
// their header page: which base, which commit) and the checks that read
// it: a read copy that does not hold the commit it should is rebuilt, never
// patched or served; asides of a cut rebuild go; read-only copies are
// refused for every user; the read copy is locked as the write file is.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "BaseTestUtil.h"
#include "base/VEKCursorProtected.h"
#include "base/VEKProcessPool.h"
#include "base/VEKTree.h"

using namespace VekBase;
using VekBaseTest::commitKeys;
using VekBaseTest::keysAfterRestart;
using VekBaseTest::keysOf;
using VekBaseTest::slurp;
using VekBaseTest::spit;
using VekBaseTest::statusOf;
using VekBaseTest::TempDir;

namespace {

VEKBaseStamp stampOf(const std::string& path) {
  VEKBaseStamp stamp;
  EXPECT_TRUE(readBaseStamp(VEKStreamFile(), path, &stamp)) << path;
  return stamp;
}

// Zeros where the stamp is, as in a file written before stamps.
void unstamp(const std::string& path) {
  std::string bytes = slurp(path);
  std::fill(bytes.begin() + 52, bytes.begin() + 84, '\0');
  spit(path, bytes);
}

std::vector<std::string> merged(std::vector<std::string> keys, const std::vector<std::string>& more) {
  keys.insert(keys.end(), more.begin(), more.end());
  std::sort(keys.begin(), keys.end());
  return keys;
}

}  // namespace

// Both files of a page base say PageBase and one identity; a commit's
// header, written under the journal before the commit point, counts it,
// and publishing brings the read copy to that count; a base of the older
// format opens as before and is stamped at its next commit; a read copy
// rebuilt whole carries the write file's stamp.
TEST(BaseStamp, BothFilesSayWhichBaseAndWhichCommitTheyHold) {
  TempDir dir;
  const std::string shop = dir.file("shop");
  { VEKCursorProtected made(shop + "1", shop + "2", VEK_STREAM_FILE); }
  const VEKBaseStamp created = stampOf(shop + "1");
  EXPECT_EQ(created.kind, VEKBaseStamp::PageBase);
  EXPECT_EQ(created.commits, 0u);
  EXPECT_TRUE(stampOf(shop + "2").sameBase(created));

  u64 writeAtCommitPoint = 0, readAtCommitPoint = 0;
  VEKCursorProtected::stepHook = [&](const char* step) {
    if (std::strcmp(step, "commit-renamed") != 0) return;
    writeAtCommitPoint = stampOf(shop + "1").commits;
    readAtCommitPoint = stampOf(shop + "2").commits;
  };
  std::vector<std::string> keys = commitKeys(shop, "a", 20);
  VEKCursorProtected::stepHook = nullptr;
  EXPECT_EQ(writeAtCommitPoint, 1u);
  EXPECT_EQ(readAtCommitPoint, 0u);
  EXPECT_EQ(stampOf(shop + "2").commits, 1u);
  EXPECT_TRUE(stampOf(shop + "2").sameBase(created));

  unstamp(shop + "1");
  unstamp(shop + "2");
  EXPECT_EQ(keysAfterRestart(shop), keys);
  EXPECT_FALSE(stampOf(shop + "1").stamped());
  keys = merged(keys, commitKeys(shop, "b", 20));
  const VEKBaseStamp restamped = stampOf(shop + "1");
  EXPECT_EQ(restamped.kind, VEKBaseStamp::PageBase);
  EXPECT_FALSE(restamped.sameBase(created));
  EXPECT_EQ(restamped.commits, 1u);
  EXPECT_TRUE(stampOf(shop + "2").sameBase(restamped));
  EXPECT_EQ(stampOf(shop + "2").commits, 1u);

  ASSERT_EQ(::unlink((shop + "2").c_str()), 0);
  EXPECT_EQ(keysAfterRestart(shop), keys);
  EXPECT_TRUE(stampOf(shop + "2").sameBase(restamped));
  EXPECT_EQ(stampOf(shop + "2").commits, 1u);
  VEKProcessPool::destroyPools();
}

// A read copy that is not this base's at its last commit: another base's
// copy or an older copy of this one, written over it in place (same
// inode: cp) while the base is open, or put back while it is closed with
// the size unchanged. The next commit, or the next open, rebuilds it: a
// fresh reader and a restart see exactly the base's own committed keys.
TEST(ReadCopy, ACopyThatDoesNotHoldTheLastCommitIsRebuilt) {
  struct Case {
    const char* how;
    bool foreign;   // another base's copy (else an older copy of this base)
    bool whileOpen; // written over while the base is open, then a commit
  };
  const Case cases[] = {
      {"another base's copy, in place, while open", true, true},
      {"an older copy, in place, while open", false, true},
      {"an older copy of the same size, while closed", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.how);
    TempDir dir;
    const std::string shop = dir.file("shop"), other = dir.file("other");
    commitKeys(other, "o", 300);
    std::vector<std::string> expected = commitKeys(shop, "s", 300);
    const std::string older = slurp(shop + "2");
    {
      // A key renamed: the size stays, the first and last blocks may too.
      VEKCursorProtected base(shop + "1", shop + "2", VEK_STREAM_FILE);
      int64 writer = base.openWriteProcess("", "");
      ASSERT_TRUE(base.findSymbol(writer, "s150"));
      ASSERT_TRUE(base.replaceSymbol(writer, "s150-renamed"));
      base.closeProcess(writer);
      expected = keysOf(base, base.openReadProcess("", ""));
    }
    const std::string over = c.foreign ? slurp(other + "2") : older;
    if (!c.whileOpen) {
      ASSERT_EQ(over.size(), slurp(shop + "2").size());
      const ino_t inode = statusOf(shop + "2").st_ino;
      spit(shop + "2", over);
      ASSERT_EQ(statusOf(shop + "2").st_ino, inode);
    } else {
      VEKCursorProtected base(shop + "1", shop + "2", VEK_STREAM_FILE);
      int64 reader = base.openReadProcess("", "");
      ASSERT_GE(reader, 0);
      const ino_t inode = statusOf(shop + "2").st_ino;
      spit(shop + "2", over);
      ASSERT_EQ(statusOf(shop + "2").st_ino, inode);
      int64 writer = base.openWriteProcess("", "");
      ASSERT_TRUE(base.putSymbol(writer, "t-new"));
      base.closeProcess(writer);
      expected = merged(expected, {"t-new"});
      EXPECT_EQ(keysOf(base, base.openReadProcess("", "")), expected);
    }
    std::string failure;
    EXPECT_EQ(keysAfterRestart(shop, &failure), expected) << failure;
  }
  VEKProcessPool::destroyPools();
}

// Aside files of a rebuild cut short (NAME2.tmp.XXXXXX: empty, or a part
// of this base's copy) are removed at the next open; a file of that shape
// holding anything else, and other names, are left alone.
TEST(ReadCopy, AsidesOfARebuildCutShortAreRemoved) {
  TempDir dir;
  const std::string shop = dir.file("shop");
  const std::vector<std::string> keys = commitKeys(shop, "k", 500);
  const std::string partial = slurp(shop + "1").substr(0, 3 * 4096);
  spit(shop + "2.tmp.a1B2c3", partial);
  spit(shop + "2.tmp.Zz9y8x", "");
  spit(shop + "2.tmp.keep01", "the operator's notes");
  spit(shop + "2.tmp.longer1", partial);
  EXPECT_EQ(keysAfterRestart(shop), keys);
  EXPECT_NE(::access((shop + "2.tmp.a1B2c3").c_str(), 0), 0);
  EXPECT_NE(::access((shop + "2.tmp.Zz9y8x").c_str(), 0), 0);
  EXPECT_EQ(slurp(shop + "2.tmp.keep01"), "the operator's notes");
  EXPECT_EQ(::access((shop + "2.tmp.longer1").c_str(), 0), 0);
  VEKProcessPool::destroyPools();
}

// A read-only read copy refuses the base whoever runs the server (the
// superuser too, whose open for writing succeeds): the file keeps its
// inode, mode and bytes. A read copy that is rebuilt (here one cut short)
// keeps the mode of the one it replaces.
TEST(ReadCopy, ItsModeIsReadNotOnlyTheOpensResult) {
  TempDir dir;
  const std::string shop = dir.file("shop");
  const std::vector<std::string> keys = commitKeys(shop, "k", 50);
  spit(shop + "2", slurp(shop + "2") + "more");
  ASSERT_EQ(::chmod((shop + "2").c_str(), 0444), 0);
  const std::string read = slurp(shop + "2");
  const struct stat before = statusOf(shop + "2");
  std::string failure;
  EXPECT_TRUE(keysAfterRestart(shop, &failure).empty());
  EXPECT_EQ(failure, "Can't open the VEKBase file: " + shop + "2: Permission denied");
  EXPECT_EQ(statusOf(shop + "2").st_ino, before.st_ino);
  EXPECT_EQ(statusOf(shop + "2").st_mode, before.st_mode);
  EXPECT_TRUE(slurp(shop + "2") == read);

  ASSERT_EQ(::chmod((shop + "2").c_str(), 0640), 0);
  spit(shop + "2", read.substr(0, read.size() / 2));
  EXPECT_EQ(keysAfterRestart(shop, &failure), keys) << failure;
  EXPECT_NE(statusOf(shop + "2").st_ino, before.st_ino);
  EXPECT_EQ(statusOf(shop + "2").st_mode & 07777, 0640u);
  VEKProcessPool::destroyPools();
}

// The read copy is locked too: a base whose write file is a hard link of
// an open base's read copy is refused, and the copy is left as it is.
TEST(BaseLock, TheReadCopyIsLockedToo) {
  TempDir dir;
  const std::string shop = dir.file("shop"), other = dir.file("other");
  commitKeys(shop, "k", 50);
  VEKCursorProtected base(shop + "1", shop + "2", VEK_STREAM_FILE);
  ASSERT_TRUE(base.hasCursors()) << base.failure();
  ASSERT_EQ(::link((shop + "2").c_str(), (other + "1").c_str()), 0);
  const std::string copy = slurp(shop + "2");
  {
    VEKCursorProtected linked(other + "1", other + "2", VEK_STREAM_FILE);
    EXPECT_FALSE(linked.hasCursors());
    EXPECT_EQ(linked.failure(), "Can't open the VEKBase file: " + other + "1: another process has it open");
  }
  EXPECT_TRUE(slurp(shop + "2") == copy);
  EXPECT_NE(::access((other + "2").c_str(), 0), 0);
  VEKProcessPool::destroyPools();
}
