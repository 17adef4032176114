// Uploads: the upload context's life, the start of an upload body, raw
// uploads, the file writer the start-up installs as upload callback, the
// upload gate and two small header readers. The multipart parser itself
// is in HttpMultipart.cpp.
#include "HttpUpload.h"

#include <fcntl.h>
#include <unistd.h>
#include <sys/socket.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "HttpRequest.h"
#include "HttpResponse.h"
#include "kernel/VEKLog.h"
#include "kernel/VekAlloc.h"
#include "kernel/VekFile.h"

namespace {

// Seconds the upload gate stays open for its address after a part passes.
constexpr int UPLOAD_WINDOW_S = 300;

// Copies at most size - 1 bytes of text (length bytes) into a fixed field.
void copyField(char* field, int size, const char* text, int length)
{
    if (length > size - 1) length = size - 1;
    if (length < 0) length = 0;
    std::memcpy(field, text, static_cast<size_t>(length));
    field[length] = '\0';
}

void closeOpenFile(UploadContext* upload)
{
    if (upload->openFile > 0) VekKernel::fileClose(upload->openFile);
    upload->openFile = 0;
}

// documentRoot/fileName into path (256 bytes); false when it does not fit.
bool uploadPath(const char* documentRoot, const char* fileName, char* path)
{
    int length = std::snprintf(path, 256, "%s/%s", documentRoot, fileName);
    return length >= 0 && length < 256;
}

// Creates documentRoot/fileName for writing; the descriptor, or -1 when the
// name is refused or the file cannot be created. O_EXCL: an upload never
// replaces a file (a page, the index) that is already there; O_NOFOLLOW
// keeps a link planted in the directory from sending the bytes elsewhere.
// A failure other than a refusal or an existing file marks the upload as
// failed.
int createUploadFile(const char* documentRoot, UploadContext* upload)
{
    char path[256];
    if (!http_upload_name_allowed(upload->fileName) || !uploadPath(documentRoot, upload->fileName, path)) return -1;
    int fd = VekKernel::fileOpen(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0400);
    if (fd < 0 && errno != EEXIST) upload->writeFailed = 1;
    return fd;
}

// A file that could not be written whole is removed: no short file stays
// behind to be served as if it were the upload.
void dropShortFile(const char* documentRoot, UploadContext* upload)
{
    closeOpenFile(upload);
    char path[256];
    if (uploadPath(documentRoot, upload->fileName, path)) unlink(path);
    upload->writeFailed = 1;
}

// The header's value pointers lead into the ioBuffer, which the body is
// about to overwrite.
void forgetHeaderValues(HttpConnection* conn)
{
    conn->referer = conn->host = conn->transport = conn->authorization = nullptr;
}

// Multipart: the body bytes behind the header move to the start of the
// ioBuffer behind a "\r\n", so that the first boundary looks like every
// later one ("\r\n--boundary").
int startMultipart(HttpServer* server, HttpConnection* conn)
{
    UploadContext* upload = conn->upload;
    if (upload->refused) {
        conn->flags |= HTTP_CLOSE_AFTER;
        return -1;
    }
    forgetHeaderValues(conn);
    int64 after = conn->outPending - conn->headerLength;
    std::memmove(conn->ioBuffer + 2, conn->ioBuffer + conn->headerLength, static_cast<size_t>(after));
    std::memcpy(conn->ioBuffer, "\r\n", 2);
    upload->buffered = static_cast<int>(after + 2);
    conn->outPending = 0;
    return http_parse_multipart(server, conn, true);
}

// Hands bytes of a raw upload to the callback with the given part state.
int passRawBytes(HttpServer* server, HttpConnection* conn, const char* data, int64 length, u8 state)
{
    UploadContext* upload = conn->upload;
    upload->partState = state;
    int result = server->uploadCallback(server->documentRoot, upload, data, static_cast<int>(length));
    upload->partState = UPLOAD_NO_PART;
    return result;
}

// Bytes beyond an announced Content-Length among the received ones; -1 while
// the announced length has not all come (or none was announced).
int64 beyondAnnouncedLength(const HttpConnection* conn)
{
    if (conn->contentLength <= 0 || conn->bodyReceived < conn->contentLength) return -1;
    return conn->bodyReceived - conn->contentLength;
}

// A raw upload whose announced length has come is complete: its last bytes
// are written (those beyond the length dropped) and the slot is closed, as
// the peer's close would do. A client that waits for the server to close
// (curl does) would otherwise keep the slot until its deadline, and the
// bytes still in the area would never reach the file.
int finishRaw(HttpServer* server, HttpConnection* conn, const char* data, int64 length)
{
    conn->flags |= HTTP_CLOSE_AFTER;
    passRawBytes(server, conn, data, length - beyondAnnouncedLength(conn), UPLOAD_LAST_PIECE);
    return -1;
}

// Raw upload: the bytes behind the header open the file; later receives
// use the whole ioBuffer.
int startRaw(HttpServer* server, HttpConnection* conn)
{
    if (!server->uploadCallback) {
        conn->flags |= HTTP_CLOSE_AFTER;
        return -1;
    }
    forgetHeaderValues(conn);
    int64 after = conn->outPending - conn->headerLength;
    if (beyondAnnouncedLength(conn) >= 0) return finishRaw(server, conn, conn->ioBuffer + conn->headerLength, after);
    if (passRawBytes(server, conn, conn->ioBuffer + conn->headerLength, after, UPLOAD_IN_PART) != 0) {
        conn->flags |= HTTP_CLOSE_AFTER;
        return -1;
    }
    conn->out = conn->ioBuffer;
    conn->outCapacity = HTTP_IO_BUFFER;
    conn->outPending = 0;
    return 0;
}

// The peer closed (or reset) a raw upload. Without an announced length
// the close is its end: the rest is written. With one, the upload was cut
// off before it all came (a complete one has ended already, finishRaw),
// and its short file is removed rather than served as if whole.
int endRawAtClose(HttpServer* server, HttpConnection* conn)
{
    conn->flags |= HTTP_CLOSE_AFTER;
    if (!server->uploadCallback) return -1;
    if (conn->contentLength > 0) {
        VekKernel::vekLog.system("Upload cut off before its announced length, file removed");
        http_upload_discard(server, conn->upload);
        return -1;
    }
    passRawBytes(server, conn, conn->out, conn->outPending, UPLOAD_LAST_PIECE);
    return -1;
}

// One receive of a raw upload. A full area goes to the file; the peer's
// close ends the upload (a raw upload gets no answer).
int receiveRaw(HttpServer* server, HttpConnection* conn)
{
    int64 room = conn->outCapacity - conn->outPending - 1;
    ssize_t got = recv(conn->socket, conn->out + conn->outPending, static_cast<size_t>(room), 0);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
    if (got < 1) return endRawAtClose(server, conn);
    if (!http_upload_within_limit(server, conn, got)) return -1;
    conn->outPending += got;
    if (beyondAnnouncedLength(conn) >= 0) return finishRaw(server, conn, conn->out, conn->outPending);
    if (conn->outPending < conn->outCapacity - 1) return 0;
    int result = passRawBytes(server, conn, conn->out, conn->outPending, UPLOAD_IN_PART);
    conn->outPending = 0;
    if (result != 0) conn->flags |= HTTP_CLOSE_AFTER;
    return result != 0 ? -1 : 0;
}

}  // namespace

