// One base whatever its name's spelling, a close that reaches the base it was
// taken on after the directory changed, and one process per base. (Bases
// whose files went under their holders: the base words' tests.)
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "BaseTestUtil.h"
#include "base/VEKBaseRegistry.h"
#include "base/VEKCursorProtected.h"
#include "base/VEKProcessPool.h"

using namespace VekBase;
using VekBaseTest::slurp;
using VekBaseTest::TempDir;

namespace {

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// Runs the tests in a scratch directory of their own, so that bare names
// ("shop", "./shop") are spellings of paths in it; "link" there is a
// symbolic link to the directory itself.
class BaseNames : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(::getcwd(saved, sizeof saved), nullptr);
    ASSERT_EQ(::chdir(dir.path.c_str()), 0);
    ASSERT_EQ(::symlink(".", "link"), 0);
    registry = VEKBaseRegistry::instance();
  }
  void TearDown() override {
    VEKBaseRegistry::destroy(registry);
    delete registry;
    VEKProcessPool::destroyPools();
    ASSERT_EQ(::chdir(saved), 0);
  }
  // Keys a new reader of base sees.
  std::vector<std::string> committedKeys(VEKCursorProtected& base) {
    std::vector<std::string> keys;
    int64 reader = base.openReadProcess("", "");
    for (bool more = base.goFirst(reader); more; more = base.goNextKey(reader)) keys.push_back(base.readString(reader));
    base.closeProcess(reader);
    return keys;
  }

  TempDir dir;
  char saved[4096];
  VEKBaseRegistry* registry = nullptr;
};

const std::vector<std::string> kSpellings = {"./", ".//", "././", "link/", "link/./"};

// A second spelling reaches the same base: one writer slot, and neither a
// second writer's attempt nor an anonymous reader touches the live
// writer's journal, whose commit then keeps every acknowledged key.
TEST_F(BaseNames, EverySpellingOfANameIsOneBase) {
  for (size_t i = 0; i < kSpellings.size(); ++i) {
    const std::string name = "shop" + std::to_string(i), other = kSpellings[i] + name;
    VEKCursorProtected* base = registry->openDefault(name);
    ASSERT_NE(base, nullptr);
    int64 writer = base->openWriteProcess("", "");
    for (int key = 0; key < 300; ++key) ASSERT_TRUE(base->putSymbol(writer, "k" + std::to_string(key)));
    EXPECT_EQ(registry->openDefault(other), base) << other;
    EXPECT_EQ(registry->get(other), base) << other;
    EXPECT_EQ(registry->get(dir.file(name)), base) << "absolute";
    VEKCursorProtected* second = registry->get(other);
    EXPECT_EQ(second->openWriteProcess("", ""), VEKCursorProtected::WriterSlotTaken) << other;
    int64 reader = second->openReadProcess("", "");
    EXPECT_FALSE(second->existsSymbol(reader, "k1")) << other;
    EXPECT_TRUE(exists(name + "1.sw")) << other;
    EXPECT_NO_THROW(base->closeProcess(writer)) << other;
    EXPECT_EQ(committedKeys(*registry->get(other)).size(), 300u) << other;
    registry->remove(other);
    registry->remove(name);
    EXPECT_EQ(registry->get(name), nullptr) << "the two uses were one base's";
    VEKCursorProtected reopened(name + "1", name + "2", VEK_STREAM_FILE);
    EXPECT_EQ(committedKeys(reopened).size(), 300u) << other;
  }
}

// A name whose directory changes under an open base (a symbolic link
// moved to another directory, a directory replaced) reaches the base there
// once it is opened again: its words no longer go to the old one.
TEST_F(BaseNames, ANameFollowsItsDirectoryToTheBaseThere) {
  ASSERT_EQ(::mkdir("old", 0755), 0);
  ASSERT_EQ(::mkdir("new", 0755), 0);
  ASSERT_EQ(::symlink("old", "current"), 0);
  VEKCursorProtected* before = registry->openDefault("current/shop");
  ASSERT_NE(before, nullptr);
  ASSERT_EQ(::unlink("current"), 0);
  ASSERT_EQ(::symlink("new", "current"), 0);
  VEKCursorProtected* after = registry->openDefault("current/shop");
  ASSERT_NE(after, nullptr);
  ASSERT_EQ(registry->get("current/shop"), after);
  int64 writer = after->openWriteProcess("", "");
  ASSERT_GE(writer, 0);
  ASSERT_TRUE(after->putSymbol(writer, "moved"));
  after->closeProcess(writer);
  registry->remove("current/shop");
  registry->remove("current/shop");
  EXPECT_NE(slurp("new/shop2").find("moved"), std::string::npos);
}

