// The TLS 1.0 pseudo-random function (RFC 2246, section 5).
#pragma once
#include "kernel/VekTypes.h"

namespace VekTls {

// Fills exactly `output_length` bytes with
//   P_MD5(S1, label + seed) XOR P_SHA1(S2, label + seed),
// where S1 is the first and S2 the last ceil(secret_length / 2) bytes of the
// secret (an odd-length secret lends its middle byte to both halves).
void prf(const u8* secret, int secret_length, const u8* label, int label_length, const u8* seed,
         int seed_length, u8* output, int output_length);

}  // namespace VekTls
