// Which file a name reaches, and an advisory lock that keeps a base's file
// to one process.
//
// A process that has a base open holds an exclusive flock on its file for
// as long as it has it open. Another process that opens the same file
// takes the same lock first and is refused, so it never recovers (rolls
// back) the journal of a writer that is still running, nor writes the file
// under it. The lock belongs to the open file description, not to the
// process: closing some other descriptor of the same file keeps it, and
// two descriptions in one process exclude each other as two processes do.
// The lock is taken through a read-write descriptor: on a network file
// system an exclusive lock needs one, and even there a base needs a local
// file system (a lock emulated with record locks drops when any
// descriptor of the file closes).
#pragma once
#include <string>

#include "kernel/VekTypes.h"

namespace VekBase {

// The identity (device and inode) of the file a name reaches now.
struct VEKFileId {
  u64 device = 0, inode = 0;
  bool known = false;  // false when nothing could be found at the name
  static VEKFileId of(const std::string& name);
  bool operator==(const VEKFileId& other) const {
    return known && other.known && device == other.device && inode == other.inode;
  }
};

class VEKFileLock {
 public:
  VEKFileLock() = default;
  ~VEKFileLock() { release(); }
  VEKFileLock(const VEKFileLock&) = delete;
  VEKFileLock& operator=(const VEKFileLock&) = delete;

  // Locks the file now at name (letting go of one locked before); nothing
  // when the lock is held on it already, or when the name holds no file
  // and create is false. With create, a missing file is made (empty) and
  // locked, so a new base is formatted only under the lock. Throws
  // std::runtime_error "Can't open the VEKBase file: <name>: " and the
  // reason ("another process has it open" when another holder has the
  // lock), and releases nothing then.
  void take(const std::string& name, bool create = false);
  // True while the lock is held on the file the name reaches now; also
  // when the name cannot be looked at for a passing reason (not when it
  // is gone or reaches another file).
  bool holds(const std::string& name) const;
  bool held() const { return fd >= 0; }
  void release();

 private:
  int fd = -1;       // the locked description, -1 when none
  VEKFileId locked;  // the file it locks
};

}  // namespace VekBase