UploadContext* http_upload_create(const char* boundary, int boundaryLength, const char* fileName,
                                  int fileNameLength)
{
    UploadContext* upload = static_cast<UploadContext*>(vekCalloc(1, sizeof(UploadContext)));
    if (boundary) {
        // "--", the boundary and its NUL must fit; a longer one is refused
        // whole rather than cut, since a cut boundary would match too early.
        if (boundaryLength <= 0 || boundaryLength + 3 > static_cast<int>(sizeof upload->boundary)) {
            upload->refused = 1;
        } else {
            std::memcpy(upload->boundary, "--", 2);
            copyField(upload->boundary + 2, sizeof upload->boundary - 2, boundary, boundaryLength);
        }
    }
    // A name holding a NUL cannot be kept as the text it is: it would end
    // early ("a\0.txt" stored as "a"). It is kept empty, which refuses the
    // upload as any other control byte in a name does.
    if (fileName && !std::memchr(fileName, '\0', static_cast<size_t>(fileNameLength > 0 ? fileNameLength : 0)))
        copyField(upload->fileName, sizeof upload->fileName, fileName, fileNameLength);
    return upload;
}

void http_upload_release(HttpServer* server, UploadContext** upload)
{
    if (!*upload) return;
    // The callback sees the context one last time so that an open file is closed.
    if (server && server->uploadCallback) server->uploadCallback(server->documentRoot, *upload, nullptr, 0);
    for (int i = 0; i < (*upload)->fieldCount && i < HTTP_UPLOAD_MAX_FIELDS; ++i) {
        if ((*upload)->fields[i][0]) vekFree(&(*upload)->fields[i][0]);
        if ((*upload)->fields[i][1]) vekFree(&(*upload)->fields[i][1]);
    }
    closeOpenFile(*upload);
    vekFree(upload);
}

