// Which file a name reaches, and the advisory lock on a base's file.
#include "base/VEKFileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace VekBase {

namespace {

VEKFileId idOf(const struct stat& status) {
  VEKFileId id;
  id.device = static_cast<u64>(status.st_dev);
  id.inode = static_cast<u64>(status.st_ino);
  id.known = true;
  return id;
}

}  // namespace

VEKFileId VEKFileId::of(const std::string& name) {
  struct stat status;
  if (::stat(name.c_str(), &status) != 0) return VEKFileId();
  return idOf(status);
}

// O_NONBLOCK: a named pipe at the name must not stop the process here (the
// base's own checks refuse it afterwards).
void VEKFileLock::take(const std::string& name, bool create) {
  if (holds(name)) return;  // a second description would be refused by this one
  int opened = ::open(name.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | (create ? O_CREAT : 0), 0644);
  if (opened < 0) {
    if (errno == ENOENT && !create) return;
    throw std::runtime_error("Can't open the VEKBase file: " + name + ": " + std::strerror(errno));
  }
  struct stat status;
  if (::flock(opened, LOCK_EX | LOCK_NB) != 0 || ::fstat(opened, &status) != 0) {
    const int reason = errno;
    ::close(opened);
    if (reason == EWOULDBLOCK)
      throw std::runtime_error("Can't open the VEKBase file: " + name + ": another process has it open");
    throw std::runtime_error("Can't open the VEKBase file: " + name + ": " + std::strerror(reason));
  }
  release();
  fd = opened;
  locked = idOf(status);
}

bool VEKFileLock::holds(const std::string& name) const {
  if (fd < 0) return false;
  struct stat status;
  if (::stat(name.c_str(), &status) != 0) return errno != ENOENT && errno != ENOTDIR;
  return idOf(status) == locked;
}

void VEKFileLock::release() {
  if (fd < 0) return;
  ::close(fd);  // closing the description drops its lock
  fd = -1;
  locked = VEKFileId();
}

}  // namespace VekBase
