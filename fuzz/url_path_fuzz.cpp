// Fuzz target: URL decoding and request-path normalisation. The first byte
// picks a document directory, the rest (up to a NUL) is the request path.
// A path that is accepted must stay under the document directory (or, for
// a "~" path, under the working directory) with no ".." segment, and the
// decoders must never lengthen their text.
#include <cstdlib>
#include <cstring>

#include "FuzzSupport.h"
#include "http/HttpRequest.h"
#include "http/HttpResponse.h"
#include "kernel/VekFile.h"

namespace {

bool hasParentSegment(const std::string& text)
{
    for (size_t start = 0; start <= text.size();) {
        size_t end = text.find('/', start);
        if (end == std::string::npos) end = text.size();
        if (text.compare(start, end - start, "..") == 0) return true;
        start = end + 1;
    }
    return false;
}

void checkNormalised(const char* root, const std::string& source)
{
    PathJob job = {root, source.c_str(), {0}, nullptr, 0};
    int length = http_normalize_path(&job);
    if (length < 0) return;
    std::string text = job.text;
    if (static_cast<size_t>(length) != text.size()) std::abort();
    if (source[0] == '~') {
        if (!text.empty() && text[0] == '/') std::abort();
        if (hasParentSegment(text)) std::abort();
        return;
    }
    std::string base = root;
    while (!base.empty() && base.back() == '/') base.pop_back();
    if (text != base && text.compare(0, base.size() + 1, base + "/") != 0) std::abort();
    if (hasParentSegment(text.substr(base.size()))) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const char* const roots[] = {"www", "www/", "/srv/www", "../site", "/"};
    VekFuzz::Bytes in(data, size);
    const char* root = roots[in.byte() % 5];
    std::string source = in.until(0);
    checkNormalised(root, source);

    std::string decoded = url_decode(source);
    if (decoded.size() > source.size()) std::abort();
    std::string inPlace = source;
    url_decode_in_place(&inPlace[0]);
    if (std::strlen(inPlace.c_str()) > source.size()) std::abort();
    VekKernel::isPagePath(decoded);
    return 0;
}
