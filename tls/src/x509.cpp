// X.509 certificate reader and the TLS certificate-list reader.
//
// A certificate comes from the network, so every node is checked before it
// is used: a missing element, a wrong tag, a short value or an unknown
// algorithm ends the parse with a message and X509_PARSE_FAILED. Object
// identifiers match only when they are equal in length and bytes, so a
// truncated identifier never passes for a known one.
#include "x509.h"

#include <cstdio>
#include <cstring>

#include "digest.h"
#include "kernel/VekAlloc.h"

namespace VekTls {

namespace {

struct oid_entry {
  const u8* bytes;  // content bytes of the OBJECT IDENTIFIER
  int length;
};

const u8 OID_MD5_WITH_RSA[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x04};
const u8 OID_DSA_WITH_SHA1[] = {0x2A, 0x86, 0x48, 0xCE, 0x38, 0x04, 0x03};
const u8 OID_SHA1_WITH_RSA[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x05};
const u8 OID_SHA256_WITH_RSA[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0B};
const u8 OID_RSA_ENCRYPTION[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
const u8 OID_DSA[] = {0x2A, 0x86, 0x48, 0xCE, 0x38, 0x04, 0x01};
const u8 OID_KEY_USAGE[] = {0x55, 0x1D, 0x0F};

const u8 OID_COUNTRY[] = {0x55, 0x04, 0x06};
const u8 OID_STATE_OR_PROVINCE[] = {0x55, 0x04, 0x08};
const u8 OID_LOCALITY[] = {0x55, 0x04, 0x07};
const u8 OID_ORGANIZATION[] = {0x55, 0x04, 0x0A};
const u8 OID_ORGANIZATIONAL_UNIT[] = {0x55, 0x04, 0x0B};
const u8 OID_COMMON_NAME[] = {0x55, 0x04, 0x03};

#define OID(bytes) {bytes, int(sizeof(bytes))}

// Signature algorithms in the order they are compared, with their values.
const struct {
  oid_entry oid;
  int algorithm;
} signature_algorithms[] = {
    {OID(OID_MD5_WITH_RSA), SIG_MD5_WITH_RSA},
    {OID(OID_DSA_WITH_SHA1), SIG_DSA_WITH_SHA1},
    {OID(OID_SHA1_WITH_RSA), SIG_SHA1_WITH_RSA},
    {OID(OID_SHA256_WITH_RSA), SIG_SHA1_WITH_RSA},
};

const oid_entry OID_ENTRY_RSA = OID(OID_RSA_ENCRYPTION);
const oid_entry OID_ENTRY_DSA = OID(OID_DSA);
const oid_entry OID_ENTRY_KEY_USAGE = OID(OID_KEY_USAGE);

// Name attributes, in the order of the fields of x509_name.
const oid_entry name_attributes[6] = {
    OID(OID_COUNTRY),      OID(OID_STATE_OR_PROVINCE),   OID(OID_LOCALITY),
    OID(OID_ORGANIZATION), OID(OID_ORGANIZATIONAL_UNIT), OID(OID_COMMON_NAME),
};

#undef OID

constexpr int TAG_BOOLEAN = 1;
constexpr int TAG_INTEGER = 2;
constexpr int TAG_BIT_STRING = 3;
constexpr int TAG_OCTET_STRING = 4;
constexpr int TAG_OID = 6;
constexpr int TAG_UTF8_STRING = 12;
constexpr int TAG_PRINTABLE_STRING = 19;
constexpr int TAG_TELETEX_STRING = 20;
constexpr int TAG_IA5_STRING = 22;
constexpr int TAG_UTC_TIME = 23;
constexpr int TAG_GENERALIZED_TIME = 24;
constexpr int TAG_SEQUENCE = 16;
constexpr int TAG_SET = 17;
constexpr int KEY_CERT_SIGN_BIT = 5;

bool oid_equals(const asn1_node* node, const oid_entry& oid) {
  return int(node->length) == oid.length && std::memcmp(node->data, oid.bytes, oid.length) == 0;
}

void print_oid_bytes(FILE* stream, const asn1_node* oid) {
  for (u32 i = 0; i < oid->length; i++) std::fprintf(stream, "%.02x ", oid->data[i]);
  std::fprintf(stream, "\n");
}

int count_children(const asn1_node* node) {
  int count = 0;
  for (const asn1_node* child = node->children; child; child = child->next) count++;
  return count;
}

// A primitive value that must hold at least one content byte.
int validate_value(asn1_node* node, int tag, const char* description) {
  if (!validate_node(node, tag, description)) return 0;
  if (node->length == 0) {
    std::fprintf(stderr, "Error - '%s' missing.\n", description);
    return 0;
  }
  return 1;
}

// Parses the DER held in a node's contents from `skip` bytes in; a message
// naming `description` when they are missing or malformed.
int parse_inner(const asn1_node* node, u32 skip, asn1_node* top, const char* description) {
  std::memset(top, 0, sizeof(asn1_node));
  if (node->length <= skip ||
      asn1_parse(node->data + skip, int(node->length - skip), top) != 0) {
    std::fprintf(stderr, "Error parsing '%s'; not ASN.1 DER-encoded.\n", description);
    return 0;
  }
  return 1;
}

char* copy_string(const asn1_node* node) {
  char* text = static_cast<char*>(vekMalloc(node->length + 1));
  std::memcpy(text, node->data, node->length);
  text[node->length] = '\0';
  return text;
}

void free_name(x509_name* name) {
  char** fields[6] = {&name->country,      &name->state_or_province,   &name->locality,
                      &name->organization, &name->organizational_unit, &name->common_name};
  for (char** field : fields) {
    if (*field) vekFree(field);
  }
}

// Stores one attribute of a name; unknown attribute types are skipped.
void store_attribute(x509_name* name, const asn1_node* type, const asn1_node* value) {
  char** fields[6] = {&name->country,      &name->state_or_province,   &name->locality,
                      &name->organization, &name->organizational_unit, &name->common_name};
  for (int i = 0; i < 6; i++) {
    if (oid_equals(type, name_attributes[i])) {
      if (*fields[i]) vekFree(fields[i]);  // a later repeat replaces the earlier value
      *fields[i] = copy_string(value);
      return;
    }
  }
  std::printf("Skipping unrecognized or unsupported name token OID of ");
  print_oid_bytes(stdout, type);
}

bool is_string_tag(u32 tag) {
  return tag == TAG_UTF8_STRING || tag == TAG_PRINTABLE_STRING || tag == TAG_TELETEX_STRING ||
         tag == TAG_IA5_STRING;
}

// UTCTime (YYMMDDhhmmss, years 2000-2099) or GeneralizedTime
// (YYYYMMDDhhmmss) as local time; -1 when the text is malformed.
int parse_time(const asn1_node* node, time_t* result) {
  char text[32];
  u32 length = node->length < sizeof(text) ? node->length : sizeof(text) - 1;
  std::memcpy(text, node->data, length);
  text[length] = '\0';
  struct tm fields;
  std::memset(&fields, 0, sizeof(fields));
  const char* format = node->tag == TAG_GENERALIZED_TIME ? "%4d%2d%2d%2d%2d%2d" : "%2d%2d%2d%2d%2d%2d";
  if (std::sscanf(text, format, &fields.tm_year, &fields.tm_mon, &fields.tm_mday, &fields.tm_hour,
                  &fields.tm_min, &fields.tm_sec) < 6) {
    return -1;
  }
  fields.tm_year += node->tag == TAG_GENERALIZED_TIME ? -1900 : 100;
  fields.tm_mon -= 1;
  fields.tm_isdst = -1;
  *result = mktime(&fields);
  return 0;
}

int parse_validity_time(asn1_node* node, const char* which, time_t* result) {
  if (node->tag != TAG_UTC_TIME && node->tag != TAG_GENERALIZED_TIME) {
    std::fprintf(stderr, "Error parsing %s; expected a date but got a %d\n", which, int(node->tag));
    return 0;
  }
  if (parse_time(node, result) != 0) {
    std::fprintf(stderr, "Error parsing %s; malformed date.", which);
    return 0;
  }
  return 1;
}

int parse_validity(asn1_node* validity, x509_certificate* certificate) {
  if (!validate_node(validity, "validity")) return 0;
  asn1_node* not_before = validity->children;
  return parse_validity_time(not_before, "not before", &certificate->not_before) &&
         parse_validity_time(not_before->next, "not after", &certificate->not_after);
}

// Replaces a number the record already holds with a node's contents.
void reload_huge(huge* target, asn1_node* source) {
  huge_free(target);
  parse_huge(target, source);
}

int parse_rsa_public_key(asn1_node* key, public_key_info* info) {
  if (!validate_node(key, "RSA public key value")) return 0;
  asn1_node* modulus = key->children;
  if (!validate_value(modulus, TAG_INTEGER, "RSA public key value") ||
      !validate_value(modulus->next, TAG_INTEGER, "RSA public key value")) {
    return 0;
  }
  info->algorithm = PUBLIC_KEY_RSA;
  reload_huge(info->rsa_public_key.modulus, modulus);
  huge_contract(info->rsa_public_key.modulus);
  reload_huge(info->rsa_public_key.exponent, modulus->next);
  huge_contract(info->rsa_public_key.exponent);
  return 1;
}

int parse_dsa_public_key(asn1_node* key, asn1_node* parameters, public_key_info* info) {
  if (!validate_value(key, TAG_INTEGER, "DSA public key value") ||
      !validate_node(parameters, TAG_SEQUENCE, 3, "DSA public key params")) {
    return 0;
  }
  asn1_node* p = parameters->children;
  asn1_node* q = p->next;
  asn1_node* g = q->next;
  if (!validate_value(p, TAG_INTEGER, "DSA public key params") ||
      !validate_value(q, TAG_INTEGER, "DSA public key params") ||
      !validate_value(g, TAG_INTEGER, "DSA public key params")) {
    return 0;
  }
  info->algorithm = PUBLIC_KEY_DSA;
  reload_huge(&info->dsa_public_key, key);
  reload_huge(&info->dsa_parameters.p, p);
  reload_huge(&info->dsa_parameters.q, q);
  reload_huge(&info->dsa_parameters.g, g);
  return 1;
}

int parse_public_key_info(asn1_node* info_node, public_key_info* info) {
  if (!validate_node(info_node, "public key info")) return 0;
  asn1_node* algorithm = info_node->children;
  if (!validate_node(algorithm, TAG_SEQUENCE, 1, "public key OID") ||
      !validate_node(algorithm->children, TAG_OID, "public key OID") ||
      !validate_node(algorithm->next, TAG_BIT_STRING, "public key info")) {
    return 0;
  }
  asn1_node* oid = algorithm->children;
  asn1_node key;
  std::memset(&key, 0, sizeof(key));
  asn1_node* bits = algorithm->next;
  if (bits->length < 2 || asn1_parse(bits->data + 1, int(bits->length - 1), &key) != 0) {
    std::fprintf(stderr, "Error; public key node is malformed (not ASN.1 DER-encoded)\n");
    return 0;
  }
  int ok = 0;
  if (oid_equals(oid, OID_ENTRY_RSA)) {
    ok = parse_rsa_public_key(&key, info);
  } else if (oid_equals(oid, OID_ENTRY_DSA)) {
    ok = parse_dsa_public_key(&key, oid->next, info);
  } else {
    std::fprintf(stderr, "Error; unsupported OID in public key info.\n");
  }
  asn1_free(&key);
  return ok;
}

// Key usage: certificate_authority = 1 when the keyCertSign bit is set.
int parse_key_usage(asn1_node* value, x509_certificate* certificate) {
  asn1_node bits;
  if (!validate_node(value, TAG_OCTET_STRING, "key usage") || !parse_inner(value, 0, &bits, "key usage")) return 0;
  int ok = validate_value(&bits, TAG_BIT_STRING, "key usage");
  if (ok && asn1_get_bit(int(bits.length), bits.data, KEY_CERT_SIGN_BIT)) certificate->certificate_authority = 1;
  asn1_free(&bits);
  return ok;
}

// Extensions: each a SEQUENCE of the OID, an optional critical BOOLEAN and
// the value; only key usage is read.
int parse_extensions(asn1_node* wrapper, x509_certificate* certificate) {
  if (!validate_node(wrapper->children, TAG_SEQUENCE, "extensions")) return 0;
  for (asn1_node* extension = wrapper->children->children; extension; extension = extension->next) {
    if (!validate_node(extension, TAG_SEQUENCE, 2, "extension") ||
        !validate_node(extension->children, TAG_OID, "extension")) {
      return 0;
    }
    asn1_node* oid = extension->children;
    asn1_node* value = oid->next;
    if (value->tag == TAG_BOOLEAN) value = value->next;
    if (!value) {
      std::fprintf(stderr, "Error - '%s' missing.\n", "extension value");
      return 0;
    }
    if (oid_equals(oid, OID_ENTRY_KEY_USAGE) && !parse_key_usage(value, certificate)) return 0;
  }
  return 1;
}

// After the public key info come the optional unique identifiers [1] and
// [2], then the extensions [3].
asn1_node* find_extensions(asn1_node* after_key_info) {
  for (asn1_node* node = after_key_info; node; node = node->next) {
    if (node->tag_class == 2 && node->tag == 3) return node;
  }
  return nullptr;
}

// Fields of the to-be-signed part; 0 after a message when one is malformed.
int parse_tbs_certificate(asn1_node* tbs, x509_certificate* certificate) {
  if (!validate_node(tbs, TAG_SEQUENCE, 6, "TBS certificate")) return 0;
  asn1_node* node = tbs->children;
  certificate->version = 1;
  if (node->tag_class == 2 && node->tag == 0) {
    if (!validate_value(node->children, TAG_INTEGER, "version number")) return 0;
    certificate->version = node->children->data[0] + 1;
    node = node->next;
  }
  if (!validate_node(node, TAG_INTEGER, "serial number")) return 0;
  reload_huge(&certificate->serial_number, node);
  node = node->next;
  if (parse_algorithm_identifier(node, &certificate->tbs_signature_algorithm) != 0) return 0;
  node = node->next;
  if (parse_name(node, &certificate->issuer) != 0) return 0;
  node = node->next;
  if (!parse_validity(node, certificate)) return 0;
  node = node->next;
  if (parse_name(node, &certificate->subject) != 0) return 0;
  node = node->next;
  if (!parse_public_key_info(node, &certificate->public_key)) return 0;
  asn1_node* extensions = find_extensions(node->next);
  return extensions == nullptr || parse_extensions(extensions, certificate);
}

int parse_signature_value(asn1_node* value, x509_certificate* certificate) {
  if (!validate_value(value, TAG_BIT_STRING, "signature value")) return 0;
  if (certificate->signature_algorithm != SIG_DSA_WITH_SHA1) {
    reload_huge(&certificate->rsa_signature, value);
    huge_contract(&certificate->rsa_signature);
    return 1;
  }
  asn1_node signature;
  std::memset(&signature, 0, sizeof(signature));
  int ok = value->length > 1 && asn1_parse(value->data + 1, int(value->length - 1), &signature) == 0 &&
           validate_node(&signature, TAG_SEQUENCE, 2, "DSA signature") &&
           validate_value(signature.children, TAG_INTEGER, "DSA signature") &&
           validate_value(signature.children->next, TAG_INTEGER, "DSA signature");
  if (ok) {
    reload_huge(&certificate->dsa_signature.r, signature.children);
    reload_huge(&certificate->dsa_signature.s, signature.children->next);
  } else {
    std::fprintf(stderr, "Unable to parse ASN.1 DER-encoded signature.\n");
  }
  asn1_free(&signature);
  return ok;
}

void digest_tbs(const asn1_node* tbs, x509_certificate* certificate) {
  digest_ctx digest;
  if (certificate->signature_algorithm == SIG_MD5_WITH_RSA) {
    new_md5_digest(&digest);
  } else {
    new_sha1_digest(&digest);
  }
  update_digest(&digest, tbs->data, int(tbs->length));
  finalize_digest(&digest);
  if (certificate->tbs_hash) vekFree(&certificate->tbs_hash);
  certificate->tbs_hash = static_cast<u32*>(vekMalloc(u32(sizeof(u32) * digest.hash_len)));
  std::memcpy(certificate->tbs_hash, digest.hash, sizeof(u32) * digest.hash_len);
  certificate->tbs_hash_words = digest.hash_len;
}

int parse_certificate_tree(asn1_node* top, x509_certificate* certificate) {
  asn1_node* tbs = top->children;
  if (!parse_tbs_certificate(tbs, certificate)) {
    std::fprintf(stderr, "Error trying to parse TBS certificate\n");
    return X509_PARSE_FAILED;
  }
  if (parse_algorithm_identifier(tbs->next, &certificate->signature_algorithm) != 0) return X509_PARSE_FAILED;
  if (!parse_signature_value(tbs->next->next, certificate)) return X509_PARSE_FAILED;
  digest_tbs(tbs, certificate);
  return 0;
}

u32 read_length3(const u8* bytes) { return u32(bytes[0]) << 16 | u32(bytes[1]) << 8 | bytes[2]; }

// Checks that the list fills exactly pdu_length bytes: the total after the
// first three bytes, then certificates none of which runs past the end.
bool chain_lengths_valid(const u8* data, int pdu_length) {
  if (pdu_length < 3 || read_length3(data) != u32(pdu_length - 3)) return false;
  u32 position = 3, end = u32(pdu_length);
  while (position < end) {
    if (end - position < 3) return false;
    u32 length = read_length3(data + position);
    if (length > end - position - 3) return false;
    position += 3 + length;
  }
  return true;
}

void copy_public_key(const public_key_info* source, public_key_info* target) {
  std::memset(target, 0, sizeof(public_key_info));
  target->algorithm = source->algorithm;
  if (source->algorithm == PUBLIC_KEY_RSA) {
    target->rsa_public_key.modulus = static_cast<huge*>(vekCalloc(1, sizeof(huge)));
    target->rsa_public_key.exponent = static_cast<huge*>(vekCalloc(1, sizeof(huge)));
    huge_copy(target->rsa_public_key.modulus, source->rsa_public_key.modulus);
    huge_copy(target->rsa_public_key.exponent, source->rsa_public_key.exponent);
  } else {
    huge_copy(&target->dsa_parameters.g, &source->dsa_parameters.g);
    huge_copy(&target->dsa_parameters.p, &source->dsa_parameters.p);
    huge_copy(&target->dsa_parameters.q, &source->dsa_parameters.q);
    huge_copy(&target->dsa_public_key, &source->dsa_public_key);
  }
}

}  // namespace

int validate_node(asn1_node* node, int tag, int children, const char* description) {
  if (node == nullptr) {
    std::fprintf(stderr, "Error - '%s' missing.\n", description);
    return 0;
  }
  if (int(node->tag) != tag) {
    std::fprintf(stderr, "Error parsing '%s'; expected a %d tag, got a %d.\n", description, tag, int(node->tag));
    return 0;
  }
  if (children > 0) {
    int found = count_children(node);
    if (found < children) {
      std::fprintf(stderr, "Error parsing '%s'; expected %d children, found %d.\n", description, children, found);
      return 0;
    }
  }
  return 1;
}

int validate_node(asn1_node* node, int tag, const char* description) {
  return validate_node(node, tag, 0, description);
}

int validate_node(asn1_node* node, const char* description) {
  return validate_node(node, TAG_SEQUENCE, 2, description);
}

void parse_huge(huge* target, asn1_node* source) {
  if (source->length == 0) {
    huge_set_uint(target, 0);
    return;
  }
  target->sign = 0;
  target->size = source->length;
  target->rep = static_cast<u8*>(vekMalloc(source->length));
  std::memcpy(target->rep, source->data, source->length);
}

int asn1_get_bit(int length, const u8* bit_string, int bit) {
  if (bit < 0 || 1 + bit / 8 >= length) return 0;
  return bit_string[1 + bit / 8] & (0x80 >> (bit % 8));
}

int parse_algorithm_identifier(asn1_node* algorithm_identifier, int* algorithm) {
  asn1_node* oid = algorithm_identifier ? algorithm_identifier->children : nullptr;
  if (!validate_node(oid, TAG_OID, "algorithm identifier oid")) return 2;
  for (const auto& known : signature_algorithms) {
    if (oid_equals(oid, known.oid)) {
      *algorithm = known.algorithm;
      return 0;
    }
  }
  std::fprintf(stderr, "Unsupported or unrecognized algorithm identifier OID ");
  print_oid_bytes(stderr, oid);
  return 2;
}

int parse_name(asn1_node* name_node, x509_name* name) {
  if (!validate_node(name_node, TAG_SEQUENCE, 1, "name")) return 1;
  for (asn1_node* set = name_node->children; set; set = set->next) {
    if (!validate_node(set, TAG_SET, 1, "tag value pair in name")) return 1;
    asn1_node* pair = set->children;  // only the first attribute of a SET is read
    if (!validate_node(pair, TAG_SEQUENCE, 2, "tag value pair in name")) return 2;
    asn1_node* type = pair->children;
    asn1_node* value = type->next;
    if (!validate_node(type, TAG_OID, "tag value pair in name type")) return 3;
    if (!is_string_tag(value->tag)) {
      std::fprintf(stderr, "Error parsing tag value pair in name, expected a string tag, got a %d\n", int(value->tag));
      return 4;
    }
    store_attribute(name, type, value);
  }
  return 0;
}

void init_x509_certificate(x509_certificate* certificate) {
  std::memset(certificate, 0, sizeof(x509_certificate));
  huge_set_uint(&certificate->serial_number, 1);
  certificate->public_key.rsa_public_key.modulus = static_cast<huge*>(vekCalloc(1, sizeof(huge)));
  certificate->public_key.rsa_public_key.exponent = static_cast<huge*>(vekCalloc(1, sizeof(huge)));
  huge_set_uint(certificate->public_key.rsa_public_key.modulus, 0);
  huge_set_uint(certificate->public_key.rsa_public_key.exponent, 0);
  huge_set_uint(&certificate->rsa_signature, 0);
  huge_set_uint(&certificate->dsa_signature.r, 0);
  huge_set_uint(&certificate->dsa_signature.s, 0);
}

void free_public_key_info(public_key_info* key) {
  free_rsa_key(&key->rsa_public_key);
  huge_free(&key->dsa_parameters.g);
  huge_free(&key->dsa_parameters.p);
  huge_free(&key->dsa_parameters.q);
  huge_free(&key->dsa_public_key);
}

void free_x509_certificate(x509_certificate* certificate) {
  huge_free(&certificate->serial_number);
  free_name(&certificate->issuer);
  free_name(&certificate->subject);
  free_public_key_info(&certificate->public_key);
  if (certificate->tbs_hash) vekFree(&certificate->tbs_hash);
  huge_free(&certificate->rsa_signature);
  huge_free(&certificate->dsa_signature.r);
  huge_free(&certificate->dsa_signature.s);
}

int parse_x509_certificate(const u8* der, int length, x509_certificate* certificate) {
  asn1_node top;
  std::memset(&top, 0, sizeof(top));
  if (length <= 0 || asn1_parse(der, length, &top) != 0) {
    std::fprintf(stderr, "Error trying to parse TBS certificate\n");
    return X509_PARSE_FAILED;
  }
  int result = parse_certificate_tree(&top, certificate);
  asn1_free(&top);
  return result;
}

u8* parse_x509_chain(u8* data, int pdu_length, public_key_info* key) {
  if (!chain_lengths_valid(data, pdu_length)) return nullptr;
  int position = 3;
  bool first = true;
  while (position < pdu_length) {
    int length = int(read_length3(data + position));
    position += 3;
    x509_certificate certificate;
    init_x509_certificate(&certificate);
    int result = parse_x509_certificate(data + position, length, &certificate);
    if (first && result != 0) {
      // A key from a certificate that did not parse may be missing or half
      // read; the caller answers null with its bad-certificate alert.
      free_x509_certificate(&certificate);
      return nullptr;
    }
    if (first) copy_public_key(&certificate.public_key, key);
    first = false;
    free_x509_certificate(&certificate);
    position += length;
  }
  return data + position;
}

}  // namespace VekTls
