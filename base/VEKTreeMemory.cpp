// The memory pool of a decoded tree (see VEKTreeMemory.h).
#include "base/VEKTreeMemory.h"

#include <sys/mman.h>

#include <cstdlib>
#include <new>

namespace VekBase {

namespace {

constexpr std::size_t kHugePage = std::size_t(2) << 20;   // 2 MiB
constexpr std::size_t kLargeChunk = std::size_t(1) << 20;  // from here on: huge-page chunks

bool isLarge(std::size_t bytes) { return bytes >= kLargeChunk; }

std::size_t roundedToHugePages(std::size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

}  // namespace

void* VEKHugePageResource::do_allocate(std::size_t bytes, std::size_t alignment) {
  if (!isLarge(bytes) || alignment > kHugePage) return ::operator new(bytes, std::align_val_t(alignment));
  void* block = nullptr;
  if (posix_memalign(&block, kHugePage, roundedToHugePages(bytes)) != 0) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
  madvise(block, roundedToHugePages(bytes), MADV_HUGEPAGE);  // advice only: failure changes nothing
#endif
  return block;
}

void VEKHugePageResource::do_deallocate(void* block, std::size_t bytes, std::size_t alignment) {
  if (!isLarge(bytes) || alignment > kHugePage) ::operator delete(block, std::align_val_t(alignment));
  else std::free(block);
}

namespace {

std::pmr::pool_options poolOptions() {
  std::pmr::pool_options options;
  options.max_blocks_per_chunk = 4096;           // chunks grow to megabytes
  options.largest_required_pool_block = 16384;   // a node or a full slot table
  return options;
}

}  // namespace

VEKTreeMemory::VEKTreeMemory() : pool(poolOptions(), &upstream) {}

}  // namespace VekBase
