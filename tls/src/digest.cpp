// Streaming, padding and finalisation common to MD5, SHA-1 and SHA-256.
// The per-algorithm block functions live in md5.cpp, sha1.cpp, sha256.cpp.
#include "digest.h"

#include <cstring>

#include "byte_order.h"
#include "digest_algorithm.h"

namespace VekTls {

namespace {

void setup_digest(digest_ctx* context, const digest_algorithm* algorithm) {
  std::memset(context, 0, sizeof(*context));
  context->algorithm = algorithm;
  context->hash_len = algorithm->hash_words;
  std::memcpy(context->hash, algorithm->initial_hash, sizeof(u32) * algorithm->hash_words);
}

// Writes the bit length of the message into the last 8 bytes of a block.
void store_bit_length(u8* where, u64 byte_length, bool big_endian) {
  u64 bits = byte_length * 8;
  for (int i = 0; i < 8; i++) {
    int shift = big_endian ? 8 * (7 - i) : 8 * i;
    where[i] = u8(bits >> shift);
  }
}

// Rewrites each chaining word so that its bytes in memory are the digest's.
void words_to_memory_order(digest_ctx* context) {
  for (int i = 0; i < context->hash_len; i++) {
    u8 bytes[4];
    if (context->algorithm->big_endian)
      store_be32(bytes, context->hash[i]);
    else
      store_le32(bytes, context->hash[i]);
    std::memcpy(&context->hash[i], bytes, 4);
  }
}

}  // namespace

void new_md5_digest(digest_ctx* context) { setup_digest(context, &md5_algorithm); }
void new_sha1_digest(digest_ctx* context) { setup_digest(context, &sha1_algorithm); }
void new_sha256_digest(digest_ctx* context) { setup_digest(context, &sha256_algorithm); }

void new_digest_like(digest_ctx* context, const digest_ctx* like) {
  setup_digest(context, like->algorithm);
}

void update_digest(digest_ctx* context, const u8* input, int length) {
  if (length <= 0) return;
  context->input_len += u64(length);
  if (context->block_len > 0) {
    int take = DIGEST_BLOCK_SIZE - context->block_len;
    if (take > length) take = length;
    std::memcpy(context->block + context->block_len, input, take);
    context->block_len += take;
    input += take;
    length -= take;
    if (context->block_len < DIGEST_BLOCK_SIZE) return;
    context->algorithm->compress(context->block, context->hash);
    context->block_len = 0;
  }
  // Whole blocks are compressed straight from the caller's buffer.
  for (; length >= DIGEST_BLOCK_SIZE; input += DIGEST_BLOCK_SIZE, length -= DIGEST_BLOCK_SIZE)
    context->algorithm->compress(input, context->hash);
  std::memcpy(context->block, input, length);
  context->block_len = length;
}

void finalize_digest(digest_ctx* context) {
  // Padding: one 0x80 byte, zeros up to 8 bytes before a block's end, then
  // the message length in bits; a second block is needed when fewer than
  // 9 bytes remain in the current one.
  u8* block = context->block;
  int used = context->block_len;
  block[used++] = 0x80;
  if (used > DIGEST_BLOCK_SIZE - 8) {
    std::memset(block + used, 0, DIGEST_BLOCK_SIZE - used);
    context->algorithm->compress(block, context->hash);
    used = 0;
  }
  std::memset(block + used, 0, DIGEST_BLOCK_SIZE - 8 - used);
  store_bit_length(block + DIGEST_BLOCK_SIZE - 8, context->input_len, context->algorithm->big_endian);
  context->algorithm->compress(block, context->hash);
  context->block_len = 0;
  words_to_memory_order(context);
}

void md5_hash(const u8* input, int length, u32* hash) {
  digest_ctx context;
  new_md5_digest(&context);
  update_digest(&context, input, length);
  finalize_digest(&context);
  std::memcpy(hash, context.hash, sizeof(u32) * MD5_HASH_WORDS);
}

}  // namespace VekTls
