// A named file handle of the template file words: an owned file stream, the
// path it was opened with and the end mark that "frs" reads up to.
#pragma once
#include <string>

namespace VekBase {
class VEKStreamFile;
}

namespace VekLanguage {

class LanguageFileHandle {
public:
    LanguageFileHandle() = default;
    // Opens path with flags and mode; the stream's error leaves the
    // constructor when the file cannot be opened (no handle is made).
    LanguageFileHandle(const std::string& path, int flags, int mode);
    virtual ~LanguageFileHandle();
    LanguageFileHandle(const LanguageFileHandle&) = delete;
    LanguageFileHandle& operator=(const LanguageFileHandle&) = delete;

    VekBase::VEKStreamFile* stream = nullptr;  // owned; closed and deleted with the handle
    std::string path;                           // the path it was opened with
    char charMark = '\'';                       // end mark of "frs"
};

}  // namespace VekLanguage
