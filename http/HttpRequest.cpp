// Request parsing: one receive step of a client slot. It collects a raw
// template request or an HTTP/RTSP header (possibly over several receives),
// then the POST body, fills the slot's request fields, applies the refusals
// and hands the request to a template run, a static document or a handler.
#include "HttpRequest.h"

#include <sys/socket.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <strings.h>

#include "HttpHandlers.h"
#include "HttpResponse.h"
#include "HttpTemplate.h"
#include "HttpUpload.h"
#include "kernel/VEKLog.h"
#include "kernel/VekAlloc.h"
#include "tls/src/base64.h"

using VekKernel::vekLog;

namespace {

constexpr int MAX_FIELD_TEXT = 255;
// First size of a body block beyond the bytes that came with the header.
constexpr int64 BODY_FIRST_BLOCK = 65536;
static_assert(BODY_FIRST_BLOCK <= HTTP_BODY_OWN_ROOM, "a first store is the slot's own room");

// End of the line that starts at text: its '\r', '\n' or the end.
const char* lineEnd(const char* text, const char* end)
{
    while (text < end && *text != '\r' && *text != '\n') ++text;
    return text;
}

// Reads a decimal number of at most MAX_FIELD_TEXT digits; -1 when the text
// is not a number or the value cannot be held.
int64 parseLength(const char* text, const char* end)
{
    while (text < end && *text == ' ') ++text;
    const char* digits = text;
    int64 value = 0;
    while (text < end && *text >= '0' && *text <= '9') {
        if (text - digits >= MAX_FIELD_TEXT || value > (INT64_MAX - 9) / 10) return -1;
        value = value * 10 + (*text++ - '0');
    }
    while (text < end && *text == ' ') ++text;
    return (text == digits || text != end) ? -1 : value;
}

// Leading decimal number (strtol style: 0 when there is none).
int64 leadingNumber(const char* text, const char* end)
{
    int64 value = 0;
    for (int count = 0; text < end && *text >= '0' && *text <= '9' && count < 18; ++text, ++count)
        value = value * 10 + (*text - '0');
    return value;
}

void parseForwardedFor(HttpConnection* conn, const char* text, const char* end)
{
    for (int octet = 0; octet < 4 && text < end; ++octet) {
        if (*text < '0' || *text > '9') break;
        u32 number = static_cast<u32>(leadingNumber(text, end)) & 0xFF;
        int shift = 24 - 8 * octet;
        conn->peerAddress = (conn->peerAddress & ~(0xFFu << shift)) | (number << shift);
        while (text < end && *text >= '0' && *text <= '9') ++text;
        if (text >= end || *text != '.') break;
        ++text;
    }
}

// "START-END" of a byte range: the start as a leading number (0 when there
// is none), the end when digits follow the '-'.
void parseRange(HttpConnection* conn, const char* text, const char* end)
{
    conn->rangeStart = leadingNumber(text, end);
    conn->rangeEnd = -1;
    while (text < end && *text >= '0' && *text <= '9') ++text;
    if (text + 1 < end && *text == '-' && text[1] >= '0' && text[1] <= '9') conn->rangeEnd = leadingNumber(text + 1, end);
}

void parseContentType(HttpConnection* conn, const char* value, const char* end)
{
    const char* text = value;
    if (conn->upload) http_upload_release(nullptr, &conn->upload);
    if (match_prefix_nocase(&text, "multipart/form-data; boundary=")) {
        conn->upload = http_upload_create(text, static_cast<int>(end - text), nullptr, 0);
        conn->flags |= HTTP_MULTIPART;
        return;
    }
    std::string line(value, end);
    size_t at = line.find("; filename=");
    if (at == std::string::npos) return;
    const char* name = value + at + 11;
    conn->upload = http_upload_create(nullptr, 0, name, static_cast<int>(end - name));
}

// Matches one header line against the known names, in their order.
int parseHeaderLine(HttpConnection* conn, const char* line, const char* end)
{
    const char* text = line;
    const char* eol = lineEnd(line, end);
    if (match_prefix_nocase(&text, "Connection: ")) {
        if (match_prefix_nocase(&text, "close")) conn->flags |= HTTP_CLOSE_AFTER;
        else if (match_prefix_nocase(&text, "Keep-Alive")) conn->flags &= ~HTTP_CLOSE_AFTER;
    } else if (match_prefix_nocase(&text, "Content-Length: ")) {
        conn->contentLength = parseLength(text, eol);
    } else if (match_prefix_nocase(&text, "Content-Type: ")) {
        parseContentType(conn, text, eol);
    } else if (match_prefix_nocase(&text, "CSeq: ")) {
        conn->cseq = static_cast<int>(leadingNumber(text, eol));
    } else if (match_prefix_nocase(&text, "Referer: ")) {
        conn->referer = text;
    } else if (match_prefix_nocase(&text, "Range: bytes=")) {
        parseRange(conn, text, eol);
    } else if (match_prefix_nocase(&text, "Host: ")) {
        conn->host = text;
    } else if (match_prefix_nocase(&text, "Transport: ")) {
        conn->transport = text;
    } else if (match_prefix_nocase(&text, "Authorization: ")) {
        conn->authorization = text;
    } else if (match_prefix_nocase(&text, "X-Forwarded-For: ")) {
        parseForwardedFor(conn, text, eol);
    }
    return 0;
}

// Copies the request path that starts at offset into a fresh block; -1 when
// it is too long.
int copyPath(HttpConnection* conn, int offset)
{
    const char* start = conn->ioBuffer + offset;
    const char* end = conn->ioBuffer + conn->headerLength;
    const char* text = start < end ? start : end;
    while (text < end && *text != '\r') {
        if (*text == ' ' && (std::strncmp(text + 1, "HTTP/", 5) == 0 || std::strncmp(text + 1, "RTSP/", 5) == 0))
            break;
        ++text;
    }
    int64 length = start < end ? text - start : 0;
    if (length >= HTTP_MAX_PATH) return -1;
    conn->path = static_cast<char*>(vekMalloc(static_cast<u32>(length + 1)));
    std::memcpy(conn->path, start, static_cast<size_t>(length));
    conn->path[length] = '\0';
    return 0;
}

// Counts a store of held bytes that the slot's body (or raw text) is about
// to hold: beyond the slot's own room, against the total of all slots.
// False (and a log line) when the total cannot take it; the slot's count
// is then unchanged.
bool chargeHeld(HttpServer* server, HttpConnection* conn, int64 held)
{
    int64 charge = held > HTTP_BODY_OWN_ROOM ? held - HTTP_BODY_OWN_ROOM : 0;
    if (server->heldBodies - conn->bodyCharge + charge > HTTP_MAX_HELD_BODIES) {
        vekLog.system("Request bodies use the memory allowed, request refused");
        return false;
    }
    server->heldBodies += charge - conn->bodyCharge;
    conn->bodyCharge = charge;
    return true;
}

void dropCharge(HttpServer* server, HttpConnection* conn)
{
    server->heldBodies -= conn->bodyCharge;
    conn->bodyCharge = 0;
}

// The next size of a store of capacity bytes that must take needed bytes,
// at most most: an eighth more (at least BODY_FIRST_BLOCK more), so that a
// store holds little beyond what has arrived, yet grows in few steps. A
// store below the first block (a fresh string's few bytes) grows to it,
// all of it the slot's own room.
int64 grownSize(int64 capacity, int64 needed, int64 most)
{
    int64 step = capacity / 8 > BODY_FIRST_BLOCK ? capacity / 8 : BODY_FIRST_BLOCK;
    int64 size = capacity < BODY_FIRST_BLOCK ? BODY_FIRST_BLOCK : capacity + step;
    if (size < needed) size = needed;
    return size < most ? size : most;
}

// Makes room in the raw text store for length more bytes. It grows as a
// body block does: a string left to itself would double its capacity.
bool roomForRawText(HttpServer* server, HttpConnection* conn, int64 length)
{
    std::string& text = *conn->rawText;
    int64 needed = static_cast<int64>(text.size()) + length;
    if (needed <= static_cast<int64>(text.capacity())) return true;
    int64 size = grownSize(static_cast<int64>(text.capacity()), needed, HTTP_MAX_BODY);
    if (!chargeHeld(server, conn, size)) return false;
    std::string grown;
    grown.reserve(static_cast<size_t>(size));
    grown.append(text);
    text.swap(grown);
    return true;
}

// Appends received raw template text; the NUL byte ends the request.
int collectRawText(HttpServer* server, HttpConnection* conn)
{
    bool ended = conn->out[conn->outPending - 1] == '\0';
    int64 length = conn->outPending - (ended ? 1 : 0);
    if (static_cast<int64>(conn->rawText->size()) + length > HTTP_MAX_BODY) return -1;
    if (!roomForRawText(server, conn, length)) return -1;
    conn->rawText->append(conn->out, static_cast<size_t>(length));
    // Each receive lands at the start of the area, so no byte is taken twice.
    conn->outPending = 0;
    if (!ended) {
        conn->flags |= HTTP_RAW_TEXT;
        return 0;
    }
    conn->flags &= ~HTTP_RAW_TEXT;
    return http_start_template(server, conn, std::string());
}

// Finds the header's end and reads the method: 0 to wait, 1 for GET and
// POST (with the path's offset), 2 for any other method.
int readRequestLine(HttpConnection* conn, int* pathOffset)
{
    const char* found = static_cast<const char*>(memmem(conn->ioBuffer, static_cast<size_t>(conn->outPending), "\r\n\r\n", 4));
    if (!found) return 0;
    conn->headerLength = static_cast<int>(found - conn->ioBuffer) + 4;
    // The path starts past the '/' behind the method; an absolute URL
    // ("rtsp://host/stream") has none to skip and keeps its first letter.
    if (std::strncmp(conn->ioBuffer, "GET", 3) == 0) {
        conn->flags |= HTTP_GET;
        *pathOffset = conn->ioBuffer[4] == '/' ? 5 : 4;
    } else if (std::strncmp(conn->ioBuffer, "POST", 4) == 0) {
        conn->flags |= HTTP_POST;
        *pathOffset = conn->ioBuffer[5] == '/' ? 6 : 5;
    } else {
        return 2;
    }
    return 1;
}

// Header checks after parsing: range refusal, per-address limit, body size.
int applyRefusals(HttpServer* server, HttpConnection* conn)
{
    if ((server->optionFlags & HTTP_OPT_NO_RANGES) && conn->rangeStart) {
        http_send_403(conn->socket);
        return -1;
    }
    if (server->maxPerAddress && http_count_address(server, conn->peerAddress) > server->maxPerAddress) {
        vekLog.system("Too many connections from address");
        http_send_403(conn->socket);
        return -1;
    }
    // A length that cannot be held closes the connection instead of
    // allocating; an upload that announces more than the limit is refused
    // before a file is made.
    if (conn->contentLength < 0) return -1;
    if ((conn->flags & HTTP_POST) && conn->contentLength > HTTP_MAX_BODY) return -1;
    return 0;
}

// A method other than GET and POST has no path and runs a template with no
// program: its answer is empty.
int startOtherMethod(HttpServer* server, HttpConnection* conn)
{
    server->requestCount++;
    conn->requestsOnSocket++;
    return http_start_template(server, conn, std::string());
}

// 1 when a GET or POST header is complete, 0 to wait (or after another
// method started its run), negative to close. Every complete header is
// parsed, and so written to the request log, whatever its method.
int completeHeader(HttpServer* server, HttpConnection* conn)
{
    int pathOffset = 0;
    int found = readRequestLine(conn, &pathOffset);
    if (found == 0) return 0;
    if (http_parse_header(conn) != 0) {
        vekLog.system("Error parsing request header");
        conn->flags |= HTTP_CLOSE_AFTER;
        return -1;
    }
    if (applyRefusals(server, conn) != 0) return -1;
    if (found == 2) return startOtherMethod(server, conn);
    return copyPath(conn, pathOffset) != 0 ? -1 : 1;
}

// Moves the bytes after the header into a fresh body block, which becomes
// the receive area. Bytes beyond Content-Length are cut. The block starts
// small and grows with the bytes that arrive (growBody), so a header that
// announces a large body holds little more than what was sent. -1 when the
// block would take the slots past their memory total.
int startBody(HttpServer* server, HttpConnection* conn)
{
    int64 after = conn->outPending - conn->headerLength;
    if (after > conn->contentLength) after = conn->contentLength;
    int64 size = after + BODY_FIRST_BLOCK < conn->contentLength + 1 ? after + BODY_FIRST_BLOCK : conn->contentLength + 1;
    if (!chargeHeld(server, conn, size)) return -1;
    conn->body = static_cast<char*>(vekMalloc(static_cast<u32>(size)));
    std::memcpy(conn->body, conn->ioBuffer + conn->headerLength, static_cast<size_t>(after));
    conn->body[after] = '\0';
    conn->out = conn->body;
    conn->outCapacity = size;
    conn->outPending = after;
    return 0;
}

// Grows a full body block (grownSize), up to Content-Length + 1 bytes; -1
// when the slots' memory total cannot take it.
int growBody(HttpServer* server, HttpConnection* conn)
{
    int64 size = grownSize(conn->outCapacity, conn->outCapacity + 1, conn->contentLength + 1);
    if (!chargeHeld(server, conn, size)) return -1;
    conn->body = static_cast<char*>(vekRealloc(conn->body, static_cast<u32>(size)));
    conn->out = conn->body;
    conn->outCapacity = size;
    return 0;
}

// The non-empty pairs of a urlencoded body, as the template bridge splits
// them.
int64 countParameters(const char* body, int64 length)
{
    int64 pairs = 0;
    for (const char *pair = body, *end = body + length; pair < end;) {
        const char* amp = static_cast<const char*>(std::memchr(pair, '&', static_cast<size_t>(end - pair)));
        const char* stop = amp ? amp : end;
        if (stop > pair) ++pairs;
        pair = stop + 1;
    }
    return pairs;
}

// 1 when the request (with its body) is complete, 0 to wait, -1 to close.
int handleBody(HttpServer* server, HttpConnection* conn)
{
    if (!(conn->flags & HTTP_POST)) return 1;
    if (conn->upload) {
        conn->upload->path = conn->path;
        conn->upload->server = server;
        if ((conn->flags & HTTP_MULTIPART) && !server->uploadCallback) {
            conn->flags |= HTTP_CLOSE_AFTER;
            return -1;
        }
        return http_upload_start_body(server, conn);
    }
    if (!conn->body && startBody(server, conn) != 0) return -1;
    if (conn->outPending < conn->contentLength) return 0;
    if (countParameters(conn->body, conn->contentLength) > HTTP_MAX_PARAMS) {
        vekLog.system("Too many parameters, request refused");
        return -1;
    }
    return 1;
}

int sendAuthorizationRefusal(HttpServer* server, HttpConnection* conn)
{
    int check = http_check_basic_auth(static_cast<HttpAuthEntry*>(server->authTable), conn->path,
                                      conn->authorization);
    if (check != HTTP_AUTH_REQUIRED && check != HTTP_AUTH_FAILED) return 0;
    vekLog.system("Authorization Required");
    http_send_401(server, conn, check);
    conn->flags |= HTTP_CLOSE_AFTER;
    return -1;
}

bool decodedPathIsTemplate(const HttpConnection* conn)
{
    return conn->path && url_decode(conn->path).compare(0, 2, "#[") == 0;
}

// Steps after a complete request: authorisation, handler or document,
// template path, then the first send.
int dispatchRequest(HttpServer* server, HttpConnection* conn)
{
    if (conn->upload && conn->upload->writeFailed) {
        vekLog.system("Upload failed");
        http_send_500(conn->socket);
        conn->flags |= HTTP_CLOSE_AFTER;
        return -1;
    }
    conn->ioBuffer[conn->headerLength] = '\0';
    conn->out = conn->ioBuffer + conn->headerLength;
    conn->outCapacity = HTTP_IO_BUFFER - conn->headerLength;
    conn->outPending = 0;
    server->requestCount++;
    if (server->authTable && sendAuthorizationRefusal(server, conn) != 0) return -1;
    conn->requestsOnSocket++;
    u32 handled = server->handlers ? http_dispatch_handler(server, conn) : 0;
    if (!handled) conn->flags |= HTTP_SERVE_FILE;
    if (decodedPathIsTemplate(conn)) return http_start_template(server, conn, std::string());
    conn->flags = (conn->flags & ~HTTP_READING) | HTTP_WRITING;
    if (conn->httpMinor == 0) conn->flags &= ~HTTP_CHUNKED;
    if (conn->flags & HTTP_BODY_IN_AREA) return http_send_header(server, conn);
    if (conn->flags & HTTP_SERVE_FILE) return http_serve_document(server, conn);
    if (conn->flags & HTTP_REDIRECT) {
        http_send_301(conn, conn->out);
        conn->flags |= HTTP_CLOSE_AFTER;
        return 1;
    }
    vekLog.system("Invalid data flag specified");
    return -1;
}

// Receives into the slot's area; the byte count, or -1 when the peer closed
// or failed, 0 when nothing was there after all.
int64 receiveInto(HttpConnection* conn)
{
    int64 room = conn->outCapacity - conn->outPending - 1;
    if (room <= 0) return -1;
    ssize_t got = recv(conn->socket, conn->out + conn->outPending, static_cast<size_t>(room), 0);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
    return got < 1 ? -1 : got;
}

}  // namespace

