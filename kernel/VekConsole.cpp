// The console writer: poll says whether the descriptor can take bytes now;
// a pipe takes up to PIPE_BUF bytes without blocking once poll says so, a
// socket is sent to with MSG_DONTWAIT.
#include "VekConsole.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>

namespace VekKernel {

namespace {

bool writableNow(int fd) {
    pollfd entry = {fd, POLLOUT, 0};
    int ready;
    do {
        ready = poll(&entry, 1, 0);
    } while (ready < 0 && errno == EINTR);
    return ready == 1 && (entry.revents & POLLOUT) && !(entry.revents & (POLLERR | POLLNVAL));
}

// One write of at most PIPE_BUF bytes after poll said the descriptor can
// take some: a pipe then takes them whole without blocking.
std::size_t writeChunk(int fd, const char* data, std::size_t size) {
    if (!writableNow(fd)) return 0;
    ssize_t written = ::write(fd, data, size < PIPE_BUF ? size : PIPE_BUF);
    return written > 0 ? static_cast<std::size_t>(written) : 0;
}

ssize_t cookieWrite(void* cookie, const char* data, std::size_t size) {
    static_cast<ConsoleWriter*>(cookie)->write(data, size);
    return static_cast<ssize_t>(size);  // taken: written or dropped
}

// Replaces *stream by a stream that writes through writer; the old stream
// is flushed first and stays open.
void takeStream(FILE** stream, ConsoleWriter* writer, int mode) {
    cookie_io_functions_t io = {nullptr, cookieWrite, nullptr, nullptr};
    FILE* console = fopencookie(writer, "w", io);
    if (console == nullptr) return;
    setvbuf(console, nullptr, mode, BUFSIZ);
    std::fflush(*stream);
    *stream = console;
}

bool regularFile(int fd) {
    struct stat status;
    return fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
}

}  // namespace

ConsoleWriter::ConsoleWriter(int fd) : fd_(fd), waits_(false), socket_(false) {
    struct stat status;
    if (fstat(fd, &status) != 0) return;
    waits_ = S_ISREG(status.st_mode);
    socket_ = S_ISSOCK(status.st_mode);
}

std::size_t ConsoleWriter::writeSome(const char* data, std::size_t size) const {
    if (socket_) {
        ssize_t sent = send(fd_, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        return sent > 0 ? static_cast<std::size_t>(sent) : 0;
    }
    return writeChunk(fd_, data, size);
}

std::size_t ConsoleWriter::writeWhatFits(const char* data, std::size_t size) const {
    std::size_t done = 0;
    while (done < size) {
        std::size_t written = writeSome(data + done, size - done);
        if (written == 0) break;
        done += written;
    }
    return done;
}

bool ConsoleWriter::writeNotice() {
    if (dropped_ == 0) return true;
    char notice[64];
    int length = std::snprintf(notice, sizeof notice, "%s[console: %llu bytes dropped]\n", lineOpen_ ? "\n" : "",
                               static_cast<unsigned long long>(dropped_));
    const std::size_t done = writeWhatFits(notice, static_cast<std::size_t>(length));
    if (done == 0) return false;
    // A notice cut short still ends its line, so the count is never lost
    // in the middle of other text.
    dropped_ = 0;
    lineOpen_ = notice[done - 1] != '\n';
    return true;
}

void ConsoleWriter::write(const char* data, std::size_t size) {
    if (waits_) {
        while (size > 0) {
            ssize_t written = ::write(fd_, data, size);
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) return;
            data += written;
            size -= static_cast<std::size_t>(written);
        }
        return;
    }
    const std::size_t done = writeNotice() ? writeWhatFits(data, size) : 0;
    if (done > 0) lineOpen_ = data[done - 1] != '\n';
    dropped_ += size - done;
}

void consoleTakeStandardStreams() {
    // Writers of static storage with nothing to destroy: the streams stay
    // usable until the very end of the process, when exit flushes them.
    static ConsoleWriter out(STDOUT_FILENO);
    static ConsoleWriter err(STDERR_FILENO);
    if (!regularFile(STDOUT_FILENO)) takeStream(&stdout, &out, isatty(STDOUT_FILENO) ? _IOLBF : _IOFBF);
    if (!regularFile(STDERR_FILENO)) takeStream(&stderr, &err, _IONBF);
}

void consoleSignalWrite(const char* text, std::size_t size) {
    while (size > 0) {
        std::size_t written = writeChunk(STDOUT_FILENO, text, size);
        if (written == 0) return;
        text += written;
        size -= written;
    }
}

}  // namespace VekKernel
