// A protected file base's files changed outside the server: a read copy
// replaced or made read-only by hand, a write file made read-only, the
// lock that keeps a base to one process, and what a failed commit leaves
// on a file system without fallocate.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <dirent.h>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "BaseTestUtil.h"
#include "base/VEKCursorProtected.h"
#include "base/VEKJournal.h"
#include "base/VEKProcessPool.h"

using namespace VekBase;
using VekBaseTest::slurp;
using VekBaseTest::TempDir;
using VekBaseTest::commitKeys;
using VekBaseTest::keysAfterRestart;
using VekBaseTest::keysOf;
using VekBaseTest::statusOf;

// Another base's read copy of the same size moved over the read copy
// (while the base is open, or while it is closed): readers see the base's
// own committed keys after the next commit and after a restart, never the
// other base's, a mixture, or a failure.
TEST(ReadCopy, AReadCopyReplacedByHandIsRebuiltFromTheWriteFile) {
  for (bool whileOpen : {true, false}) {
    SCOPED_TRACE(whileOpen ? "replaced while open" : "replaced while closed");
    TempDir dir;
    const std::string shop = dir.file("shop"), other = dir.file("other");
    commitKeys(other, "o", 300);
    std::vector<std::string> expected = commitKeys(shop, "s", 300);
    ASSERT_EQ(statusOf(other + "2").st_size, statusOf(shop + "2").st_size);
    if (whileOpen) {
      VEKCursorProtected base(shop + "1", shop + "2", VEK_STREAM_FILE);
      int64 reader = base.openReadProcess("", "");
      ASSERT_EQ(::rename((other + "2").c_str(), (shop + "2").c_str()), 0);
      int64 writer = base.openWriteProcess("", "");
      ASSERT_TRUE(base.putSymbol(writer, "t-new"));
      base.closeProcess(writer);
      expected.push_back("t-new");
      EXPECT_EQ(keysOf(base, reader), expected);
      int64 fresh = base.openReadProcess("", "");
      EXPECT_EQ(keysOf(base, fresh), expected);
    } else {
      ASSERT_EQ(::rename((other + "2").c_str(), (shop + "2").c_str()), 0);
    }
    std::string failure;
    EXPECT_EQ(keysAfterRestart(shop, &failure), expected) << failure;
  }
  VEKProcessPool::destroyPools();
}

