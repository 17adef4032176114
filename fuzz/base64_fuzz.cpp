// Fuzz target: base64_decode of arbitrary text into a buffer of exactly the
// documented size (AddressSanitizer catches any byte written past it); a
// decoded text encoded again must decode to the same bytes.
#include <cstdlib>
#include <vector>

#include "FuzzSupport.h"
#include "tls/src/base64.h"

using namespace VekTls;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 1 << 16) return 0;
    int length = static_cast<int>(size);
    std::vector<u8> input(data, data + size);
    std::vector<u8> output(static_cast<size_t>(length / 4 * 3));
    int decoded = base64_decode(input.data(), length, output.data());
    if (decoded <= 0) return 0;
    if (decoded > length / 4 * 3) std::abort();
    std::vector<u8> again(static_cast<size_t>(base64_encoded_length(decoded)) + 1);
    base64_encode(output.data(), decoded, again.data());
    int againLength = base64_encoded_length(decoded);
    std::vector<u8> twice(static_cast<size_t>(againLength / 4 * 3));
    if (base64_decode(again.data(), againLength, twice.data()) != decoded ||
        std::memcmp(twice.data(), output.data(), static_cast<size_t>(decoded)) != 0)
        std::abort();
    return 0;
}
