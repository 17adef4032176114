// Byte-order loads and stores and word rotations shared by the hash and
// cipher code. Written with shifts so they are right on any host; compilers
// turn them into single loads, stores and byte swaps.
#pragma once
#include "kernel/VekTypes.h"

namespace VekTls {

inline u32 load_be32(const u8* p) {
  return (u32(p[0]) << 24) | (u32(p[1]) << 16) | (u32(p[2]) << 8) | u32(p[3]);
}

inline u32 load_le32(const u8* p) {
  return u32(p[0]) | (u32(p[1]) << 8) | (u32(p[2]) << 16) | (u32(p[3]) << 24);
}

inline void store_be32(u8* p, u32 v) {
  p[0] = u8(v >> 24);
  p[1] = u8(v >> 16);
  p[2] = u8(v >> 8);
  p[3] = u8(v);
}

inline void store_le32(u8* p, u32 v) {
  p[0] = u8(v);
  p[1] = u8(v >> 8);
  p[2] = u8(v >> 16);
  p[3] = u8(v >> 24);
}

inline u32 rotl32(u32 v, int n) { return (v << n) | (v >> (32 - n)); }
inline u32 rotr32(u32 v, int n) { return (v >> n) | (v << (32 - n)); }

}  // namespace VekTls