bool isHexPair(const char* text)
{
    return std::isxdigit(static_cast<unsigned char>(text[0])) && std::isxdigit(static_cast<unsigned char>(text[1]));
}

char hexByte(const char* text)
{
    char hex[3] = {text[0], text[1], 0};
    return static_cast<char>(std::strtol(hex, nullptr, 16));
}

int http_read_request(HttpServer* server, HttpConnection* conn)
{
    if ((conn->flags & HTTP_POST) && conn->upload && conn->headerLength) {
        int result = http_upload_receive(server, conn);
        if (result <= 0) return result;
        return dispatchRequest(server, conn);
    }
    bool firstBytes = conn->headerLength == 0 && conn->outPending == 0 && conn->out == conn->ioBuffer;
    bool inBody = conn->headerLength != 0;
    if (conn->body && conn->outPending + 1 >= conn->outCapacity && conn->outCapacity <= conn->contentLength &&
        growBody(server, conn) != 0)
        return -1;
    int64 got = receiveInto(conn);
    if (got == 0) return 0;
    if (got < 0) {
        conn->flags |= HTTP_CLOSE_AFTER;
        return -1;
    }
    conn->outPending += got;
    conn->out[conn->outPending] = '\0';
    if (inBody) conn->bodyReceived += got;
    if ((conn->flags & HTTP_RAW_TEXT) == HTTP_RAW_TEXT) return collectRawText(server, conn);
    // Only the first bytes of a request can open a raw template request,
    // never a POST body or the later pieces of a header.
    if (firstBytes && conn->out[0] == '#') {
        conn->rawText->clear();
        return collectRawText(server, conn);
    }
    if (conn->headerLength == 0) {
        int header = completeHeader(server, conn);
        if (header <= 0) return header;
        conn->bodyReceived = conn->outPending - conn->headerLength;
        http_start_body_clock(conn);
    }
    int body = handleBody(server, conn);
    if (body <= 0) return body;
    return dispatchRequest(server, conn);
}

