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

namespace {

// Bytes per piece of readFile; each piece counts up to its first NUL byte.
constexpr std::size_t ReadPiece = 1023;

// Opens path read-only without waiting for a writer of a named pipe
// (O_NONBLOCK) and fills *info (st_mode 0 when unknown); -1 for a failure
// or a device file.
int openRefusingDevices(const std::string& path, struct stat* info) {
    int fd = fileOpen(path.c_str(), O_RDONLY | O_NONBLOCK, 0);
    if (fd < 0) return -1;
    if (::fstat(fd, info) != 0) info->st_mode = 0;
    if (S_ISCHR(info->st_mode) || S_ISBLK(info->st_mode)) {
        fileClose(fd);
        return -1;
    }
    return fd;
}

// Clears O_NONBLOCK, so that reading waits as usual; false on failure.
bool makeBlocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) >= 0;
}

// A regular file read whole: in one read when its size holds, then cut
// into pieces as the piecewise read would have seen them.
std::string readRegular(int fd, std::size_t size) {
    std::string raw(size + 1, '\0');
    std::size_t have = 0;
    int64 got;
    // A short read of a regular file is its end; a full one may not be.
    while ((got = fileRead(fd, &raw[have], static_cast<int64>(raw.size() - have))) > 0) {
        have += static_cast<std::size_t>(got);
        if (have < raw.size()) break;
        raw.resize(raw.size() * 2);
    }
    std::string contents;
    contents.reserve(have);
    for (std::size_t at = 0; at < have; at += ReadPiece) {
        std::size_t length = have - at < ReadPiece ? have - at : ReadPiece;
        contents.append(&raw[at], strnlen(&raw[at], length));
    }
    return contents;
}

}  // namespace

// Device files are refused: /dev/zero or /dev/urandom never end, and a page
// that names one must not hold the single server thread or fill its memory.
// The open itself does not wait for a writer of a named pipe (O_NONBLOCK);
// reading then blocks as usual, so a pipe with a writer is read to its end.
int openForWholeRead(const std::string& path) {
    struct stat info;
    int fd = openRefusingDevices(path, &info);
    if (fd >= 0 && !makeBlocking(fd)) {
        fileClose(fd);
        return -1;
    }
    return fd;
}

std::string readFile(const std::string& path) {
    std::string contents;
    struct stat info;
    int fd = openRefusingDevices(path, &info);
    if (fd < 0) return contents;
    if (S_ISREG(info.st_mode)) {
        // O_NONBLOCK changes nothing for a regular file.
        contents = readRegular(fd, static_cast<std::size_t>(info.st_size));
    } else if (makeBlocking(fd)) {
        char piece[ReadPiece + 1];
        int64 got;
        while ((got = fileRead(fd, piece, ReadPiece)) > 0)
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