// A directory's identity passes to wherever it is renamed (and, once it is
// deleted, to the next directory made): a base opened by a name there is
// the base of its own files, never an entry left from the old name.
TEST_F(BaseNames, ABaseIsNeverFoundThroughADirectoryItLeft) {
  ASSERT_EQ(::mkdir("site", 0755), 0);
  VEKCursorProtected* before = registry->openDefault("site/shop");
  ASSERT_NE(before, nullptr);
  int64 writer = before->openWriteProcess("", "");
  ASSERT_TRUE(before->putSymbol(writer, "kept"));
  before->closeProcess(writer);
  ASSERT_EQ(::rename("site", "archive"), 0);
  ASSERT_EQ(::mkdir("site", 0755), 0);
  VEKCursorProtected* moved = registry->openDefault("archive/shop");
  ASSERT_NE(moved, nullptr) << registry->failure();
  EXPECT_EQ(moved->writeFileName(), "archive/shop1");
  EXPECT_EQ(registry->get("archive/shop"), moved);
  EXPECT_EQ(committedKeys(*moved), std::vector<std::string>{"kept"});
  EXPECT_FALSE(exists("site/shop1"));
}

// Descriptors of this process open on files under directory (the lock on
// a base's write file is one of them).
int descriptorsUnder(const std::string& directory) {
  char real[PATH_MAX];
  if (::realpath(directory.c_str(), real) == nullptr) return -1;
  const std::string prefix = std::string(real) + "/";
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code failed;
    const std::string target = std::filesystem::read_symlink(entry.path(), failed).string();
    if (!failed && target.compare(0, prefix.size(), prefix) == 0) ++count;
  }
  return count;
}

// Ways the directory of "cur/shop" changes while a base is open there: the
// base opened before keeps its files in "old", and the name then reaches a
// new directory. (Paths are under the case's own directory at.)
struct DirectoryChange {
  const char* kind;
  std::function<void(const std::string& at)> make;
  std::function<void(VEKBaseRegistry&, const std::string& at)> change;
};

const DirectoryChange kDirectoryChanges[] = {
    {"a symbolic link turned",
     [](const std::string& at) {
       ::mkdir((at + "old").c_str(), 0755);
       ::mkdir((at + "new").c_str(), 0755);
       ::symlink("old", (at + "cur").c_str());
     },
     [](VEKBaseRegistry&, const std::string& at) {
       ::unlink((at + "cur").c_str());
       ::symlink("new", (at + "cur").c_str());
     }},
    {"a directory renamed and made again", [](const std::string& at) { ::mkdir((at + "cur").c_str(), 0755); },
     [](VEKBaseRegistry&, const std::string& at) {
       ::rename((at + "cur").c_str(), (at + "old").c_str());
       ::mkdir((at + "cur").c_str(), 0755);
     }},
    {"an entry set aside whose name is opened again",
     [](const std::string& at) { ::mkdir((at + "cur").c_str(), 0755); },
     [](VEKBaseRegistry& registry, const std::string& at) {
       ::rename((at + "cur").c_str(), (at + "old").c_str());
       ::mkdir((at + "cur").c_str(), 0755);
       registry.openDefault(at + "old/shop");  // sets the entry of "cur/shop" aside
       registry.remove(at + "old/shop");
     }},
};

// How the first holder gives its use back: a "~~-" of a page that did not
// open the name, a page's "~~-" of the base it opened (by its serial),
// client text's "~~-", the end of client text's run.
struct Holder {
  const char* kind;
  u64 owner;
  std::function<void(VEKBaseRegistry&, const std::string& name, u64 owner, u64 serial)> giveBack;
};

