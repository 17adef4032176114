// Little-endian integer encoding for the base file and the journal, so the
// bytes on disk do not depend on the machine.
#pragma once
#include <string>

#include "kernel/VekTypes.h"

namespace VekBase {

inline void putLE(u8* at, u64 value, int bytes) {
  for (int i = 0; i < bytes; ++i) at[i] = static_cast<u8>(value >> (8 * i));
}

inline u64 getLE(const u8* at, int bytes) {
  u64 value = 0;
  for (int i = 0; i < bytes; ++i) value |= static_cast<u64>(at[i]) << (8 * i);
  return value;
}

inline void appendLE(std::string& out, u64 value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

}  // namespace VekBase
