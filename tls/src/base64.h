// Base64 (RFC 4648 alphabet, "=" padding) encoding and decoding.
#pragma once
#include "kernel/VekTypes.h"

namespace VekTls {

// Encoded size of `length` bytes, without the final NUL.
constexpr int base64_encoded_length(int length) { return length > 0 ? (length + 2) / 3 * 4 : 0; }

// Write 4 characters per 3 input bytes, "=" padded, then a NUL: the caller
// provides base64_encoded_length(length) + 1 bytes of output.
void base64_encode(const u8* input, int length, u8* output);

// Decode `length` characters (a multiple of 4) into `output`, which needs
// room for length / 4 * 3 bytes. Returns the number of bytes written.
// On an invalid character prints "invalid character for base64 encoding: %c\n"
// to standard error and returns -1; a length that is not a multiple of 4 is
// refused the same way (-1) before anything is written.
int base64_decode(const u8* input, int length, u8* output);

}  // namespace VekTls
