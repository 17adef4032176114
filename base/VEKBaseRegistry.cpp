// The process-wide registry of open protected bases.
#include "base/VEKBaseRegistry.h"

namespace VekBase {

VEKBaseRegistry* VEKBaseRegistry::singleton = nullptr;

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

VEKBaseRegistry::~VEKBaseRegistry() {
  while (!bases.empty()) erase(bases.begin());
  if (singleton == this) singleton = nullptr;
}

// Closes the base (an uncommitted writer is rolled back and the journal
// settled by the base's destructor) and forgets it.
void VEKBaseRegistry::erase(std::map<std::string, Entry>::iterator entry) {
  VEKCursorProtected* base = entry->second.base;
  bases.erase(entry);
  delete base;
}

VEKCursorProtected* VEKBaseRegistry::get(const std::string& name) {
  auto found = bases.find(name);
  if (found == bases.end()) return nullptr;
  if (found->second.base->reopen()) return found->second.base;
  erase(found);
  return nullptr;
}

VEKCursorProtected* VEKBaseRegistry::open(const std::string& name, u32 mode) {
  auto found = bases.find(name);
  if (found != bases.end()) {
    if (found->second.base->reopen()) {
      found->second.uses++;
      return found->second.base;
    }
    erase(found);
  }
  VEKCursorProtected* base = new VEKCursorProtected(name + "1", name + "2", mode);
  bases[name] = Entry{base, 1};
  return base;
}

void VEKBaseRegistry::remove(const std::string& name) {
  auto found = bases.find(name);
  if (found == bases.end()) return;
  if (--found->second.uses <= 0 || !found->second.base->hasCursors()) erase(found);
}

}  // namespace VekBase
