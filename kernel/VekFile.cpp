// POSIX file wrappers and file status by path.
#include "VekFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

// Large-file offsets: on 32-bit builds off_t must be 64 bits for fileSeek.
static_assert(sizeof(off_t) == 8 || sizeof(off64_t) == 8, "64-bit file offsets needed");

namespace VekKernel {

int fileOpen(const char* path, int flags, int mode) {
    return ::open64(path, flags | O_CLOEXEC, static_cast<mode_t>(mode));
}

int64 fileRead(int fd, void* buffer, u32 length) {
    return ::read(fd, buffer, length);
}

int64 fileWrite(int fd, const void* buffer, u32 length) {
    return ::write(fd, buffer, length);
}

int64 fileSeek(int fd, int64 offset, int whence) {
    return ::lseek64(fd, static_cast<off64_t>(offset), whence);
}

int fileClose(int fd) {
    return ::close(fd);
}

int fileAccess(const char* path, int mode) {
    return ::access(path, mode);
}

bool isPagePath(const std::string& path) {
    if (path.empty() || path[0] == '/' || path.find('\0') != std::string::npos) return false;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (path.compare(start, end - start, "..") == 0) return false;
        start = end + 1;
    }
    return true;
}

// O_NONBLOCK keeps the open of a named pipe from waiting for a writer (or a
// write open from failing late); the flag is cleared once the file is known
// to be regular, so reads and writes behave as usual.
int openRegularFile(const char* path, int flags, int mode) {
    int fd = fileOpen(path, flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
    if (fd < 0) return -1;
    struct stat64 info;
    bool regular = ::fstat64(fd, &info) == 0 && S_ISREG(info.st_mode);
    int status = ::fcntl(fd, F_GETFL);
    if (!regular || status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) < 0) {
        fileClose(fd);
        return -1;
    }
    return fd;
}

time_t get_file_mtime(const std::string& path) {
    struct stat64 info;
    if (::stat64(path.c_str(), &info) != 0) return 0;
    return info.st_mtime;
}

int64 get_file_size(const std::string& path) {
    struct stat64 info;
    if (::stat64(path.c_str(), &info) != 0) return 0;
    return static_cast<int64>(info.st_size);
}

}  // namespace VekKernel
