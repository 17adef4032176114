// The protected base: sessions and the write file's journal (the commands
// are in VEKCursorProtectedCommands.cpp, the read file's checks, rebuild
// and publishing in VEKCursorProtectedReadCopy.cpp).
//
// Rules of the journal (".sw" and ".swt" appended to the write file name;
// what makes one whole is told in VEKJournal.h):
//  1. The write cursor keeps a writer's changes in memory until commit, or
//     until its page cache overflows; they reach the write file only
//     through a stream that journals itself into ".sw" (the original bytes
//     of every block it overwrites, and the original size), and the journal
//     is made durable before each overwrite (VEKTree::writePages).
//  2. Commit: write the changes, fsync the write file, take the room the
//     read file will grow into, seal ".sw" (trailer, fsync), rename it to
//     ".swt" and fsync the directory. That rename is the commit point:
//     everything that can fail for want of room fails before it, and a
//     failure before it rolls the writer back as in rule 3 and gives back
//     the room the read file took (its size as before). Then publish:
//     copy the journalled regions of the write file into the read file,
//     fsync it, delete ".swt" and fsync the directory.
//  3. Rollback (closeBase, or recovery of a left-over ".sw"): put the saved
//     blocks back, cut the write file to its original size, fsync, delete
//     ".sw" and fsync the directory. Repeating it is harmless. A ".sw"
//     ends where its records stop verifying: the blocks past that point
//     were never changed.
//  4. Recovery, whenever no writer is open: a ".swt" is published again as
//     in rule 2 (copying is idempotent) and deleted; then a ".sw" is rolled
//     back as in rule 3. A crash between any two steps therefore leaves the
//     read file (and, after recovery, the write file) at either the old or
//     the new committed state.
//  5. Both files carry a stamp (VEKBaseStamp in VEKTree.h): the base's
//     identity and the commits the file holds. A commit counts itself in
//     the write file's header before the commit point; publishing brings
//     the read file to it. The read file is only ever written by
//     publishing a whole journal into a copy that holds the commit before
//     (read through the descriptor that writes), or whole (through a
//     temporary file and a rename) when it is missing, does not open, is
//     no longer the file the read cursor read (replaced by hand), or does
//     not hold the write file's last commit of this base (by the header
//     the read cursor read; files of the format before stamps: differs
//     from the write file in size or in its first or last block). A read
//     file made read-only (by its mode) is never replaced: the base is
//     refused and the file left as it is.
//  6. A base is never opened over a file that is not its own: when the
//     write or read file exists and is not a base (or a journal's name holds
//     a file that is not a journal), the open fails and nothing is touched.
//  7. A ".swt" exists only after the write file was made durable, so the
//     write file holds the committed state. Publishing uses the journal
//     only when it is whole and the write file has the size it was sealed
//     with; otherwise (a cut or garbled journal, one from before journals
//     were sealed) the read file is rebuilt whole from the write file when
//     that opens as a base. When it does not, nothing is copied: the base
//     is refused with a message naming the journal, and the journal stays.
//  8. A ".sw" that recovery rolls back must restore the write file to the
//     read file's bytes when the read file is this base's at the commit
//     the write file held before its writer began. When it does not (the
//     journal was damaged: a crash alone never does that), the read file
//     is never rebuilt from the write file: the write file is made again
//     from the read file, or, when the read file does not open either, the
//     base is refused with all three files as they are.
#include "base/VEKCursorProtected.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <stdexcept>

#include "base/VEKJournal.h"
#include "base/VEKProcessPool.h"
#include "base/VEKTree.h"

