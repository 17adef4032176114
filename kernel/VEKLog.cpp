// The process-wide log: hourly request, error and system files.
#include "VEKLog.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace VekKernel {

VEKLog vekLog;

namespace {

const char* const DefaultDateFormat = "-%Y-%m-%d-%H.log";

// Copies text into a field of capacity + 1 bytes, cutting what does not fit.
void copyField(char* field, std::size_t capacity, const std::string& text) {
    std::size_t n = text.size() < capacity ? text.size() : capacity;
    std::memcpy(field, text.data(), n);
    field[n] = '\0';
}

// strftime into a buffer that grows until the text fits. A pattern whose
// expansion is empty (or absurdly long) gives the empty text.
std::string formatTime(const char* pattern, std::time_t when) {
    struct tm local;
    localtime_r(&when, &local);
    for (std::size_t size = 256; size <= 65536; size *= 4) {
        std::vector<char> buffer(size);
        std::size_t n = std::strftime(buffer.data(), size, pattern, &local);
        if (n > 0) return std::string(buffer.data(), n);
    }
    return std::string();
}

}  // namespace

void VEKLog::setPrefix(const std::string& prefix) {
    copyField(prefix_, MaxPrefix, prefix);
}

void VEKLog::setDateFormat(const std::string& pattern) {
    copyField(dateFormat_, MaxDateFormat, pattern);
}

std::string VEKLog::fileName(const std::string& suffix, std::time_t when) const {
    const char* pattern = dateFormat_[0] != '\0' ? dateFormat_ : DefaultDateFormat;
    return prefix_ + formatTime(pattern, when) + suffix;
}

void VEKLog::write(const std::string& message, const std::string& suffix) {
    if (!enabled()) return;
    std::string name = fileName(suffix, std::time(nullptr));
    // Opened and closed per line: nothing stays open across hours, and a
    // file moved away by the operator is recreated by the next line.
    std::FILE* file = std::fopen(name.c_str(), "ae");
    if (file == nullptr) return;
    std::fwrite(message.data(), 1, message.size(), file);
    std::fputc('\n', file);
    std::fclose(file);
}

void VEKLog::system(const std::string& message) {
    write(message, ".sys");
}

void VEKLog::error(const std::string& message, const char* sourceFile, int line) {
    // The message is a C text in the line: it ends at its first NUL byte,
    // and at most MaxErrorMessage bytes of it are kept.
    std::size_t length = strnlen(message.c_str(), message.size());
    std::string cut = message.substr(0, length < MaxErrorMessage ? length : MaxErrorMessage);
    char lineText[16];
    std::snprintf(lineText, sizeof(lineText), "%d", line);
    std::string text = "ER:" + cut + ", " + (sourceFile != nullptr ? sourceFile : "") + ", " + lineText;
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    write(text, ".err");
}

}  // namespace VekKernel
