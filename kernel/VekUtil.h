// Small text and file utilities shared by every subsystem: integers to and
// from text, trimming, whole-file reading and UUID text.
#pragma once
#include <cstddef>
#include <string>

#include "VekTypes.h"

namespace VekKernel {

// Writes value into buffer (size bytes, always terminated when size > 0):
// radix 10 as "%lld", radix 16 as "%llX". Any other radix leaves the buffer
// as it was. Returns buffer.
char* int64ToText(int64 value, char* buffer, std::size_t size, int radix);
// The leading decimal number of text ("%lld"); 0 when it does not start
// with one. Out-of-range values saturate at the int64 limits.
int64 stringToInt64(const std::string& text);
// Strips bytes 1 to 32 and bytes of extraSet from both ends. A NUL byte or a
// byte of 128 or more stops the stripping at that end.
void trim(std::string& text, const std::string& extraSet = std::string());
// The whole file, read in pieces of 1023 bytes, each piece kept up to its
// first NUL byte; empty when the file cannot be opened or is a device
// (which may never end).
std::string readFile(const std::string& path);

// Opens path read-only for reading it to its end: -1 when it cannot be opened
// or is a device (a device may never end); a named pipe is opened without
// waiting for a writer. The caller closes the descriptor.
int openForWholeRead(const std::string& path);
// A random UUID in its 36-character text form, letters in upper case.
std::string newUuid();
// 32-bit FNV-1a of length bytes, continuing from hash (the FNV offset basis
// for a fresh sum), so a sum can run over several pieces.
constexpr u32 Fnv1aBasis = 2166136261u;
inline u32 fnv1a(const void* bytes, std::size_t length, u32 hash = Fnv1aBasis) {
    const u8* at = static_cast<const u8*>(bytes);
    for (std::size_t i = 0; i < length; ++i) hash = (hash ^ at[i]) * 16777619u;
    return hash;
}

}  // namespace VekKernel
