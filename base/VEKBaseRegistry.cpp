// The process-wide registry of open protected bases.
#include "base/VEKBaseRegistry.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>

namespace VekBase {

VEKBaseRegistry* VEKBaseRegistry::singleton = nullptr;
int64 VEKBaseRegistry::descriptorBudget = 0;
int64 VEKBaseRegistry::heldDescriptors = 0;

namespace {

// True when the directory part of a file base's name (up to its last '/')
// has no "." or empty segment (a leading '/' aside): spellingOf keeps it.
bool isFolded(const std::string& name) {
  const size_t last = name.rfind('/');
  if (last == std::string::npos || isMemoryBaseName(name)) return true;
  for (size_t start = name[0] == '/' ? 1 : 0; start <= last;) {
    const size_t end = name.find('/', start);
    if (end == start || (end == start + 1 && name[start] == '.')) return false;
    start = end + 1;
  }
  return true;
}

}  // namespace

VEKBaseRegistry* VEKBaseRegistry::instance() {
  if (!singleton) singleton = new VEKBaseRegistry();
  return singleton;
}

void VEKBaseRegistry::destroy(VEKBaseRegistry* registry) {
  if (!registry) return;
  registry->spellings.clear();
  while (!registry->bases.empty()) registry->erase(registry->bases.begin()->second.get());
  if (singleton == registry) singleton = nullptr;
}

VEKBaseRegistry::VEKBaseRegistry() = default;

VEKBaseRegistry::~VEKBaseRegistry() { destroy(this); }

std::string VEKBaseRegistry::spellingOf(const std::string& name) {
  if (isFolded(name)) return name;
  const size_t last = name.rfind('/');
  std::string folded = name[0] == '/' ? "/" : "";
  for (size_t start = 0; start <= last;) {
    const size_t end = name.find('/', start);
    if (end > start && !(end == start + 1 && name[start] == '.')) folded.append(name, start, end - start + 1);
    start = end + 1;
  }
  folded.append(name, last + 1, std::string::npos);
  // "./memory_x" names the files memory_x1 and memory_x2: its spelling must
  // not be the memory base "memory_x".
  return isMemoryBaseName(folded) ? "./" + folded : folded;
}

// The directory is looked up, not the write file, which a new base does not
// have yet: its identity stays the same from before the base is created
// until after it is deleted. A directory that cannot be looked up keys the
// name as written (opening such a base fails anyway).
std::string VEKBaseRegistry::keyOf(const std::string& name, u32 mode) {
  if (mode == VEK_STREAM_MEMORY) return "memory:" + name;
  const std::string file = name + "1";
  const size_t slash = file.find_last_of('/');
  const std::string directory = slash == std::string::npos ? "." : file.substr(0, slash == 0 ? 1 : slash);
  struct stat status;
  if (::stat(directory.c_str(), &status) != 0) return "name:" + file;
  return "file:" + std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino) + "/" +
         file.substr(slash == std::string::npos ? 0 : slash + 1);
}

// A directory's identity goes with it when it is renamed, and passes to the
// next directory made once it is deleted: an entry is still at a key only
// while its own name reaches that directory.
bool VEKBaseRegistry::stillAt(const Base& base, const std::string& key) {
  const std::string& writeFile = base.base->writeFileName();
  return keyOf(writeFile.substr(0, writeFile.size() - 1), base.base->mode()) == key;
}

// The hot path of every base word: a name that needs no folding is looked
// up as it is, without a copy, and a remembered one without a system call.
VEKBaseRegistry::Spellings::iterator VEKBaseRegistry::spellingFor(const std::string& name) {
  return isFolded(name) ? spellings.find(name) : spellings.find(spellingOf(name));
}

VEKBaseRegistry::Base* VEKBaseRegistry::reached(const std::string& name) {
  auto spelling = spellingFor(name);
  if (spelling != spellings.end()) return spelling->second.reaches;
  auto found = bases.find(keyOf(name, streamKindFor(name)));
  return found == bases.end() ? nullptr : found->second.get();
}

