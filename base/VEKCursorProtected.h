// A protected base: one named base shared by pages, kept in two files (or
// two memory streams): the write file, changed only by the one writer
// session, and the read file, a committed copy that reader sessions read.
// The writer's changes reach the read file only at commit; a rolled back
// writer leaves no trace. See VEKCursorProtected.cpp for the journal rules.
//
// Commands take the session id first. Write commands act only for the live
// current writer (false, 0 or empty otherwise). Read commands use the write
// cursor for the writer's id; for a reader id they first move the read
// cursor to that reader's saved position (throwing
// "VEKCursorProtected::readCommand - Unaccessible path!" when it is gone),
// and do nothing for an id that is not a live reader. A std::exception from
// a cursor closes both cursors, marks the base broken and is thrown on.
//
// One base, one process: while a file base is open, this process holds an
// advisory lock on its write file and on its read file (VEKFileLock), and a
// base that another process holds is not opened here (failure() says so):
// its journals are never recovered under a writer that is still running
// there, and a base whose write file is a hard link of this read file is
// refused. The lock is taken before a new base's files are made, so two
// processes creating one base never format a file under each other.
//
// A base notices, each time it is looked up, when its write file is no
// longer the file it opened (deleted by another page's "~~x" or by hand, or
// replaced by another file): it is then orphaned. Its sessions end (the
// writer's changes are dropped and its journal deleted, readers forgotten),
// it touches nothing at its names, and every command gives its failure
// result. renew (the next open of the name) starts it afresh there. The
// writer's id stays taken until it is ended, so that its commit can fail
// (failLostCommit) instead of passing for one that stored its changes.
#pragma once
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "base/VEKCursor.h"
#include "base/VEKFileLock.h"
#include "kernel/VekTypes.h"

namespace VekBase {

struct VEKJournalImage;

class VEKCursorProtected : public VEKObject {
 public:
  // Recovers the files (a committed journal is applied, an interrupted one
  // rolled back) and opens both cursors; mode 2 memory, 4 files. A base
  // that cannot be opened is left broken, without cursors.
  VEKCursorProtected(const std::string& writeFile, const std::string& readFile, u32 mode);
  ~VEKCursorProtected() override;
  VEKCursorProtected(const VEKCursorProtected&) = delete;
  VEKCursorProtected& operator=(const VEKCursorProtected&) = delete;

  const std::string& writeFileName() const { return writeFile; }
  const std::string& readFileName() const { return readFile; }
  u32 mode() const { return streamMode; }
  bool hasCursors() const { return writeCursor && readCursor; }
  bool isBroken() const { return broken; }
  // True when the files went under the base (see above) and it has not
  // been renewed since.
  bool isOrphaned() const { return orphaned; }
  // Why the last open or recovery failed ("Can't open the VEKBase file: "
  // and the file's name, for one); empty after a successful one.
  const std::string& failure() const { return failureText; }

  // Sessions. openWriteProcess gives the writer's id, WriterSlotTaken while
  // another writer holds the base (or it cannot be opened), LoginRefused
  // for a user without the write right.
  static constexpr int64 WriterSlotTaken = -1;
  static constexpr int64 LoginRefused = -2147483648LL;
  // owner is the token of the run that opens the session (0: none).
  int64 openWriteProcess(const std::string& user, const std::string& pass, u64 owner = 0);
  int64 openReadProcess(const std::string& user, const std::string& pass, u64 owner = 0);
  // True when id is a live session of this base (its writer or one of its
  // readers) opened by owner.
  bool ownedBy(int64 id, u64 owner) const;
  // The owner of the current writer; 0 when there is none.
  u64 writerOwner() const;
  // Ends a reader, or commits the writer. A writer lost when the base was
  // orphaned ends without a word (its changes are gone).
  void closeProcess(int64 id);
  // True when id is a writer lost when the base was orphaned and not yet
  // ended (closeProcess ends it without a word).
  bool isLostWriter(int64 id) const { return lostWriters.count(id) != 0; }
  // Throws std::runtime_error (ending the id) when id is a writer lost
  // when the base was orphaned: a commit through it stores nothing.
  void failLostCommit(int64 id);
  void closeBase();
  int64 getWriteProcess() const { return writerId; }
  // Recovers the journal while no writer is open and rebuilds missing
  // cursors; true when both cursors exist. False, touching nothing, for an
  // orphaned base.
  bool reopen();
  // reopen, and for an orphaned base a fresh start over what its names
  // hold now; false (still orphaned) when that cannot be opened.
  bool renew();

