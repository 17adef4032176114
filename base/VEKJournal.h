// The rollback journal of a stream: the original bytes of every block that
// a writer changes, saved before the change reaches the stream, and the
// stream's original size. The same record tells, at commit, which regions
// of the write file must be copied into the read file.
//
// Journal layout (integers little-endian):
//   header  "VEKJRNL1" (8 bytes), original size (u64), FNV-1a of both (u32)
//   records block offset (u64), length (u32), FNV-1a of offset, length
//           and bytes (u32), the original bytes
//   trailer (only in a sealed journal) "VEKJEND1" (8 bytes), record count
//           (u64), bytes of all records (u64), the stream's size when
//           sealed (u64), the chain: FNV-1a of every record's 16-byte
//           header in turn, started from the header's FNV-1a (u32), and
//           FNV-1a of the trailer's first 36 bytes (u32)
// Rules:
//  1. A block is saved at most once per journal, and always before the first
//     change to it is written to the stream (saveOriginal runs inside every
//     write and truncation of a journalled stream).
//  2. Blocks at or past the original size are not saved: rollback truncates
//     them away, and commit copies everything past the original size.
//  3. A journal used for rollback (a protected writer's ".sw", a plain
//     base's own ".sw") is read as far as its records verify: a record cut
//     short or garbled by a crash ends it, and the blocks it did not reach
//     were not changed yet, because every record is written and made
//     durable before the first change. A trailer there (a crash after
//     sealing, before the commit point) ends the records too.
//  4. A journal is sealed (trailer written, then fsync) only when no change
//     will follow: a commit seals the writer's ".sw" after the write file is
//     durable and before renaming it to ".swt", the commit point.
//  5. A committed journal (".swt") says which regions to copy into the
//     read file, and a missing record would leave a region uncopied, so it
//     is used only whole: header, every record and the trailer verify, the
//     counts agree and the file ends with the trailer. One that is not
//     whole (cut, garbled, or written before journals were sealed) is
//     never applied in part.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "base/VEKStream.h"
#include "kernel/VekTypes.h"

namespace VekBase {

class VEKJournal {
 public:
  static constexpr int64 BLOCK = 4096;  // journalling granularity in bytes

  // Creates journalName afresh (same stream kind as target) and writes its
  // header with target's current size.
  VEKJournal(VEKStream& target, const std::string& journalName);
  ~VEKJournal();
  VEKJournal(const VEKJournal&) = delete;
  VEKJournal& operator=(const VEKJournal&) = delete;

  // Saves the blocks of [offset, offset+length) not saved yet.
  void saveOriginal(int64 offset, int64 length);
  // Makes the journal and its directory entry durable (nothing to do when
  // no record was added since the last sync).
  void sync();
  // Appends the trailer and makes the journal durable (rule 4); a change
  // of the stream after this is refused.
  void seal();
  const std::string& name() const { return journalName; }
  // Test hook: called before every change of a journalled stream, so crash
  // tests can stop the process between any two writes.
  static std::function<void()> writeHook;
  int64 originalSize() const { return startSize; }

 private:
  VEKStream& target;                     // the journalled stream
  std::unique_ptr<VEKStream> out;        // the journal stream
  std::string journalName;               // its name
  int64 startSize;                       // target's size when journalling began
  std::unordered_set<int64> savedBlocks; // block numbers already saved
  bool directorySynced = false;          // journal's directory entry durable
  bool unsynced = true;                  // records written since the last sync
  bool sealed = false;                   // the trailer is written
  int64 records = 0;                     // records written
  int64 recordBytes = 0;                 // their bytes, headers included
  u32 chain = 0;                         // the trailer's chain so far
};

// A journal read back for recovery.
struct VEKJournalImage {
  bool valid = false;                                   // header read correctly
  bool whole = false;                                   // sealed, and all of it verifies (rule 5)
  int64 originalSize = 0;                               // target's original size
  int64 sealedSize = -1;                                // target's size when sealed (whole only)
  std::vector<std::pair<int64, std::string>> regions;   // offset, original bytes
};

// True when name is missing or holds a journal, or the start of one (a
// header cut short by a crash, or empty): any other file at a journal's
// name is the operator's, and is never read, rolled back, overwritten or
// deleted as a journal.
bool mayHoldJournal(const VEKStream& like, const std::string& name);
// True when name begins with a journal's magic: the file it journals is
// this engine's, whatever a crash left at its start.
bool isJournalFile(const VEKStream& like, const std::string& name);
// Reads the journal named name through a stream of kind like; invalid when
// missing or without a whole header.
VEKJournalImage readJournal(const VEKStream& like, const std::string& name);
// Puts the saved bytes back into target and cuts it to its original size;
// does nothing to a target shorter than that original size (a new file
// that only bears the old name).
void rollbackJournal(VEKStream& target, const VEKJournalImage& image);
// Copies every journalled region of from (and everything past the original
// size) into to, and gives to the size of from.
void copyJournalled(VEKStream& from, VEKStream& to, const VEKJournalImage& image);

}  // namespace VekBase