size_t VEKBaseRegistry::useOf(const Spelling& spelling, u64 holder, const Base* base) {
  for (size_t at = 0; at < spelling.uses.size(); ++at) {
    const Use& use = spelling.uses[at];
    if (use.holder == holder && (base == nullptr || use.base == base)) return at;
  }
  return None;
}

void VEKBaseRegistry::keepReach(Spelling& spelling) {
  for (const Use& use : spelling.uses)
    if (use.base == spelling.reaches) return;
  spelling.reaches = spelling.uses.back().base;
}

VEKCursorProtected* VEKBaseRegistry::get(const std::string& name) { return settled(reached(name)); }

VEKCursorProtected* VEKBaseRegistry::getWriter(const std::string& name, int64 writer) {
  auto spelling = spellingFor(name);
  if (writer >= 0 && spelling != spellings.end())
    for (const Use& use : spelling->second.uses)
      if (use.base->base->getWriteProcess() == writer || use.base->base->isLostWriter(writer)) return settled(use.base);
  return get(name);
}

VEKCursorProtected* VEKBaseRegistry::settled(Base* found) {
  if (found == nullptr) return nullptr;
  VEKCursorProtected* base = found->base.get();
  if (base->reopen() || base->isOrphaned()) return base;
  erase(found);
  return nullptr;
}

// An orphaned base that cannot start afresh (the name holds another file)
// stays entered for the uses its holders have.
VEKCursorProtected* VEKBaseRegistry::open(const std::string& name, u32 mode, u64 owner) {
  openFailure.clear();
  const std::string key = keyOf(name, mode);
  auto found = bases.find(key);
  Base* base = found == bases.end() ? nullptr : found->second.get();
  if (base != nullptr && !stillAt(*base, key)) {
    base->base->reopen();  // lets go of its files when its names no longer reach them
    setAside(base);
    base = nullptr;
  }
  if (base != nullptr && !base->base->renew()) {
    if (base->base->isOrphaned()) {
      openFailure = base->base->failure();
      return nullptr;
    }
    erase(base);
    base = nullptr;
  }
  if (base == nullptr && (base = enter(name, mode, key)) == nullptr) return nullptr;
  take(name, base, owner);
  return base->base.get();
}

// A new base over name's files, entered at key; null (nothing entered) when
// it cannot be opened.
VEKBaseRegistry::Base* VEKBaseRegistry::enter(const std::string& name, u32 mode, const std::string& key) {
  std::unique_ptr<VEKCursorProtected> base(new VEKCursorProtected(name + "1", name + "2", mode));
  if (!base->hasCursors()) {
    openFailure = base->failure();
    return nullptr;
  }
  std::unique_ptr<Base>& entry = bases[key];
  entry.reset(new Base{std::move(base), key, 0, mode == VEK_STREAM_MEMORY ? 0 : DescriptorsPerBase, ++lastSerial});
  heldDescriptors += entry->descriptors;
  return entry.get();
}

// One more use of base by holder through name, which reaches base from now
// on (a name whose directory changed reached another base before).
void VEKBaseRegistry::take(const std::string& name, Base* base, u64 holder) {
  Spelling& spelling = spellings.try_emplace(spellingOf(name), Spelling{base, {}}).first->second;
  spelling.reaches = base;
  base->uses++;
  const size_t at = useOf(spelling, holder, base);
  if (at != None) spelling.uses[at].count++;
  else spelling.uses.push_back({base, holder, 1});
}

// Keeps a base that is no longer at its key for the uses its holders have,
// under a key that no name reaches; the spellings that reached it still do.
void VEKBaseRegistry::setAside(Base* base) {
  auto node = bases.extract(base->key);
  base->key = "left:" + std::to_string(reinterpret_cast<uintptr_t>(base));
  node.key() = base->key;
  bases.insert(std::move(node));
}

// Closes the base (an uncommitted writer is rolled back and the journal
// settled by the base's destructor) and forgets it. Uses still held of it
// (a base that lost its cursors) are forgotten with it.
void VEKBaseRegistry::erase(Base* base) {
  if (base->uses > 0) forgetUsesOf(base);
  heldDescriptors -= base->descriptors;
  bases.extract(base->key);  // the node, and the base with it, goes here
}

