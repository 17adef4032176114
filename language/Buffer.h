// A scratch byte block from the length-prefixed allocator, freed with the
// object; the base64 words use it.
#pragma once
#include "VekTypes.h"

namespace VekLanguage {

class Buffer {
public:
    explicit Buffer(u32 size);
    virtual ~Buffer();
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    u8* data;  // vekMalloc block of the requested size, owned
};

}  // namespace VekLanguage
