// Scratch byte block from the length-prefixed allocator.
#include "Buffer.h"

#include "VekAlloc.h"

namespace VekLanguage {

Buffer::Buffer(u32 size) : data(static_cast<u8*>(vekMalloc(size))) {}

Buffer::~Buffer() {
    if (data != nullptr) vekFree(&data);
}

}  // namespace VekLanguage
