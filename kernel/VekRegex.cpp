// Backtracking regular-expression matcher (being written).
#include "VekRegex.h"

namespace VekKernel {

int regexMatch(const char*, const char*, int, RegexCap*, int, int) {
    return REGEX_INTERNAL_ERROR;
}

}  // namespace VekKernel
