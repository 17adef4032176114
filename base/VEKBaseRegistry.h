// The process-wide registry of open protected bases: base name to an open
// VEKCursorProtected with a use count.
#pragma once
#include <map>
#include <string>

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
  // removed).
  VEKCursorProtected* get(const std::string& name);
  // Finds the base and adds a use, or opens name + "1" / name + "2" with
  // mode (2 memory, 4 files) with one use.
  VEKCursorProtected* open(const std::string& name, u32 mode);
  VEKCursorProtected* openDefault(const std::string& name) { return open(name, VEK_STREAM_FILE); }
  // Drops a use; the last one (or a base without cursors) closes the base,
  // rolling back an uncommitted writer, and removes the entry.
  void remove(const std::string& name);

 private:
  struct Entry {
    VEKCursorProtected* base;  // owned
    int64 uses;                // opens not yet removed
  };
  void erase(std::map<std::string, Entry>::iterator entry);

  std::map<std::string, Entry> bases;  // open bases by name
  static VEKBaseRegistry* singleton;   // the process-wide registry
};

}  // namespace VekBase
