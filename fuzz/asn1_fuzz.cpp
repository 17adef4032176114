// Fuzz target: asn1_parse over DER bytes, then asn1_show over the tree;
// input starting with "-----BEGIN" goes through pem_decode first. Every
// node must lie inside the buffer it was parsed from.
#include <cstdlib>
#include <vector>

#include "FuzzSupport.h"
#include "tls/src/asn1.h"

using namespace VekTls;

namespace {

void checkInside(const asn1_node* node, const u8* begin, const u8* end, int depth)
{
    if (depth > ASN1_MAX_DEPTH + 1) std::abort();
    for (; node; node = node->next) {
        if (node->data < begin || node->data > end || node->length > u32(end - node->data)) std::abort();
        checkInside(node->children, begin, end, depth + 1);
    }
}

void parseAndShow(const u8* der, int length)
{
    asn1_node top = {};
    if (asn1_parse(der, length, &top) != 0) {
        if (top.children || top.next) std::abort();
        return;
    }
    if (length > 0) {
        checkInside(&top, der, der + length, 0);
        asn1_show(0, &top);
    }
    asn1_free(&top);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 1 << 16) return 0;
    int length = static_cast<int>(size);
    if (size >= 10 && std::memcmp(data, "-----BEGIN", 10) == 0) {
        std::string text(reinterpret_cast<const char*>(data), size);
        std::vector<u8> der(size * 3 / 4 + 1);
        int decoded = pem_decode(text.c_str(), der.data());
        if (decoded > static_cast<int>(der.size())) std::abort();
        if (decoded > 0) {
            std::vector<u8> exact(der.begin(), der.begin() + decoded);
            parseAndShow(exact.data(), decoded);
        }
        return 0;
    }
    parseAndShow(data, length);
    return 0;
}
