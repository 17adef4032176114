// The cipher-suite table and the derivation of each direction's MAC secret,
// key and IV from the master secret ("key expansion").
#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "aes.h"
#include "des.h"
#include "kernel/VekAlloc.h"
#include "prf.h"
#include "rc4.h"
#include "tls.h"

namespace VekTls {

namespace {

// Row makers: a suite without a cipher, with a MAC of MD5, SHA-1 or none.
constexpr cipher_suite md5_only(u32 id) { return {id, 0, 0, 0, 16, nullptr, nullptr, new_md5_digest}; }
constexpr cipher_suite sha_only(u32 id) { return {id, 0, 0, 0, 20, nullptr, nullptr, new_sha1_digest}; }
constexpr cipher_suite no_mac(u32 id) { return {id, 0, 0, 0, 0, nullptr, nullptr, nullptr}; }
constexpr cipher_suite des_sha(u32 id) { return {id, 8, 8, 8, 20, des_encrypt, des_decrypt, new_sha1_digest}; }
constexpr cipher_suite des3_sha(u32 id) { return {id, 8, 8, 24, 20, des3_encrypt, des3_decrypt, new_sha1_digest}; }
constexpr cipher_suite aes128_sha(u32 id) {
  return {id, 16, 16, 16, 20, aes_128_encrypt, aes_128_decrypt, new_sha1_digest};
}
constexpr cipher_suite aes256_sha(u32 id) {
  return {id, 16, 16, 32, 20, aes_256_encrypt, aes_256_decrypt, new_sha1_digest};
}

// The ids whose `iv` slot holds an RC4 state instead of a CBC chain.
bool is_rc4_suite(u32 id) { return id == 0x03 || id == 0x04 || id == 0x05 || id == 0x17 || id == 0x18; }

u8* new_block(const u8* bytes, u32 length) {
  u8* block = static_cast<u8*>(vekMalloc(length));
  if (length > 0) std::memcpy(block, bytes, length);
  return block;
}

}  // namespace

// Ids 0x00 to 0x1B and 0x1E to 0x3A, in order; find_suite relies on it.
const cipher_suite suites[SUITE_COUNT] = {
    no_mac(0x00),     md5_only(0x01),   sha_only(0x02),
    {0x03, 0, 0, 5, 16, rc4_40_encrypt, rc4_40_decrypt, new_md5_digest},
    {0x04, 0, 0, 16, 16, rc4_128_encrypt, rc4_128_decrypt, new_md5_digest},
    {0x05, 0, 0, 16, 20, rc4_128_encrypt, rc4_128_decrypt, new_sha1_digest},
    md5_only(0x06),   sha_only(0x07),   sha_only(0x08),   des_sha(0x09),    des3_sha(0x0A),
    sha_only(0x0B),   sha_only(0x0C),   des3_sha(0x0D),   sha_only(0x0E),   sha_only(0x0F),
    sha_only(0x10),   sha_only(0x11),   sha_only(0x12),   sha_only(0x13),   sha_only(0x14),
    des_sha(0x15),    sha_only(0x16),   md5_only(0x17),   md5_only(0x18),   sha_only(0x19),
    sha_only(0x1A),   sha_only(0x1B),   sha_only(0x1E),   sha_only(0x1F),   sha_only(0x20),
    sha_only(0x21),   md5_only(0x22),   md5_only(0x23),   md5_only(0x24),   md5_only(0x25),
    sha_only(0x26),   sha_only(0x27),   sha_only(0x28),   md5_only(0x29),   md5_only(0x2A),
    md5_only(0x2B),   no_mac(0x2C),     no_mac(0x2D),     no_mac(0x2E),     aes128_sha(0x2F),
    aes128_sha(0x30), aes128_sha(0x31), aes128_sha(0x32), aes128_sha(0x33), aes128_sha(0x34),
    aes256_sha(0x35), aes256_sha(0x36), aes256_sha(0x37), aes256_sha(0x38), aes256_sha(0x39),
    aes256_sha(0x3A),
};

const cipher_suite* find_suite(u32 id) {
  if (id <= 0x1B) return &suites[id];
  if (id >= 0x1E && id <= 0x3A) return &suites[id - 2];
  return nullptr;
}

void free_cipher_state(cipher_state* state) {
  vekFree(&state->mac_secret);
  vekFree(&state->key);
  vekFree(&state->iv);
  std::memset(state, 0, sizeof(*state));
}

// The key block is cut in this order: client MAC secret, server MAC secret,
// client key, server key, client IV, server IV.
void calculate_keys(TLSParameters* parameters) {
  u32 suite_id = parameters->pending_send.suite;
  const cipher_suite* suite = find_suite(suite_id);
  if (suite == nullptr) suite = &suites[0];
  u32 hash = suite->hash_size, key = suite->key_size, iv = suite->IV_size;
  u32 block_length = 2 * (hash + key + iv);
  u8 key_block[2 * (20 + 32 + 16)];
  static const char label[] = "key expansion";
  u8 seed[2 * RANDOM_LENGTH];
  std::memcpy(seed, parameters->server_random, RANDOM_LENGTH);
  std::memcpy(seed + RANDOM_LENGTH, parameters->client_random, RANDOM_LENGTH);
  prf(parameters->master_secret, MASTER_SECRET_LENGTH, reinterpret_cast<const u8*>(label), 13, seed,
      sizeof(seed), key_block, int(block_length));

  bool client = parameters->connection_end == 0;
  cipher_state* client_state = client ? &parameters->pending_send : &parameters->pending_recv;
  cipher_state* server_state = client ? &parameters->pending_recv : &parameters->pending_send;
  u32 client_suite = client_state->suite, server_suite = server_state->suite;
  free_cipher_state(client_state);
  free_cipher_state(server_state);
  client_state->suite = client_suite;
  server_state->suite = server_suite;

  const u8* cut = key_block;
  client_state->mac_secret = new_block(cut, hash), cut += hash;
  server_state->mac_secret = new_block(cut, hash), cut += hash;
  client_state->key = new_block(cut, key), cut += key;
  server_state->key = new_block(cut, key), cut += key;
  client_state->iv = new_block(cut, iv), cut += iv;
  server_state->iv = new_block(cut, iv);
  if (is_rc4_suite(suite_id)) {
    vekFree(&client_state->iv);
    vekFree(&server_state->iv);
    client_state->iv = static_cast<u8*>(vekCalloc(1, sizeof(rc4_state)));
    server_state->iv = static_cast<u8*>(vekCalloc(1, sizeof(rc4_state)));
  }
  std::memset(key_block, 0, sizeof(key_block));
}

// Randoms, pre-master secrets and private exponents: the kernel's source.
// Without it there is nothing safe to fall back on, so the process ends.
void tls_random_bytes(u8* output, int length) {
  while (length > 0) {
    ssize_t got = getrandom(output, size_t(length), 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      std::perror("getrandom");
      std::abort();
    }
    output += got;
    length -= int(got);
  }
}

}  // namespace VekTls