  // Write commands.
  bool putSymbol(int64 id, const std::string& key);
  bool replaceSymbol(int64 id, const std::string& key);
  bool deleteSymbol(int64 id);
  bool setStringList(int64 id, const std::string& list, bool fromHome);
  bool moveStringList(int64 id, const std::string& from, const std::string& to);
  void lockWrite(int64 id);
  void unlockWrite(int64 id);
  void lockRead(int64 id);
  void unlockRead(int64 id);
  void removeFromIndex(int64 id);
  void addToIndex(int64 id, const std::string& text, const std::string& second);
  bool addUser(int64 id, const std::string& user, const std::string& pass, const std::string& right);
  bool changePassword(int64 id, const std::string& user, const std::string& pass, const std::string& newUser,
                      const std::string& newPass);
  bool deleteUser(int64 id, const std::string& user, const std::string& pass);

  // Read commands.
  std::string readString(int64 id);
  bool findSymbol(int64 id, const std::string& key);
  int64 dataLength(int64 id);
  bool goChild(int64 id);
  bool goParent(int64 id);
  bool goFirst(int64 id);
  bool goLast(int64 id);
  bool goNextKey(int64 id);
  bool goPrevKey(int64 id);
  int searchSymbol(int64 id, const std::string& key);
  bool findSymbolOrNext(int64 id, const std::string& key);
  bool findSymbolOrPrev(int64 id, const std::string& key);
  std::string getStringList(int64 id, bool fromHome);
  bool findStringList(int64 id, const std::string& list, bool fromHome);
  bool goPr(int64 id);
  bool goNx(int64 id);
  bool goUp(int64 id);
  bool goDn(int64 id);
  std::string readStringAtList(int64 id, const std::string& list, bool fromHome);
  bool existsSymbol(int64 id, const std::string& key);
  bool existsStringList(int64 id, const std::string& list, bool fromHome);
  std::string searchInIndex(int64 id, const std::string& query, const std::string& second, int64 limit);
  int64 getChildCount(int64 id);
  int64 getSymbolCount(int64 id);
  bool goSubLevel(int64 id);

  // Test hook: called with a step name at each step of a commit, a
  // rollback or an orphaning, so tests can stop the process (or change
  // the files) between any two steps.
  static std::function<void(const char* step)> stepHook;

 private:
  static void step(const char* name);  // calls stepHook when set
  template <typename Result>
  Result writeCommand(int64 id, Result none, const std::function<Result(VEKCursor&)>& command);
  template <typename Result>
  Result readCommand(int64 id, Result none, const std::function<Result(VEKCursor&)>& command);
  VEKCursor* cursorFor(int64 id, bool* lost);
  bool isWriter(int64 id) const;
  void breakBase();
  void openCursors();
  static int64 sizeOf(VEKStream& probe, const std::string& name);
  void checkFiles() const;
  void lockWriteFile(bool create);
  bool holdsItsWriteFile() const;
  bool orphanIfReplaced();
  void orphan();
  std::string asideName() const;
  void lockReadFile();
  void refuseReadOnly(const std::string& name) const;
  void removeAsideFiles();
  void recover();
  void recoverWrite();
  enum class Rollback { Whole, FromReadCopy, Refused };
  Rollback checkRollback(const VEKJournalImage& image);
  static bool rollbackMatches(VEKStream& write, VEKStream& read, const VEKJournalImage& image);
  void remakeWriteFile(int64 size);
  void commit();
  void stampNextCommit();
  void rollbackWrite();
  void deleteWriteJournal();
  void publishJournal(const std::string& journal);
  static bool holdsCommitBefore(VEKStream& write, VEKStream& copy);
  static void giveBackRoom(VEKStream& copy, int64 size);
  void copyWholeWriteFile();
  void refuseUnwritableReadCopy() const;
  void keepReadCopyMode(const std::string& aside) const;
  void openReadCursor();
  void openReadCopy();
  bool readCopyHoldsLastCommit() const;
  bool sameReadCopy() const;
  bool readCopyAgrees();
  static bool opensAsBase(VEKStream& stream);
  VEKStream* newStream() const;
  std::string journalName() const { return writeFile + ".sw"; }
  std::string committedName() const { return writeFile + ".swt"; }

  std::string writeFile;                     // base name + "1"
  std::string readFile;                      // base name + "2"
  u32 streamMode;                            // VEK_STREAM_MEMORY or VEK_STREAM_FILE
  std::unique_ptr<VEKCursor> writeCursor;    // the writer's cursor, on the write file
  std::unique_ptr<VEKCursor> readCursor;     // the readers' cursor, on the read file
  int64 writerId = -1;                       // current writer, -1 when none
  int64 currentReader = -1;                  // reader whose place readCursor holds
  std::map<int64, VEKPosition> readers;      // live readers and their saved places
  bool broken = false;                       // a failure closed the cursors
  std::string failureText;                   // why the last open failed
  VEKFileLock writeLock;                     // a file base's write file, while open
  VEKFileLock readLock;                      // and its read file
  bool filesOpened = false;                  // opened its files (and holds them)
  bool orphaned = false;                     // its files went under it
  VEKFileId writerJournal;                   // the live writer's journal file
  VEKFileId readCopy;                        // the read file it last read or wrote
  std::set<int64> lostWriters;               // writers the orphaning ended, until closed
};

}  // namespace VekBase
