// X.509 certificates: DER certificates read into a record (version, serial,
// signature algorithms, names, validity, the subject's RSA or DSA key, the
// keyCertSign flag, the signature and the digest of the to-be-signed part),
// and the certificate list of a TLS Certificate message.
//
// The parser records what it reads; it does not check the signature against
// an issuer, walk a chain of issuers or compare the validity with the clock.
#pragma once
#include <ctime>

#include "asn1.h"
#include "dsa.h"
#include "huge.h"
#include "kernel/VekTypes.h"
#include "rsa.h"

namespace VekTls {

// Signature algorithms (parse_algorithm_identifier).
constexpr int SIG_MD5_WITH_RSA = 0;
constexpr int SIG_SHA1_WITH_RSA = 1;  // also sha256WithRSAEncryption
constexpr int SIG_DSA_WITH_SHA1 = 2;

// Public key algorithms.
constexpr int PUBLIC_KEY_RSA = 0;
constexpr int PUBLIC_KEY_DSA = 1;

// Result of parse_x509_certificate for any malformed certificate.
constexpr int X509_PARSE_FAILED = 42;

// Each field a NUL-terminated vekMalloc string, null when absent.
struct x509_name {
  char* country;              // 2.5.4.6
  char* state_or_province;    // 2.5.4.8
  char* locality;             // 2.5.4.7
  char* organization;         // 2.5.4.10
  char* organizational_unit;  // 2.5.4.11
  char* common_name;          // 2.5.4.3
};

struct public_key_info {
  int algorithm;               // PUBLIC_KEY_RSA or PUBLIC_KEY_DSA
  rsa_key rsa_public_key;      // modulus and public exponent
  dsa_params dsa_parameters;   // g, p, q
  huge dsa_public_key;         // y
};

struct x509_certificate {
  int version;                  // 1 without the version field, else its value + 1
  huge serial_number;           // the serial's content bytes, sign 0
  int tbs_signature_algorithm;  // algorithm named inside the to-be-signed part
  x509_name issuer;
  time_t not_before;            // validity, as local time
  time_t not_after;
  x509_name subject;
  public_key_info public_key;   // the subject's key
  int certificate_authority;    // 1 when key usage has keyCertSign
  u32* tbs_hash;                // digest words of the to-be-signed element (vekMalloc)
  int tbs_hash_words;           // their count: 4 (MD5) or 5 (SHA-1)
  int signature_algorithm;      // outer signature algorithm
  huge rsa_signature;           // RSA signature value
  VekTls::dsa_signature dsa_signature;  // r and s of a DSA signature
};

// Serial number 1, no names, RSA modulus and exponent allocated and 0, the
// signature numbers 0, not a certificate authority.
void init_x509_certificate(x509_certificate* certificate);

// Releases everything the record holds.
void free_x509_certificate(x509_certificate* certificate);

// 0 on success; X509_PARSE_FAILED, after a message on standard error, for
// any malformed certificate. The record keeps what was filled and is freed
// by the caller with free_x509_certificate either way.
int parse_x509_certificate(const u8* der, int length, x509_certificate* certificate);

// Reads a TLS certificate list (3-byte total length, then per certificate a
// 3-byte length and its DER) of pdu_length bytes and copies the first
// certificate's public key into `key`. Returns the address after the last
// certificate, or null when the total is not pdu_length - 3, a certificate
// runs past it, or the first certificate does not parse (`key` is then left
// without numbers).
u8* parse_x509_chain(u8* data, int pdu_length, public_key_info* key);

// Releases the numbers of a key that parse_x509_chain filled.
void free_public_key_info(public_key_info* key);

// 0 with *algorithm set, or 2 for a missing, malformed or unknown OID.
int parse_algorithm_identifier(asn1_node* algorithm_identifier, int* algorithm);

// 0, or 1 to 4 for a malformed name (see the messages).
int parse_name(asn1_node* name_node, x509_name* name);

// 1 when the node exists, has the tag and at least `children` children (a
// count of 0 or less skips the count); otherwise a message naming
// `description` and 0.
int validate_node(asn1_node* node, int tag, int children, const char* description);
int validate_node(asn1_node* node, int tag, const char* description);  // tag only
int validate_node(asn1_node* node, const char* description);           // SEQUENCE, two children

// target = the node's contents as a non-negative number (sign 0, a vekMalloc
// copy of the bytes); target must hold no array.
void parse_huge(huge* target, asn1_node* source);

// Nonzero when bit `bit` (0 = the most significant bit of the byte after the
// unused-bits byte) of a BIT STRING's contents is set; 0 when it is too short.
int asn1_get_bit(int length, const u8* bit_string, int bit);

}  // namespace VekTls