namespace VekBase {

std::function<void(const char* step)> VEKCursorProtected::stepHook;

void VEKCursorProtected::step(const char* name) {
  if (stepHook) stepHook(name);
}

VEKCursorProtected::VEKCursorProtected(const std::string& writeName, const std::string& readName, u32 mode)
    : writeFile(writeName), readFile(readName), streamMode(mode) {
  reopen();
}

VEKCursorProtected::~VEKCursorProtected() {
  try {
    closeBase();
    // A base broken by a failure settles its journal now rather than at its
    // next open, which may never come: a memory base gives back at once
    // what the failed writer grew.
    // Only while this process holds the base: a base refused because
    // another process has it open leaves its journals to that process.
    const bool holdsFiles = streamMode == VEK_STREAM_MEMORY || writeLock.held();
    if (broken && !hasCursors() && !orphaned && holdsFiles) {
      checkFiles();
      recover();
    }
  } catch (const std::exception&) {
    // The journal stays and is rolled back when the base is next opened.
  }
  for (const auto& reader : readers) VEKProcessPool::readPool()->release(reader.first);
  if (writerId >= 0) VEKProcessPool::writePool()->release(writerId);
  for (int64 lost : lostWriters) VEKProcessPool::writePool()->release(lost);
  try {
    writeCursor.reset();
    readCursor.reset();
  } catch (const std::exception&) {
  }
}

VEKStream* VEKCursorProtected::newStream() const {
  if (streamMode == VEK_STREAM_MEMORY) return new VEKStreamMem();
  return new VEKStreamFile();
}

bool VEKCursorProtected::isWriter(int64 id) const {
  return id >= 0 && id == writerId && VEKProcessPool::writePool()->isLive(id);
}

// Closes both cursors after a failure: pending changes of the writer are
// dropped (its journal is rolled back by the next recovery) and its id freed.
void VEKCursorProtected::breakBase() {
  broken = true;
  if (writeCursor) writeCursor->discard();
  if (readCursor) readCursor->discard();
  writeCursor.reset();
  readCursor.reset();
  currentReader = -1;
  if (writerId >= 0) VEKProcessPool::writePool()->release(writerId);
  writerId = -1;
}

bool VEKCursorProtected::reopen() {
  if (orphanIfReplaced()) return false;
  if (writerId >= 0 && hasCursors()) return true;  // a live writer's journal is not interrupted
  // While this process holds the files, journals appear only through its
  // own sessions, and one left by a failure leaves the base without cursors.
  if (hasCursors() && filesOpened && writeLock.held()) return true;
  try {
    std::unique_ptr<VEKStream> probe(newStream());
    bool pending = probe->access(journalName().c_str(), 0) == 0 || probe->access(committedName().c_str(), 0) == 0;
    if (hasCursors() && !pending) return true;
    if (writeCursor) writeCursor->discard();
    if (readCursor) readCursor->discard();
    writeCursor.reset();
    readCursor.reset();
    currentReader = -1;
    refuseReadOnly(writeFile);
    lockWriteFile(false);  // first: a journal another process is writing is never recovered here
    checkFiles();
    lockWriteFile(true);  // a new base's files are made only under the lock
    lockReadFile();
    recover();
    openCursors();
    removeAsideFiles();
    filesOpened = true;
    broken = false;
    failureText.clear();
  } catch (const std::exception& failure) {
    breakBase();
    failureText = failure.what();
    return false;
  }
  return true;
}

bool VEKCursorProtected::renew() {
  if (!orphanIfReplaced()) return reopen();
  orphaned = false;
  if (reopen()) return true;
  writeLock.release();  // an orphan holds nothing at its names (reopen may have locked what is there now)
  readLock.release();
  orphaned = true;
  return false;
}

// Memory bases live in this process only and need no lock. A missing
// write file is made (empty, as a creation cut short leaves it) only once
// checkFiles found nothing at the names that is not the base's.
void VEKCursorProtected::lockWriteFile(bool create) {
  if (streamMode != VEK_STREAM_MEMORY) writeLock.take(writeFile, create);
}

// The read file is locked as well: another base whose write file reaches
// it (a hard link) is refused, as one opened over this write file is. A
// read file made read-only is refused before it is locked (root may open
// it for writing all the same).
void VEKCursorProtected::lockReadFile() {
  if (streamMode == VEK_STREAM_MEMORY) return;
  refuseReadOnly(readFile);
  readLock.take(readFile);
}

// A base file that no one may write (no write bit in its mode) is the
// operator's setting: the base is refused, the file left as it is. The
// mode is read rather than trusting an open for writing to fail, which it
// does not for the superuser.
void VEKCursorProtected::refuseReadOnly(const std::string& name) const {
  struct stat status;
  if (streamMode == VEK_STREAM_MEMORY || ::stat(name.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return;
  if ((status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
    throw std::runtime_error("Can't open the VEKBase file: " + name + ": " + std::strerror(EACCES));
}

// A rebuild of the read file cut short (a kill) leaves its aside file
// (NAME2.tmp.XXXXXX). Under both locks no rebuild of this base runs, so
// one that is empty or holds a copy of this base is removed; any other
// file of that name is left alone.
void VEKCursorProtected::removeAsideFiles() {
  const VEKBaseStamp& own = writeCursor->stamp();
  if (streamMode == VEK_STREAM_MEMORY || !own.stamped()) return;
  const size_t slash = readFile.find_last_of('/');
  const std::string directory = slash == std::string::npos ? "." : readFile.substr(0, slash + 1);
  const std::string prefix = (slash == std::string::npos ? readFile : readFile.substr(slash + 1)) + ".tmp.";
  DIR* listing = ::opendir(directory.c_str());
  if (!listing) return;
  VEKStreamFile like;
  while (dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string path = slash == std::string::npos ? name : directory + name;
    struct stat status;
    if (::lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) continue;
    VEKBaseStamp stamp;
    if (status.st_size == 0 || (readBaseStamp(like, path, &stamp) && stamp.sameBase(own)))
      VEKStreamFile::removeFile(path);
  }
  ::closedir(listing);
}

bool VEKCursorProtected::holdsItsWriteFile() const {
  if (streamMode != VEK_STREAM_MEMORY) return writeLock.holds(writeFile);
  VEKStreamMem probe;
  return probe.access(writeFile.c_str(), 0) == 0;
}

// True when the base is orphaned, now or before: its write file is gone, or
// the name reaches another file.
bool VEKCursorProtected::orphanIfReplaced() {
  if (orphaned) return true;
  if (!filesOpened || holdsItsWriteFile()) return false;
  orphan();
  return true;
}

// Nothing may be written, rolled back or published by name any more: the
// names reach another file or none. The live writer's journal is this
// process's own, and left there it would roll its old bytes into whatever
// file gets the name next; a journal of another holder stays.
void VEKCursorProtected::orphan() {
  const bool hadWriter = writerId >= 0;
  // Looked at while the writer's stream still holds the journal open: once
  // closed, a journal deleted by hand gives up its inode number, which a
  // new file at the name (another holder's journal) may then get.
  const bool ownJournal = streamMode == VEK_STREAM_MEMORY || VEKFileId::of(journalName()) == writerJournal;
  try {
    if (writeCursor) writeCursor->discard();
    if (readCursor) readCursor->discard();
  } catch (const std::exception&) {
    // The cursors are dropped either way.
  }
  writeCursor.reset();  // closes the writer's journal
  readCursor.reset();
  step("orphan-dropped");
  std::unique_ptr<VEKStream> probe(newStream());
  if (hadWriter && ownJournal) probe->remove(journalName().c_str());
  for (const auto& reader : readers) VEKProcessPool::readPool()->release(reader.first);
  readers.clear();
  currentReader = -1;
  if (hadWriter) lostWriters.insert(writerId);  // its "~~." must fail, not pass for a commit
  writerId = -1;
  writeLock.release();
  readLock.release();
  filesOpened = false;
  readCopy = VEKFileId();
  broken = false;
  orphaned = true;
  failureText = "The VEKBase file was deleted or replaced: " + writeFile;
}

// Rule 6: before anything is recovered, created or copied, every name the
// base may write or delete holds a base, a journal, or nothing. A file that
// a journal of this base names is this engine's whatever a crash left at
// its start: the write file under ".sw" or ".swt", the read file under
// ".swt" (a publish in progress) or its own cursor's journal.
void VEKCursorProtected::checkFiles() const {
  std::unique_ptr<VEKStream> probe(newStream());
  const std::string readJournal = readFile + ".sw";
  for (const std::string& name : {journalName(), committedName(), readJournal})
    if (!mayHoldJournal(*probe, name)) throw std::runtime_error("Can't open the VEKBase file: " + name);
  const bool committing = isJournalFile(*probe, committedName());
  const bool writeJournalled = committing || isJournalFile(*probe, journalName());
  const bool readJournalled = committing || isJournalFile(*probe, readJournal);
  if (!writeJournalled && !mayHoldBase(*probe, writeFile))
    throw std::runtime_error("Can't open the VEKBase file: " + writeFile);
  if (!readJournalled && !mayHoldBase(*probe, readFile))
    throw std::runtime_error("Can't open the VEKBase file: " + readFile);
}

// A committed journal whose write file is gone (or empty: made afresh
// under the lock) belongs to a base whose files were deleted (by "~~x"
// while other pages still held it): there is nothing left to publish, and
// publishing would fail on every open.
void VEKCursorProtected::recover() {
  std::unique_ptr<VEKStream> probe(newStream());
  if (probe->access(committedName().c_str(), 0) == 0) {
    if (sizeOf(*probe, writeFile) > 0) {
      publishJournal(committedName());
    } else {
      if (probe->remove(committedName().c_str()) != 0) throw std::runtime_error("Can not delete file: " + committedName());
      probe->syncDirectory(committedName());
    }
  }
  if (probe->access(journalName().c_str(), 0) == 0) recoverWrite();
}

// Rule 8: a writer's journal left by a crash restores the write file only
// when it is whole; a read copy of this base that holds the commit the
// write file is rolled back to tells whether it did.
void VEKCursorProtected::recoverWrite() {
  std::unique_ptr<VEKStream> probe(newStream());
  const VEKJournalImage image = readJournal(*probe, journalName());
  switch (checkRollback(image)) {
    case Rollback::Whole:
      rollbackWrite();
      return;
    case Rollback::FromReadCopy:
      remakeWriteFile(image.originalSize);
      std::printf("VEKBase %s: its journal %s could not restore it; opened at its last commit, made again from %s\n",
                  writeFile.c_str(), journalName().c_str(), readFile.c_str());
      std::fflush(stdout);
      deleteWriteJournal();
      return;
    case Rollback::Refused:
      throw std::runtime_error("Can't open the VEKBase file: " + writeFile + " (its journal " + journalName() +
                               " cannot restore it, and " + readFile + " does not hold its last commit)");
  }
}

// Whether rolling the write file back with image gives the read copy's
// bytes, as it must when the copy is this base's at the commit the write
// file held before its writer began. A writer's journal saves the header
// first, so its saved header tells that commit exactly; only a journal cut
// inside its first record (or one of an older program) lacks it, and then
// the write file's own header tells it (one commit more there is a commit
// cut before its commit point). Without such a copy (missing, of an older
// format, of another base or commit: an older copy put back) there is
// nothing to compare with, and the rollback is trusted as before. A copy
// shorter than the write file was then is no copy to remake it from.
VEKCursorProtected::Rollback VEKCursorProtected::checkRollback(const VEKJournalImage& image) {
  if (!image.valid) return Rollback::Whole;
  std::unique_ptr<VEKStream> write(newStream()), read(newStream());
  if (write->access(readFile.c_str(), 0) != 0 || write->access(writeFile.c_str(), 0) != 0) return Rollback::Whole;
  write->open(writeFile.c_str(), O_RDONLY, 0644);
  if (write->size() < image.originalSize) return Rollback::Whole;  // a new file at the name: a fresh base
  read->open(readFile.c_str(), O_RDONLY, 0644);
  VEKBaseStamp copy, before;
  if (!readBaseStamp(*read, &copy) || !copy.stamped()) return Rollback::Whole;
  auto savedHeader = std::find_if(image.regions.begin(), image.regions.end(),
                                  [](const std::pair<int64, std::string>& region) { return region.first == 0; });
  const bool known = savedHeader != image.regions.end() ? readBaseStamp(savedHeader->second, &before)
                                                         : readBaseStamp(*write, &before);
  const bool oneCommitCut = savedHeader == image.regions.end() && copy.commits + 1 == before.commits;
  if (!known || !copy.sameBase(before) || (copy.commits != before.commits && !oneCommitCut)) return Rollback::Whole;
  if (rollbackMatches(*write, *read, image)) return Rollback::Whole;
  return read->size() >= image.originalSize && opensAsBase(*read) ? Rollback::FromReadCopy : Rollback::Refused;
}

// True when the write file rolled back with image (not written: read and
// overlaid with the saved blocks) equals the read copy up to the original
// size. Only a crash recovery reads the files whole.
bool VEKCursorProtected::rollbackMatches(VEKStream& write, VEKStream& read, const VEKJournalImage& image) {
  const int64 size = image.originalSize;
  if (write.size() < size || read.size() < size) return false;
  std::map<int64, const std::string*> saved;
  for (const auto& region : image.regions) saved[region.first] = &region.second;
  const int64 chunk = 256 * VEKJournal::BLOCK;  // regions are whole blocks: none straddles two chunks
  std::string mine(static_cast<size_t>(chunk), '\0'), theirs(static_cast<size_t>(chunk), '\0');
  for (int64 offset = 0; offset < size; offset += chunk) {
    const int64 length = std::min(chunk, size - offset);
    if (write.readUncached(offset, &mine[0], length) != length || read.readUncached(offset, &theirs[0], length) != length)
      return false;
    for (auto at = saved.lower_bound(offset); at != saved.end() && at->first < offset + length; ++at) {
      const int64 within = at->first - offset;
      const int64 bytes = std::min(static_cast<int64>(at->second->size()), length - within);
      std::memcpy(&mine[static_cast<size_t>(within)], at->second->data(), static_cast<size_t>(bytes));
    }
    if (mine.compare(0, static_cast<size_t>(length), theirs, 0, static_cast<size_t>(length)) != 0) return false;
  }
  return true;
}

// The write file made again from the read copy, in place (its lock stays
// on it), at the size it had when its writer began. A crash here leaves
// the journal, and the next recovery does the same again.
void VEKCursorProtected::remakeWriteFile(int64 size) {
  std::unique_ptr<VEKStream> from(newStream()), to(newStream());
  from->open(readFile.c_str(), O_RDONLY, 0644);
  to->open(writeFile.c_str(), O_RDWR, 0644);
  std::string bytes(1 << 20, '\0');
  for (int64 offset = 0; offset < size; offset += static_cast<int64>(bytes.size())) {
    const int64 length = std::min<int64>(static_cast<int64>(bytes.size()), size - offset);
    if (from->readUncached(offset, &bytes[0], length) != length) throw std::runtime_error("Can't open the VEKBase file: " + readFile);
    to->seek(offset, SEEK_SET);
    to->zwrite(bytes.data(), length);
  }
  to->truncate(size);
  to->sync();
}

// A write file made here (missing, or empty: a creation cut short) starts
// a fresh base with a stamp of its own, and a read copy left from before
// it is rebuilt whatever its size: a copy of the same size would otherwise
// stay, and later commits would copy only their changed regions into it.
// Files of the format before stamps keep the sample (readCopyAgrees) until
// their first commit stamps them.
void VEKCursorProtected::openCursors() {
  std::unique_ptr<VEKStream> probe(newStream());
  bool writeFileMade = false;
  if (!writeCursor) {
    writeFileMade = sizeOf(*probe, writeFile) <= 0;
    writeCursor.reset(new VEKCursor(writeFile.c_str(), streamMode));
    if (writeCursor->created()) {
      writeCursor->setStamp(VEKBaseStamp::fresh(VEKBaseStamp::PageBase));
      writeCursor->flush();
    }
  }
  if (readCursor) return;
  if (writeFileMade || (!writeCursor->stamp().stamped() && !readCopyAgrees())) copyWholeWriteFile();
  openReadCursor();
}

// Rule 3.
void VEKCursorProtected::rollbackWrite() {
  std::unique_ptr<VEKStream> probe(newStream());
  VEKJournalImage image = readJournal(*probe, journalName());
  if (image.valid) {
    std::unique_ptr<VEKStream> target(newStream());
    target->open(writeFile.c_str(), O_RDWR | O_CREAT, 0644);
    rollbackJournal(*target, image);
    step("rollback-restored");
    target->sync();
  }
  step("rollback-synced");
  deleteWriteJournal();
}

void VEKCursorProtected::deleteWriteJournal() {
  std::unique_ptr<VEKStream> probe(newStream());
  if (probe->remove(journalName().c_str()) != 0) throw std::runtime_error("Can not delete file: " + journalName());
  probe->syncDirectory(journalName());
}

// Rule 2.
void VEKCursorProtected::commit() {
  VEKStream* stream = writeCursor->stream();
  step("commit-start");
  stampNextCommit();
  writeCursor->flush();
  step("commit-written");
  stream->sync();
  // Publishing grows the read file after the commit point, where a refusal
  // (a full disk, the memory bases' limit) would leave the commit half
  // done: the read file takes its room now, while a failure still rolls
  // the writer back.
  VEKStream* copy = readCursor->stream();
  const int64 copySize = copy->size();
  try {
    copy->reserve(stream->size());  // may fail halfway, the disk filling up
    step("commit-reserved");
    // Sealed only now that the write file is durable and nothing more will
    // change it; the seal is durable before the rename makes it the commit.
    stream->journal()->seal();
    stream->EndSaveWrite();
    step("commit-synced");
    if (stream->rename(journalName().c_str(), committedName().c_str()) != 0)
      throw std::runtime_error("Can not rename file: " + journalName());
  } catch (const std::exception&) {
    giveBackRoom(*copy, copySize);
    throw;
  }
  stream->syncDirectory(committedName());
  step("commit-renamed");
  if (currentReader >= 0 && readers.count(currentReader)) readers[currentReader] = readCursor->savePosition();
  currentReader = -1;
  readCursor.reset();
  publishJournal(committedName());
  openReadCursor();
  step("commit-done");
}

// The write file's header, written under the journal before the commit
// point, counts this commit; publishing brings the read copy to it. A
// base of the format before stamps gets its stamp now.
void VEKCursorProtected::stampNextCommit() {
  VEKBaseStamp next = writeCursor->stamp();
  if (!next.stamped()) next = VEKBaseStamp::fresh(VEKBaseStamp::PageBase);
  ++next.commits;
  writeCursor->setStamp(next);
}

// A commit that fails before its commit point leaves the read copy as it
// was: without fallocate the reserve grew it with zeros, and a copy whose
// size differs from the write file's is rebuilt whole, which a disk that
// is full by then cannot do. Nothing is lost when this fails too.
void VEKCursorProtected::giveBackRoom(VEKStream& copy, int64 size) {
  try {
    copy.truncate(size);
  } catch (const std::exception&) {
  }
}

int64 VEKCursorProtected::openWriteProcess(const std::string& user, const std::string& pass, u64 owner) {
  if (orphanIfReplaced()) return WriterSlotTaken;  // no journal beside a file that is not the base's
  if (!hasCursors() && !reopen()) return WriterSlotTaken;
  if (writerId >= 0) return WriterSlotTaken;
  try {
    if (!writeCursor->login(user, pass, "write")) return LoginRefused;
    writeCursor->unlockRead();
    writeCursor->unlockWrite();
    writeCursor->goHome();
    writeCursor->stream()->StartSaveWrite(journalName());
    // The header first: a recovery reads from it which commit the write
    // file held before this writer (checkRollback).
    writeCursor->stream()->saveOriginal(0, VEKJournal::BLOCK);
    writeCursor->stream()->journal()->sync();
  } catch (const std::exception&) {
    breakBase();
    throw;
  }
  writerJournal = VEKFileId::of(journalName());
  writerId = VEKProcessPool::writePool()->acquire(writeFile, owner);
  return writerId;
}

int64 VEKCursorProtected::openReadProcess(const std::string& user, const std::string& pass, u64 owner) {
  if (!reopen()) return -1;
  try {
    if (!readCursor->login(user, pass, "read")) return -1;
    VEKPosition previous = readCursor->savePosition();
    readCursor->goHome();
    VEKPosition start = readCursor->savePosition();
    readCursor->restorePosition(previous);
    int64 id = VEKProcessPool::readPool()->acquire(readFile, owner);
    readers[id] = start;
    return id;
  } catch (const std::exception&) {
    breakBase();
    throw;
  }
}

bool VEKCursorProtected::ownedBy(int64 id, u64 owner) const {
  if (isWriter(id) || lostWriters.count(id)) return VEKProcessPool::writePool()->ownerOf(id) == owner;
  return readers.count(id) != 0 && VEKProcessPool::readPool()->isLive(id) &&
         VEKProcessPool::readPool()->ownerOf(id) == owner;
}

u64 VEKCursorProtected::writerOwner() const {
  return isWriter(writerId) ? VEKProcessPool::writePool()->ownerOf(writerId) : 0;
}

// A writer whose write file went under it commits nothing: its changes
// are dropped with its journal (see orphan).
void VEKCursorProtected::closeProcess(int64 id) {
  if (isWriter(id)) orphanIfReplaced();
  if (lostWriters.erase(id)) {
    VEKProcessPool::writePool()->release(id);
    return;
  }
  if (isWriter(id) && hasCursors()) {
    try {
      commit();
    } catch (const std::exception&) {
      breakBase();
      throw;
    }
    VEKProcessPool::writePool()->release(writerId);
    writerId = -1;
    return;
  }
  if (!readers.count(id)) return;
  readers.erase(id);
  VEKProcessPool::readPool()->release(id);
  if (currentReader == id) currentReader = -1;
}

void VEKCursorProtected::failLostCommit(int64 id) {
  if (isWriter(id)) orphanIfReplaced();
  if (!lostWriters.count(id)) return;
  closeProcess(id);
  throw std::runtime_error("Can't commit to the VEKBase file: " + writeFile +
                           ": it was deleted or replaced while the writer was open; nothing was stored");
}

// A failure of the rollback leaves the base broken, like any other failure:
// the writer id is released at once and the next recovery rolls back again.
void VEKCursorProtected::closeBase() {
  if (writerId < 0 || orphanIfReplaced()) return;
  try {
    if (writeCursor) writeCursor->discard();
    writeCursor.reset();
    std::unique_ptr<VEKStream> probe(newStream());
    if (probe->access(journalName().c_str(), 0) == 0) rollbackWrite();
    VEKProcessPool::writePool()->release(writerId);
    writerId = -1;
    writeCursor.reset(new VEKCursor(writeFile.c_str(), streamMode));
  } catch (const std::exception&) {
    breakBase();
    throw;
  }
}

}  // namespace VekBase
