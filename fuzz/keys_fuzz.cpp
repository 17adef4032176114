// Fuzz target: the private-key readers. The first byte chooses
// parse_private_key (PKCS#1 DER) or parse_pkcs8_private_key (encrypted
// PKCS#8 DER, pass phrase "password"); the rest is the DER.
#include <vector>

#include "FuzzSupport.h"
#include "tls/src/rsa.h"

using namespace VekTls;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > 1 << 16) return 0;
    std::vector<u8> der(data + 1, data + size);
    int length = static_cast<int>(der.size());
    rsa_key key = {};
    int result = data[0] & 1 ? parse_pkcs8_private_key(&key, der.data(), length, "password")
                             : parse_private_key(&key, der.data(), length);
    if (result == 0) free_rsa_key(&key);
    return 0;
}
