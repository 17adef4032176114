// Memory of a base's decoded tree. The nodes of a large base are read in
// random order, so every step down the tree lands on another memory page;
// with ordinary 4 KiB pages most steps then also miss the address
// translation cache. The tree therefore takes its nodes and their slot
// tables from a pool whose large chunks are 2 MiB aligned and advised as
// huge pages (the kernel may or may not grant them; nothing depends on it).
//
// The pool belongs to one tree and is released with it; blocks freed by
// the tree are reused for its next nodes.
#pragma once
#include <cstddef>
#include <memory_resource>

namespace VekBase {

// Upstream of the tree's pool: chunks of 1 MiB and more come 2 MiB aligned,
// rounded up to whole 2 MiB, advised as huge pages; smaller ones come from
// the ordinary allocator.
class VEKHugePageResource : public std::pmr::memory_resource {
 protected:
  void* do_allocate(std::size_t bytes, std::size_t alignment) override;
  void do_deallocate(void* block, std::size_t bytes, std::size_t alignment) override;
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }
};

// The pool of one tree: size classes up to 16 KiB (every node and slot
// table fits), chunks drawn from the huge-page resource.
class VEKTreeMemory {
 public:
  VEKTreeMemory();
  std::pmr::memory_resource* resource() { return &pool; }

 private:
  VEKHugePageResource upstream;                // large aligned chunks
  std::pmr::unsynchronized_pool_resource pool;  // blocks by size class
};

}  // namespace VekBase
