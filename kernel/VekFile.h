// Thin wrappers over the POSIX file calls (large-file offsets) and file
// status by path, so every subsystem reaches files the same way.
#pragma once
#include <ctime>
#include <string>

#include "VekTypes.h"

namespace VekKernel {

// open(2) with large-file support; a descriptor, or negative on failure.
int fileOpen(const char* path, int flags, int mode);
// read(2): bytes read, 0 at the end, negative on failure.
int64 fileRead(int fd, void* buffer, u32 length);
// write(2): bytes written, negative on failure.
int64 fileWrite(int fd, const void* buffer, u32 length);
// lseek(2) with 64-bit offsets: the new position, negative on failure.
int64 fileSeek(int fd, int64 offset, int whence);
// close(2): 0, or negative on failure.
int fileClose(int fd);
// access(2): 0 when the file is accessible in mode (0 tests existence).
int fileAccess(const char* path, int mode);
inline int fileAccess(const std::string& path, int mode) { return fileAccess(path.c_str(), mode); }

// True when a path that comes from page or request text stays under the
// working directory: not empty, relative, no ".." component and no NUL
// byte. Words that reach files or bases refuse any other path.
bool isPagePath(const std::string& path);
// open(2) of a regular file only: a descriptor, or -1 when the file cannot
// be opened or is anything else (a pipe, a socket, a device or a directory).
// The open never waits for the other end of a named pipe; the descriptor is
// blocking and close-on-exec. The caller closes it.
int openRegularFile(const char* path, int flags, int mode);

// Modification time, or 0 when the file cannot be examined.
time_t get_file_mtime(const std::string& path);
// Size in bytes, or 0 when the file cannot be examined.
int64 get_file_size(const std::string& path);

}  // namespace VekKernel
