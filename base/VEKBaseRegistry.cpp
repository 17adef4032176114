// The process-wide registry of open protected bases.
#include "base/VEKBaseRegistry.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>

namespace VekBase {

VEKBaseRegistry* VEKBaseRegistry::singleton = nullptr;
int64 VEKBaseRegistry::descriptorBudget = 0;
int64 VEKBaseRegistry::heldDescriptors = 0;

VEKBaseRegistry* VEKBaseRegistry::instance() {
  if (!singleton) singleton = new VEKBaseRegistry();
  return singleton;
}

void VEKBaseRegistry::destroy(VEKBaseRegistry* registry) {
  if (!registry) return;
  while (!registry->bases.empty()) registry->erase(registry->bases.begin());
  if (singleton == registry) singleton = nullptr;
}

VEKBaseRegistry::VEKBaseRegistry() = default;

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
bool VEKBaseRegistry::stillAt(const Entry& entry, const std::string& key) {
  const std::string& writeFile = entry.base->writeFileName();
  return keyOf(writeFile.substr(0, writeFile.size() - 1), entry.base->mode()) == key;
}

// Keeps an entry that is no longer at its key for the uses its holders
// have, under a key that no name reaches, with the names it was opened with.
void VEKBaseRegistry::setAside(Entries::iterator entry) {
  const std::string aside = "left:" + std::to_string(reinterpret_cast<uintptr_t>(entry->second.base));
  for (const std::string& name : entry->second.spellings) known[name] = aside;
  auto node = bases.extract(entry);
  node.key() = aside;
  bases.insert(std::move(node));
}

VEKBaseRegistry::~VEKBaseRegistry() {
  while (!bases.empty()) erase(bases.begin());
  if (singleton == this) singleton = nullptr;
}

std::string VEKBaseRegistry::keyFor(const std::string& name) const {
  auto spelling = known.find(name);
  return spelling != known.end() ? spelling->second : keyOf(name, streamKindFor(name));
}

// Closes the base (an uncommitted writer is rolled back and the journal
// settled by the base's destructor) and forgets it.
void VEKBaseRegistry::erase(Entries::iterator entry) {
  VEKCursorProtected* base = entry->second.base;
  for (const std::string& name : entry->second.spellings) known.erase(name);
  heldDescriptors -= entry->second.descriptors;
  bases.erase(entry);
  delete base;
}

VEKCursorProtected* VEKBaseRegistry::get(const std::string& name) {
  auto found = bases.find(keyFor(name));
  if (found == bases.end()) return nullptr;
  VEKCursorProtected* base = found->second.base;
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
  if (found != bases.end() && !stillAt(found->second, key)) {
    found->second.base->reopen();  // lets go of its files when its names no longer reach them
    setAside(found);
    found = bases.end();
  }
  if (found != bases.end() && !found->second.base->renew()) {
    if (found->second.base->isOrphaned()) {
      openFailure = found->second.base->failure();
      return nullptr;
    }
    erase(found);
    found = bases.end();
  }
  if (found == bases.end()) {
    VEKCursorProtected* base = new VEKCursorProtected(name + "1", name + "2", mode);
    if (!base->hasCursors()) {
      openFailure = base->failure();
      delete base;
      return nullptr;
    }
    const int64 descriptors = mode == VEK_STREAM_MEMORY ? 0 : DescriptorsPerBase;
    found = bases.emplace(key, Entry{base, 0, {}, 0, descriptors, {}}).first;
    heldDescriptors += descriptors;
  }
  Entry& entry = found->second;
  if (mode == streamKindFor(name)) {
    // A name that reached another base before (its directory was replaced,
    // a symbolic link moved) reaches this one from now on.
    auto spelling = known.find(name);
    if (spelling != known.end() && spelling->second != key) {
      std::vector<std::string>& before = bases.find(spelling->second)->second.spellings;
      before.erase(std::find(before.begin(), before.end(), name));
      known.erase(spelling);
    }
    if (known.emplace(name, key).second) entry.spellings.push_back(name);
  }
  entry.uses++;
  if (owner != 0) {
    entry.owned[owner]++;
    entry.ownedTotal++;
  }
  return entry.base;
}

bool VEKBaseRegistry::mayOpen(const std::string& name, u32 mode) const {
  return mode == VEK_STREAM_MEMORY || bases.count(keyOf(name, mode)) != 0 || descriptorRoom(DescriptorsPerBase);
}

void VEKBaseRegistry::drop(Entries::iterator found, u64 owner, int64 count) {
  Entry& entry = found->second;
  if (owner != 0) {
    auto held = entry.owned.find(owner);
    if (held == entry.owned.end()) return;
    count = std::min(count, held->second);
    held->second -= count;
    entry.ownedTotal -= count;
    if (held->second == 0) entry.owned.erase(held);
  } else {
    count = std::min(count, entry.uses - entry.ownedTotal);
  }
  entry.uses -= count;
  const bool lost = !entry.base->hasCursors() && !entry.base->isOrphaned();
  if (entry.uses <= 0 || lost) erase(found);
}

void VEKBaseRegistry::remove(const std::string& name) {
  auto found = bases.find(keyFor(name));
  if (found != bases.end()) drop(found, 0, 1);
}

void VEKBaseRegistry::removeOwned(const std::string& name, u64 owner) {
  auto found = bases.find(keyFor(name));
  if (found != bases.end() && owner != 0) drop(found, owner, 1);
}

void VEKBaseRegistry::releaseOwner(const std::string& name, u64 owner) {
  auto found = bases.find(keyFor(name));
  if (found != bases.end() && owner != 0) drop(found, owner, INT64_MAX);
}

int64 VEKBaseRegistry::usesOf(const std::string& name, u64 owner) const {
  auto found = bases.find(keyFor(name));
  if (found == bases.end()) return 0;
  auto held = found->second.owned.find(owner);
  return held == found->second.owned.end() ? 0 : held->second;
}

}  // namespace VekBase
