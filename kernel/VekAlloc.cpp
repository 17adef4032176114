// Length-prefixed allocation helpers.
//
// Layout of a block: [padding][u32 size][usable bytes...]. The header is
// HeaderSize bytes so that the address handed out keeps malloc's alignment
// (blocks hold u64 lengths and structures, not only bytes); the size sits in
// the last 4 header bytes, directly before that address.
#include "VekAlloc.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::size_t HeaderSize = alignof(std::max_align_t) > 4 ? alignof(std::max_align_t) : 4;

// Out of memory is not something the callers can handle: they would write
// through the null pointer. End the process with a clear message instead.
[[noreturn]] void outOfMemory(u64 bytes) {
    std::fprintf(stderr, "Fatal: out of memory allocating %llu bytes\n", static_cast<unsigned long long>(bytes));
    std::fflush(stderr);
    std::abort();
}

// Bytes to ask malloc for: the header plus `usable` bytes. On a 32-bit
// build a usable size near 4 GiB would wrap the sum to a tiny block while
// the stored size still claims gigabytes, so such a size ends the process
// like any other allocation that cannot be had.
std::size_t totalBytes(u64 usable) {
    if (usable > 0xFFFFFFFFull || usable > SIZE_MAX - HeaderSize) outOfMemory(usable);
    return HeaderSize + static_cast<std::size_t>(usable);
}

unsigned char* headerOf(const void* block) {
    return static_cast<unsigned char*>(const_cast<void*>(block)) - HeaderSize;
}

void* finishBlock(void* raw, u32 size) {
    unsigned char* bytes = static_cast<unsigned char*>(raw);
    std::memcpy(bytes + HeaderSize - sizeof(u32), &size, sizeof(u32));
    return bytes + HeaderSize;
}

}  // namespace

void* vekMalloc(u32 size) {
    std::size_t total = totalBytes(size);
    void* raw = std::malloc(total);
    if (raw == nullptr) outOfMemory(total);
    return finishBlock(raw, size);
}

void* vekCalloc(u32 count, u32 size) {
    u64 bytes = static_cast<u64>(count) * size;
    std::size_t total = totalBytes(bytes);
    void* raw = std::calloc(1, total);
    if (raw == nullptr) outOfMemory(total);
    return finishBlock(raw, static_cast<u32>(bytes));
}

void* vekRealloc(void* block, u32 size) {
    if (block == nullptr) return vekMalloc(size);
    std::size_t total = totalBytes(size);
    // On failure realloc leaves the old block alone, but we end the process
    // anyway: the caller has no way to go on without the bigger block.
    void* raw = std::realloc(headerOf(block), total);
    if (raw == nullptr) outOfMemory(total);
    return finishBlock(raw, size);
}

void* vekTryRealloc(void* block, u32 size) {
    if (HeaderSize + static_cast<u64>(size) > SIZE_MAX) return nullptr;
    void* raw = std::realloc(block == nullptr ? nullptr : headerOf(block), HeaderSize + static_cast<std::size_t>(size));
    return raw == nullptr ? nullptr : finishBlock(raw, size);
}

u32 vekBlockSize(const void* block) {
    u32 size;
    std::memcpy(&size, static_cast<const unsigned char*>(block) - sizeof(u32), sizeof(u32));
    return size;
}

void vekFreeBlock(void* block) {
    if (block != nullptr) std::free(headerOf(block));
}