const Holder kHolders[] = {
    {"a page's close", 0, [](VEKBaseRegistry& r, const std::string& name, u64, u64) { r.remove(name); }},
    {"a page's close of its own", 0,
     [](VEKBaseRegistry& r, const std::string& name, u64, u64 serial) { r.removeOf(name, serial); }},
    {"client text's close", 7,
     [](VEKBaseRegistry& r, const std::string& name, u64 o, u64) { r.removeOwned(name, o); }},
    {"client text's run end", 7,
     [](VEKBaseRegistry& r, const std::string& name, u64 o, u64) { r.releaseOwner(name, o); }},
};

// A holder opens "cur/shop", the directory changes, another page opens the
// name again and keeps a writer with a pending key. The first holder's
// close gives back the use it took, of the base it opened: that base
// closes (its descriptors, lock and budget given back) and the base opened
// later keeps its holder and its writer, whose key then commits.
TEST_F(BaseNames, ACloseGivesBackTheBaseItOpenedAfterTheDirectoryChanged) {
  int n = 0;
  for (const DirectoryChange& change : kDirectoryChanges) {
    for (const Holder& holder : kHolders) {
      const std::string at = "case" + std::to_string(n++) + "/", name = at + "cur/shop";
      const std::string label = std::string(change.kind) + ", " + holder.kind;
      ASSERT_EQ(::mkdir(at.c_str(), 0755), 0);
      change.make(at);
      VEKCursorProtected* before = registry->open(name, VEK_STREAM_FILE, holder.owner);
      ASSERT_NE(before, nullptr) << label;
      const u64 serial = registry->serialOf(name);
      change.change(*registry, at);
      VEKCursorProtected* after = registry->openDefault(name);
      ASSERT_NE(after, nullptr) << label;
      ASSERT_NE(after, before) << label;
      const int64 writer = after->openWriteProcess("", "");
      ASSERT_TRUE(after->putSymbol(writer, "pending")) << label;
      const int64 held = VEKBaseRegistry::descriptorsHeld();
      holder.giveBack(*registry, name, holder.owner, serial);
      EXPECT_EQ(registry->find(serial), nullptr) << label << ": the base opened first is still open";
      EXPECT_EQ(VEKBaseRegistry::descriptorsHeld(), held - VEKBaseRegistry::DescriptorsPerBase) << label;
      EXPECT_EQ(descriptorsUnder(at + "old"), 0) << label;
      if (registry->get(name) != after) {  // closed: its writer and key are gone
        ADD_FAILURE() << label << ": the close reached the base opened later";
        continue;
      }
      EXPECT_NO_THROW(after->closeProcess(writer)) << label;
      EXPECT_EQ(committedKeys(*after), std::vector<std::string>{"pending"}) << label;
      registry->remove(name);
      EXPECT_EQ(registry->get(name), nullptr) << label;
    }
  }
}

// A file base whose name, folded, would read as a memory base's
// ("./memory_x" is the files memory_x1 and memory_x2 here) stays apart from
// the memory base of that name: each name's words and close reach its own.
TEST_F(BaseNames, AFileBaseNamedLikeAMemoryBaseStaysApart) {
  for (const std::string memory : {"memory_x", "temp_x"}) {
    for (const std::string& file : {"./" + memory, ".//" + memory}) {
      VEKCursorProtected* onDisk = registry->openDefault(file);
      VEKCursorProtected* inMemory = registry->open(memory, VEK_STREAM_MEMORY);
      ASSERT_NE(onDisk, nullptr) << file;
      ASSERT_NE(inMemory, nullptr) << file;
      ASSERT_NE(onDisk, inMemory) << file;
      EXPECT_EQ(registry->get(file), onDisk) << file;
      EXPECT_EQ(registry->get(memory), inMemory) << file;
      registry->remove(memory);
      EXPECT_EQ(registry->get(memory), nullptr) << file;
      EXPECT_EQ(registry->get(file), onDisk) << file;
      registry->remove(file);
      EXPECT_EQ(registry->get(file), nullptr) << file;
    }
  }
}

