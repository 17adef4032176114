// Fuzz target: parse_x509_certificate over DER bytes and parse_x509_chain
// over the same bytes taken as a TLS certificate list (the first byte
// chooses which; a certificate is also wrapped into a one-entry list).
#include <cstdlib>
#include <vector>

#include "FuzzSupport.h"
#include "tls/src/x509.h"

using namespace VekTls;

namespace {

void parseCertificate(const u8* der, int length)
{
    x509_certificate certificate;
    init_x509_certificate(&certificate);
    parse_x509_certificate(der, length, &certificate);
    free_x509_certificate(&certificate);
}

void parseChain(std::vector<u8> list)
{
    public_key_info key = {};
    u8* end = parse_x509_chain(list.data(), static_cast<int>(list.size()), &key);
    if (end && (end < list.data() || end > list.data() + list.size())) std::abort();
    if (end) free_public_key_info(&key);
}

// One certificate as a TLS Certificate message body: 3-byte total length,
// then the certificate's 3-byte length and its bytes.
std::vector<u8> wrapInList(const u8* der, size_t length)
{
    std::vector<u8> list;
    size_t total = length + 3;
    for (size_t n : {total, length})
        for (int shift = 16; shift >= 0; shift -= 8) list.push_back(u8(n >> shift));
    list.insert(list.end(), der, der + length);
    return list;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > 1 << 16) return 0;
    u8 mode = data[0] % 3;
    std::vector<u8> rest(data + 1, data + size);
    if (mode == 0) parseCertificate(rest.data(), static_cast<int>(rest.size()));
    else if (mode == 1) parseChain(rest);
    else parseChain(wrapInList(rest.data(), rest.size()));
    return 0;
}
