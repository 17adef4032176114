// Fuzz target: regexMatch with an expression and a subject from the input
// (first byte: flags; then the expression up to a NUL; then the subject).
// Every result must be a known code or an offset inside the subject, and
// every capture written must lie inside the subject.
#include <cstdlib>

#include "FuzzSupport.h"
#include "kernel/VekRegex.h"

using namespace VekKernel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    VekFuzz::Bytes in(data, size);
    int flags = in.byte() & IGNORE_CASE;
    std::string regex = in.until(0);
    std::string subject = in.rest();
    RegexCap caps[10] = {};
    int textLen = static_cast<int>(subject.size());
    int result = regexMatch(regex.c_str(), subject.data(), textLen, caps, 10, flags);
    if (result < REGEX_TOO_MANY_BRACKETS || result > textLen) std::abort();
    for (const RegexCap& cap : caps) {
        if (!cap.ptr) continue;
        if (cap.ptr < subject.data() || cap.len < 0 || cap.ptr + cap.len > subject.data() + textLen)
            std::abort();
    }
    return 0;
}
