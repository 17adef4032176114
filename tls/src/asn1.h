// ASN.1 DER reading into a tree of nodes, a diagnostic printer, and the small
// file helpers of the public-key code: PEM text to DER bytes, a whole file
// into memory, hexadecimal text to bytes and a hexadecimal dump.
//
// The tree points into the caller's buffer (nothing is copied), so the
// buffer must outlive it. The top node belongs to the caller (usually a
// local); every child and sibling node is a vekMalloc block owned by the
// tree and released with asn1_free.
#pragma once
#include "kernel/VekTypes.h"

namespace VekTls {

// Deepest nesting of constructed elements asn1_parse accepts.
constexpr int ASN1_MAX_DEPTH = 64;

// One DER element.
//  - primitive: `data` is the first content byte, `length` the content length;
//  - constructed: `data` is the element's identifier byte and `length` the
//    length of the whole element (identifier, length bytes and contents), so
//    that a signed part can be digested through exactly this pair.
struct asn1_node {
  u32 constructed;      // 0 (primitive) or 0x20 (constructed)
  u32 tag_class;        // 0 universal, 1 application, 2 context-specific, 3 private
  u32 tag;              // tag number, 0 to 30
  u32 length;           // see above
  const u8* data;       // into the caller's buffer
  asn1_node* children;  // first child of a constructed element, else null
  asn1_node* next;      // next sibling at the same level, else null
};

// Parses the DER elements filling the first `length` bytes of `buffer` as a
// chain of siblings starting at `top`, recursing into constructed elements.
// Returns 0 on success (for length 0 `top` is left untouched). Returns -1
// for malformed input: an element running past its enclosing element or the
// buffer, a length field of more than 4 bytes, the high-tag-number form, or
// nesting deeper than ASN1_MAX_DEPTH; nothing stays allocated then and
// `top`'s children and next are null.
int asn1_parse(const u8* buffer, int length, asn1_node* top);

// Frees every node reachable from `node` through children and next, but not
// `node` itself; null does nothing.
void asn1_free(asn1_node* node);

// Prints the node and its siblings, each followed by its children one level
// deeper, to standard output.
void asn1_show(int depth, asn1_node* node);

// Decodes one PEM block into `out` (at least three quarters of the text's
// length) and returns the number of DER bytes. Returns -1 with a message on
// standard error when the text does not begin with "-----BEGIN", and -1
// when a line is not base64 or the "-----END" line is missing.
int pem_decode(const char* pem, u8* out);

// The whole file in a vekMalloc block (released with vekFree), its size
// stored through `size` when not null; null after a perror message.
u8* load_file(const char* path, int* size);

// Text to bytes in a new vekMalloc block stored through `out`. Text starting
// with "0x" is read as pairs of hexadecimal digits; any other text is copied
// with its NUL. Returns the byte count (the copy's NUL not counted), or -1
// with *out null for an odd number of digits or a character that is not one.
int hex_decode(const char* text, u8** out);

// Prints the bytes as two lower-case hexadecimal digits each, then a newline.
void show_hex(const u8* bytes, int length);

}  // namespace VekTls
