// The stream interface's shared part (journalling) and the memory stream,
// whose bytes live in a process-wide store under the stream's name.
#include "base/VEKStream.h"

#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <stdexcept>

#include "base/VEKJournal.h"

namespace VekBase {

struct VEKMemFile {
  std::string bytes;  // the stored contents
};

namespace {

// The store of memory streams by name; built on first use so streams may be
// opened during static initialisation of other units.
std::map<std::string, std::shared_ptr<VEKMemFile>>& memStore() {
  static std::map<std::string, std::shared_ptr<VEKMemFile>> store;
  return store;
}

[[noreturn]] void failMem(const char* operation) {
  throw std::runtime_error(std::string("VEKStreamMem::") + operation + " - unable to perform operation!");
}

}  // namespace

VEKObject::~VEKObject() = default;

VEKLeading leadingBytes(const VEKStream& like, const std::string& name, const char (&magic)[8]) {
  std::unique_ptr<VEKStream> in(like.newStream());
  if (in->access(name.c_str(), 0) != 0) return VEKLeading::Missing;
  char bytes[sizeof magic];
  int64 got;
  try {
    in->open(name.c_str(), O_RDONLY, 0);
    got = in->readAt(0, bytes, sizeof bytes);
  } catch (const std::exception&) {
    return VEKLeading::Other;  // a directory, or a file this process may not read
  }
  if (got == 0) return VEKLeading::Empty;
  if (got < 0 || std::memcmp(bytes, magic, static_cast<size_t>(got)) != 0) return VEKLeading::Other;
  return got == static_cast<int64>(sizeof magic) ? VEKLeading::Magic : VEKLeading::PartOfMagic;
}

VEKStream::VEKStream() = default;
VEKStream::~VEKStream() = default;

void VEKStream::StartSaveWrite(const std::string& journalName) {
  activeJournal.reset();
  activeJournal.reset(new VEKJournal(*this, journalName));
}

void VEKStream::EndSaveWrite() { activeJournal.reset(); }

void VEKStream::saveOriginal(int64 offset, int64 length) {
  if (activeJournal) activeJournal->saveOriginal(offset, length);
}

VEKStreamMem::VEKStreamMem() = default;

VEKStreamMem::~VEKStreamMem() { close(); }

bool VEKStreamMem::isOpen() { return file != nullptr; }

void VEKStreamMem::open(const char* name, int flags, int /*mode*/) {
  close();
  auto& store = memStore();
  auto found = store.find(name);
  if (found == store.end()) {
    if (!(flags & O_CREAT)) throw std::runtime_error(std::string("Unable to open file: '") + name + "' !");
    found = store.emplace(name, std::make_shared<VEKMemFile>()).first;
  }
  file = found->second;
  streamName = name;
  position = 0;
  if (flags & O_TRUNC) truncate(0);
}

void VEKStreamMem::close() {
  EndSaveWrite();
  file.reset();
  position = 0;
}

int64 VEKStreamMem::tell() { return position; }

int64 VEKStreamMem::seek(int64 offset, int whence) {
  if (!file) return -1;
  int64 base = whence == SEEK_CUR ? position : whence == SEEK_END ? size() : 0;
  int64 target;
  if (__builtin_add_overflow(base, offset, &target) || target < 0) return -1;
  position = target;
  return position;
}

void VEKStreamMem::zwrite(const void* data, int64 length) {
  if (!file || length < 0 || length > (int64(1) << 40) - position) failMem("zwrite");
  if (length == 0) return;
  saveOriginal(position, length);
  std::string& bytes = file->bytes;
  if (static_cast<int64>(bytes.size()) < position + length) bytes.resize(static_cast<size_t>(position + length));
  std::memcpy(&bytes[static_cast<size_t>(position)], data, static_cast<size_t>(length));
  position += length;
}

int64 VEKStreamMem::zread(void* buffer, int64 length) {
  if (!file) return 0;
  if (length < 0 || length > size() - position) failMem("zread");
  if (length > 0) std::memcpy(buffer, file->bytes.data() + position, static_cast<size_t>(length));
  position += length;
  return length;
}

int VEKStreamMem::access(const char* name, int /*mode*/) { return memStore().count(name) ? 0 : -1; }

int VEKStreamMem::remove(const char* name) { return removeStored(name); }

bool VEKStreamMem::eof() { return !file || position >= size(); }

void VEKStreamMem::truncate(int64 newSize) {
  if (!file || newSize < 0 || newSize > (int64(1) << 40)) failMem("truncate");
  if (newSize < size()) saveOriginal(newSize, size() - newSize);
  file->bytes.resize(static_cast<size_t>(newSize));
}

int64 VEKStreamMem::size() { return file ? static_cast<int64>(file->bytes.size()) : 0; }

int VEKStreamMem::rename(const char* from, const char* to) {
  auto& store = memStore();
  auto found = store.find(from);
  if (found == store.end()) return -1;
  std::shared_ptr<VEKMemFile> moved = found->second;
  store.erase(found);
  store[to] = moved;
  return 0;
}

void VEKStreamMem::sync() {}

void VEKStreamMem::syncDirectory(const std::string& /*name*/) {}

int64 VEKStreamMem::readAt(int64 offset, void* buffer, int64 length) {
  if (offset < 0 || offset >= size()) return 0;
  int64 available = std::max<int64>(0, std::min(length, size() - offset));
  if (available > 0) std::memcpy(buffer, file->bytes.data() + offset, static_cast<size_t>(available));
  return available;
}

VEKStream* VEKStreamMem::newStream() const { return new VEKStreamMem(); }

int VEKStreamMem::removeStored(const std::string& name) { return memStore().erase(name) ? 0 : -1; }

}  // namespace VekBase
