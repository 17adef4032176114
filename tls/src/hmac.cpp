// HMAC (RFC 2104): H((K ^ opad) || H((K ^ ipad) || text)).
#include "hmac.h"

#include <cstring>

namespace VekTls {

namespace {

// The key padded (or, when longer than a block, first hashed) to one block.
void key_to_block(const u8* key, int key_length, const digest_ctx* kind, u8* block_key) {
  std::memset(block_key, 0, DIGEST_BLOCK_SIZE);
  if (key_length > DIGEST_BLOCK_SIZE) {
    digest_ctx key_digest;
    new_digest_like(&key_digest, kind);
    update_digest(&key_digest, key, key_length);
    finalize_digest(&key_digest);
    std::memcpy(block_key, key_digest.hash, sizeof(u32) * key_digest.hash_len);
  } else if (key_length > 0) {
    std::memcpy(block_key, key, key_length);
  }
}

// Restarts `digest` and feeds it the block key XOR-ed with `pad_byte`.
void start_padded(digest_ctx* digest, const u8* block_key, u8 pad_byte) {
  u8 padded[DIGEST_BLOCK_SIZE];
  for (int i = 0; i < DIGEST_BLOCK_SIZE; i++) padded[i] = block_key[i] ^ pad_byte;
  new_digest_like(digest, digest);
  update_digest(digest, padded, DIGEST_BLOCK_SIZE);
}

}  // namespace

void hmac(const u8* key, int key_length, const u8* text, int text_length, digest_ctx* digest) {
  u8 block_key[DIGEST_BLOCK_SIZE];
  key_to_block(key, key_length, digest, block_key);

  start_padded(digest, block_key, 0x36);
  update_digest(digest, text, text_length);
  finalize_digest(digest);
  u8 inner[sizeof(u32) * DIGEST_MAX_HASH_WORDS];
  int inner_length = int(sizeof(u32)) * digest->hash_len;
  std::memcpy(inner, digest->hash, inner_length);

  start_padded(digest, block_key, 0x5c);
  update_digest(digest, inner, inner_length);
  finalize_digest(digest);
}

}  // namespace VekTls
