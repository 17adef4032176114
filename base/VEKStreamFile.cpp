// The file stream: its own descriptor and position, reads served by the
// process-wide file-buffer cache, writes written through to the file first
// and then copied into the cache.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include "base/VEKFileBuffers.h"
#include "base/VEKStream.h"

namespace VekBase {

namespace {

[[noreturn]] void failFile(const char* operation) {
  throw std::runtime_error(std::string("VEKStreamFile::") + operation + " - unable to perform operation!");
}

std::string directoryOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::function<void(const std::string&, int64, int64)> VEKStreamFile::roomHook;
bool VEKStreamFile::fallocateUnsupported = false;

VEKStreamFile::VEKStreamFile() = default;

VEKStreamFile::~VEKStreamFile() { close(); }

bool VEKStreamFile::isOpen() { return fd >= 0; }

void VEKStreamFile::open(const char* name, int flags, int mode) {
  close();
  fd = ::open(name, flags | O_CLOEXEC, mode);
  if (fd < 0) throw std::runtime_error(std::string("Unable to open file: '") + name + "' !");
  streamName = name;
  position = 0;
  appendMode = (flags & O_APPEND) != 0;
  buffer = vekFileBuffers.acquire(name, fd);
  if (buffer && (flags & O_TRUNC)) buffer->clear();
}

void VEKStreamFile::close() {
  if (fd < 0) return;
  EndSaveWrite();
  vekFileBuffers.release(buffer, fd);
  buffer.reset();
  ::close(fd);
  fd = -1;
  position = 0;
}

bool VEKStreamFile::cached() const { return buffer && !buffer->dropped; }

int64 VEKStreamFile::tell() { return position; }

int64 VEKStreamFile::seek(int64 offset, int whence) {
  if (fd < 0) return -1;
  int64 base = whence == SEEK_CUR ? position : whence == SEEK_END ? size() : 0;
  int64 target;
  if (__builtin_add_overflow(base, offset, &target) || target < 0) return -1;
  position = target;
  return position;
}

int64 VEKStreamFile::readAt(int64 offset, void* out, int64 length) {
  if (fd < 0 || length <= 0) return 0;
  if (cached()) return buffer->read(fd, offset, out, length);
  return readUncached(offset, out, length);
}

// The cache is written through, so the file itself is never behind it.
int64 VEKStreamFile::readUncached(int64 offset, void* out, int64 length) {
  if (fd < 0 || length <= 0) return 0;
  int64 done = 0;
  while (done < length) {
    ssize_t n = ::pread(fd, static_cast<char*>(out) + done, static_cast<size_t>(length - done), offset + done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) failFile("zread");
    if (n == 0) break;
    done += n;
  }
  return done;
}

void VEKStreamFile::writeAt(int64 offset, const void* data, int64 length) {
  if (roomHook && offset + length > size()) roomHook(streamName, size(), offset + length);
  int64 done = 0;
  while (done < length) {
    ssize_t n = ::pwrite(fd, static_cast<const char*>(data) + done, static_cast<size_t>(length - done), offset + done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) failFile("zwrite");
    done += n;
  }
  if (cached()) buffer->written(offset, data, length);
}

int64 VEKStreamFile::zread(void* out, int64 length) {
  if (fd < 0) return 0;
  if (length < 0) failFile("zread");
  int64 got = readAt(position, out, length);
  position += got;
  if (got != length) failFile("zread");
  return got;
}

void VEKStreamFile::zwrite(const void* data, int64 length) {
  if (fd < 0 || length < 0) failFile("zwrite");
  if (length == 0) return;
  if (appendMode) position = size();
  saveOriginal(position, length);
  writeAt(position, data, length);
  position += length;
}

int VEKStreamFile::access(const char* name, int mode) { return ::access(name, mode); }

int VEKStreamFile::remove(const char* name) { return removeFile(name); }

bool VEKStreamFile::eof() { return fd < 0 || position >= size(); }

void VEKStreamFile::truncate(int64 newSize) {
  if (fd < 0 || newSize < 0) failFile("truncate");
  int64 oldSize = size();
  if (newSize < oldSize) saveOriginal(newSize, oldSize - newSize);
  if (::ftruncate(fd, newSize) != 0) failFile("truncate");
  if (buffer) buffer->clear();
}

int64 VEKStreamFile::size() {
  struct stat status;
  if (fd < 0 || ::fstat(fd, &status) != 0) return 0;
  return static_cast<int64>(status.st_size);
}

// The blocks are taken without changing the size, so a reader of the file
// sees nothing of it. A file system that cannot take blocks alone gets
// zeros written past the end instead: the file is then longer than its
// base until the publish that reserved it cuts it to size (or, after a
// failure, a copy of the write file replaces it, their sizes differing).
void VEKStreamFile::reserve(int64 newSize) {
  if (fd < 0 || newSize < 0) failFile("reserve");
  const int64 current = size();
  if (newSize <= current) return;
  if (roomHook) roomHook(streamName, current, newSize);
  int result;
  if (fallocateUnsupported) {
    result = -1;
    errno = EOPNOTSUPP;
  } else {
    do result = ::fallocate(fd, FALLOC_FL_KEEP_SIZE, current, newSize - current);
    while (result != 0 && errno == EINTR);
  }
  if (result == 0) return;
  if (errno != EOPNOTSUPP && errno != ENOSYS) failFile("reserve");
  const std::string zeros(static_cast<size_t>(std::min<int64>(newSize - current, 1 << 20)), '\0');
  for (int64 offset = current; offset < newSize; offset += static_cast<int64>(zeros.size()))
    writeAt(offset, zeros.data(), std::min(newSize - offset, static_cast<int64>(zeros.size())));
}

int VEKStreamFile::rename(const char* from, const char* to) {
  vekFileBuffers.drop(from);
  vekFileBuffers.drop(to);
  return ::rename(from, to);
}

void VEKStreamFile::sync() {
  if (fd >= 0 && ::fsync(fd) != 0) failFile("sync");
}

// The directory entry of a created, renamed or removed file is durable only
// once its directory is synced.
void VEKStreamFile::syncDirectory(const std::string& name) {
  int dir = ::open(directoryOf(name).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) failFile("sync");
  int result = ::fsync(dir);
  ::close(dir);
  if (result != 0) failFile("sync");
}

VEKStream* VEKStreamFile::newStream() const { return new VEKStreamFile(); }

int VEKStreamFile::removeFile(const std::string& path) {
  vekFileBuffers.drop(path);
  bool memory = VEKStreamMem::removeStored(path) == 0;
  bool file = ::unlink(path.c_str()) == 0;
  return memory || file ? 0 : -1;
}

}  // namespace VekBase
