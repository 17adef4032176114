// The console: standard output and standard error, written without ever
// waiting. A server whose output goes to a pipe (or socket, or terminal)
// that nobody drains must not stop serving: what the console cannot take at
// once is dropped, and the next text that gets through is preceded by the
// line "[console: N bytes dropped]". A regular file takes everything, as
// before.
#pragma once
#include <cstddef>
#include <cstdint>

namespace VekKernel {

class ConsoleWriter {
public:
    explicit ConsoleWriter(int fd);
    // Writes what the descriptor takes now; the rest is dropped and counted.
    void write(const char* data, std::size_t size);

private:
    // Bytes of data the descriptor took without waiting (0 when full).
    std::size_t writeSome(const char* data, std::size_t size) const;
    // writeSome until all of data went out or the descriptor is full; the
    // bytes that went out.
    std::size_t writeWhatFits(const char* data, std::size_t size) const;
    // The drop notice, when one is due; false when it could not go out.
    bool writeNotice();

    int fd_;
    bool waits_;               // a regular file: ordinary writes, which never stay blocked
    bool socket_;              // a socket: sends that do not wait
    bool lineOpen_ = false;    // the last byte that went out was not a line feed
    std::uint64_t dropped_ = 0;  // bytes dropped since the last notice that got through
};

// From now on standard output and standard error go through console
// writers on descriptors 1 and 2 (each that is not a regular file).
void consoleTakeStandardStreams();

// Writes text to descriptor 1 without waiting, dropping what does not fit;
// safe inside a signal handler.
void consoleSignalWrite(const char* text, std::size_t size);

}  // namespace VekKernel
