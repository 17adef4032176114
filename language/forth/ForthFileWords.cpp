// The Forth file and system words: file streams named by ids, the shell,
// the clock, the program arguments and lines of standard input.
//
// A file id is the address of a std::fstream the processor owns; only ids in
// openFiles are ever used (see fileAt). The access-method bits are 8 read,
// 16 write, 4 binary and 32 truncate.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>

#include "ForthProcessor.h"

namespace VekLanguage {

namespace {

constexpr Cell FamRead = 8;
constexpr Cell FamWrite = 16;
constexpr Cell FamBinary = 4;
constexpr Cell FamTruncate = 32;

std::ios_base::openmode openMode(Cell fam) {
    std::ios_base::openmode mode{};
    if (fam & FamRead) mode |= std::ios_base::in;
    if (fam & FamWrite) mode |= std::ios_base::out;
    if (fam & FamBinary) mode |= std::ios_base::binary;
    if (fam & FamTruncate) mode |= std::ios_base::trunc;
    return mode;
}

Cell addressCell(const void* p) { return static_cast<Cell>(reinterpret_cast<uintptr_t>(p)); }

}  // namespace

void ForthProcessor::wordReadOnly() {
    roomCells(1, "R/O");
    push(FamRead);
}

void ForthProcessor::wordWriteOnly() {
    roomCells(1, "W/O");
    push(FamWrite);
}

void ForthProcessor::wordReadWrite() {
    roomCells(1, "R/W");
    push(FamRead | FamWrite);
}

void ForthProcessor::wordBin() {
    needCells(1, "BIN");
    top() |= FamBinary;
}

void ForthProcessor::openFileWord(const char* name, bool truncate) {
    needCells(3, name);
    Cell fam = under(0) | (truncate ? FamTruncate : 0);
    Cell length = under(1);
    const u8* text = bytesAt(under(2), length, name);
    std::string path(reinterpret_cast<const char*>(text), static_cast<size_t>(length));
    auto* file = new std::fstream(path, openMode(fam));
    sp -= 1;
    if (file->is_open()) {
        openFiles.insert(file);
        under(1) = addressCell(file);
        under(0) = 0;
    } else {
        delete file;
        under(1) = 0;
        under(0) = -1;
    }
}

void ForthProcessor::wordOpenFile() { openFileWord("OPEN-FILE", false); }

void ForthProcessor::wordCreateFile() { openFileWord("CREATE-FILE", true); }

void ForthProcessor::wordCloseFile() {
    needCells(1, "CLOSE-FILE");
    std::fstream* file = fileAt(top(), "CLOSE-FILE");
    openFiles.erase(file);
    delete file;
    top() = 0;
}

void ForthProcessor::wordReadFile() {
    needCells(3, "READ-FILE");
    std::fstream* file = fileAt(under(0), "READ-FILE");
    Cell length = under(1);
    u8* buffer = bytesAt(under(2), length, "READ-FILE");
    file->read(reinterpret_cast<char*>(buffer), static_cast<std::streamsize>(length));
    sp -= 1;
    under(1) = static_cast<Cell>(file->gcount());
    under(0) = file->bad() ? -1 : 0;
}

void ForthProcessor::wordReadLine() {
    needCells(3, "READ-FILE");
    std::fstream* file = fileAt(under(0), "READ-FILE");
    Cell length = under(1);
    if (length < 0) fail("READ-FILE", ": invalid address");
    char* buffer = reinterpret_cast<char*>(bytesAt(under(2), length + 1, "READ-FILE"));
    Cell read = 0, found = 0, ior = 0;
    if (!file->eof()) {
        file->getline(buffer, static_cast<std::streamsize>(length + 1));
        if (file->bad()) {
            ior = -1;
        } else if (!(file->eof() && buffer[0] == '\0')) {
            read = static_cast<Cell>(std::strlen(buffer));
            found = -1;
            // A line longer than the buffer: the rest comes with the next call.
            if (file->fail() && !file->eof()) file->clear();
        }
    }
    under(2) = read;
    under(1) = found;
    under(0) = ior;
}

void ForthProcessor::wordReadChar() {
    needCells(1, "READ-CHAR");
    roomCells(1, "READ-CHAR");
    std::fstream* file = fileAt(top(), "READ-CHAR");
    int c = file->get();
    top() = c & 0xFF;
    push(file->bad() ? -1 : 0);
}

// The ior of a write: -1 when the stream refused it.
static Cell writeResult(const std::fstream* file) { return file->fail() ? -1 : 0; }

void ForthProcessor::wordWriteFile() {
    needCells(3, "WRITE-FILE");
    std::fstream* file = fileAt(under(0), "WRITE-FILE");
    Cell length = under(1);
    const u8* text = bytesAt(under(2), length, "WRITE-FILE");
    file->write(reinterpret_cast<const char*>(text), static_cast<std::streamsize>(length));
    sp -= 2;
    top() = writeResult(file);
}

void ForthProcessor::wordWriteLine() {
    needCells(3, "WRITE-LINE");
    std::fstream* file = fileAt(under(0), "WRITE-FILE");
    Cell length = under(1);
    const u8* text = bytesAt(under(2), length, "WRITE-LINE");
    file->write(reinterpret_cast<const char*>(text), static_cast<std::streamsize>(length));
    file->put('\n');
    file->flush();
    sp -= 2;
    top() = writeResult(file);
}

void ForthProcessor::wordWriteChar() {
    needCells(2, "WRITE-CHAR");
    std::fstream* file = fileAt(under(0), "WRITE-CHAR");
    file->put(static_cast<char>(under(1)));
    sp -= 1;
    top() = writeResult(file);
}

void ForthProcessor::wordFlushFile() {
    needCells(1, "FLUSH-FILE");
    std::fstream* file = fileAt(top(), "FLUSH-FILE");
    file->flush();
    top() = writeResult(file);
}

void ForthProcessor::wordDeleteFile() {
    needCells(2, "DELETE-FILE");
    Cell length = under(0);
    const u8* text = bytesAt(under(1), length, "DELETE-FILE");
    std::string path(reinterpret_cast<const char*>(text), static_cast<size_t>(length));
    sp -= 1;
    top() = std::remove(path.c_str());
}

void ForthProcessor::wordRenameFile() {
    needCells(4, "RENAME-FILE");
    const u8* from = bytesAt(under(3), under(2), "RENAME-FILE");
    const u8* to = bytesAt(under(1), under(0), "RENAME-FILE");
    std::string fromPath(reinterpret_cast<const char*>(from), static_cast<size_t>(under(2)));
    std::string toPath(reinterpret_cast<const char*>(to), static_cast<size_t>(under(0)));
    sp -= 3;
    top() = std::rename(fromPath.c_str(), toPath.c_str());
}

// ---- system ----

void ForthProcessor::wordSystem() {
    needCells(2, "SYSTEM");
    Cell length = under(0);
    const u8* text = bytesAt(under(1), length, "SYSTEM");
    std::string command(reinterpret_cast<const char*>(text), static_cast<size_t>(length));
    sp -= 2;
    std::cout.flush();  // what was written so far comes before the command's output
    // File streams cannot ask for close-on-exec when they open: mark every
    // descriptor past the standard three so the command inherits none.
    close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    systemResult = std::system(command.c_str());
}

void ForthProcessor::wordSystemResult() {
    roomCells(1, "$?");
    push(systemResult);
}

void ForthProcessor::wordArgCount() {
    roomCells(1, "#ARG");
    push(argCount);
}

void ForthProcessor::wordArg() {
    needCells(1, "ARG");
    roomCells(1, "ARG");
    Cell n = top();
    if (n < 0 || n >= argCount) fail("ARG", ": invalid index");
    top() = addressCell(argVector[n]);
    push(static_cast<Cell>(std::strlen(argVector[n])));
}

void ForthProcessor::timeDate(const char* name, bool utc) {
    roomCells(6, name);
    time_t now = std::time(nullptr);
    tm parts{};
    if (utc)
        gmtime_r(&now, &parts);
    else
        localtime_r(&now, &parts);
    for (int value : {parts.tm_sec, parts.tm_min, parts.tm_hour, parts.tm_mday, parts.tm_mon + 1,
                      parts.tm_year + 1900})
        push(value);
}

void ForthProcessor::wordTimeDate() { timeDate("TIME&DATE", false); }

void ForthProcessor::wordUtcTimeDate() { timeDate("UTCTIME&DATE", true); }

void ForthProcessor::wordAccept() {
    needCells(2, "ACCEPT");
    roomCells(2, "ACCEPT");
    Cell room = under(0) > 0 ? under(0) : 0;
    u8* buffer = bytesAt(under(1), room, "ACCEPT");
    std::string line;
    Cell copied = 0;
    if (std::getline(std::cin, line)) {
        copied = static_cast<Cell>(line.size()) < room ? static_cast<Cell>(line.size()) : room;
        std::memcpy(buffer, line.data(), static_cast<size_t>(copied));
    }
    sp -= 1;
    top() = copied;
}

}  // namespace VekLanguage
