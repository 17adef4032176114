// File-handle and file-status words: "oi", "oo", "oa", "cf", "eof", "frs",
// "frc", "fcm", "fps", "getFileTime" and "getFileSize".
//
// A handle is a LanguageFileHandle kept in the processor's openFiles map
// under a name the page chooses. Reads and writes go through the database's
// file stream and so through the file-buffer cache. When a file is deleted
// while a handle still reads it ("oo" or "df" on the same path), the cache
// marks that file's entry dropped and the handle's stream goes on with
// direct reads of the file it opened; it never uses the dropped entry.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>

#include "CommonBool.h"
#include "TTMProcessor.h"
#include "Words.h"
#include "TTMText.h"
#include "VEKStream.h"
#include "VekFile.h"
#include "base/VEKBaseRegistry.h"

namespace VekLanguage {

namespace {

using FileMap = std::map<std::string, std::unique_ptr<LanguageFileHandle>>;

// A handle counted in the process-wide descriptor account from its open to
// its close, wherever it is closed: "cf", a handle replaced under its name,
// or the end of the run that holds it.
class CountedFileHandle : public LanguageFileHandle {
public:
    CountedFileHandle(const std::string& path, int flags, int mode) : LanguageFileHandle(path, flags, mode) {
        VekBase::VEKBaseRegistry::holdDescriptors(1);
    }
    ~CountedFileHandle() override { VekBase::VEKBaseRegistry::holdDescriptors(-1); }
};

// How an open word opens its file.
struct OpenMode {
    const char* word;  // the word's name, for the refusal
    int flags;         // open(2) flags
    int mode;          // permission bits of a created file
    bool writes;       // needs the "-write" switch
    bool truncates;    // deletes the file first
};

const OpenMode InputMode{"oi", O_RDONLY, 0400, false, false};
const OpenMode OutputMode{"oo", O_RDWR | O_CREAT | O_TRUNC, 0600, true, true};
const OpenMode AppendMode{"oa", O_RDWR | O_APPEND, 0600, true, false};

// The handle of that name; null (and a message) when there is none.
LanguageFileHandle* handleOrReport(TTMProcessor& p, const std::string& name) {
    auto it = p.openFiles.find(name);
    if (it != p.openFiles.end()) return it->second.get();
    // The name is page text: printed, it counts against the run's limit.
    p.printPageText("Invalid file handle \"" + std::string(name.c_str()) + "\"");
    return nullptr;
}

// True when path is a regular file, or is missing and the mode creates it.
// A pipe, socket or device is refused before anything is done with it
// (stat opens nothing): reading one may never end, and "oo" would otherwise
// delete it first.
bool opensRegular(const std::string& path, const OpenMode& how) {
    struct stat info;
    if (::stat(path.c_str(), &info) == 0) return S_ISREG(info.st_mode);
    return (how.flags & O_CREAT) && errno == ENOENT;
}

// Opens a handle as the mode says and enters it under its name; the empty
// text, or the failure text (argument 3) when it is refused or fails.
std::string openHandle(TTMProcessor& processor, Function* call, const OpenMode& how) {
    FileMap& files = processor.openFiles;
    const std::string name = safeArg1(call);
    const std::string path = safeArg2(call);
    const std::string failure = safeArg3(call);
    if (how.writes && !allowWriteCommands) {
        std::printf("Command: \"%s\" not allowed! Set command line option \"-write\" to allow it.\n", how.word);
        return failure;
    }
    if (processor.refusesPath(path) || !opensRegular(path, how)) return failure;
    // Client text holds a bounded number of descriptors; replacing one of
    // its handles is always allowed.
    if (processor.clientText && files.count(name) == 0 && files.size() >= TTMProcessor::MaxOpenFiles) return failure;
    // Nor does any run open one into the descriptors kept for connections;
    // a handle that replaces one of the same name holds none more.
    if (files.count(name) == 0 && !VekBase::VEKBaseRegistry::descriptorRoom(1)) return failure;
    try {
        // Removing the file also drops its cache entry; any stream still
        // reading the old file then stops using that entry.
        if (how.truncates) VekBase::VEKStreamFile::removeFile(path);
        std::unique_ptr<LanguageFileHandle> handle(new CountedFileHandle(path, how.flags, how.mode));
        files[name] = std::move(handle);  // an older handle of that name is closed first
    } catch (const std::exception&) {
        return failure;
    }
    return std::string();
}

std::string openInput(TTMProcessor& p, Function* call) { return openHandle(p, call, InputMode); }

std::string openOutput(TTMProcessor& p, Function* call) { return openHandle(p, call, OutputMode); }

std::string openAppend(TTMProcessor& p, Function* call) { return openHandle(p, call, AppendMode); }

std::string closeFile(TTMProcessor& p, Function* call) {
    const std::string name = safeArg1(call);
    if (handleOrReport(p, name) == nullptr) return std::string();
    auto it = p.openFiles.find(name);
    p.openFiles.erase(it);  // closes and deletes its stream
    return std::string();
}

std::string fileEof(TTMProcessor& p, Function* call) {
    auto it = p.openFiles.find(safeArg1(call));
    if (it == p.openFiles.end()) return VekNames::False;
    return it->second->stream->eof() ? VekNames::True : VekNames::False;
}

std::string fileReadString(TTMProcessor& p, Function* call) {
    LanguageFileHandle* handle = handleOrReport(p, safeArg1(call));
    if (handle == nullptr) return std::string();
    std::string text;
    char c;
    // Reading past the end throws (the call fails); pages test "eof" first
    // or end each string with the mark. A string longer than the text limit
    // fails the call too.
    while (handle->stream->zread(&c, 1) == 1 && c != handle->charMark) {
        text += c;
        if (text.size() > p.maxTextBytes) throw TTMError("Text too long");
    }
    return text;
}

std::string fileReadChar(TTMProcessor& p, Function* call) {
    LanguageFileHandle* handle = handleOrReport(p, safeArg1(call));
    if (handle == nullptr) return std::string();
    char c = '\0';
    if (handle->stream->zread(&c, 1) != 1 || c == '\0') return std::string();
    return std::string(1, c);
}

std::string fileCharMark(TTMProcessor& p, Function* call) {
    LanguageFileHandle* handle = handleOrReport(p, safeArg1(call));
    if (handle == nullptr) return std::string();
    const std::string mark = safeArg2(call);
    handle->charMark = mark.empty() ? '\0' : mark[0];
    return std::string();
}

std::string filePutString(TTMProcessor& p, Function* call) {
    LanguageFileHandle* handle = handleOrReport(p, safeArg1(call));
    if (handle == nullptr) return std::string();
    const std::string text = safeArg2(call);
    handle->stream->zwrite(text.data(), static_cast<int64>(text.size()));
    return std::string();
}

std::string getFileTime(TTMProcessor& p, Function* call) {
    const std::string path = safeArg1(call);
    long long seconds = p.refusesPath(path) ? 0 : static_cast<long long>(VekKernel::get_file_mtime(path));
    return formatWord("%lld", seconds * 1000);
}

std::string getFileSize(TTMProcessor& p, Function* call) {
    const std::string path = safeArg1(call);
    return formatWord("%lld", p.refusesPath(path) ? 0LL : static_cast<long long>(VekKernel::get_file_size(path)));
}

}  // namespace

// The words of this file, for the processor's word table.
const WordTable& fileWords() {
    static const WordTable table = {
        {"oi", openInput},
        {"oo", openOutput},
        {"oa", openAppend},
        {"cf", closeFile},
        {"eof", fileEof},
        {"frs", fileReadString},
        {"frc", fileReadChar},
        {"fcm", fileCharMark},
        {"fps", filePutString},
        {"getFileTime", getFileTime},
        {"getFileSize", getFileSize},
    };
    return table;
}

}  // namespace VekLanguage
