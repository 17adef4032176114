// Private description of one hash function, shared by digest.cpp (the
// streaming and padding logic) and the block functions md5.cpp, sha1.cpp
// and sha256.cpp.
#pragma once
#include "digest.h"

namespace VekTls {

struct digest_algorithm {
  int hash_words;             // chaining words: 4, 5 or 8
  const u32* initial_hash;    // the algorithm's starting words
  // Compresses one 64-byte block into `hash`.
  void (*compress)(const u8* block, u32* hash);
  bool big_endian;            // SHA writes its length and words big-endian, MD5 little-endian
};

extern const digest_algorithm md5_algorithm;
extern const digest_algorithm sha1_algorithm;
extern const digest_algorithm sha256_algorithm;

}  // namespace VekTls
