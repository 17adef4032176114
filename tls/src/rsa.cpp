// RSA with PKCS#1 v1.5 blocks, and the PKCS#1 and PKCS#8 private-key readers.
//
// Encryption pads with random non-zero bytes from the kernel (getrandom):
// a fixed pattern would make encryption deterministic and let anyone confirm
// a guessed plaintext. Decryption checks the whole block layout before it
// hands data back, because a lax check lets signatures be forged for small
// public exponents.
#include "rsa.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "asn1.h"
#include "des.h"
#include "digest.h"
#include "kernel/VekAlloc.h"
#include "x509.h"

namespace VekTls {

namespace {

constexpr int PKCS1_OVERHEAD = 11;      // 00, type, 8 padding bytes at least, 00
constexpr int PKCS1_MIN_PADDING = 8;
constexpr u8 BLOCK_TYPE_SIGNATURE = 1;
constexpr u8 BLOCK_TYPE_ENCRYPTION = 2;

const u8 OID_PBE_MD5_DES[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x05, 0x03};
const u8 OID_RSA_ENCRYPTION[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};

bool oid_is(const asn1_node* node, const u8* oid, u32 length) {
  return node && node->tag == 6 && node->length == length && std::memcmp(node->data, oid, length) == 0;
}

int random_bytes(u8* buffer, size_t length) {
  while (length > 0) {
    ssize_t got = getrandom(buffer, length, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      std::perror("Unable to read random bytes");
      return -1;
    }
    buffer += got;
    length -= size_t(got);
  }
  return 0;
}

// Random bytes none of which is zero: zeros are drawn again.
int random_nonzero_bytes(u8* buffer, int length) {
  if (random_bytes(buffer, size_t(length)) != 0) return -1;
  for (int i = 0; i < length; i++) {
    while (buffer[i] == 0) {
      if (random_bytes(buffer + i, 1) != 0) return -1;
    }
  }
  return 0;
}

// block = 00 | type | padding | 00 | chunk, k bytes.
int format_block(u8* block, int k, const u8* chunk, int m, u8 block_type) {
  int padding = k - m - 3;
  block[0] = 0;
  block[1] = block_type;
  if (block_type == BLOCK_TYPE_ENCRYPTION) {
    if (random_nonzero_bytes(block + 2, padding) != 0) return -1;
  } else {
    std::memset(block + 2, 0xFF, size_t(padding));
  }
  block[k - m - 1] = 0;
  std::memcpy(block + k - m, chunk, size_t(m));
  return 0;
}

// block = block ^ exponent mod modulus, in place, k bytes right-aligned.
void exponentiate_block(u8* block, int k, const rsa_key* key) {
  huge message{}, result{};
  huge_load_bytes(&message, block, size_t(k));
  huge_mod_pow(&message, key->exponent, key->modulus, &result);
  std::memset(block, 0, size_t(k));
  huge_store_bytes(&result, block, size_t(k));
  huge_free(&message);
  huge_free(&result);
}

// A key whose modulus is too short for one block, or even (no RSA modulus
// is), cannot be used.
int usable_modulus_length(const rsa_key* key) {
  if (!key || !key->modulus || !key->exponent || !key->modulus->rep || !key->exponent->rep) return -1;
  int k = int(key->modulus->size);
  if (k < PKCS1_OVERHEAD + 1 || (key->modulus->rep[k - 1] & 1) == 0) return -1;
  return k;
}

// Offset of the data in a decrypted block, or -1 when the block is not
// 00 | 1 or 2 | at least 8 padding bytes (all FF for type 1) | 00.
int unpadded_offset(const u8* block, int k) {
  if (block[0] != 0 || (block[1] != BLOCK_TYPE_SIGNATURE && block[1] != BLOCK_TYPE_ENCRYPTION)) return -1;
  int separator = 2;
  while (separator < k && block[separator] != 0) {
    if (block[1] == BLOCK_TYPE_SIGNATURE && block[separator] != 0xFF) return -1;
    separator++;
  }
  if (separator == k || separator - 2 < PKCS1_MIN_PADDING) return -1;
  return separator + 1;
}

void report_length(int k, int got) {
  std::fprintf(stderr, "Error - input must be an even multiple \t\t\t\t\t\t\tof key modulus %d (got %d)\n", k, got);
}

// PBKDF1 with MD5: D = MD5(pass phrase | salt), then MD5(D) count - 1 times.
void derive_des_key(const char* pass_phrase, const asn1_node* salt, u32 count, u8 derived[16]) {
  digest_ctx digest;
  new_md5_digest(&digest);
  update_digest(&digest, reinterpret_cast<const u8*>(pass_phrase), int(std::strlen(pass_phrase)));
  update_digest(&digest, salt->data, int(salt->length));
  finalize_digest(&digest);
  std::memcpy(derived, digest.hash, 16);
  for (u32 i = 1; i < count; i++) {
    u32 words[4];
    md5_hash(derived, 16, words);
    std::memcpy(derived, words, 16);
  }
}

// The unsigned value of an INTEGER of 1 to 4 content bytes, 0 otherwise.
u32 small_integer(const asn1_node* node) {
  if (!node || node->tag != 2 || node->length == 0 || node->length > 4) return 0;
  u32 value = 0;
  for (u32 i = 0; i < node->length; i++) value = value << 8 | node->data[i];
  return value;
}

// Decrypts the PKCS#8 payload; its length without the padding, or -1.
int decrypt_payload(const asn1_node* encrypted, const u8 derived[16], u8* plain) {
  u8 iv[8];
  std::memcpy(iv, derived + 8, 8);
  des_decrypt(encrypted->data, int(encrypted->length), plain, iv, derived);
  int padding = plain[encrypted->length - 1];
  if (padding == 0 || padding > 8) {
    std::fprintf(stderr, "Decryption error, bad padding\n");
    return -1;
  }
  return int(encrypted->length) - padding;
}

// PrivateKeyInfo: version, AlgorithmIdentifier (rsaEncryption), OCTET STRING
// holding an RSAPrivateKey.
int parse_private_key_info(rsa_key* key, const u8* der, int length) {
  asn1_node top;
  std::memset(&top, 0, sizeof(top));
  if (length <= 0 || asn1_parse(der, length, &top) != 0 ||
      !validate_node(&top, 16, 3, "private key info") ||
      !validate_node(top.children->next, 16, 1, "private key algorithm")) {
    asn1_free(&top);
    return 1;
  }
  int result = 1;
  asn1_node* algorithm = top.children->next;
  if (!oid_is(algorithm->children, OID_RSA_ENCRYPTION, sizeof(OID_RSA_ENCRYPTION))) {
    std::fprintf(stderr, "Unsupported private key type");
  } else if (validate_node(algorithm->next, 4, "private key")) {
    result = parse_private_key(key, algorithm->next->data, int(algorithm->next->length));
  }
  asn1_free(&top);
  return result;
}

// Largest key-derivation iteration count accepted (common tools write 2048).
constexpr u32 PKCS8_MAX_ITERATIONS = 1u << 20;

// The parts of an EncryptedPrivateKeyInfo; 0 when all are present.
int find_pkcs8_parts(asn1_node* top, asn1_node** salt, asn1_node** count, asn1_node** encrypted) {
  if (!validate_node(top, "encrypted private key") ||
      !validate_node(top->children, 16, 2, "key encryption algorithm")) {
    return 1;
  }
  asn1_node* algorithm = top->children;
  if (!oid_is(algorithm->children, OID_PBE_MD5_DES, sizeof(OID_PBE_MD5_DES))) {
    std::fprintf(stderr, "Unsupported key encryption algorithm\n");
    return 1;
  }
  asn1_node* parameters = algorithm->children->next;
  if (!validate_node(parameters, "key encryption parameters") ||
      !validate_node(parameters->children, 4, "salt") ||
      !validate_node(parameters->children->next, 2, "iteration count") ||
      !validate_node(algorithm->next, 4, "encrypted private key")) {
    return 1;
  }
  *salt = parameters->children;
  *count = parameters->children->next;
  *encrypted = algorithm->next;
  if (small_integer(*count) == 0) {
    std::fprintf(stderr, "Error parsing '%s'; expected a count of 1 or more.\n", "iteration count");
    return 1;
  }
  // Each iteration is one digest: a key file must not cost minutes of work.
  if (small_integer(*count) > PKCS8_MAX_ITERATIONS) {
    std::fprintf(stderr, "Error parsing '%s'; expected a count of at most %u.\n", "iteration count",
                 PKCS8_MAX_ITERATIONS);
    return 1;
  }
  if ((*encrypted)->length == 0 || (*encrypted)->length % DES_BLOCK_SIZE != 0) {
    std::fprintf(stderr, "Decryption error, bad padding\n");
    return 1;
  }
  return 0;
}

}  // namespace

int rsa_compute(const u8* input, int len, u8** output, rsa_key* key, u8 block_type) {
  *output = nullptr;
  if (len == 0) return 0;
  int k = usable_modulus_length(key);
  if (k < 0 || len < 0) return -1;
  u8* block = static_cast<u8*>(vekMalloc(u32(k)));
  int total = 0;
  while (len > 0) {
    int m = len < k - PKCS1_OVERHEAD ? len : k - PKCS1_OVERHEAD;
    if (format_block(block, k, input, m, block_type) != 0) {
      vekFree(&block);
      if (*output) vekFree(output);
      return -1;
    }
    exponentiate_block(block, k, key);
    *output = static_cast<u8*>(vekRealloc(*output, u32(total + k)));
    std::memcpy(*output + total, block, size_t(k));
    total += k;
    input += m;
    len -= m;
  }
  vekFree(&block);
  return total;
}

int rsa_encrypt(const u8* input, int len, u8** output, rsa_key* public_key) {
  return rsa_compute(input, len, output, public_key, BLOCK_TYPE_ENCRYPTION);
}

int rsa_sign(const u8* input, int len, u8** output, rsa_key* private_key) {
  return rsa_compute(input, len, output, private_key, BLOCK_TYPE_SIGNATURE);
}

int rsa_decrypt(const u8* input, int len, u8** output, rsa_key* key) {
  *output = nullptr;
  if (len == 0) return 0;
  int k = usable_modulus_length(key);
  if (k < 0) return -1;
  if (len < k) {
    report_length(k, len);
    return -1;
  }
  u8* block = static_cast<u8*>(vekMalloc(u32(k)));
  int total = 0;
  while (len >= k) {
    std::memcpy(block, input, size_t(k));
    exponentiate_block(block, k, key);
    int offset = unpadded_offset(block, k);
    if (offset < 0) {
      std::fprintf(stderr, "Decryption error or unrecognized block type %d.\n", block[1]);
      vekFree(&block);
      return -1;
    }
    if (offset < k) {
      *output = static_cast<u8*>(vekRealloc(*output, u32(total + k - offset)));
      std::memcpy(*output + total, block + offset, size_t(k - offset));
      total += k - offset;
    }
    input += k;
    len -= k;
  }
  vekFree(&block);
  if (len != 0) {
    report_length(k, len);
    return -1;
  }
  return total;
}

void rsa_power_naive(huge* m, huge* e, huge* n, huge* c) {
  // The running product is reduced after every multiplication: the same
  // result as reducing once at the end, without a product of e * |m| bits.
  huge counter{}, one{};
  huge_set_uint(&counter, 1);
  huge_set_uint(&one, 1);
  huge_copy(c, m);
  if (huge_compare(e, &counter) < 0) {
    huge_free(c);
    huge_set_uint(c, 1);  // m^0
  }
  huge_divide(c, n, nullptr);
  while (huge_compare(&counter, e) < 0) {
    huge_multiply(c, m);
    huge_divide(c, n, nullptr);
    huge_add(&counter, &one);
  }
  huge_free(&counter);
  huge_free(&one);
}

int parse_private_key(rsa_key* key, const u8* der, int len) {
  key->modulus = nullptr;
  key->exponent = nullptr;
  asn1_node top;
  std::memset(&top, 0, sizeof(top));
  int result = 1;
  if (len > 0 && asn1_parse(der, len, &top) == 0 && validate_node(&top, 16, 4, "RSA private key")) {
    asn1_node* modulus = top.children->next;
    asn1_node* private_exponent = modulus->next->next;
    if (validate_node(modulus, 2, "RSA modulus") && validate_node(private_exponent, 2, "RSA private exponent") &&
        modulus->length > 0 && private_exponent->length > 0) {
      key->modulus = static_cast<huge*>(vekCalloc(1, sizeof(huge)));
      key->exponent = static_cast<huge*>(vekCalloc(1, sizeof(huge)));
      huge_load_bytes(key->modulus, modulus->data, modulus->length);
      huge_load_bytes(key->exponent, private_exponent->data, private_exponent->length);
      result = 0;
    }
  }
  asn1_free(&top);
  return result;
}

int parse_pkcs8_private_key(rsa_key* key, const u8* der, int len, const char* pass_phrase) {
  key->modulus = nullptr;
  key->exponent = nullptr;
  asn1_node top;
  std::memset(&top, 0, sizeof(top));
  asn1_node *salt, *count, *encrypted;
  if (len <= 0 || asn1_parse(der, len, &top) != 0 || find_pkcs8_parts(&top, &salt, &count, &encrypted) != 0) {
    asn1_free(&top);
    return 1;
  }
  u8 derived[16];
  derive_des_key(pass_phrase, salt, small_integer(count), derived);
  u8* plain = static_cast<u8*>(vekMalloc(encrypted->length));
  int plain_length = decrypt_payload(encrypted, derived, plain);
  int result = plain_length < 0 ? 1 : parse_private_key_info(key, plain, plain_length);
  std::memset(plain, 0, encrypted->length);
  std::memset(derived, 0, sizeof(derived));
  vekFree(&plain);
  asn1_free(&top);
  return result;
}

void free_rsa_key(rsa_key* key) {
  if (key->modulus) {
    huge_free(key->modulus);
    vekFree(&key->modulus);
  }
  if (key->exponent) {
    huge_free(key->exponent);
    vekFree(&key->exponent);
  }
}

}  // namespace VekTls