void http_release_body(HttpServer* server, HttpConnection* conn)
{
    if (!conn->body) return;
    dropCharge(server, conn);
    vekFree(&conn->body);
}

void http_release_held(HttpServer* server, HttpConnection* conn)
{
    http_release_body(server, conn);
    if (conn->rawText) std::string().swap(*conn->rawText);
    dropCharge(server, conn);
}

int http_parse_header(HttpConnection* conn)
{
    conn->flags &= ~HTTP_MULTIPART;
    char address[32];
    u32 peer = conn->peerAddress;
    std::snprintf(address, sizeof address, "IP: %u.%u.%u.%u\n", peer >> 24, (peer >> 16) & 0xFF,
                  (peer >> 8) & 0xFF, peer & 0xFF);
    vekLog.write(address, "");
    vekLog.write(std::string(conn->ioBuffer, static_cast<size_t>(conn->headerLength)), "");
    const char* text = conn->ioBuffer;
    const char* end = text + conn->headerLength;
    std::string header(text, end);
    size_t version = header.find("HTTP/1.");
    if (version == std::string::npos) version = header.find("RTSP/1.");
    if (version == std::string::npos) return -1;
    conn->httpMinor = header[version + 7] - '0';
    for (const char* line = lineEnd(text, end); line < end;) {
        while (line < end && (*line == '\r' || *line == '\n')) ++line;
        if (line >= end) break;
        parseHeaderLine(conn, line, end);
        line = lineEnd(line, end);
    }
    return 0;
}

