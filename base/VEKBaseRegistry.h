// The process-wide registry of open protected bases: base name to an open
// VEKCursorProtected with a use count.
//
// Every name that reaches the same files is the same base: a file base is
// entered under the identity (device, inode) of its write file's directory
// and the write file's own name, so "shop", "./shop", ".//shop" and
// "link/shop" (link a symbolic link to the directory) share one entry, one
// writer slot and one recovery. The base keeps the names of its first open.
// The names a base was opened with are remembered until it leaves the
// registry, so the words that follow find it without looking at the
// directory again. An entry whose directory was renamed or deleted (whose
// identity another directory may then have) is set aside when its key is
// opened again, and the name opened gets the base of its own files.
// A memory base ("memory_", "temp_") is entered under its name as it is.
// Calls that take no mode read it from the name (streamKindFor).
//
// A use may belong to an owner (a nonzero token of the run that took it):
// such uses are dropped only by their owner (removeOwned, releaseOwner), so
// a run that ends can give back exactly what it took, and no other run can
// close a base under it. Uses without an owner are the shared ones that
// remove drops. The base closes when its last use of either kind goes.
//
// The registry also keeps the process-wide account of descriptors that
// template words hold through bases and file handles: every file base it
// holds counts DescriptorsPerBase (its two files and the writer's journal),
// file handles count themselves through holdDescriptors. Template words
// open nothing new past the budget the server sets from its descriptor
// limit, so the descriptors it keeps back stay free for connections and
// for the server's own files.
#pragma once
#include <map>
#include <string>
#include <vector>

#include "base/VEKCursorProtected.h"
#include "kernel/VekTypes.h"

namespace VekBase {

class VEKBaseRegistry {
 public:
  // The registry, created on first call.
  static VEKBaseRegistry* instance();
  // Closes and deletes every base and empties the map; the caller then
  // deletes the registry object.
  static void destroy(VEKBaseRegistry* registry);

  VEKBaseRegistry();
  ~VEKBaseRegistry();
  VEKBaseRegistry(const VEKBaseRegistry&) = delete;
  VEKBaseRegistry& operator=(const VEKBaseRegistry&) = delete;

  // The open base after recovery, or null (an entry without cursors is
  // removed). A base whose files were deleted or replaced under it is
  // returned as it is, without sessions (isOrphaned): its words fail.
  VEKCursorProtected* get(const std::string& name);
  // Finds the base and adds a use (owner's when owner is not 0), or opens
  // name + "1" / name + "2" with mode (2 memory, 4 files) with one use; a
  // base whose files went under it starts afresh over the names.
  // Null when a new base cannot be opened (failure() tells why): nothing is
  // entered then.
  VEKCursorProtected* open(const std::string& name, u32 mode, u64 owner = 0);
  VEKCursorProtected* openDefault(const std::string& name) { return open(name, VEK_STREAM_FILE); }
  // Drops a use that no owner holds; the last use (or a base without
  // cursors, unless its files went under it: its holders keep their uses)
  // closes the base, rolling back an uncommitted writer, and removes the
  // entry.
  void remove(const std::string& name);
  // Drops one of owner's uses, or all of them; nothing when it holds none.
  void removeOwned(const std::string& name, u64 owner);
  void releaseOwner(const std::string& name, u64 owner);
  // The uses owner holds of the base now entered under name.
  int64 usesOf(const std::string& name, u64 owner) const;
  // Why the last open of a new base failed.
  const std::string& failure() const { return openFailure; }
  // True when opening name (with mode) takes no descriptor past the budget:
  // the base is entered already, lives in memory, or the account has room.
  bool mayOpen(const std::string& name, u32 mode) const;

  // Descriptors a file base may hold at once: its two files, the writer's
  // journal and the lock on the write file.
  static constexpr int64 DescriptorsPerBase = 4;
  // The most descriptors template words may hold (0: no bound).
  static void setDescriptorBudget(int64 budget) { descriptorBudget = budget; }
  // True when count more descriptors fit in the budget.
  static bool descriptorRoom(int64 count) {
    return descriptorBudget <= 0 || heldDescriptors + count <= descriptorBudget;
  }
  // Counts descriptors taken (count > 0) or given back (count < 0) by a
  // holder outside the registry (a file handle).
  static void holdDescriptors(int64 count) { heldDescriptors += count; }
  // Descriptors held now: the registry's file bases and the file handles.
  static int64 descriptorsHeld() { return heldDescriptors; }

 private:
  struct Entry {
    VEKCursorProtected* base;     // owned
    int64 uses;                   // opens not yet removed, owned ones included
    std::map<u64, int64> owned;   // uses by owner (owners with none left are erased)
    int64 ownedTotal = 0;         // sum of owned
    int64 descriptors = 0;        // counted in heldDescriptors for this base
    std::vector<std::string> spellings;  // names it was opened with, in known
  };
  using Entries = std::map<std::string, Entry>;
  // The key of the base name denotes (opened with mode).
  static std::string keyOf(const std::string& name, u32 mode);
  // The key of the entry name reaches: a known spelling's, else keyOf.
  std::string keyFor(const std::string& name) const;
  static bool stillAt(const Entry& entry, const std::string& key);
  void setAside(Entries::iterator entry);
  void erase(Entries::iterator entry);
  // Drops count uses of owner (0: shared ones) and closes the base after
  // its last use.
  void drop(Entries::iterator entry, u64 owner, int64 count);

  Entries bases;                       // open bases by keyOf
  std::map<std::string, std::string> known;  // name opened -> key of its entry
  std::string openFailure;             // why the last new open failed
  static VEKBaseRegistry* singleton;   // the process-wide registry
  static int64 descriptorBudget;       // see setDescriptorBudget
  static int64 heldDescriptors;        // see descriptorsHeld
};

}  // namespace VekBase
