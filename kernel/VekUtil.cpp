// Text and file utilities: integers to and from text, trimming, whole-file
// reading and UUID text.
#include "VekUtil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <uuid/uuid.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "VekFile.h"

namespace VekKernel {

char* int64ToText(int64 value, char* buffer, std::size_t size, int radix) {
    if (buffer == nullptr || size == 0) return buffer;
    if (radix == 10) {
        std::snprintf(buffer, size, "%lld", static_cast<long long>(value));
    } else if (radix == 16) {
        std::snprintf(buffer, size, "%llX", static_cast<unsigned long long>(value));
    }
    return buffer;
}

int64 stringToInt64(const std::string& text) {
    // strtoll reads what "%lld" reads (white space, sign, digits) but, unlike
    // sscanf, saturates instead of overflowing on a too-long number.
    return static_cast<int64>(std::strtoll(text.c_str(), nullptr, 10));
}

namespace {

// True when the byte at an end of the text is to be stripped.
bool strippable(unsigned char byte, const std::string& extraSet) {
    if (byte == 0 || byte >= 128) return false;
    return byte <= 32 || extraSet.find(static_cast<char>(byte)) != std::string::npos;
}

}  // namespace

void trim(std::string& text, const std::string& extraSet) {
    std::size_t end = text.size();
    while (end > 0 && strippable(static_cast<unsigned char>(text[end - 1]), extraSet)) --end;
    std::size_t begin = 0;
    while (begin < end && strippable(static_cast<unsigned char>(text[begin]), extraSet)) ++begin;
    text = text.substr(begin, end - begin);
}

// Opens path for reading a whole file, or returns -1.
// Device files are refused: /dev/zero or /dev/urandom never end, and a page
// that names one must not hold the single server thread or fill its memory.
// The open itself does not wait for a writer of a named pipe (O_NONBLOCK);
// reading then blocks as usual, so a pipe with a writer is read to its end.
int openForWholeRead(const std::string& path) {
    int fd = fileOpen(path.c_str(), O_RDONLY | O_NONBLOCK, 0);
    if (fd < 0) return -1;
    struct stat info;
    bool device = ::fstat(fd, &info) == 0 && (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode));
    int flags = ::fcntl(fd, F_GETFL);
    if (device || flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
        fileClose(fd);
        return -1;
    }
    return fd;
}

std::string readFile(const std::string& path) {
    std::string contents;
    int fd = openForWholeRead(path);
    if (fd < 0) return contents;
    char piece[1024];
    int64 got;
    while ((got = fileRead(fd, piece, sizeof(piece) - 1)) > 0) {
        // Each piece counts up to its first NUL byte only.
        contents.append(piece, strnlen(piece, static_cast<std::size_t>(got)));
    }
    fileClose(fd);
    return contents;
}

std::string newUuid() {
    uuid_t id;
    char text[37];
    uuid_generate_random(id);
    uuid_unparse(id, text);
    for (char* c = text; *c != '\0'; ++c) *c = static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
    return text;
}

}  // namespace VekKernel
