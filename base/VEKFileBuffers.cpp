// The process-wide file-buffer cache (see VEKFileBuffers.h for its rules).
#include "base/VEKFileBuffers.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace VekBase {

int64 VEKFileBuffers::bufferMaxItems = 10000;
int64 VEKFileBuffers::bufferMaxItemSize = 1024;
int64 VEKFileBuffers::MaxItems = 500;
float VEKFileBuffers::bufferFlushDivider = 200.0f;
float VEKFileBuffers::filesFlushDivider = 100.0f;

VEKFileBuffers vekFileBuffers;

namespace {

constexpr int64 kLargestItem = 1 << 24;  // a larger item size setting is cut to this

// How many of max to drop at once when over the limit: max / divider + 1
// (a divider that is not a positive number drops one).
int64 dropCount(int64 max, float divider) {
  if (!(divider >= 1e-8f)) return 1;
  double count = static_cast<double>(max) / divider;
  if (!(count < 1e18)) return max;
  return static_cast<int64>(count) + 1;
}

int64 modificationNs(const struct stat& status) {
  return static_cast<int64>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
}

}  // namespace

VEKFileBuffer::VEKFileBuffer(const std::string& fileName)
    : name(fileName), itemSize(std::min(VEKFileBuffers::bufferMaxItemSize, kLargestItem)) {}

VEKFileBuffer::Item* VEKFileBuffer::load(int fd, int64 block) {
  auto found = items.find(block);
  vekFileBuffers.tick();
  if (found != items.end()) {
    recency.splice(recency.begin(), recency, found->second.recency);
    return &found->second;
  }
  if (static_cast<int64>(items.size()) >= VEKFileBuffers::bufferMaxItems) evict();
  Item item;
  item.bytes.resize(static_cast<size_t>(itemSize));
  int64 got = 0;
  while (got < itemSize) {
    ssize_t n = ::pread(fd, item.bytes.data() + got, static_cast<size_t>(itemSize - got), block * itemSize + got);
    if (n < 0) throw std::runtime_error("VEKStreamFile::zread - unable to perform operation!");
    if (n == 0) break;
    got += n;
  }
  item.bytes.resize(static_cast<size_t>(got));
  if (got < itemSize) partialItems[block] = true;
  recency.push_front(block);
  item.recency = recency.begin();
  return &items.emplace(block, std::move(item)).first->second;
}

// Drops the least recently used items: bufferMaxItems / bufferFlushDivider + 1.
void VEKFileBuffer::evict() {
  int64 drop = dropCount(VEKFileBuffers::bufferMaxItems, VEKFileBuffers::bufferFlushDivider);
  for (int64 i = 0; i < drop && !recency.empty(); ++i) forget(recency.back());
}

void VEKFileBuffer::forget(int64 block) {
  auto found = items.find(block);
  if (found == items.end()) return;
  recency.erase(found->second.recency);
  items.erase(found);
  partialItems.erase(block);
}

int64 VEKFileBuffer::read(int fd, int64 offset, void* out, int64 length) {
  u8* target = static_cast<u8*>(out);
  int64 done = 0;
  while (done < length) {
    int64 block = (offset + done) / itemSize;
    int64 within = (offset + done) % itemSize;
    Item* item = load(fd, block);
    int64 available = static_cast<int64>(item->bytes.size()) - within;
    if (available <= 0) break;
    int64 take = std::min(available, length - done);
    std::memcpy(target + done, item->bytes.data() + within, static_cast<size_t>(take));
    done += take;
    if (static_cast<int64>(item->bytes.size()) < itemSize && within + take >= static_cast<int64>(item->bytes.size()))
      break;  // end of file
  }
  return done;
}

