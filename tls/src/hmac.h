// HMAC (RFC 2104) over any of the digests of digest.h.
#pragma once
#include "digest.h"

namespace VekTls {

// HMAC of `text` under `key`. `digest` must have been set up by one of the
// new_*_digest functions: it chooses the hash, and on return it holds the
// finalised HMAC in its hash words (memory order, as finalize_digest leaves
// them). Keys longer than the 64-byte block are hashed first, as HMAC defines.
void hmac(const u8* key, int key_length, const u8* text, int text_length, digest_ctx* digest);

}  // namespace VekTls
