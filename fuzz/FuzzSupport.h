// Helpers shared by the fuzz targets: a scratch working directory, so that
// whatever a target makes or opens by a relative name stays out of the
// tree, and a reader that cuts the fuzzer's bytes into pieces.
#pragma once
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace VekFuzz {

// Moves the process into a fresh directory under /tmp; the directory name.
inline std::string enterScratchDirectory()
{
    char pattern[] = "/tmp/vek-fuzz-XXXXXX";
    if (!mkdtemp(pattern) || chdir(pattern) != 0) {
        std::perror("scratch directory");
        std::abort();
    }
    return pattern;
}

// Reads the fuzzer's bytes front to back; past the end every read gives 0
// or an empty text.
class Bytes {
public:
    Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return at_ >= size_; }
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    // The next n bytes (fewer at the end).
    std::string take(size_t n)
    {
        n = n < size_ - at_ ? n : size_ - at_;
        std::string text(reinterpret_cast<const char*>(data_ + at_), n);
        at_ += n;
        return text;
    }
    // Everything up to the next separator byte (dropped), or the rest.
    std::string until(uint8_t separator)
    {
        const void* found = std::memchr(data_ + at_, separator, size_ - at_);
        size_t end = found ? static_cast<size_t>(static_cast<const uint8_t*>(found) - data_) : size_;
        std::string text = take(end - at_);
        if (found) ++at_;
        return text;
    }
    std::string rest() { return take(size_ - at_); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

}  // namespace VekFuzz
