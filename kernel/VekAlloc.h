// Length-prefixed allocation helpers: each block keeps its usable size as an
// unsigned 32-bit value in the 4 bytes just before the address handed out.
// C style on purpose: the HTTP engine, the big-number code and the template
// output block pass these blocks around as raw pointers.
#pragma once
#include <cstddef>

#include "VekTypes.h"

// size usable bytes, not cleared. Never returns null: when memory runs out
// the process ends with a message instead of handing back a bad pointer.
void* vekMalloc(u32 size);

// count * size zeroed bytes; a product above the 32-bit size field, or no
// memory, ends the process with a message.
void* vekCalloc(u32 count, u32 size);

// Resizes the block (null makes a new one) to size usable bytes and stores
// the new size; the old contents are kept up to the smaller size.
void* vekRealloc(void* block, u32 size);

// As vekRealloc, but when memory runs out it returns null and leaves the
// block as it was, for callers that can give up what they were doing.
void* vekTryRealloc(void* block, u32 size);

// The usable size stored in front of a block from the helpers above.
u32 vekBlockSize(const void* block);

// Frees a block from the helpers above; a null block is ignored.
void vekFreeBlock(void* block);

// Frees the block that *pointer designates and sets *pointer to null.
template <typename T>
inline void vekFree(T** pointer) {
    vekFreeBlock(const_cast<void*>(static_cast<const void*>(*pointer)));
    *pointer = nullptr;
}
