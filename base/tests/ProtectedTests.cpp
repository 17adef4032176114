// Tests of protected bases: sessions, ids, commit and rollback, the
// registry, and permission of commands by id.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "BaseTestUtil.h"
#include "base/VEKBaseRegistry.h"
#include "base/VEKCursorProtected.h"
#include "base/VEKProcessPool.h"

using namespace VekBase;
using VekBaseTest::TempDir;
using VekBaseTest::keysOf;

class ProtectedBase : public ::testing::TestWithParam<u32> {
 protected:
  std::string name(const std::string& base) {
    return GetParam() == VEK_STREAM_MEMORY ? "memory_" + base + std::to_string(counter++) : dir.file(base);
  }
  TempDir dir;
  static int counter;
};
int ProtectedBase::counter = 0;

TEST_P(ProtectedBase, ReadersSeeOnlyCommittedChanges) {
  std::string base = name("commit");
  VEKCursorProtected protectedBase(base + "1", base + "2", GetParam());
  int64 writer = protectedBase.openWriteProcess("", "");
  int64 before = protectedBase.openReadProcess("", "");
  ASSERT_GE(writer, 0);
  ASSERT_GE(before, VEKProcessPool::FIRST_READER_ID);
  EXPECT_TRUE(protectedBase.putSymbol(writer, "a"));
  EXPECT_TRUE(protectedBase.putSymbol(writer, "b"));
  EXPECT_FALSE(protectedBase.putSymbol(before, "x"));  // readers cannot write
  EXPECT_EQ(keysOf(protectedBase, writer), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(keysOf(protectedBase, before), std::vector<std::string>());
  EXPECT_EQ(protectedBase.openWriteProcess("", ""), -1);  // slot taken
  protectedBase.closeProcess(writer);
  EXPECT_EQ(protectedBase.getWriteProcess(), -1);
  EXPECT_FALSE(protectedBase.putSymbol(writer, "c"));  // no longer the writer
  int64 after = protectedBase.openReadProcess("", "");
  EXPECT_EQ(keysOf(protectedBase, after), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(keysOf(protectedBase, before), (std::vector<std::string>{"a", "b"}));
  protectedBase.closeProcess(before);
  protectedBase.closeProcess(after);
  EXPECT_EQ(protectedBase.readString(after), "");  // released id: nothing
}

TEST_P(ProtectedBase, CloseBaseRollsBackBothFilesByteForByte) {
  std::string base = name("rollback");
  VEKCursorProtected protectedBase(base + "1", base + "2", GetParam());
  int64 writer = protectedBase.openWriteProcess("", "");
  for (int i = 0; i < 3000; ++i) protectedBase.putSymbol(writer, "kept" + std::to_string(i));
  protectedBase.closeProcess(writer);
  std::string writeBefore, readBefore;
  if (GetParam() == VEK_STREAM_FILE) {
    writeBefore = VekBaseTest::slurp(base + "1");
    readBefore = VekBaseTest::slurp(base + "2");
    EXPECT_EQ(writeBefore, readBefore);
  }
  writer = protectedBase.openWriteProcess("", "");
  for (int i = 0; i < 3000; ++i) protectedBase.putSymbol(writer, "dropped" + std::to_string(i));
  protectedBase.findSymbol(writer, "kept5");
  protectedBase.deleteSymbol(writer);
  protectedBase.closeBase();
  EXPECT_EQ(protectedBase.getWriteProcess(), -1);
  int64 reader = protectedBase.openReadProcess("", "");
  EXPECT_EQ(protectedBase.getSymbolCount(reader), 3000);
  int64 again = protectedBase.openWriteProcess("", "");  // the slot is free again
  EXPECT_GE(again, 0);
  EXPECT_TRUE(protectedBase.existsSymbol(again, "kept5"));
  EXPECT_FALSE(protectedBase.existsSymbol(again, "dropped1"));
  protectedBase.closeBase();
  if (GetParam() == VEK_STREAM_FILE) {
    EXPECT_EQ(VekBaseTest::slurp(base + "1"), writeBefore);
    EXPECT_EQ(VekBaseTest::slurp(base + "2"), readBefore);
  }
}

TEST_P(ProtectedBase, ReadersKeepTheirOwnPlaces) {
  std::string base = name("places");
  VEKCursorProtected protectedBase(base + "1", base + "2", GetParam());
  int64 writer = protectedBase.openWriteProcess("", "");
  for (const char* key : {"a", "b", "c"}) protectedBase.putSymbol(writer, key);
  protectedBase.closeProcess(writer);
  int64 first = protectedBase.openReadProcess("", ""), second = protectedBase.openReadProcess("", "");
  EXPECT_NE(first, second);
  EXPECT_EQ(protectedBase.readString(first), "a");  // starts on the first key below home
  protectedBase.goLast(first);
  protectedBase.goNextKey(second);
  EXPECT_EQ(protectedBase.readString(first), "c");
  EXPECT_EQ(protectedBase.readString(second), "b");
  writer = protectedBase.openWriteProcess("", "");
  protectedBase.findSymbol(writer, "c");
  protectedBase.deleteSymbol(writer);
  protectedBase.closeProcess(writer);
  try {
    protectedBase.readString(first);  // its place is gone
    ADD_FAILURE() << "a reader on a deleted key must fail";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "VEKCursorProtected::readCommand - Unaccessible path!");
  }
  EXPECT_EQ(protectedBase.readString(second), "b");
  EXPECT_FALSE(protectedBase.isBroken());
}

TEST_P(ProtectedBase, LoginsAndRights) {
  std::string base = name("logins");
  VEKCursorProtected protectedBase(base + "1", base + "2", GetParam());
  int64 writer = protectedBase.openWriteProcess("nobody", "anything");  // no users: accepted
  ASSERT_GE(writer, 0);
  EXPECT_TRUE(protectedBase.addUser(writer, "ann", "pw", "read"));
  EXPECT_TRUE(protectedBase.addUser(writer, "root", "admin-pw", "admin"));
  protectedBase.closeProcess(writer);
  EXPECT_EQ(protectedBase.openWriteProcess("ann", "pw"), -2147483648LL);  // read right only
  EXPECT_EQ(protectedBase.openWriteProcess("root", "wrong"), -2147483648LL);
  EXPECT_EQ(protectedBase.openReadProcess("ann", "wrong"), -1);
  EXPECT_GE(protectedBase.openReadProcess("ann", "pw"), VEKProcessPool::FIRST_READER_ID);
  writer = protectedBase.openWriteProcess("root", "admin-pw");
  EXPECT_GE(writer, 0);
  EXPECT_LT(writer, VEKProcessPool::FIRST_READER_ID);
  protectedBase.closeBase();
}

TEST_P(ProtectedBase, ACursorFailureBreaksTheBaseUntilRecovery) {
  std::string base = name("broken");
  VEKCursorProtected protectedBase(base + "1", base + "2", GetParam());
  int64 writer = protectedBase.openWriteProcess("", "");
  protectedBase.putSymbol(writer, "committed");
  protectedBase.closeProcess(writer);
  writer = protectedBase.openWriteProcess("", "");
  protectedBase.putSymbol(writer, "lost");
  protectedBase.lockRead(writer);
  EXPECT_THROW(protectedBase.readString(writer), std::runtime_error);
  EXPECT_TRUE(protectedBase.isBroken());
  EXPECT_FALSE(protectedBase.hasCursors());
  EXPECT_EQ(protectedBase.getWriteProcess(), -1);
  int64 reader = protectedBase.openReadProcess("", "");  // recovers
  EXPECT_EQ(keysOf(protectedBase, reader), std::vector<std::string>{"committed"});
  writer = protectedBase.openWriteProcess("", "");
  EXPECT_EQ(keysOf(protectedBase, writer), std::vector<std::string>{"committed"});
  protectedBase.closeBase();
}

// A rollback that fails (here the journal cannot be read) breaks the base
// at once: the writer slot is free and the next recovery rolls back.
TEST(ProtectedFileBase, AFailedRollbackBreaksTheBase) {
  TempDir dir;
  std::string base = dir.file("failing");
  VEKCursorProtected protectedBase(base + "1", base + "2", VEK_STREAM_FILE);
  int64 writer = protectedBase.openWriteProcess("", "");
  protectedBase.putSymbol(writer, "kept");
  protectedBase.closeProcess(writer);
  writer = protectedBase.openWriteProcess("", "");
  protectedBase.putSymbol(writer, "dropped");
  std::string journal = base + "1.sw";
  ASSERT_EQ(::unlink(journal.c_str()), 0);
  ASSERT_EQ(::mkdir(journal.c_str(), 0700), 0);
  EXPECT_THROW(protectedBase.closeBase(), std::runtime_error);
  EXPECT_TRUE(protectedBase.isBroken());
  EXPECT_EQ(protectedBase.getWriteProcess(), -1);
  EXPECT_FALSE(VEKProcessPool::writePool()->isLive(writer));
  ASSERT_EQ(::rmdir(journal.c_str()), 0);
  int64 reader = protectedBase.openReadProcess("", "");
  EXPECT_EQ(keysOf(protectedBase, reader), std::vector<std::string>{"kept"});
}

// Pages may delete a base's files while other pages still hold it open:
// the base then lets go of them (no writer opens a journal beside a file
// that is gone) until the next open starts it afresh.
TEST_P(ProtectedBase, ABaseWhoseFilesWereDeletedStartsAfresh) {
  std::string base = name("deleted");
  VEKCursorProtected protectedBase(base + "1", base + "2", GetParam());
  int64 writer = protectedBase.openWriteProcess("", "");
  protectedBase.putSymbol(writer, "old");
  protectedBase.closeProcess(writer);
  ASSERT_EQ(VEKStreamFile::removeFile(base + "1"), 0);
  ASSERT_EQ(VEKStreamFile::removeFile(base + "2"), 0);
  EXPECT_EQ(protectedBase.openWriteProcess("", ""), VEKCursorProtected::WriterSlotTaken);
  EXPECT_TRUE(protectedBase.isOrphaned());
  VEKStreamMem probe;
  for (const char* journal : {"1.sw", "1.swt"})
    EXPECT_NE(GetParam() == VEK_STREAM_MEMORY ? probe.access((base + journal).c_str(), 0)
                                              : ::access((base + journal).c_str(), 0), 0);
  ASSERT_TRUE(protectedBase.renew());
  int64 reader = protectedBase.openReadProcess("", "");
  EXPECT_GE(reader, VEKProcessPool::FIRST_READER_ID);
  EXPECT_EQ(keysOf(protectedBase, reader), std::vector<std::string>());
  writer = protectedBase.openWriteProcess("", "");
  EXPECT_TRUE(protectedBase.putSymbol(writer, "again"));
  protectedBase.closeProcess(writer);
  EXPECT_EQ(keysOf(protectedBase, reader), std::vector<std::string>{"again"});
}

// A write file that is gone (or empty) while the read copy stays makes a
// fresh base whose readers must not see the old copy, whatever its size:
// a later commit copies only the changed regions into the read copy.
TEST_P(ProtectedBase, AReadCopyWithoutItsWriteFileIsNotKept) {
  std::string base = name("stale");
  for (bool emptied : {false, true}) {
    {
      VEKCursorProtected old(base + "1", base + "2", GetParam());
      int64 writer = old.openWriteProcess("", "");
      old.putSymbol(writer, "stale");
      old.closeProcess(writer);
    }
    ASSERT_EQ(VEKStreamFile::removeFile(base + "1"), 0);
    if (emptied) {
      std::unique_ptr<VEKStream> empty(GetParam() == VEK_STREAM_MEMORY ? static_cast<VEKStream*>(new VEKStreamMem)
                                                                       : new VEKStreamFile);
      empty->open((base + "1").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
      empty->close();
    }
    VEKCursorProtected fresh(base + "1", base + "2", GetParam());
    int64 reader = fresh.openReadProcess("", "");
    EXPECT_EQ(keysOf(fresh, reader), std::vector<std::string>()) << "emptied " << emptied;
    int64 writer = fresh.openWriteProcess("", "");
    fresh.putSymbol(writer, "new");
    fresh.closeProcess(writer);
    EXPECT_EQ(keysOf(fresh, reader), std::vector<std::string>{"new"}) << "emptied " << emptied;
    fresh.closeProcess(reader);
  }
}

INSTANTIATE_TEST_SUITE_P(FilesAndMemory, ProtectedBase, ::testing::Values(VEK_STREAM_FILE, VEK_STREAM_MEMORY));

// A memory base at every limit from what it holds up to room for a whole
// session: the session either commits all its keys or fails as a failed
// write does, leaving the base as committed and every block given back
// (a commit must never pass its commit point without room to publish).
// A base deleted while broken gives the failed writer's blocks back at
// once, and deleting its streams gives back all it held.
TEST(ProtectedMemoryBase, ARefusedGrowthLeavesTheBaseAsCommitted) {
  const int64 start = VEKStreamMem::held();
  VekBaseTest::PageCache spills(64 * 1024);  // writes reach the stream before the commit too
  VekBaseTest::MemoryLimit unbounded(-1);
  const std::string base = "memory_bounded_base";
  const std::string value(1000, 'v');
  const auto putAll = [&](VEKCursorProtected& protectedBase, int64 writer, const std::string& prefix) {
    for (int i = 0; i < 100; ++i) protectedBase.putSymbol(writer, prefix + std::to_string(i) + value);
  };
  int64 committedHeld;
  {
    VEKCursorProtected protectedBase(base + "1", base + "2", VEK_STREAM_MEMORY);
    int64 writer = protectedBase.openWriteProcess("", "");
    ASSERT_TRUE(protectedBase.putSymbol(writer, "committed"));
    protectedBase.closeProcess(writer);
    const int64 before = VEKStreamMem::held();
    bool committed = false;
    for (int64 room = 0; room <= 100 && !committed; ++room) {
      VEKStreamMem::setLimit(before + room * VEKStreamMem::Block);
      try {
        writer = protectedBase.openWriteProcess("", "");
        putAll(protectedBase, writer, "first");
        protectedBase.closeProcess(writer);
        committed = true;
      } catch (const std::runtime_error&) {
        EXPECT_EQ(protectedBase.getWriteProcess(), -1) << room;
      }
      int64 reader = protectedBase.openReadProcess("", "");
      ASSERT_GE(reader, VEKProcessPool::FIRST_READER_ID) << "recovered at room " << room;
      EXPECT_EQ(protectedBase.getSymbolCount(reader), committed ? 101 : 1) << room;
      protectedBase.closeProcess(reader);
      if (!committed) {
        EXPECT_EQ(VEKStreamMem::held(), before) << room;
      }
    }
    EXPECT_TRUE(committed);
    committedHeld = VEKStreamMem::held();
    VEKStreamMem::setLimit(committedHeld + 8 * VEKStreamMem::Block);
    writer = protectedBase.openWriteProcess("", "");
    EXPECT_THROW(putAll(protectedBase, writer, "second"), std::runtime_error);
  }
  EXPECT_EQ(VEKStreamMem::held(), committedHeld);
  EXPECT_EQ(VEKStreamFile::removeFile(base + "1"), 0);
  EXPECT_EQ(VEKStreamFile::removeFile(base + "2"), 0);
  EXPECT_EQ(VEKStreamMem::held(), start);
}

TEST(VEKProcessPool, DisjointIdsAreReused) {
  VEKProcessPool* writers = VEKProcessPool::writePool();
  VEKProcessPool* readers = VEKProcessPool::readPool();
  int64 w1 = writers->acquire("x"), w2 = writers->acquire("x");
  int64 r1 = readers->acquire("x");
  EXPECT_EQ(w2, w1 + 1);
  EXPECT_GE(r1, VEKProcessPool::FIRST_READER_ID);
  writers->release(w1);
  EXPECT_FALSE(writers->isLive(w1));
  EXPECT_EQ(writers->acquire("x"), w1);
  VEKProcessPool::destroyPools();
  EXPECT_NE(VEKProcessPool::writePool(), nullptr);  // created again on demand
  VEKProcessPool::destroyPools();
}

TEST(VEKBaseRegistry, UseCountsAndRemoval) {
  TempDir dir;
  VEKBaseRegistry* registry = VEKBaseRegistry::instance();
  EXPECT_EQ(registry, VEKBaseRegistry::instance());
  std::string name = dir.file("reg");
  EXPECT_EQ(registry->get(name), nullptr);
  VEKCursorProtected* base = registry->openDefault(name);
  ASSERT_NE(base, nullptr);
  EXPECT_EQ(base->writeFileName(), name + "1");
  EXPECT_EQ(base->readFileName(), name + "2");
  EXPECT_EQ(registry->open(name, VEK_STREAM_FILE), base);  // second use
  int64 writer = base->openWriteProcess("", "");
  base->putSymbol(writer, "uncommitted");
  registry->remove(name);
  EXPECT_EQ(registry->get(name), base);
  registry->remove(name);  // last use: rolled back and closed
  EXPECT_EQ(registry->get(name), nullptr);
  base = registry->openDefault(name);
  writer = base->openWriteProcess("", "");
  EXPECT_FALSE(base->existsSymbol(writer, "uncommitted"));
  VEKBaseRegistry::destroy(registry);
  delete registry;
  VEKProcessPool::destroyPools();
}
