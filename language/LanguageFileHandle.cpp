// A template file handle: opens its file stream on construction and closes
// and deletes it on destruction.
#include "LanguageFileHandle.h"

#include "VEKStream.h"

namespace VekLanguage {

LanguageFileHandle::LanguageFileHandle(const std::string& path, int flags, int mode)
    : stream(new VekBase::VEKStreamFile()), path(path) {
    try {
        stream->open(path.c_str(), flags, mode);
    } catch (...) {
        delete stream;  // the handle is never made, so nothing else frees it
        stream = nullptr;
        throw;
    }
}

LanguageFileHandle::~LanguageFileHandle() {
    if (stream == nullptr) return;
    stream->close();
    delete stream;
}

}  // namespace VekLanguage
