// The sort mode's output file: opened through its name as it is, written
// in large blocks; a failure leaves the name as it was whenever it can.
#pragma once
#include <string>

#include "kernel/VekTypes.h"

// The output file. A regular file that was there (with no other name) is
// written beside it, into a new file of the same directory, mode and
// owner, which replaces it by a rename only once it is whole; a failure
// removes the new file and the old one stays as it was. A file this run
// makes (also at a dangling link's target) is written in place and
// removed after a failure. A symbolic link keeps pointing where it did.
// Anything else is written through its name: a device or pipe, a file
// with other names (a rename would part them), one whose directory takes
// no new file, one mounted over its name (no rename replaces it), and a
// name that reaches the file of the standard output or error
// (/dev/stdout, or that file's own name), which is written through
// that descriptor after what the program printed there, so the two share
// the file's end instead of writing over each other.
class SortOutput {
public:
    explicit SortOutput(const std::string& path);
    ~SortOutput();
    SortOutput(const SortOutput&) = delete;
    SortOutput& operator=(const SortOutput&) = delete;

    // True when a failure leaves the name as it was before the run (the
    // file is made by this run or written beside): the sorted lines may
    // then be checked as they are written.
    bool undoable() const { return made || !asidePath.empty(); }
    // Starts the writing: a regular file written through its name is
    // truncated only now, so the caller can refuse its base before that.
    void begin();
    // Writes all of data; throws on a failed write or a noted signal.
    void write(const char* data, size_t size);
    // Closes the file; a failing close (a write the file system refused
    // late) is a failed write. Called before the base is saved, so that
    // such a failure still drops the run's counts.
    void close();
    // Puts a file written beside in place (after close).
    void finish();
    // After a failure: closes the file and removes it when this run made
    // it, or the file written beside.
    void discard();

private:
    int openRetrying(int flags) const;
    void openByName();
    bool openStandardStream();
    void writeBeside(const struct stat& there);
    void rememberMade();
    int closeFile();
    [[noreturn]] void fail() const;

    const std::string path;  // the name given
    int fd = -1;             // open descriptor, -1 once closed
    bool made = false;       // this run created the file
    std::string madePath;    // where the made file is (a link's target, say)
    u64 madeDevice = 0;      // the made file's identity, so that only it
    u64 madeInode = 0;       // is removed, never a file put there since
    std::string asidePath;   // the file written beside, empty when none
    std::string targetPath;  // the file it replaces (a link's target, say)
    bool truncate = false;   // a regular file written through its name
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