// A rare path (a base that lost its cursors, the registry's end): every
// spelling is looked through.
void VEKBaseRegistry::forgetUsesOf(const Base* base) {
  for (auto spelling = spellings.begin(); spelling != spellings.end();) {
    std::vector<Use>& uses = spelling->second.uses;
    uses.erase(std::remove_if(uses.begin(), uses.end(), [base](const Use& use) { return use.base == base; }),
               uses.end());
    if (uses.empty()) {
      spelling = spellings.erase(spelling);
    } else {
      keepReach(spelling->second);
      ++spelling;
    }
  }
}

void VEKBaseRegistry::drop(Spellings::iterator spelling, size_t at, int64 count) {
  std::vector<Use>& uses = spelling->second.uses;
  Base* base = uses[at].base;
  count = std::min(count, uses[at].count);
  base->uses -= count;
  if ((uses[at].count -= count) == 0) {
    uses.erase(uses.begin() + static_cast<std::ptrdiff_t>(at));
    if (uses.empty()) spellings.erase(spelling);
    else keepReach(spelling->second);
  }
  const bool lost = !base->base->hasCursors() && !base->base->isOrphaned();
  if (base->uses <= 0 || lost) erase(base);
}

// Uses taken through name come first, the oldest base's first; a use taken
// through another spelling of the base name reaches is a rare close, found
// by looking through every spelling.
void VEKBaseRegistry::dropUses(const std::string& name, u64 holder, int64 count) {
  auto spelling = spellingFor(name);
  const size_t at = spelling == spellings.end() ? None : useOf(spelling->second, holder);
  if (at != None) return drop(spelling, at, count);
  const Base* base = reached(name);
  if (base == nullptr) return;
  for (spelling = spellings.begin(); spelling != spellings.end(); ++spelling) {
    const size_t other = useOf(spelling->second, holder, base);
    if (other != None) return drop(spelling, other, count);
  }
}

bool VEKBaseRegistry::mayOpen(const std::string& name, u32 mode) const {
  return mode == VEK_STREAM_MEMORY || bases.count(keyOf(name, mode)) != 0 || descriptorRoom(DescriptorsPerBase);
}

void VEKBaseRegistry::remove(const std::string& name) { dropUses(name, 0, 1); }

void VEKBaseRegistry::removeOf(const std::string& name, u64 serial) {
  auto spelling = spellingFor(name);
  if (spelling == spellings.end()) return;
  const std::vector<Use>& uses = spelling->second.uses;
  for (size_t at = 0; at < uses.size(); ++at)
    if (uses[at].holder == 0 && uses[at].base->serial == serial) return drop(spelling, at, 1);
}

void VEKBaseRegistry::removeOwned(const std::string& name, u64 owner) {
  if (owner != 0) dropUses(name, owner, 1);
}

// Each drop may close a base and so forget spellings: the name is looked up
// again for the next one.
void VEKBaseRegistry::releaseOwner(const std::string& name, u64 owner) {
  if (owner == 0) return;
  for (auto spelling = spellingFor(name); spelling != spellings.end(); spelling = spellingFor(name)) {
    const size_t at = useOf(spelling->second, owner);
    if (at == None) return;
    drop(spelling, at, INT64_MAX);
  }
}

u64 VEKBaseRegistry::serialOf(const std::string& name) {
  const Base* base = reached(name);
  return base == nullptr ? 0 : base->serial;
}

// Commits and the end of a run look a base up this way: a scan of the open
// bases costs little beside them.
VEKCursorProtected* VEKBaseRegistry::find(u64 serial) {
  for (auto& entry : bases)
    if (entry.second->serial == serial) return settled(entry.second.get());
  return nullptr;
}

int64 VEKBaseRegistry::usesOf(const std::string& name, u64 owner) const {
  auto spelling = spellings.find(spellingOf(name));
  if (spelling == spellings.end()) return 0;
  int64 held = 0;
  for (const Use& use : spelling->second.uses)
    if (use.holder == owner) held += use.count;
  return held;
}

}  // namespace VekBase
