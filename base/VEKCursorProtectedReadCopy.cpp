// The protected base's read file: opening it beside the write file,
// checking that it holds the write file's last commit, rebuilding it whole
// and publishing a committed journal into it (rule 5 and 7 of
// VEKCursorProtected.cpp).
#include "base/VEKCursorProtected.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "base/VEKJournal.h"
#include "base/VEKTree.h"
#include "kernel/CommonNames.h"

namespace VekBase {

// The size of the file at name; -1 when there is none.
int64 VEKCursorProtected::sizeOf(VEKStream& probe, const std::string& name) {
  if (probe.access(name.c_str(), 0) != 0) return -1;
  probe.open(name.c_str(), O_RDONLY, 0644);
  const int64 size = probe.size();
  probe.close();
  return size;
}

// Rule 5: the write cursor is open, so the write file is whole; a read
// file that does not open beside it (damaged), or that does not hold the
// write file's last commit, is rebuilt from it. The commit is read from
// the header the read cursor itself read, so a file put at the name
// between a check and the open is never served.
void VEKCursorProtected::openReadCursor() {
  try {
    openReadCopy();
  } catch (const std::exception&) {
    copyWholeWriteFile();
    openReadCopy();
  }
  if (readCopyHoldsLastCommit()) return;
  readCursor.reset();
  copyWholeWriteFile();
  openReadCopy();
  if (!readCopyHoldsLastCommit()) throw std::runtime_error("Can't open the VEKBase file: " + readFile);
}

// True when the open read cursor's file is this base's at the write file's
// last commit (always for files without a stamp: the sample decided).
bool VEKCursorProtected::readCopyHoldsLastCommit() const {
  const VEKBaseStamp& last = writeCursor->stamp();
  if (!last.stamped()) return true;
  const VEKBaseStamp& copy = readCursor->stamp();
  return copy.sameBase(last) && copy.commits == last.commits &&
         readCursor->stream()->size() == writeCursor->stream()->size();
}

// Opens the read cursor and notes which file it reads (see sameReadCopy).
void VEKCursorProtected::openReadCopy() {
  readCursor.reset(new VEKCursor(readFile.c_str(), streamMode));
  readCopy = VEKFileId::of(readFile);
}

// True when the read file at its name is still the copy this base last
// read or wrote (a file base's read file can be replaced by hand, by
// another base's copy say); also when it has none yet.
bool VEKCursorProtected::sameReadCopy() const {
  return !readCopy.known || VEKFileId::of(readFile) == readCopy;
}

// Rule 5: with no journal pending, the read file is a byte copy of the
// write file. One that is not the file the read cursor read, or whose size,
// first or last block differs from the write file's (another base's copy
// of the same size put there while no server had the base open), is no
// copy of it. The blocks are a sample: opening reads no whole file.
bool VEKCursorProtected::readCopyAgrees() {
  if (!sameReadCopy()) return false;
  try {
    std::unique_ptr<VEKStream> write(newStream()), read(newStream());
    write->open(writeFile.c_str(), O_RDONLY, 0644);
    read->open(readFile.c_str(), O_RDONLY, 0644);
    const int64 size = write->size();
    if (read->size() != size) return false;
    const int64 block = VEKJournal::BLOCK;
    std::string mine(static_cast<size_t>(block), '\0'), theirs(static_cast<size_t>(block), '\0');
    for (int64 offset : {int64(0), std::max<int64>(0, size - block)}) {
      const int64 got = write->readAt(offset, &mine[0], block);
      if (read->readAt(offset, &theirs[0], block) != got || mine.compare(0, got, theirs, 0, got) != 0) return false;
    }
    return true;
  } catch (const std::exception&) {
    return false;  // rebuilt, or refused there when its permissions forbid it
  }
}

// A read file this process may not open for writing is the operator's
// setting (a read-only copy refuses the base), not damage: it is never
// replaced. A missing or damaged one is rebuilt.
void VEKCursorProtected::refuseUnwritableReadCopy() const {
  if (streamMode == VEK_STREAM_MEMORY) return;
  refuseReadOnly(readFile);
  const int fd = ::open(readFile.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0) {
    ::close(fd);
    return;
  }
  if (errno == EACCES || errno == EPERM || errno == EROFS)
    throw std::runtime_error("Can't open the VEKBase file: " + readFile + ": " + std::strerror(errno));
}

// Rule 5: a fresh read file is written aside and renamed into place,
// locked before it takes the name.
void VEKCursorProtected::copyWholeWriteFile() {
  refuseUnwritableReadCopy();
  std::unique_ptr<VEKStream> from(newStream()), to(newStream());
  std::string aside = asideName();
  try {
    keepReadCopyMode(aside);
    from->open(writeFile.c_str(), O_RDONLY, 0644);
    to->open(aside.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    std::string bytes(1 << 20, '\0');
    for (int64 offset = 0, got; (got = from->readAt(offset, &bytes[0], static_cast<int64>(bytes.size()))) > 0;
         offset += got)
      to->zwrite(bytes.data(), got);
    to->sync();
    to->close();
    step("rebuild-written");
    if (streamMode != VEK_STREAM_MEMORY) readLock.take(aside);
    if (to->rename(aside.c_str(), readFile.c_str()) != 0) throw std::runtime_error("Can not rename file: " + aside);
  } catch (const std::exception&) {
    to->remove(aside.c_str());
    throw;
  }
  readCopy = VEKFileId::of(readFile);  // this base's own copy from now on
  to->syncDirectory(readFile);
}

// A rebuilt read file keeps the permissions (and, for the superuser, the
// owner) of the one it replaces; a first one takes the write file's.
void VEKCursorProtected::keepReadCopyMode(const std::string& aside) const {
  if (streamMode == VEK_STREAM_MEMORY) return;
  struct stat status;
  if (::stat(readFile.c_str(), &status) != 0 && ::stat(writeFile.c_str(), &status) != 0) return;
  if (::chmod(aside.c_str(), status.st_mode & 07777) != 0)
    throw std::runtime_error("Can not change the mode of file: " + aside + ": " + std::strerror(errno));
  if (::geteuid() == 0 && ::chown(aside.c_str(), status.st_uid, status.st_gid) != 0)
    throw std::runtime_error("Can not change the owner of file: " + aside + ": " + std::strerror(errno));
}

// A name beside the read file that nothing else uses: a file base gets one
// made afresh (mkstemp), so no file of the operator's is ever truncated.
std::string VEKCursorProtected::asideName() const {
  std::string aside = readFile + ".tmp";
  if (streamMode == VEK_STREAM_MEMORY) return aside;
  aside += ".XXXXXX";
  int fd = ::mkostemp(&aside[0], O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("Can not create file: " + aside);
  ::close(fd);
  return aside;
}

// Rule 2, second half (and rules 4 and 7): bring the read file to the
// committed state, make it durable, then delete the journal.
void VEKCursorProtected::publishJournal(const std::string& journal) {
  std::unique_ptr<VEKStream> probe(newStream()), from(newStream());
  VEKJournalImage image = readJournal(*probe, journal);
  from->open(writeFile.c_str(), O_RDONLY, 0644);
  std::unique_ptr<VEKStream> to(newStream());
  if (image.whole && image.sealedSize == from->size() && probe->access(readFile.c_str(), 0) == 0 &&
      sameReadCopy()) {
    to->open(readFile.c_str(), O_RDWR, 0644);
    step("publish-opened");
    if (!holdsCommitBefore(*from, *to)) to->close();
  }
  if (to->isOpen()) {
    copyJournalled(*from, *to, image);
    step("publish-copied");
    to->sync();
  } else if (opensAsBase(*from)) {
    from->close();
    copyWholeWriteFile();
  } else {
    throw std::runtime_error("Can't open the VEKBase file: " + journal + " (a commit that cannot be completed: " +
                             writeFile + " is damaged)");
  }
  step("publish-synced");
  if (probe->remove(journal.c_str()) != 0) throw std::runtime_error("Can not delete file: " + journal);
  probe->syncDirectory(journal);
}

// Rule 2: the regions of a commit are copied only into a read copy that
// holds the commit before it (or already this one, a publish being
// repeated), read through the descriptor that will be written, so a file
// renamed or copied over the name in between is never patched. A write
// file without a stamp comes from before stamps (a journal left by an
// older program): the copy's inode decided (sameReadCopy). An older base's
// first stamped commit patches a copy without one.
bool VEKCursorProtected::holdsCommitBefore(VEKStream& write, VEKStream& copy) {
  VEKBaseStamp committed, held;
  if (!readBaseStamp(write, &committed) || !committed.stamped()) return true;
  if (!readBaseStamp(copy, &held)) return false;
  if (!held.stamped()) return committed.commits == 1;
  return held.sameBase(committed) && (held.commits + 1 == committed.commits || held.commits == committed.commits);
}

// True when the open stream holds a base that opens: its header, free list
// and home symbol read without error. Nothing is written.
bool VEKCursorProtected::opensAsBase(VEKStream& stream) {
  try {
    if (stream.size() == 0) return false;  // a tree would format it
    VEKTree tree(stream);
    return tree.find(0, VekNames::Home, nullptr);
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace VekBase
