// Static documents: the document directory of a request's host, path
// normalisation, opening a document (ranges, directory index), the index.ttm
// fallback and the dollar filter.
//
// Rules that keep requests inside their directory:
//  1. Percent escapes are decoded before the dot and slash rules run, so an
//     encoded "../" is dropped like a plain one.
//  2. A decoded NUL byte, a "~" path that would be absolute, a ".." segment
//     left over, or a path that does not fit its 256 bytes is answered like
//     a missing file.
//  3. A file whose name ends in ".ttm" is never sent as it is: it runs as a
//     page, however the request spelled its path.
//  4. A "~" path never serves the server's own files: the configuration
//     file, the log files, and the files of bases and their journals are
//     answered like a missing file. The check looks at the path as it is
//     opened, whatever slashes (or "%2f") the request put behind it.
//  5. A path that names a regular file followed by "/" is a missing file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <strings.h>

#include "HttpRequest.h"
#include "HttpResponse.h"
#include "HttpTemplate.h"
#include "ServerConfig.h"
#include "kernel/VEKLog.h"
#include "kernel/VekFile.h"
#include "kernel/VekUtil.h"

using VekKernel::vekLog;

namespace {

// True when both paths name the same existing file or directory.
bool sameFile(const std::string& a, const std::string& b)
{
    struct stat first, second;
    return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

std::string directoryOf(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

std::string baseNameOf(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A log file: its directory is the log prefix's and its name starts with
// the prefix's last part.
bool isLogFile(const std::string& path)
{
    const std::string prefix = vekLog.prefix();
    if (prefix.empty()) return false;
    return baseNameOf(path).compare(0, baseNameOf(prefix).size(), baseNameOf(prefix)) == 0 &&
           sameFile(directoryOf(path), directoryOf(prefix));
}

// A base keeps two files, its name followed by "1" (written) and "2"
// (committed), and journals the first into name + "1.sw" (".swt" once
// committed). A file is taken for a base file when its partner file exists
// beside it, open or not.
bool isBaseFile(const std::string& path)
{
    std::string name = path;
    for (const std::string journal : {".swt", ".sw"})
        if (name.size() > journal.size() && name.compare(name.size() - journal.size(), journal.size(), journal) == 0)
            name.resize(name.size() - journal.size());
    if (name.size() < 2 || (name.back() != '1' && name.back() != '2')) return false;
    std::string partner = name;
    partner.back() = name.back() == '1' ? '2' : '1';
    struct stat status;
    return stat(partner.c_str(), &status) == 0;
}

// The server's own files, which a "~" path never hands out.
bool isServerFile(const std::string& path)
{
    return sameFile(path, CONFIG_FILE) || isLogFile(path) || isBaseFile(path);
}

// The source up to its '?', with "%XX" and '+' decoded. A file name may end
// in '%' (the request line keeps it as sent), so a torn escape is kept.
std::string decodeSource(const char* source)
{
    return percent_decode(source, std::strcspn(source, "?"), CutPercent::Kept);
}

// Appends the decoded path with the slash and dot rules: one '/' per run,
// "../" after a '/' dropped, a run of dots written as one.
void appendWithRules(std::string& text, const std::string& decoded)
{
    size_t i = 0;
    while (i < decoded.size()) {
        char c = decoded[i];
        bool afterSlash = text.empty() || text.back() == '/';
        if (c == '/') {
            if (!afterSlash) text += '/';
            ++i;
        } else if (c == '.' && afterSlash && decoded.compare(i, 3, "../") == 0) {
            i += 3;
        } else if (c == '.') {
            text += '.';
            while (i < decoded.size() && decoded[i] == '.') ++i;
        } else {
            text += c;
            ++i;
        }
    }
}

bool hasParentSegment(const std::string& text)
{
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('/', start);
        if (end == std::string::npos) end = text.size();
        if (text.compare(start, end - start, "..") == 0) return true;
        start = end + 1;
    }
    return false;
}

const char* extensionOf(const char* text)
{
    const char* slash = std::strrchr(text, '/');
    const char* dot = std::strrchr(slash ? slash : text, '.');
    return dot ? dot + 1 : nullptr;
}

// The output area behind a request header that nearly fills the buffer is
// shorter than a response header. The request's own header is not needed
// any more once its document is chosen (the file's bytes overwrite it
// anyway), so the answer's header then goes to the start of the buffer.
void makeRoomForHeader(HttpConnection* conn)
{
    if (conn->out && conn->outCapacity >= HTTP_HEADER_AREA) return;
    conn->out = conn->ioBuffer;
    conn->outCapacity = HTTP_IO_BUFFER;
}

// Writes the header for the opened document into the slot's output area.
void prepareDocumentHeader(HttpServer* server, HttpConnection* conn, time_t modified)
{
    makeRoomForHeader(conn);
    char area[HTTP_HEADER_AREA];
    int length = http_build_header(server, conn, modified, area);
    std::memcpy(conn->out, area, static_cast<size_t>(length) + 1);
    conn->outPending = conn->headerBytes = length;
    conn->sentBytes = 0;
    server->filesServed++;
}

// A directory without an index file, with the directory fallback on: an
// empty answer for "dir/", a relative redirect to "dir/" otherwise.
int answerDirectory(HttpServer* server, HttpConnection* conn, const PathJob& job)
{
    conn->fileDescriptor = 0;
    conn->flags |= HTTP_FROM_BUFFER;
    makeRoomForHeader(conn);
    if (!job.trailingSlash) {
        const char* slash = std::strrchr(job.text, '/');
        std::string location = std::string(slash ? slash + 1 : job.text) + "/";
        std::strncpy(conn->out, location.c_str(), 255);
        conn->out[255] = '\0';
        conn->status = 301;
        conn->flags |= HTTP_CLOSE_AFTER;
    }
    char area[HTTP_HEADER_AREA];
    int length = http_build_header(server, conn, 0, area);
    std::memcpy(conn->out, area, static_cast<size_t>(length) + 1);
    conn->outPending = conn->headerBytes = length;
    return 0;
}

// Opens the directory's index.html; -1 when there is none.
int openDirectoryIndex(PathJob* job)
{
    std::string index = std::string(job->text) + "/index.html";
    if (index.size() > sizeof job->text - 1) return -1;
    int fd = VekKernel::fileOpen(index.c_str(), O_RDONLY, 0);
    if (fd < 0) return -1;
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(fd);
        return -1;
    }
    std::strcpy(job->text, index.c_str());
    job->extension = "html";
    return fd;
}

// Sets the body length and position from the requested range. The answer
// runs from the range's start to the end of the file, whatever end the
// range names. A range at or beyond the end, or one whose end precedes its
// start, is answered with the whole file and status 200.
void applyRange(HttpConnection* conn, int64 size)
{
    if (conn->rangeEnd >= 0 && conn->rangeEnd < conn->rangeStart) conn->rangeStart = 0;
    conn->bodyLength = size - conn->rangeStart;
    if (conn->bodyLength <= 0 || conn->rangeStart <= 0) {
        conn->rangeStart = 0;
        conn->bodyLength = size;
        return;
    }
    lseek(conn->fileDescriptor, static_cast<off_t>(conn->rangeStart), SEEK_SET);
    conn->status = 206;
}

// The page that answers a missing document: the host directory's
// index.ttm, else the working directory's; empty when neither exists.
std::string indexPage(const std::string& root)
{
    std::string local = root + "/index.ttm";
    if (VekKernel::fileAccess(local, 0) == 0) return local;
    if (VekKernel::fileAccess("index.ttm", 0) == 0) return "index.ttm";
    return std::string();
}

// A document answers the request: nobody reads a POST body sent with it,
// so the body is freed before the answer goes out, not held (and counted
// against the slots' body total) for as long as a slow client downloads.
int answeredByDocument(HttpServer* server, HttpConnection* conn)
{
    http_release_body(server, conn);
    return 0;
}

}  // namespace

std::string http_document_root(HttpServer* server, HttpConnection* conn)
{
    std::string root = server->documentRoot;
    if (!conn->host || !*conn->host || !server->hostMap) return root;
    std::string host = conn->host;
    size_t end = host.find('\n');
    if (end == std::string::npos) end = host.find('\r');
    if (end != std::string::npos) host.resize(end);
    VekKernel::trim(host, "/");
    auto found = server->hostMap->find(host);
    if (found != server->hostMap->end()) return found->second;
    size_t colon = host.find(':');
    if (colon != std::string::npos) host.resize(colon);
    VekKernel::trim(host, "/");
    found = server->hostMap->find(host);
    return found != server->hostMap->end() ? found->second : root;
}

int http_normalize_path(PathJob* job)
{
    job->extension = nullptr;
    job->trailingSlash = 0;
    job->text[0] = '\0';
    const char* source = job->source ? job->source : "";
    // Only a literal '~' leads to the working directory; an escaped one
    // ("%7E") is an ordinary name under the root.
    bool workingDirectory = source[0] == '~';
    std::string decoded = decodeSource(workingDirectory ? source + 1 : source);
    if (decoded.find('\0') != std::string::npos) return -1;
    std::string text;
    if (workingDirectory) {
        // Served from the working directory, and never from outside it.
        if (!decoded.empty() && decoded[0] == '/') return -1;
    } else {
        text = job->root ? job->root : "";
        if (text.empty() || text.back() != '/') text += '/';
    }
    // The root is the operator's choice and may climb ("-d ../site"); only
    // the part that comes from the request is held inside it.
    size_t rootLength = text.size();
    appendWithRules(text, decoded);
    if (hasParentSegment(text.substr(rootLength))) return -1;
    if (!text.empty() && text.back() == '/') {
        text.pop_back();
        job->trailingSlash = 1;
    }
    // Checked as the path will be opened: after its trailing slash is gone.
    if (workingDirectory && isServerFile(text)) return -1;
    if (text.size() > sizeof job->text - 1) return -1;
    std::memcpy(job->text, text.c_str(), text.size() + 1);
    job->extension = extensionOf(job->text);
    return static_cast<int>(text.size());
}

bool http_is_template_file(const char* path)
{
    size_t length = std::strlen(path);
    return length >= 4 && strcasecmp(path + length - 4, ".ttm") == 0;
}

int http_open_document(HttpServer* server, HttpConnection* conn, const char* root, const char* path)
{
    PathJob job = {root, path, {0}, nullptr, 0};
    struct stat status;
    if (!(conn->flags & HTTP_HANDLER_OPENED)) {
        if (http_normalize_path(&job) < 0 || http_is_template_file(job.text)) return -1;
        if (stat(job.text, &status) != 0) return -1;
        if (S_ISDIR(status.st_mode)) {
            conn->fileDescriptor = openDirectoryIndex(&job);
            if (conn->fileDescriptor < 0) {
                conn->fileDescriptor = 0;
                if (!(server->optionFlags & HTTP_OPT_DIR_FALLBACK)) return -1;
                return answerDirectory(server, conn, job);
            }
        } else if (S_ISREG(status.st_mode) && !job.trailingSlash) {
            conn->fileDescriptor = VekKernel::fileOpen(job.text, O_RDONLY, 0);
            if (conn->fileDescriptor < 0) {
                conn->fileDescriptor = 0;
                return -1;
            }
        } else {
            return -1;
        }
    }
    if (fstat(conn->fileDescriptor, &status) != 0) return -1;
    applyRange(conn, static_cast<int64>(status.st_size));
    if (conn->mimeIndex == 0 && job.extension) conn->mimeIndex = http_mime_type_code(job.extension);
    if (server->dataSourceCallback && (conn->mimeIndex == 1 || conn->mimeIndex == 6))
        conn->flags |= HTTP_DOLLAR_FILTER;
    prepareDocumentHeader(server, conn, status.st_mtime);
    return 0;
}

int http_serve_document(HttpServer* server, HttpConnection* conn)
{
    const char* path = conn->path ? conn->path : "";
    for (HttpAlias* alias = server->aliasTable; alias && alias->prefix; ++alias) {
        size_t length = std::strlen(alias->prefix);
        if (length == 0 || std::strncmp(path, alias->prefix, length) != 0) continue;
        if (http_open_document(server, conn, alias->directory, path + length) == 0)
            return answeredByDocument(server, conn);
        break;
    }
    std::string root = http_document_root(server, conn);
    if (server->documentPath) *server->documentPath = root;
    PathJob job = {root.c_str(), path, {0}, nullptr, 0};
    bool valid = http_normalize_path(&job) >= 0;
    if (valid && http_is_template_file(job.text)) return http_start_template(server, conn, job.text);
    if (valid && http_open_document(server, conn, root.c_str(), path) == 0) return answeredByDocument(server, conn);
    std::string page = indexPage(root);
    if (!page.empty()) return http_start_template(server, conn, page);
    vekLog.system("File " + std::string(path) + " not found\n");
    http_send_404(conn->socket);
    return 1;
}

int http_dollar_filter(HttpDataSourceCallback callback, char* block, int length, int* consumed)
{
    int original = length;
    int at = 0;
    *consumed = original;
    while (at < length - 1) {
        char* open = static_cast<char*>(memmem(block + at, static_cast<size_t>(length - at), "$$", 2));
        if (!open) break;
        int start = static_cast<int>(open - block);
        char* close = static_cast<char*>(memmem(open + 2, static_cast<size_t>(length - start - 2), "$$", 2));
        if (!close) {
            // A cut mark is read again with the next block, unless it fills
            // the whole block and could never complete.
            if (start > 0) {
                *consumed = original - (length - start);
                length = start;
            }
            break;
        }
        int end = static_cast<int>(close - block) + 2;
        int room = end - start;
        *close = '\0';
        HttpDataSourceMark mark = {open + 2, open, room};
        int written = callback(&mark);
        if (written < 0) {
            *close = '$';
            at = end;
            continue;
        }
        if (written > room) written = room;
        std::memmove(block + start + written, block + end, static_cast<size_t>(length - end));
        length -= room - written;
        at = start + written;
    }
    return length;
}
