// The process-wide registry of open protected bases: base name to an open
// VEKCursorProtected with a use count.
//
// Every name that reaches the same files is the same base: a file base is
// entered under the identity (device, inode) of its write file's directory
// and the write file's own name, so "shop", "./shop", ".//shop" and
// "link/shop" (link a symbolic link to the directory) share one entry, one
// writer slot and one recovery. The base keeps the names of its first open.
// A memory base ("memory_", "temp_") is entered under its name as it is.
// Calls that take no mode read it from the name (streamKindFor).
//
// Uses are counted where they were taken: per spelling (the name opened,
// its directory's "." and empty segments folded away, see spellingOf), per
// holder and per base. A spelling is remembered only while a use is held
// through it, so the words that follow an open find the base without
// looking at the directory again, and nothing of a name stays once its
// holders gave their uses back. A name reaches the base its last open
// reached. When a name's directory changes under an open base (a symbolic
// link turned, a directory renamed or made again), opening the name again
// gives a new base, and one spelling then holds uses on both. A close that
// names the base it gives a use back of (removeOf: a run gives back the
// use it took) reaches that base; one that does not (remove) gives back
// the use of the base opened first, so the old base closes when its
// holders are done and the new one keeps its own. Each base opened gets a
// serial, never reused, that names it for as long as it is open (find).
// An entry whose directory was renamed or deleted (whose identity another
// directory may then have) is set aside when its key is opened again: the
// name opened gets the base of its own files, and the set-aside base stays
// for the uses its holders have.
//
// A holder is the token of the run that took a use (owner), or 0 for the
// shared uses of pages and the start-up script. An owner's uses are
// dropped only by that owner (removeOwned, releaseOwner), so a run that
// ends gives back exactly what it took, and no other run can close a base
// under it; remove drops shared uses. The base closes when its last use of
// either kind goes.
//
// The registry also keeps the process-wide account of descriptors that
// template words hold through bases and file handles: every file base it
// holds counts DescriptorsPerBase (its two files, the lock on each and the
// writer's journal), file handles count themselves through
// holdDescriptors. Template words open nothing new past the budget the
// server sets from its descriptor limit, so the descriptors it keeps back
// stay free for connections and for the server's own files.
#pragma once
#include <map>
#include <memory>
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
  // get, but the base whose writer (live or lost) writer is when name's
  // spelling holds uses on it: a writer opened before the name's directory
  // changed commits to (or fails on) its own base, not the one name
  // reaches now.
  VEKCursorProtected* getWriter(const std::string& name, int64 writer);
  // Finds the base and adds a use (owner's when owner is not 0), or opens
  // name + "1" / name + "2" with mode (2 memory, 4 files) with one use; a
  // base whose files went under it starts afresh over the names.
  // Null when a new base cannot be opened (failure() tells why): nothing is
  // entered then.
  VEKCursorProtected* open(const std::string& name, u32 mode, u64 owner = 0);
  VEKCursorProtected* openDefault(const std::string& name) { return open(name, VEK_STREAM_FILE); }
  // Drops a shared use taken through name: of the base it was opened on
  // first when it holds uses on more than one; a use of the base name
  // reaches when none was taken through name itself. The last use (or a
  // base without cursors, unless its files went under it: its holders keep
  // their uses) closes the base, rolling back an uncommitted writer, and
  // removes the entry.
  void remove(const std::string& name);
  // Drops a shared use taken through name of the base with that serial
  // (closing it after its last use); nothing when that base holds none
  // through name (it closed, or its uses there were given back).
  void removeOf(const std::string& name, u64 serial);
  // remove for owner's uses; nothing when it holds none.
  void removeOwned(const std::string& name, u64 owner);
  // Drops every use owner took through name, of every base.
  void releaseOwner(const std::string& name, u64 owner);
  // The uses owner holds through name.
  int64 usesOf(const std::string& name, u64 owner) const;
  // The serial of the open base name reaches (the one get returns); 0
  // when none.
  u64 serialOf(const std::string& name);
  // The open base with that serial after recovery (as get), or null once
  // it has closed.
  VEKCursorProtected* find(u64 serial);
  // The spelling uses are counted under: name with the "." and empty
  // segments of its directory part left out ("././/shop" and "./shop" are
  // "shop"; "dir/./" is "dir/", whose write file is "dir/1"). ".." stays,
  // as a symbolic link may lie before it. Memory names stay as they are,
  // and a file base's name that would fold into one keeps a leading "./".
  static std::string spellingOf(const std::string& name);
  // How many spellings the registry remembers.
  size_t namesRemembered() const { return spellings.size(); }
  // Why the last open of a new base failed.
  const std::string& failure() const { return openFailure; }
  // True when opening name (with mode) takes no descriptor past the budget:
  // the base is entered already, lives in memory, or the account has room.
  bool mayOpen(const std::string& name, u32 mode) const;

  // Descriptors a file base may hold at once: its two files, the writer's
  // journal and the lock on the write file.
  static constexpr int64 DescriptorsPerBase = 5;
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
  struct Base {
    std::unique_ptr<VEKCursorProtected> base;
    std::string key;           // its entry in bases
    int64 uses = 0;            // every holder's uses, through every spelling
    int64 descriptors = 0;     // counted in heldDescriptors for this base
    u64 serial = 0;            // names this base while it is open; never reused
  };
  // The uses one holder took through one spelling, of one base.
  struct Use {
    Base* base;
    u64 holder;                // owner, 0 for shared uses
    int64 count;               // above 0
  };
  struct Spelling {
    Base* reaches;             // the base its last open reached (one of uses')
    std::vector<Use> uses;     // in the order first taken; never empty
  };
  using Bases = std::map<std::string, std::unique_ptr<Base>>;
  using Spellings = std::map<std::string, Spelling>;

  // The key of the base name denotes (opened with mode).
  static std::string keyOf(const std::string& name, u32 mode);
  static bool stillAt(const Base& base, const std::string& key);
  Spellings::iterator spellingFor(const std::string& name);
  // The base name reaches: its spelling's, else the one entered at keyOf.
  Base* reached(const std::string& name);
  // The open base after recovery, or null (then erased); see get.
  VEKCursorProtected* settled(Base* found);
  Base* enter(const std::string& name, u32 mode, const std::string& key);
  void take(const std::string& name, Base* base, u64 holder);
  // The first use of spelling that holder took (of base, when given); None
  // when there is none.
  static constexpr size_t None = static_cast<size_t>(-1);
  static size_t useOf(const Spelling& spelling, u64 holder, const Base* base = nullptr);
  // After uses went: the spelling reaches a base it still holds uses of.
  static void keepReach(Spelling& spelling);
  void setAside(Base* base);
  // Closes and deletes the base, with the uses still held of it.
  void erase(Base* base);
  void forgetUsesOf(const Base* base);
  // Drops count of one holder's uses through spelling, taken of one base.
  void drop(Spellings::iterator spelling, size_t use, int64 count);
  // Drops count of holder's uses through name (see remove).
  void dropUses(const std::string& name, u64 holder, int64 count);

  Bases bases;                         // open bases by keyOf (set aside: "left:")
  Spellings spellings;                 // spellings with uses held through them
  std::string openFailure;             // why the last new open failed
  u64 lastSerial = 0;                  // serial of the last base entered
  static VEKBaseRegistry* singleton;   // the process-wide registry
  static int64 descriptorBudget;       // see setDescriptorBudget
  static int64 heldDescriptors;        // see descriptorsHeld
};

}  // namespace VekBase
