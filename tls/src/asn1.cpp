// ASN.1 DER parser and printer, PEM decoding and the file and hex helpers.
//
// The parser reads bytes that come from the network or from files, so every
// length is checked against the bytes of its enclosing element before it is
// trusted, and the nesting depth is bounded so that a hostile input cannot
// exhaust the stack.
#include "asn1.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "base64.h"
#include "kernel/VekAlloc.h"
#include "kernel/VekFile.h"

namespace VekTls {

namespace {

const char* const universal_tag_names[31] = {
    "BER",         "BOOLEAN",         "INTEGER",          "BIT STRING",
    "OCTET STRING", "NULL",           "OBJECT IDENTIFIER", "ObjectDescriptor",
    "INSTANCE OF, EXTERNAL", "REAL",  "ENUMERATED",       "EMBEDDED PPV",
    "UTF8String",  "RELATIVE-OID",    "undefined(14)",    "undefined(15)",
    "SEQUENCE, SEQUENCE OF", "SET, SET OF", "NumericString", "PrintableString",
    "TeletexString, T61String", "VideotexString", "IA5String", "UTCTime",
    "GeneralizedTime", "GraphicString", "VisibleString, ISO64String", "GeneralString",
    "UniversalString", "CHARACTER STRING", "BMPString"};

const char* const class_names[4] = {nullptr, "application", "context", "private"};

asn1_node* new_node() {
  asn1_node* node = static_cast<asn1_node*>(vekMalloc(sizeof(asn1_node)));
  std::memset(node, 0, sizeof(asn1_node));
  return node;
}

// Identifier and length of the element at the start of `bytes`, of which
// `remaining` are available. Fills the header size and the content length;
// -1 when the header or the contents would run past `remaining`, for a
// length field of more than 4 bytes and for the high-tag-number form.
int read_header(const u8* bytes, u32 remaining, u32* header_length, u32* content_length) {
  if (remaining < 2 || (bytes[0] & 0x1F) == 0x1F) return -1;
  u32 header = 2, length = bytes[1];
  if (length >= 0x80) {
    u32 count = length & 0x7F;
    if (count > 4 || count > remaining - 2) return -1;
    length = 0;
    for (u32 i = 0; i < count; i++) length = (length << 8) | bytes[2 + i];
    header += count;
  }
  if (length > remaining - header) return -1;
  *header_length = header;
  *content_length = length;
  return 0;
}

// Parses the elements filling `remaining` bytes into `node` and its
// siblings. Every node is linked into the tree before anything can fail, so
// the caller frees a half-built tree from its root.
int parse_elements(const u8* bytes, u32 remaining, asn1_node* node, int depth) {
  if (depth > ASN1_MAX_DEPTH) return -1;
  for (;;) {
    u32 header, content;
    if (read_header(bytes, remaining, &header, &content) != 0) return -1;
    node->tag_class = bytes[0] >> 6;
    node->constructed = bytes[0] & 0x20;
    node->tag = bytes[0] & 0x1F;
    node->data = bytes + header;
    node->length = content;
    node->children = nullptr;
    node->next = nullptr;
    if (node->constructed) {
      node->data = bytes;
      node->length = header + content;
      if (content > 0) {
        node->children = new_node();
        if (parse_elements(bytes + header, content, node->children, depth + 1) != 0) return -1;
      }
    }
    bytes += header + content;
    remaining -= header + content;
    if (remaining == 0) return 0;
    node->next = new_node();
    node = node->next;
  }
}

void show_contents(const asn1_node* node) {
  switch (node->tag) {
    case 2: case 3: case 4: case 6:
      for (u32 i = 0; i < node->length; i++) std::printf("%.02x ", node->data[i]);
      break;
    case 12: case 18: case 19: case 20: case 21: case 22: case 23:
    case 24: case 25: case 26: case 27: case 28: case 29: case 30:
      // Printed as a C string: an embedded NUL ends the text.
      std::printf(" %.*s", int(node->length), reinterpret_cast<const char*>(node->data));
      break;
    default:
      break;
  }
}

int hex_digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Length of the line at `line` without its '\n' and a '\r' before it; the
// position after the '\n' goes to *next (null when the text ends first).
int line_length(const char* line, const char** next) {
  const char* end = std::strchr(line, '\n');
  *next = end ? end + 1 : nullptr;
  if (!end) end = line + std::strlen(line);
  if (end > line && end[-1] == '\r') end--;
  return int(end - line);
}

}  // namespace

int asn1_parse(const u8* buffer, int length, asn1_node* top) {
  if (length == 0) return 0;
  top->children = nullptr;
  top->next = nullptr;
  if (length < 0 || buffer == nullptr || parse_elements(buffer, u32(length), top, 0) != 0) {
    asn1_free(top);
    top->children = nullptr;
    top->next = nullptr;
    return -1;
  }
  return 0;
}

void asn1_free(asn1_node* node) {
  if (node == nullptr) return;
  asn1_node* child = node->children;
  if (child) {
    asn1_free(child);
    vekFree(&child);
  }
  // Siblings one after another, so a long chain does not deepen the stack.
  asn1_node* sibling = node->next;
  while (sibling) {
    asn1_node* following = sibling->next;
    sibling->next = nullptr;
    asn1_free(sibling);
    vekFree(&sibling);
    sibling = following;
  }
}

void asn1_show(int depth, asn1_node* node) {
  for (; node; node = node->next) {
    for (int i = 0; i < depth; i++) std::printf(" ");
    if (node->tag_class == 0) {
      std::printf("%s", node->tag < 31 ? universal_tag_names[node->tag] : "?");
    } else {
      std::printf("%s", class_names[node->tag_class & 3]);
    }
    std::printf(" (%d:%d) ", int(node->tag), int(node->length));
    if (node->tag_class == 0) show_contents(node);
    std::printf("\n");
    if (node->children) asn1_show(depth + 1, node->children);
  }
}

int pem_decode(const char* pem, u8* out) {
  if (std::strncmp(pem, "-----BEGIN", 10) != 0) {
    std::fprintf(stderr, "This does not appear to be a PEM-encoded certificate file\n");
    return -1;
  }
  const char* line;
  line_length(pem, &line);
  int total = 0;
  while (line) {
    if (std::strncmp(line, "-----END", 8) == 0) return total;
    const char* next;
    int length = line_length(line, &next);
    int decoded = base64_decode(reinterpret_cast<const u8*>(line), length, out + total);
    if (decoded < 0) return -1;
    total += decoded;
    line = next;
  }
  return -1;  // no "-----END" line
}

u8* load_file(const char* path, int* size) {
  // Non-blocking, so that a named pipe without a writer cannot hold the
  // caller in open; at most the size the status gave is read, so a device
  // or a growing file cannot keep the loop going or overrun the block.
  int fd = VekKernel::fileOpen(path, O_RDONLY | O_NONBLOCK, 0);
  if (fd < 0) {
    std::perror("Unable to open file");
    return nullptr;
  }
  struct stat status;
  if (fstat(fd, &status) != 0) {
    std::perror("Unable to stat certificate file");
    VekKernel::fileClose(fd);
    return nullptr;
  }
  if (status.st_size < 0 || status.st_size > INT_MAX) {
    errno = EFBIG;
    std::perror("Not enough memory");
    VekKernel::fileClose(fd);
    return nullptr;
  }
  u32 capacity = u32(status.st_size);
  u8* block = static_cast<u8*>(vekMalloc(capacity));
  u32 filled = 0;
  while (filled < capacity) {
    int64 got = VekKernel::fileRead(fd, block + filled, capacity - filled);
    if (got == 0) break;
    if (got < 0) {
      std::perror("Unable to read file");
      VekKernel::fileClose(fd);
      vekFree(&block);
      return nullptr;
    }
    filled += u32(got);
  }
  VekKernel::fileClose(fd);
  if (size) *size = int(filled);
  return block;
}

int hex_decode(const char* text, u8** out) {
  int length = int(std::strlen(text));
  if (std::strncmp(text, "0x", 2) != 0) {
    *out = static_cast<u8*>(vekMalloc(u32(length) + 1));
    std::memcpy(*out, text, size_t(length) + 1);
    return length;
  }
  *out = nullptr;
  const char* digits = text + 2;
  int count = (length - 2) / 2;
  if ((length - 2) % 2 != 0) return -1;
  u8* bytes = static_cast<u8*>(vekMalloc(u32(count)));
  for (int i = 0; i < count; i++) {
    int high = hex_digit_value(digits[2 * i]), low = hex_digit_value(digits[2 * i + 1]);
    if (high < 0 || low < 0) {
      vekFree(&bytes);
      return -1;
    }
    bytes[i] = u8(high << 4 | low);
  }
  *out = bytes;
  return count;
}

void show_hex(const u8* bytes, int length) {
  for (int i = 0; i < length; i++) std::printf("%.02x", bytes[i]);
  std::printf("\n");
}

}  // namespace VekTls