std::string percent_decode(const char* text, size_t length, CutPercent cut)
{
    std::string result;
    result.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        char c = text[i];
        if (c == '+') {
            result += ' ';
        } else if (c != '%') {
            result += c;
        } else if (i + 2 < length && isHexPair(text + i + 1)) {
            result += hexByte(text + i + 1);
            i += 2;
        } else if (i + 2 < length) {
            result += c;  // not an escape: the '%' stays
        } else if (cut == CutPercent::EndsText) {
            break;
        } else if (cut == CutPercent::Kept) {
            result += c;
        }  // CutPercent::Dropped: the '%' goes, what follows stays
    }
    return result;
}

void url_decode_in_place(char* text)
{
    std::string decoded = percent_decode(text, std::strlen(text), CutPercent::EndsText);
    std::memcpy(text, decoded.c_str(), decoded.size() + 1);  // never longer than text
}

std::string url_decode(const std::string& text)
{
    return percent_decode(text.data(), text.size(), CutPercent::Dropped);
}

int http_count_address(HttpServer* server, u32 address)
{
    int count = 0;
    for (int i = 0; i < server->maxClients; ++i)
        if (server->slots[i].socket && server->slots[i].peerAddress == address) ++count;
    return count;
}

int match_prefix_nocase(const char** text, const char* prefix)
{
    size_t length = std::strlen(prefix);
    if (length == 0 || strncasecmp(*text, prefix, length) != 0) return 0;
    *text += length;
    return static_cast<int>(length);
}