int http_upload_start_body(HttpServer* server, HttpConnection* conn)
{
    if (conn->upload->boundary[0] || conn->upload->refused) return startMultipart(server, conn);
    return startRaw(server, conn);
}

int http_upload_receive(HttpServer* server, HttpConnection* conn)
{
    if (conn->upload->boundary[0]) return http_parse_multipart(server, conn, false);
    return receiveRaw(server, conn);
}

int http_upload_data(const char* documentRoot, UploadContext* upload, const void* data, int length)
{
    if (!data) {
        closeOpenFile(upload);
        return 0;
    }
    if (upload->openFile == 0) {
        int file = createUploadFile(documentRoot, upload);
        upload->openFile = file > 0 ? file : -1;
    }
    if (upload->openFile < 1) {
        if (upload->partState & UPLOAD_LAST_PIECE) closeOpenFile(upload);
        return -1;
    }
    bool written = length >= 0 && VekKernel::fileWrite(upload->openFile, data, static_cast<u32>(length)) == length;
    if (!written) {
        dropShortFile(documentRoot, upload);
        return -1;
    }
    // The last piece closes the file even after a failure, so the next
    // part starts with a file of its own.
    if (upload->partState & UPLOAD_LAST_PIECE) closeOpenFile(upload);
    std::printf("Received %lu bytes for upload file %s\n", static_cast<unsigned long>(length), upload->fileName);
    return 0;
}

// The connection is closed without an answer: the client is still sending.
bool http_upload_within_limit(HttpServer* server, HttpConnection* conn, int64 got)
{
    conn->bodyReceived += got;
    if (conn->bodyReceived <= HTTP_MAX_BODY) return true;
    VekKernel::vekLog.system("Upload larger than the body limit, refused");
    http_upload_discard(server, conn->upload);
    conn->flags |= HTTP_CLOSE_AFTER;
    return false;
}

void http_upload_discard(HttpServer* server, UploadContext* upload)
{
    if (upload->openFile > 0) dropShortFile(server->documentRoot, upload);
}

bool http_upload_name_allowed(const char* name)
{
    return name && http_upload_name_allowed(name, std::strlen(name));
}

bool http_upload_name_allowed(const char* name, size_t length)
{
    if (length == 0 || http_is_template_file(name)) return false;
    // A control byte (a line break, an escape sequence) would split or
    // rewrite the console line that names the file, and make a file name
    // that shells and listings show wrongly; a NUL would cut the name short.
    for (size_t at = 0; at < length; ++at)
        if (static_cast<unsigned char>(name[at]) < 0x20 || name[at] == 0x7F) return false;
    return !std::strchr(name, '/') && !std::strchr(name, '\\') && !std::strstr(name, "..");
}

bool http_upload_allowed(HttpServer* server, HttpConnection* conn)
{
    if (!(conn->flags & HTTP_UPLOAD_GATE)) return true;
    if (conn->peerAddress == server->uploadAddress) {
        server->uploadWindowEnd = time(nullptr) + UPLOAD_WINDOW_S;
        return true;
    }
    server->refusedUploads++;
    return false;
}

HttpUploadCallback http_set_upload_callback(HttpServer* server, HttpUploadCallback callback)
{
    if (!callback) return nullptr;
    HttpUploadCallback previous = server->uploadCallback;
    server->uploadCallback = callback;
    return previous;
}

const char* http_find_line_marker(const char* buffer, int length, const char* text)
{
    std::string marker = std::string("\r\n") + text;
    if (length <= 0) return nullptr;
    return static_cast<const char*>(memmem(buffer, static_cast<size_t>(length), marker.data(), marker.size()));
}

bool http_scan_upload_header(HttpConnection* conn)
{
    int64 length = conn->headerLength ? conn->headerLength : conn->outPending;
    std::string header(conn->ioBuffer, static_cast<size_t>(length));
    std::string lower = header;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    size_t at = lower.find("content-length:");
    if (at != std::string::npos) conn->contentLength = std::strtoll(header.c_str() + at + 15, nullptr, 10);
    at = lower.find("boundary=");
    if (at == std::string::npos) return false;
    size_t start = at + 9;
    size_t end = header.find_first_of("\r\n", start);
    if (end == std::string::npos) end = header.size();
    if (conn->upload) http_upload_release(nullptr, &conn->upload);
    conn->upload = http_upload_create(header.data() + start, static_cast<int>(end - start), nullptr, 0);
    return true;
}
