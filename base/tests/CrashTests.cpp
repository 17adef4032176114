// Crash tests of protected file bases: a child process runs writer sessions
// (committed ones and abandoned ones) and kills itself with SIGKILL at a
// chosen event (a step of a commit, rollback or recovery, or any write to
// the journalled write file). The parent then recovers the base, possibly
// killing the recovery too, and checks it against a model: every session
// reported committed is there, nothing of an uncommitted session is.
// Each test runs again with a page cache so small that changed pages are
// written (under the journal) long before the flush or commit; that run
// tries every stride-th kill point so it stays quick. A full disk is played
// by the file stream's room hook.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <set>
#include <stdexcept>

#include "BaseTestUtil.h"
#include "base/VEKCursor.h"
#include "base/VEKCursorProtected.h"
#include "base/VEKJournal.h"
#include "base/VEKProcessPool.h"

using namespace VekBase;
using VekBaseTest::PageCache;
using VekBaseTest::TempDir;

namespace {

constexpr int kSessions = 5;

bool abandoned(int session) { return session % 3 == 0; }

// The home level's keys after the committed sessions among 1..last.
std::set<std::string> model(int last) {
  std::set<std::string> keys;
  for (int session = 1; session <= last; ++session) {
    if (abandoned(session)) continue;
    for (int j = 0; j < 60; ++j) keys.insert("k" + std::to_string(session) + "-" + std::to_string(j));
    for (int j = 0; j < 60; j += 2) keys.erase("k" + std::to_string(session - 1) + "-" + std::to_string(j));
  }
  return keys;
}

void runSession(VEKCursorProtected& base, int session) {
  int64 writer = base.openWriteProcess("", "");
  if (writer < 0) _exit(3);
  std::string prefix = abandoned(session) ? "junk" : "k";
  for (int j = 0; j < 60; ++j) {
    base.setStringList(writer, joinStringList({prefix + std::to_string(session) + "-" + std::to_string(j), "child"}), true);
  }
  for (int j = 0; j < 60; j += 2) {
    if (base.findStringList(writer, joinStringList({"k" + std::to_string(session - 1) + "-" + std::to_string(j)}), true))
      base.deleteSymbol(writer);
  }
  if (abandoned(session)) base.closeBase();
  else base.closeProcess(writer);
}

// Counts events and kills this process at event number killAt.
void armKill(int killAt) {
  static int events = 0;
  static int target = 0;
  events = 0;
  target = killAt;
  auto event = [] {
    if (++events == target) kill(getpid(), SIGKILL);
  };
  VEKJournal::writeHook = event;
  VEKCursorProtected::stepHook = [event](const char*) { event(); };
}

// Runs the sessions in a child killed at event killAt; returns the last
// session the child reported committed (or abandoned) before it died.
int runChild(const std::string& name, int killAt, int sessions, bool* finished) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return -1;
  pid_t child = fork();
  if (child == 0) {
    close(pipeEnds[0]);
    armKill(killAt);
    VEKCursorProtected base(name + "1", name + "2", VEK_STREAM_FILE);
    for (int session = 1; session <= sessions; ++session) {
      runSession(base, session);
      unsigned char done = static_cast<unsigned char>(session);
      if (write(pipeEnds[1], &done, 1) != 1) _exit(4);
    }
    _exit(0);
  }
  close(pipeEnds[1]);
  int last = 0;
  unsigned char done;
  while (read(pipeEnds[0], &done, 1) == 1) last = done;
  close(pipeEnds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  *finished = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (!*finished) {
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
  }
  return last;
}

// Opens the base (recovering it) in a child killed at event killAt.
void recoverInChild(const std::string& name, int killAt) {
  pid_t child = fork();
  if (child == 0) {
    armKill(killAt);
    VEKCursorProtected base(name + "1", name + "2", VEK_STREAM_FILE);
    _exit(0);
  }
  int status;
  waitpid(child, &status, 0);
}

std::set<std::string> keysOf(VEKCursorProtected& base, int64 id) {
  std::set<std::string> keys;
  for (bool more = base.goFirst(id); more; more = base.goNextKey(id)) keys.insert(base.readString(id));
  return keys;
}

// The recovered base holds exactly the state after session last, or after
// the one that was running (when it was committed past its commit point).
void expectRecovered(const std::string& name, int last, int killAt) {
  VEKCursorProtected base(name + "1", name + "2", VEK_STREAM_FILE);
  ASSERT_TRUE(base.hasCursors()) << "kill at " << killAt;
  int64 reader = base.openReadProcess("", "");
  int64 writer = base.openWriteProcess("", "");
  std::set<std::string> read = keysOf(base, reader), written = keysOf(base, writer);
  EXPECT_EQ(read, written) << "kill at " << killAt;
  bool matches = read == model(last) || (last < kSessions && read == model(last + 1));
  EXPECT_TRUE(matches) << "kill at " << killAt << " after session " << last << ": " << read.size() << " keys";
  for (const std::string& key : read) EXPECT_EQ(key.rfind("junk", 0), std::string::npos);
  base.closeBase();
  base.closeProcess(reader);
}

constexpr size_t kTinyCache = 12 << 10;  // two or three nodes

void everyKillPointRecovers(int stride, int minimum) {
  TempDir dir;
  bool finished = false;
  int killPoints = 0;
  for (int killAt = 1; !finished; killAt += stride) {
    std::string name = dir.file("crash" + std::to_string(killAt));
    int last = runChild(name, killAt, kSessions, &finished);
    if (!finished) ++killPoints;
    if (killAt % 4 == 0) recoverInChild(name, 1 + killAt % 3);  // a crash during recovery, too
    expectRecovered(name, last, killAt);
    ASSERT_LT(killAt / stride, 5000) << "the run never finishes";
    VEKStreamFile::removeFile(name + "1");
    VEKStreamFile::removeFile(name + "2");
  }
  EXPECT_GE(killPoints, minimum);
  std::printf("kill points: %d\n", killPoints);
  VEKProcessPool::destroyPools();
}

// A plain file base (the sort mode's) journals its changes itself: killed
// at any write, it reopens either as before or as after.
void killedFlushLeavesOldOrNew(int stride, int minimum) {
  TempDir dir;
  auto keysIn = [](const std::string& name) {
    std::set<std::string> keys;
    VEKCursorBase cursor(name.c_str(), VEK_STREAM_FILE);
    for (bool more = cursor.goFirst(); more; more = cursor.goNextKey()) keys.insert(cursor.readString());
    return keys;
  };
  std::set<std::string> before, after;
  for (int i = 0; i < 2000; ++i) before.insert("old" + std::to_string(i));
  after = before;
  for (int i = 0; i < 2000; i += 3) after.erase("old" + std::to_string(i));
  for (int i = 0; i < 2000; ++i) after.insert("new" + std::to_string(i));
  int killPoints = 0;
  for (int killAt = 1;; killAt += stride) {
    std::string name = dir.file("plain" + std::to_string(killAt));
    {
      VEKCursorBase cursor(name.c_str(), VEK_STREAM_FILE);
      for (const std::string& key : before) cursor.putSymbol(key);
    }
    pid_t child = fork();
    if (child == 0) {
      armKill(killAt);
      VEKCursorBase cursor(name.c_str(), VEK_STREAM_FILE);
      for (int i = 0; i < 2000; i += 3) cursor.findSymbol("old" + std::to_string(i)) && cursor.deleteSymbol();
      for (int i = 0; i < 2000; ++i) cursor.putSymbol("new" + std::to_string(i));
      cursor.close();
      _exit(0);
    }
    int status;
    waitpid(child, &status, 0);
    std::set<std::string> found = keysIn(name);
    EXPECT_TRUE(found == before || found == after) << "kill at " << killAt << ": " << found.size() << " keys";
    if (WIFEXITED(status)) {
      EXPECT_EQ(found, after);
      break;
    }
    ++killPoints;
    ASSERT_LT(killAt / stride, 5000);
  }
  EXPECT_GE(killPoints, minimum);
  std::printf("kill points: %d\n", killPoints);
}

}  // namespace