int http_make_basic_credential(const char* user, const char* pass, char* out)
{
    std::string plain = std::string(user) + ":" + pass;
    int encoded = VekTls::base64_encoded_length(static_cast<int>(plain.size()));
    if (6 + encoded + 2 + 1 > 64) return -1;
    std::memcpy(out, "Basic ", 6);
    VekTls::base64_encode(reinterpret_cast<const u8*>(plain.data()), static_cast<int>(plain.size()),
                          reinterpret_cast<u8*>(out + 6));
    std::memcpy(out + 6 + encoded, "\r\n", 3);
    return 0;
}

int http_check_basic_auth(HttpAuthEntry* table, const char* path, const char* authorization)
{
    int result = HTTP_AUTH_NONE;
    if (!table) return result;
    for (HttpAuthEntry* entry = table; entry->pathPrefix; ++entry) {
        if (!path || std::strncmp(path, entry->pathPrefix, std::strlen(entry->pathPrefix)) != 0) continue;
        if (!entry->user || !*entry->user || !entry->pass || !*entry->pass) continue;
        if (!entry->credential[0] && http_make_basic_credential(entry->user, entry->pass, entry->credential) != 0)
            continue;
        if (!authorization) return HTTP_AUTH_REQUIRED;
        // The credential ends in "\r\n", so the whole header line must match.
        if (std::strncmp(authorization, entry->credential, std::strlen(entry->credential)) == 0)
            return HTTP_AUTH_OK;
        result = HTTP_AUTH_FAILED;
    }
    return result;
}