namespace {

// Runs body in a child process as a user that is not the superuser (the
// files' permissions bind it) and returns what it wrote to its pipe.
std::string inChildAsUser(const std::string& dir, const std::function<std::string()>& body) {
  int ends[2];
  if (::pipe(ends) != 0) return "no pipe";
  pid_t child = ::fork();
  if (child == 0) {
    ::close(ends[0]);
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) _exit(2);
    std::string said = body();
    if (::write(ends[1], said.data(), said.size()) < 0) _exit(3);
    _exit(0);
  }
  ::close(ends[1]);
  std::string said;
  char bytes[512];
  for (ssize_t got; (got = ::read(ends[0], bytes, sizeof bytes)) > 0;) said.append(bytes, static_cast<size_t>(got));
  ::close(ends[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << dir;
  return said;
}

// Gives the directory and its files to the child's user when the tests
// run as the superuser.
void giveToChild(const std::string& dir) {
  if (::geteuid() != 0) return;
  ASSERT_EQ(::chown(dir.c_str(), 65534, 65534), 0);
  DIR* listing = ::opendir(dir.c_str());
  while (dirent* entry = ::readdir(listing))
    if (entry->d_name[0] != '.') {
      ASSERT_EQ(::chown((dir + "/" + entry->d_name).c_str(), 65534, 65534), 0);
    }
  ::closedir(listing);
}

}  // namespace

// A read copy or write file that the operator made read-only is not
// damage: the base is refused with the reason, and the file keeps its
// inode, mode and bytes (no rebuild replaces it). The lock is taken
// through a read-write descriptor, so a read-only write file is refused
// there, naming why.
TEST(ReadOnlyFiles, AReadOnlyFileRefusesTheBaseAndIsLeftAsItIs) {
  struct Case {
    const char* how;
    const char* file;   // the file made read-only
    bool lengthened;    // its size made to differ from the write file's
  };
  const Case cases[] = {
      {"read copy", "2", false},
      {"read copy of another size", "2", true},
      {"write file", "1", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.how);
    TempDir dir;
    const std::string shop = dir.file("shop");
    commitKeys(shop, "k", 50);
    if (c.lengthened) VekBaseTest::spit(shop + "2", slurp(shop + "2") + "more");
    giveToChild(dir.path);
    ASSERT_EQ(::chmod((shop + c.file).c_str(), 0444), 0);
    const std::string write = slurp(shop + "1"), read = slurp(shop + "2");
    const struct stat writeBefore = statusOf(shop + "1"), readBefore = statusOf(shop + "2");
    std::string said = inChildAsUser(dir.path, [&] {
      std::string failure;
      std::vector<std::string> keys = keysAfterRestart(shop, &failure);
      return keys.empty() ? failure : "opened with " + std::to_string(keys.size()) + " keys";
    });
    EXPECT_EQ(said, "Can't open the VEKBase file: " + shop + c.file + ": Permission denied");
    for (const auto& file : {std::make_pair("1", writeBefore), std::make_pair("2", readBefore)}) {
      const struct stat after = statusOf(shop + file.first);
      EXPECT_EQ(after.st_ino, file.second.st_ino) << file.first;
      EXPECT_EQ(after.st_mode, file.second.st_mode) << file.first;
    }
    EXPECT_TRUE(slurp(shop + "1") == write);
    EXPECT_TRUE(slurp(shop + "2") == read);
  }
}

namespace {

// The open-file flags of the descriptor of this process that holds an
// flock on the file at path; -1 when none does.
int lockingDescriptorFlags(const std::string& path) {
  const struct stat file = statusOf(path);
  DIR* listing = ::opendir("/proc/self/fdinfo");
  int flags = -1;
  while (dirent* entry = ::readdir(listing)) {
    if (entry->d_name[0] == '.') continue;
    struct stat target;
    if (::stat(("/proc/self/fd/" + std::string(entry->d_name)).c_str(), &target) != 0) continue;
    if (target.st_ino != file.st_ino || target.st_dev != file.st_dev) continue;
    const std::string info = slurp("/proc/self/fdinfo/" + std::string(entry->d_name));
    if (info.find("FLOCK") == std::string::npos) continue;
    flags = static_cast<int>(std::strtol(info.substr(info.find("flags:") + 6).c_str(), nullptr, 8));
  }
  ::closedir(listing);
  return flags;
}

// True when a new description of the file at path cannot take its flock
// (someone holds it).
bool lockIsHeld(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
  ::close(fd);
  return held;
}

}  // namespace

// The write file's lock is held through a read-write descriptor (an
// exclusive lock on a network file system needs one), and it is held
// before a new base's files are made and formatted: another process that
// creates the same base at the same time never formats a file under it.
TEST(BaseLock, TakenFirstThroughAWritableDescriptor) {
  TempDir dir;
  const std::string shop = dir.file("shop");
  int grownUnlocked = 0, grown = 0;
  VEKStreamFile::roomHook = [&](const std::string& name, int64, int64) {
    if (name != shop + "1" && name != shop + "2") return;
    ++grown;
    if (!lockIsHeld(shop + "1")) ++grownUnlocked;
  };
  {
    VEKCursorProtected base(shop + "1", shop + "2", VEK_STREAM_FILE);
    VEKStreamFile::roomHook = nullptr;
    ASSERT_TRUE(base.hasCursors()) << base.failure();
    EXPECT_GT(grown, 0);
    EXPECT_EQ(grownUnlocked, 0) << "files made before the lock was held";
    EXPECT_EQ(lockingDescriptorFlags(shop + "1") & O_ACCMODE, O_RDWR);
  }
  VEKStreamFile::roomHook = nullptr;
}

namespace {

// Plays a file system without fallocate for the life of the guard.
struct NoFallocate {
  NoFallocate() { VEKStreamFile::fallocateUnsupported = true; }
  ~NoFallocate() { VEKStreamFile::fallocateUnsupported = false; }
};

}  // namespace

// Without fallocate the read copy takes its room by growing with zeros
// before the commit point. A commit that fails after that, or while the
// zeros are written (the disk filling up), gives the room back: the read
// copy keeps its size, so a disk that is full afterwards still opens the
// base as committed (no whole rebuild is needed).
TEST(ReadCopy, AFailedCommitGivesBackTheRoomItTook) {
  for (bool whileReserving : {false, true}) {
    SCOPED_TRACE(whileReserving ? "the zeros cut short" : "the seal failed");
    TempDir dir;
    const std::string shop = dir.file("shop");
    const std::vector<std::string> committed = commitKeys(shop, "k", 100);
    const off_t readSize = statusOf(shop + "2").st_size;
    NoFallocate unsupported;
    {
      VEKCursorProtected base(shop + "1", shop + "2", VEK_STREAM_FILE);
      int64 writer = base.openWriteProcess("", "");
      for (int i = 0; i < 2000; ++i) base.putSymbol(writer, "grown" + std::to_string(i));
      struct rlimit saved {};
      ::getrlimit(RLIMIT_FSIZE, &saved);
      if (whileReserving) {
        // The file size limit plays a disk that fills halfway through.
        VEKStreamFile::roomHook = [&](const std::string& name, int64 size, int64 newEnd) {
          if (name != shop + "2") return;
          ::signal(SIGXFSZ, SIG_IGN);
          const struct rlimit half = {static_cast<rlim_t>(size + (newEnd - size) / 2), saved.rlim_max};
          ::setrlimit(RLIMIT_FSIZE, &half);
        };
      } else {
        VEKCursorProtected::stepHook = [](const char* step) {
          if (std::strcmp(step, "commit-reserved") == 0) throw std::runtime_error("the seal could not be written");
        };
      }
      EXPECT_THROW(base.closeProcess(writer), std::runtime_error);
      ::setrlimit(RLIMIT_FSIZE, &saved);
      VEKStreamFile::roomHook = nullptr;
      VEKCursorProtected::stepHook = nullptr;
    }
    EXPECT_EQ(statusOf(shop + "2").st_size, readSize);
    VEKStreamFile::roomHook = [](const std::string& name, int64, int64) {
      throw std::runtime_error("No space left on device: " + name);
    };
    std::string failure;
    EXPECT_EQ(keysAfterRestart(shop, &failure), committed) << failure;
    VEKStreamFile::roomHook = nullptr;
  }
  VEKProcessPool::destroyPools();
}

// An orphaned base (its write file deleted by hand) deletes its writer's
// journal only when the journal's name still reaches that journal. It
// looks while its own descriptor keeps the journal's inode: once closed,
// a journal deleted by hand frees its inode number, which another
// holder's new journal at the name may get. A hard link keeps the inode
// to play that: once the writer's descriptor is closed, the linked file
// gets another holder's journal and the journal's name.
TEST(OrphanedBase, LeavesAJournalThatIsNotItsOwn) {
  TempDir dir;
  const std::string shop = dir.file("shop"), journal = shop + "1.sw", kept = dir.file("kept");
  commitKeys(shop, "k", 10);
  VEKCursorProtected base(shop + "1", shop + "2", VEK_STREAM_FILE);
  int64 writer = base.openWriteProcess("", "");
  ASSERT_TRUE(base.putSymbol(writer, "pending"));
  ASSERT_EQ(::link(journal.c_str(), kept.c_str()), 0);
  ASSERT_EQ(::unlink(journal.c_str()), 0);
  ASSERT_EQ(::unlink((shop + "1").c_str()), 0);
  VEKCursorProtected::stepHook = [&](const char* step) {
    if (std::strcmp(step, "orphan-dropped") != 0) return;
    VekBaseTest::spit(kept, "VEKJRNL1 another holder's journal");
    ASSERT_EQ(::rename(kept.c_str(), journal.c_str()), 0);
  };
  EXPECT_FALSE(base.reopen());
  VEKCursorProtected::stepHook = nullptr;
  EXPECT_TRUE(base.isOrphaned());
  EXPECT_EQ(slurp(journal), "VEKJRNL1 another holder's journal");
}
