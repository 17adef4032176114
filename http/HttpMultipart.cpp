// The multipart/form-data parser of uploads. The body streams through the
// slot's 128 KiB ioBuffer: `buffered` bytes wait at its start, and every
// step consumes what it can from the front.
//
// Between parts the buffer is searched for the delimiter "\r\n--boundary"
// (the start of the body got a "\r\n" in front, so the first boundary looks
// the same). A part header names a field, whose value (everything up to the
// next delimiter) is stored in the context, or a file, whose bytes go to
// the upload callback: 65536 at a time while the buffer is full and the
// delimiter has not arrived, then the rest as the part's last piece, which
// closes the file. A part that is refused (bad file name, upload gate, no
// Content-Disposition, a file that cannot be written) is read and dropped,
// so the body is always consumed to its end before the request is answered.
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "HttpResponse.h"
#include "HttpUpload.h"
#include "kernel/VekAlloc.h"

namespace {

// Result of one parsing step besides 0 (wait), 1 (complete) and -1 (fail).
constexpr int STEP_AGAIN = 2;

const char DISPOSITION[] = "Content-Disposition: form-data; name=";

// What a part header says.
struct PartHeader {
    bool valid = false;    // it has a form-data Content-Disposition with a name
    bool isFile = false;   // it carries "filename="
    std::string name;      // the field name
    std::string fileName;  // the file name of a file part
};

// Text of a parameter value: between quotes, or up to ';' or the line end.
// Returns the position after the value, or npos when a quote is not closed.
size_t readValue(const std::string& header, size_t at, std::string* value)
{
    if (at < header.size() && header[at] == '"') {
        size_t close = header.find('"', at + 1);
        if (close == std::string::npos) return std::string::npos;
        *value = header.substr(at + 1, close - at - 1);
        return close + 1;
    }
    size_t end = header.find_first_of(";\r\n", at);
    if (end == std::string::npos) end = header.size();
    *value = header.substr(at, end - at);
    return end;
}

PartHeader parsePartHeader(const std::string& header)
{
    PartHeader part;
    const char* found = str_find_nocase(header.c_str(), DISPOSITION);
    if (!found) return part;
    size_t after = readValue(header, static_cast<size_t>(found - header.c_str()) + sizeof DISPOSITION - 1, &part.name);
    if (after == std::string::npos) return part;
    const char* file = str_find_nocase(header.c_str() + after, "filename=");
    if (file) {
        part.isFile = true;
        size_t at = static_cast<size_t>(file - header.c_str()) + 9;
        if (readValue(header, at, &part.fileName) == std::string::npos) return part;
    }
    part.valid = true;
    return part;
}

// A copy of text in a zeroed block one byte longer than the text.
char* copyText(const std::string& text)
{
    char* copy = static_cast<char*>(vekCalloc(1, static_cast<u32>(text.size() + 1)));
    std::memcpy(copy, text.data(), text.size());
    return copy;
}

// Stores a name and value pair; false when the context is full.
bool storePair(UploadContext* upload, const std::string& name, const std::string& value)
{
    if (upload->fieldCount >= HTTP_UPLOAD_MAX_FIELDS) return false;
    upload->fields[upload->fieldCount][0] = copyText(name);
    upload->fields[upload->fieldCount][1] = copyText(value);
    upload->fieldCount++;
    return true;
}

// Offset of the next delimiter within length bytes at data, or -1.
int findDelimiter(const UploadContext* upload, const char* data, int length)
{
    const char* at = http_find_line_marker(data, length, upload->boundary);
    return at ? static_cast<int>(at - data) : -1;
}

// Drops the first count buffered bytes.
void consume(UploadContext* upload, char* data, int count)
{
    std::memmove(data, data + count, static_cast<size_t>(upload->buffered - count));
    upload->buffered -= count;
}

// Hands a piece of the current file part to the callback; a failure turns
// the rest of the part into dropped bytes.
void writePiece(HttpServer* server, UploadContext* upload, const char* data, int length, u8 state)
{
    if (upload->discarding) return;
    upload->partState = state;
    if (server->uploadCallback(server->documentRoot, upload, data, length) != 0) upload->discarding = 1;
}

// The bytes of a file part (or a dropped part) in progress.
int continuePart(HttpServer* server, UploadContext* upload, char* data)
{
    int at = findDelimiter(upload, data, upload->buffered);
    if (at < 0) {
        if (upload->buffered < HTTP_IO_BUFFER) return 0;
        // Full and no delimiter: the first half is surely part data. The
        // part stays in progress so that its tail is written later.
        writePiece(server, upload, data, HTTP_UPLOAD_PIECE, UPLOAD_IN_PART);
        consume(upload, data, HTTP_UPLOAD_PIECE);
        return 0;
    }
    writePiece(server, upload, data, at, UPLOAD_LAST_PIECE);
    upload->partState = UPLOAD_NO_PART;
    upload->discarding = 0;
    consume(upload, data, at);
    return STEP_AGAIN;
}

void beginPart(UploadContext* upload, char* data, int bodyStart, bool dropped)
{
    consume(upload, data, bodyStart);
    upload->partState = UPLOAD_IN_PART;
    upload->discarding = dropped ? 1 : 0;
}

// A file part header: the file's bytes start behind it.
int startFilePart(HttpServer* server, HttpConnection* conn, const PartHeader& part, char* data, int bodyStart)
{
    UploadContext* upload = conn->upload;
    bool usable = http_upload_name_allowed(part.fileName.c_str(), part.fileName.size()) && http_upload_allowed(server, conn);
    if (usable) {
        if (!storePair(upload, part.name, part.fileName)) return -1;
        std::snprintf(upload->fileName, sizeof upload->fileName, "%s", part.fileName.c_str());
    }
    beginPart(upload, data, bodyStart, !usable);
    return STEP_AGAIN;
}

// A field part: its value is everything up to the next delimiter.
int readField(HttpServer* server, HttpConnection* conn, const PartHeader& part, char* data, int bodyStart)
{
    UploadContext* upload = conn->upload;
    int end = findDelimiter(upload, data + bodyStart, upload->buffered - bodyStart);
    if (end < 0) return upload->buffered >= HTTP_IO_BUFFER ? -1 : 0;
    if (http_upload_allowed(server, conn) &&
        !storePair(upload, part.name, std::string(data + bodyStart, static_cast<size_t>(end))))
        return -1;
    consume(upload, data, bodyStart + end);
    return STEP_AGAIN;
}

// Between parts: find the next delimiter and read the part header behind it.
int startPart(HttpServer* server, HttpConnection* conn, char* data)
{
    UploadContext* upload = conn->upload;
    int delimiterLength = 2 + static_cast<int>(std::strlen(upload->boundary));
    int at = findDelimiter(upload, data, upload->buffered);
    if (at < 0) {
        // Text before a delimiter is dropped; only a tail that may begin
        // one is kept.
        if (upload->buffered > delimiterLength) consume(upload, data, upload->buffered - delimiterLength);
        return 0;
    }
    consume(upload, data, at);
    if (upload->buffered < delimiterLength + 2) return 0;
    if (data[delimiterLength] == '-' && data[delimiterLength + 1] == '-') return 1;
    const char* headerEnd = static_cast<const char*>(
        memmem(data + delimiterLength, static_cast<size_t>(upload->buffered - delimiterLength), "\r\n\r\n", 4));
    if (!headerEnd) return upload->buffered >= HTTP_IO_BUFFER ? -1 : 0;
    PartHeader part = parsePartHeader(std::string(static_cast<const char*>(data + delimiterLength), headerEnd));
    int bodyStart = static_cast<int>(headerEnd - data) + 4;
    if (!part.valid) {
        beginPart(upload, data, bodyStart, true);
        return STEP_AGAIN;
    }
    if (part.isFile) return startFilePart(server, conn, part, data, bodyStart);
    return readField(server, conn, part, data, bodyStart);
}

// Receives behind the buffered bytes: 0 received (or nothing yet), 1 the
// peer closed (the body ends), -1 failure.
int receiveMore(HttpServer* server, HttpConnection* conn)
{
    UploadContext* upload = conn->upload;
    int room = HTTP_IO_BUFFER - upload->buffered;
    if (room <= 0) return 0;
    ssize_t got = recv(conn->socket, conn->ioBuffer + upload->buffered, static_cast<size_t>(room), 0);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
    if (got == 0) {
        // A body cut off inside a file part is answered as before, but the
        // part's short file is removed: it is not the file the client sent,
        // and left there it would refuse the client's next try (no upload
        // replaces a file).
        if (upload->partState == UPLOAD_IN_PART && upload->openFile > 0) {
            u8 failedBefore = upload->writeFailed;
            http_upload_discard(server, upload);
            upload->writeFailed = failedBefore;
        }
        return 1;
    }
    if (got < 0) return -1;
    if (!http_upload_within_limit(server, conn, got)) return -1;
    upload->buffered += static_cast<int>(got);
    conn->deadline = time(nullptr) + server->idleTimeout;
    return 0;
}

}  // namespace

int http_parse_multipart(HttpServer* server, HttpConnection* conn, bool haveData)
{
    UploadContext* upload = conn->upload;
    if (!upload || upload->refused || !upload->boundary[0] || !server->uploadCallback) {
        conn->flags |= HTTP_CLOSE_AFTER;
        return -1;
    }
    if (!haveData) {
        int received = receiveMore(server, conn);
        if (received != 0) return received;
    }
    int step = STEP_AGAIN;
    while (step == STEP_AGAIN) {
        if (upload->partState == UPLOAD_IN_PART) step = continuePart(server, upload, conn->ioBuffer);
        else step = startPart(server, conn, conn->ioBuffer);
    }
    if (step < 0) conn->flags |= HTTP_CLOSE_AFTER;
    return step;
}
