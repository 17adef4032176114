// The sort mode's output file: opened through its name as it is, written
// in large blocks, removed after a failure when the run made it.
#pragma once
#include <string>

#include "kernel/VekTypes.h"

// The output file. A regular file is truncated and written afresh; a
// device or pipe is written to; a symbolic link keeps pointing where it
// did. A name that reaches the file of the standard output or error
// (/dev/stdout, or that file's own name) is written through that
// descriptor after what the program printed there, so the two share the
// file's end instead of writing over each other. It knows whether this
// run made the file (also at a dangling link's target): only then may a
// failure remove it.
class SortOutput {
public:
    explicit SortOutput(const std::string& path);
    ~SortOutput();
    SortOutput(const SortOutput&) = delete;
    SortOutput& operator=(const SortOutput&) = delete;

    // Writes all of data; throws on a failed write or a noted signal.
    void write(const char* data, size_t size);
    // Closes the file; a failing close (a write the file system refused
    // late) is a failed write.
    void finish();
    // After a failure: closes the file and removes it when this run made it.
    void discard();
    // True when this run made the file (so that discard removes it).
    bool madeFile() const { return made; }

private:
    int openRetrying(int flags) const;
    void openByName();
    bool openStandardStream();
    void rememberMade();
    int closeFile();
    [[noreturn]] void fail() const;

    const std::string path;  // the name given
    int fd = -1;             // open descriptor, -1 once closed
    bool made = false;       // this run created the file
    std::string madePath;    // where the made file is (a link's target, say)
    u64 madeDevice = 0;      // the made file's identity, so that only it
    u64 madeInode = 0;       // is removed, never a file put there since
};

// Collects output bytes and writes them in large blocks.
class SortWriter {
public:
    explicit SortWriter(SortOutput& output) : output(output) {}
    void put(const char* data, size_t size);
    // The bytes leave pending before they are written, so a failed write
    // is never repeated.
    void flush();

private:
    SortOutput& output;   // the sorted file
    std::string pending;  // bytes not yet written
};