// Runs open in a child process and returns its exit status.
template <typename Open>
int inChild(Open open) {
  pid_t child = ::fork();
  if (child == 0) _exit(open());
  int status = -1;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Another process (another server in the same directory) that opens a base
// this one has open is refused with a message and touches nothing: the
// live writer's journal stays and its commit keeps its keys. Once this
// process closes the base, the other one opens it.
TEST_F(BaseNames, AnotherProcessIsRefusedWhileTheBaseIsOpen) {
  VEKCursorProtected* base = registry->openDefault("held");
  ASSERT_NE(base, nullptr);
  int64 writer = base->openWriteProcess("", "");
  for (int key = 0; key < 300; ++key) base->putSymbol(writer, "k" + std::to_string(key));
  const std::string journal = slurp("held1.sw");
  auto openInOther = [] {
    VEKCursorProtected other("held1", "held2", VEK_STREAM_FILE);
    if (other.hasCursors()) return 1;
    return other.failure() == "Can't open the VEKBase file: held1: another process has it open" ? 0 : 2;
  };
  EXPECT_EQ(inChild(openInOther), 0);
  EXPECT_EQ(slurp("held1.sw"), journal);
  EXPECT_NO_THROW(base->closeProcess(writer));
  EXPECT_EQ(committedKeys(*base).size(), 300u);
  registry->remove("held");
  EXPECT_EQ(inChild(openInOther), 1);
}


// A base whose files went under it and whose name then holds files it
// cannot start afresh on (a write file that is not a base; or a base whose
// committed journal cannot be completed, found only after both files were
// locked) stays orphaned, and holds nothing of those files: another
// process may take them.
TEST_F(BaseNames, AnOrphanThatCannotStartAfreshHoldsNoLock) {
  VekBaseTest::commitKeys("donor", "d", 5);
  const std::string donorCopy = VekBaseTest::slurp("donor2");
  struct Case {
    const char* how;
    const char* readCopy;  // put at NAME2 (null: none)
    const char* journal;   // put at NAME1.swt (null: none)
  };
  const Case cases[] = {
      {"a write file that is not a base", nullptr, nullptr},
      {"a journal that cannot be completed", "copy", "VEKJRNL1 cut"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.how);
    const std::string name = "gone" + std::to_string(n++);
    VEKCursorProtected* base = registry->openDefault(name);
    ASSERT_NE(base, nullptr);
    ASSERT_EQ(::unlink((name + "1").c_str()), 0);
    ASSERT_EQ(::unlink((name + "2").c_str()), 0);
    VekBaseTest::spit(name + "1", "not a base\n");
    if (c.readCopy) VekBaseTest::spit(name + "2", donorCopy);
    if (c.journal) VekBaseTest::spit(name + "1.swt", c.journal);
    EXPECT_EQ(registry->openDefault(name), nullptr);
    EXPECT_TRUE(base->isOrphaned());
    for (const std::string& file : {name + "1", name + "2"}) {
      if (::access(file.c_str(), 0) != 0) continue;
      auto lockInOther = [&file] {
        int opened = ::open(file.c_str(), O_RDONLY);
        return opened >= 0 && ::flock(opened, LOCK_EX | LOCK_NB) == 0 ? 0 : 1;
      };
      EXPECT_EQ(inChild(lockInOther), 0) << file;
    }
  }
}

}  // namespace

// The descriptor account covers what an open file base holds at most: its
// two files, the lock on each, and a writer's journal.
TEST_F(BaseNames, AFileBaseHoldsNoMoreDescriptorsThanItIsCountedFor) {
  ASSERT_EQ(::mkdir("held", 0755), 0);
  VEKCursorProtected* base = registry->openDefault("held/shop");
  ASSERT_NE(base, nullptr);
  const int64 writer = base->openWriteProcess("", "");
  ASSERT_TRUE(base->putSymbol(writer, "pending"));
  const int64 reader = base->openReadProcess("", "");
  ASSERT_GE(reader, 0);
  EXPECT_LE(descriptorsUnder("held"), VEKBaseRegistry::DescriptorsPerBase);
  registry->remove("held/shop");
  EXPECT_EQ(descriptorsUnder("held"), 0);
}
