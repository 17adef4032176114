// The stream interface's shared part (journalling) and the memory stream,
// whose bytes live in a process-wide store under the stream's name.
//
// Rules of the memory streams:
//  1. A stored stream's bytes live in blocks of VEKStreamMem::Block bytes;
//     it holds exactly the blocks that cover its size, plus those a reserve
//     added past it (until a truncation, to any size up to the size, gives
//     them back). Every byte of a block past the size is zero, so growing
//     reads as zeros without clearing anything.
//  2. memHeld is the number of bytes in all blocks of all stored streams:
//     it rises when a block is made, falls when a truncation or the stored
//     stream's destruction (its last holder gone) frees one.
//  3. No block is made while memHeld would pass memLimit: the growing write,
//     truncation or reserve throws before changing anything.
#include "base/VEKStream.h"

#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <stdexcept>
#include <utility>
#include <vector>

#include "base/VEKJournal.h"

namespace VekBase {

namespace {

int64 memHeld = 0;    // bytes in the blocks of all stored streams
int64 memLimit = -1;  // bound on memHeld, negative for none

}  // namespace

struct VEKMemFile {
  static constexpr int64 Block = VEKStreamMem::Block;

  VEKMemFile() = default;
  VEKMemFile(const VEKMemFile&) = delete;
  VEKMemFile& operator=(const VEKMemFile&) = delete;
  ~VEKMemFile() { memHeld -= held(); }

  int64 held() const { return static_cast<int64>(blocks.size()) * Block; }

  // Makes the blocks that cover [0, bytes), or throws (nothing made) when
  // they would pass the limit.
  void cover(int64 bytes, const char* operation) {
    const size_t wanted = static_cast<size_t>((bytes + Block - 1) / Block);
    if (wanted <= blocks.size()) return;
    const int64 more = static_cast<int64>(wanted - blocks.size()) * Block;
    if (memLimit >= 0 && more > memLimit - memHeld)
      throw std::runtime_error(std::string("VEKStreamMem::") + operation + " - the memory bases' limit of " +
                               std::to_string(memLimit) + " bytes is reached!");
    blocks.reserve(wanted);
    while (blocks.size() < wanted) {
      std::unique_ptr<char[]> block(new char[Block]());
      blocks.push_back(std::move(block));
      memHeld += Block;
    }
  }

  // Cuts the size to newLength (no more than the size): clears the cut
  // bytes of the last kept block and frees the blocks past it.
  void cut(int64 newLength) {
    const size_t kept = static_cast<size_t>((newLength + Block - 1) / Block);
    const int64 clearEnd = std::min(length, static_cast<int64>(kept) * Block);
    if (newLength < clearEnd) std::memset(at(newLength), 0, static_cast<size_t>(clearEnd - newLength));
    if (blocks.size() > kept) {
      memHeld -= static_cast<int64>(blocks.size() - kept) * Block;
      blocks.resize(kept);
    }
    length = newLength;
  }

  char* at(int64 offset) const { return blocks[static_cast<size_t>(offset / Block)].get() + offset % Block; }

  // Copies between the blocks and a buffer over [offset, offset+count),
  // which the blocks cover.
  void copyOut(int64 offset, char* to, int64 count) const {
    for (int64 done = 0, step; done < count; done += step) {
      step = std::min(count - done, Block - (offset + done) % Block);
      std::memcpy(to + done, at(offset + done), static_cast<size_t>(step));
    }
  }
  void copyIn(int64 offset, const char* from, int64 count) {
    for (int64 done = 0, step; done < count; done += step) {
      step = std::min(count - done, Block - (offset + done) % Block);
      std::memcpy(at(offset + done), from + done, static_cast<size_t>(step));
    }
  }

  std::vector<std::unique_ptr<char[]>> blocks;  // Block bytes each (rule 1)
  int64 length = 0;                             // the stream's size
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
  file->cover(position + length, "zwrite");
  file->copyIn(position, static_cast<const char*>(data), length);
  file->length = std::max(file->length, position + length);
  position += length;
}

int64 VEKStreamMem::zread(void* buffer, int64 length) {
  if (!file) return 0;
  if (length < 0 || length > size() - position) failMem("zread");
  file->copyOut(position, static_cast<char*>(buffer), length);
  position += length;
  return length;
}

int VEKStreamMem::access(const char* name, int /*mode*/) { return memStore().count(name) ? 0 : -1; }

int VEKStreamMem::remove(const char* name) { return removeStored(name); }

bool VEKStreamMem::eof() { return !file || position >= size(); }

void VEKStreamMem::truncate(int64 newSize) {
  if (!file || newSize < 0 || newSize > (int64(1) << 40)) failMem("truncate");
  if (newSize <= size()) {
    if (newSize < size()) saveOriginal(newSize, size() - newSize);
    file->cut(newSize);  // also gives back blocks a reserve took past the size
    return;
  }
  file->cover(newSize, "truncate");
  file->length = newSize;
}

int64 VEKStreamMem::size() { return file ? file->length : 0; }

void VEKStreamMem::reserve(int64 newSize) {
  if (!file || newSize < 0 || newSize > (int64(1) << 40)) failMem("reserve");
  file->cover(newSize, "reserve");
}

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
  file->copyOut(offset, static_cast<char*>(buffer), available);
  return available;
}

VEKStream* VEKStreamMem::newStream() const { return new VEKStreamMem(); }

int VEKStreamMem::removeStored(const std::string& name) { return memStore().erase(name) ? 0 : -1; }

void VEKStreamMem::setLimit(int64 bytes) { memLimit = bytes; }

int64 VEKStreamMem::held() { return memHeld; }

}  // namespace VekBase