void VEKFileBuffer::written(int64 offset, const void* data, int64 length) {
  if (length <= 0) return;
  const u8* source = static_cast<const u8*>(data);
  // A short (end-of-file) block that ends before the write starts now has
  // a hole of zeros behind it in the file: forget it rather than patch it.
  for (auto it = partialItems.begin(); it != partialItems.end();) {
    auto item = items.find(it->first);
    if (item == items.end() || offset > it->first * itemSize + static_cast<int64>(item->second.bytes.size())) {
      if (item != items.end()) {
        recency.erase(item->second.recency);
        items.erase(item);
      }
      it = partialItems.erase(it);
    } else {
      ++it;
    }
  }
  int64 lastBlock = (offset + length - 1) / itemSize;
  for (int64 block = offset / itemSize; block <= lastBlock; ++block) {
    auto found = items.find(block);
    if (found == items.end()) continue;
    std::vector<u8>& bytes = found->second.bytes;
    int64 start = std::max(offset, block * itemSize);
    int64 end = std::min(offset + length, (block + 1) * itemSize);
    int64 within = start - block * itemSize;
    if (within + (end - start) > static_cast<int64>(bytes.size())) bytes.resize(static_cast<size_t>(within + end - start));
    std::memcpy(bytes.data() + within, source + (start - offset), static_cast<size_t>(end - start));
    if (static_cast<int64>(bytes.size()) == itemSize) partialItems.erase(block);
  }
}

void VEKFileBuffer::clear() {
  items.clear();
  recency.clear();
  partialItems.clear();
}

std::shared_ptr<VEKFileBuffer> VEKFileBuffers::acquire(const std::string& name, int fd) {
  if (MaxItems <= 0 || bufferMaxItems <= 0 || bufferMaxItemSize <= 0) return nullptr;
  struct stat status;
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return nullptr;
  FileId id(static_cast<u64>(status.st_dev), static_cast<u64>(status.st_ino));
  std::shared_ptr<VEKFileBuffer>& entry = files[id];
  if (!entry) {
    entry = std::make_shared<VEKFileBuffer>(name);
  } else if (entry->holders == 0 &&
             (entry->knownSize != static_cast<int64>(status.st_size) || entry->mtimeNs != modificationNs(status))) {
    entry->clear();  // changed behind the cache's back
  }
  std::shared_ptr<VEKFileBuffer> taken = entry;
  taken->holders++;
  taken->lastUse = tick();
  if (static_cast<int64>(files.size()) > MaxItems) evictFiles();
  return taken;
}

void VEKFileBuffers::release(const std::shared_ptr<VEKFileBuffer>& entry, int fd) {
  if (!entry) return;
  entry->holders--;
  struct stat status;
  if (entry->holders == 0 && ::fstat(fd, &status) == 0) {
    entry->knownSize = static_cast<int64>(status.st_size);
    entry->mtimeNs = modificationNs(status);
  }
}

void VEKFileBuffers::drop(const std::string& path) {
  struct stat status;
  if (::stat(path.c_str(), &status) != 0) return;
  auto found = files.find(FileId(static_cast<u64>(status.st_dev), static_cast<u64>(status.st_ino)));
  if (found == files.end()) return;
  found->second->dropped = true;
  found->second->clear();
  files.erase(found);
}

void VEKFileBuffers::clear() {
  for (auto& file : files) {
    file.second->dropped = true;
    file.second->clear();
  }
  files.clear();
}

// Drops the least recently used files no stream holds:
// MaxItems / filesFlushDivider + 1 of them.
void VEKFileBuffers::evictFiles() {
  std::vector<std::pair<u64, FileId>> ages;
  for (const auto& file : files)
    if (file.second->holders == 0) ages.emplace_back(file.second->lastUse, file.first);
  std::sort(ages.begin(), ages.end());
  size_t drop = std::min(ages.size(), static_cast<size_t>(dropCount(MaxItems, filesFlushDivider)));
  for (size_t i = 0; i < drop; ++i) {
    auto found = files.find(ages[i].second);
    found->second->dropped = true;
    found->second->clear();
    files.erase(found);
  }
}

std::string VEKFileBuffers::statusJson() {
  char text[512];
  std::snprintf(text, sizeof text,
                "{\"bi\":%lld,\"bid\":%f,\"bis\":%lld,\"bf\":%lld,\"bfd\":%f,\"files\":%lld,\"freshness\":%llu}",
                static_cast<long long>(bufferMaxItems), static_cast<double>(bufferFlushDivider),
                static_cast<long long>(bufferMaxItemSize), static_cast<long long>(MaxItems),
                static_cast<double>(filesFlushDivider), static_cast<long long>(vekFileBuffers.fileCount()),
                static_cast<unsigned long long>(vekFileBuffers.freshness));
  return text;
}

}  // namespace VekBase
