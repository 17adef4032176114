// Message digests (MD5, SHA-1, SHA-256) behind one streaming context.
//
// A context is set up by one of the new_*_digest functions, fed with
// update_digest and completed with finalize_digest. While running, `hash`
// holds the algorithm's chaining words; after finalize_digest it holds the
// digest itself, laid out so that the bytes of hash[0..hash_len-1], read in
// memory order, are the standard digest bytes (16, 20 or 32 of them).
//
// Ownership: the hash words live inside the context, so a context owns no
// heap memory. Copying a context with plain assignment duplicates its words,
// which is how a running digest is finalised without disturbing it:
//     digest_ctx snapshot = running; finalize_digest(&snapshot);
// There is nothing to release; never free() `hash`.
#pragma once
#include "kernel/VekTypes.h"

namespace VekTls {

constexpr int DIGEST_BLOCK_SIZE = 64;      // every supported hash works on 64-byte blocks
constexpr int DIGEST_MAX_HASH_WORDS = 8;   // SHA-256 has the most words
constexpr int MD5_HASH_WORDS = 4;
constexpr int SHA1_HASH_WORDS = 5;
constexpr int SHA256_HASH_WORDS = 8;

struct digest_algorithm;  // private description of one hash function

struct digest_ctx {
  u32 hash[DIGEST_MAX_HASH_WORDS];  // chaining words; the digest once finalised
  int hash_len;                     // hash words in use: 4 (MD5), 5 (SHA-1), 8 (SHA-256)
  u64 input_len;                    // bytes digested so far
  u8 block[DIGEST_BLOCK_SIZE];      // bytes waiting for a whole block
  int block_len;                    // how many bytes of `block` are waiting
  const digest_algorithm* algorithm;  // which hash this context computes
};

// Set a context up for a new MD5, SHA-1 or SHA-256 digest.
void new_md5_digest(digest_ctx* context);
void new_sha1_digest(digest_ctx* context);
void new_sha256_digest(digest_ctx* context);

// Set `context` up for a new digest of the same kind as `like`.
void new_digest_like(digest_ctx* context, const digest_ctx* like);

// Add `length` bytes to a running digest; a length of 0 or less adds nothing.
void update_digest(digest_ctx* context, const u8* input, int length);

// Complete the digest: the hash words then hold its bytes in memory order.
// The context must not be updated afterwards (set it up anew instead).
void finalize_digest(digest_ctx* context);

// One-shot MD5 of `length` bytes into four caller-supplied words (16 bytes).
void md5_hash(const u8* input, int length, u32* hash);

}  // namespace VekTls