TEST(ProtectedCrash, EveryKillPointRecoversToACommittedState) { everyKillPointRecovers(1, 50); }

TEST(ProtectedCrash, EveryKillPointRecoversWithATinyPageCache) {
  PageCache tiny(kTinyCache);
  everyKillPointRecovers(5, 40);
}

TEST(PlainBaseCrash, AKilledFlushLeavesTheOldOrTheNewBase) { killedFlushLeavesOldOrNew(1, 10); }

TEST(PlainBaseCrash, AKilledRunLeavesTheOldOrTheNewBaseWithATinyPageCache) {
  PageCache tiny(kTinyCache);
  killedFlushLeavesOldOrNew(29, 15);
}

namespace {

// A disk with room bytes free for the files that grow while it lives.
class FullDisk {
 public:
  explicit FullDisk(int64 room) {
    VEKStreamFile::roomHook = [this, room](const std::string& name, int64 size, int64 newEnd) {
      int64& reached = ends[name];
      const int64 more = newEnd - std::max(reached, size);
      if (more <= 0) return;
      if (more > room - used) throw std::runtime_error("No space left on device: " + name);
      used += more;
      reached = newEnd;
    };
  }
  ~FullDisk() { VEKStreamFile::roomHook = nullptr; }

 private:
  std::map<std::string, int64> ends;  // how far each file has taken room
  int64 used = 0;
};

}  // namespace

// A file base on a disk with room for nothing, then a page more at each
// try, up to room for a whole session: the session either commits, or it
// fails and the base is as committed before it, also once recovered on the
// still full disk (a commit never passes its commit point without room to
// publish, so a client told it failed never finds it done).
TEST(FullDisk, ACommitThatFailsHasChangedNothing) {
  TempDir dir;
  const std::string name = dir.file("full");
  VEKCursorProtected base(name + "1", name + "2", VEK_STREAM_FILE);
  int64 writer = base.openWriteProcess("", "");
  base.putSymbol(writer, "committed");
  base.closeProcess(writer);
  const std::string value(1000, 'v');
  bool committed = false;
  int failed = 0;
  for (int64 room = 0; !committed; room += 4096) {
    ASSERT_LT(room, 8 << 20) << "the session never commits";
    FullDisk disk(room);
    try {
      writer = base.openWriteProcess("", "");
      ASSERT_GE(writer, 0) << room;
      for (int i = 0; i < 100; ++i) base.putSymbol(writer, "key" + std::to_string(i) + value);
      base.closeProcess(writer);
      committed = true;
    } catch (const std::runtime_error&) {
      ++failed;
    }
    int64 reader = base.openReadProcess("", "");
    ASSERT_GE(reader, 0) << "not recovered with room " << room << ": " << base.failure();
    EXPECT_EQ(base.getSymbolCount(reader), committed ? 101 : 1) << "room " << room;
    base.closeProcess(reader);
  }
  EXPECT_GT(failed, 20);
  VEKProcessPool::destroyPools();
}
