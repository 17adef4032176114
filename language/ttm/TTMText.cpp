// Number and text conversions shared by the builtin words.
#include "TTMText.h"

#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace VekLanguage {

std::string formatWord(const char* pattern, ...) {
    char buffer[WordBufferSize];
    va_list args;
    va_start(args, pattern);
    int written = std::vsnprintf(buffer, sizeof buffer, pattern, args);
    va_end(args);
    if (written < 0) return std::string();
    return std::string(buffer);
}

std::string formatReal(int precision, double value) {
    // Whole numbers below 2^53 print as their integer digits and precision
    // zeros, exactly as printf would; this spares printf's slow path in the
    // counting loops of pages. Negative zero and everything else go to printf.
    constexpr double Exact = 9007199254740992.0;
    if (value == std::floor(value) && std::fabs(value) < Exact && !(value == 0 && std::signbit(value)) &&
        precision >= 0 && precision < 64) {
        std::string text = std::to_string(static_cast<long long>(value));
        if (precision > 0) text.append(1, '.').append(static_cast<std::size_t>(precision), '0');
        return text;
    }
    return formatWord("%.*f", precision, value);
}

int toInt32(const std::string& text) {
    long value = std::strtol(text.c_str(), nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

int64 scanInt64(const std::string& text, int64 preset) {
    long long value = preset;
    if (std::sscanf(text.c_str(), "%lld", &value) != 1) return preset;
    return value;
}

}  // namespace VekLanguage
