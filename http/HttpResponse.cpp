// Responses: status reasons, the MIME table, the date text, the header
// writer and the fixed 403, 404, 500, 401 and 301 answers.
#include "HttpResponse.h"
#include "ServerVersion.h"

#include <cstdio>
#include <cstring>
#include <strings.h>

#include "HttpRequest.h"
#include "kernel/VEKLog.h"

using VekKernel::vekLog;

namespace {

const char* const reasons200[] = {"OK", "Created", "Accepted", "Non-Authoritative Information", "No Content",
                                  "Reset Content", "Partial Content", "Multi-Status", "Already Reported",
                                  "IM Used"};
const char* const reasons300[] = {"Multiple Choices", "Moved Permanently", "Found", "See Other",
                                  "Not Modified", "Use Proxy", "Switch Proxy", "Temporary Redirect",
                                  "Permanent Redirect"};
const char* const reasons400[] = {"Bad Request", "Unauthorized", "Payment Required", "Forbidden", "Not Found",
                                  "Method Not Allowed", "Not Acceptable", "Proxy Authentication Required",
                                  "Request Timeout", "Conflict", "Gone", "Length Required",
                                  "Precondition Failed", "Request Entity Too Large", "Request-URI Too Long",
                                  "Unsupported Media Type", "Requested Range Not Satisfiable",
                                  "Expectation Failed", "I'm a teapot", "Authentication Timeout",
                                  "Method Failure", "Enhance Your Calm", "Unprocessable Entity", "Locked",
                                  "Failed Dependency", "", "Upgrade Required", "", "Precondition Required",
                                  "Too Many Requests", "", "Request Header Fields Too Large"};
const char* const reasons500[] = {"Internal Server Error", "Not Implemented", "Bad Gateway",
                                  "Service Unavailable", "Gateway Timeout", "HTTP Version Not Supported",
                                  "Variant Also Negotiates", "Insufficient Storage", "Loop Detected",
                                  "Bandwidth Limit Exceeded", "Not Extended",
                                  "Network Authentication Required"};

struct SparseReason {
    int status;
    const char* text;
};
const SparseReason sparseReasons[] = {
    {440, "Login Timeout"}, {444, "No Response"}, {449, "Retry With"},
    {450, "Blocked by Parental Controls"}, {451, "Unavailable For Legal Reasons"},
    {494, "Request Header Too Large"}, {495, "Cert Error"}, {496, "No Cert"}, {497, "HTTP to HTTPS"},
    {498, "Token expired/invalid"}, {499, "Client Closed Request"}, {520, "Origin Error"},
    {521, "Web server is down"}, {522, "Connection timed out"}, {523, "Proxy Declined Reques"},
    {524, "A timeout occurred"}, {598, "Network read timeout error"}, {599, "Network connect timeout error"}};

template <size_t N>
const char* fromRange(const char* const (&table)[N], int offset)
{
    return offset >= 0 && offset < static_cast<int>(N) ? table[offset] : nullptr;
}

const char* const mimeTypes[] = {
    "application/octet-stream", "text/html", "text/xml", "text/plain", "application/vnd.mozilla.xul+xml",
    "text/css", "application/x-javascript", "image/png", "image/jpeg", "image/gif",
    "application/x-shockwave-flash", "audio/mpeg", "video/mpeg", "video/avi", "video/mp4",
    "video/quicktime", "video/x-mpeg-avc", "video/flv", "video/MP2T", "video/3gpp", "video/x-ms-asf",
    "application/octet-stream", "application/x-datastream", "application/x-mpegURL", "application/sdp",
    "image/vnd.microsoft.icon", "application/binhex"};
constexpr int MIME_COUNT = sizeof mimeTypes / sizeof mimeTypes[0];
constexpr int MIME_OTHER = 21;

struct Extension {
    const char* text;
    int index;
};
const Extension extensions[] = {{"js", 6},   {"ts", 18},  {"htm", 1},  {"xml", 2},  {"xsl", 2},
                                {"txt", 3},  {"xul", 4},  {"css", 5},  {"png", 7},  {"jpg", 8},
                                {"gif", 9},  {"swf", 10}, {"mp3", 11}, {"mpg", 12}, {"avi", 13},
                                {"mp4", 14}, {"mov", 15}, {"264", 16}, {"flv", 17}, {"3gp", 19},
                                {"asf", 20}, {"sdp", 24}, {"ico", 25}, {"html", 1}, {"mpeg", 12},
                                {"m3u8", 23}};

const char* const weekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

const char* const page403 =
    "<html><head><title>403 Forbidden</title></head><body><h1>Forbidden</h1><hr />"
    VEK_SERVER_NAME "</body></html>";
const char* const page404 =
    "<html><head><title>404 Not Found</title></head><body><h1>Not Found</h1>"
    "<p>The requested URL has no content.</p><hr />" VEK_SERVER_NAME "</body></html>";
const char* const page500 =
    "<html><head><title>500 Internal Server Error</title></head><body><h1>Internal Server Error</h1><hr />"
    VEK_SERVER_NAME "</body></html>";

// A header value taken from outside (a page's Content-Type, a location)
// stops at its first line break, so it can never add header lines.
std::string headerValue(const char* text)
{
    std::string value(text ? text : "");
    size_t end = value.find_first_of("\r\n");
    if (end != std::string::npos) value.resize(end);
    return value;
}

std::string contentTypeOf(const HttpConnection* conn)
{
    std::string type = headerValue(conn->contentTypeOverride);
    if (!type.empty()) return type;
    return http_mime_type(conn->mimeIndex);
}

// The lines every answer opens with, fixed pages included: the status
// line, the server, no caching, and the close. Every answer ends with the
// connection closed, so the header says so: a client that took the
// connection for kept alive would send its next request into a close.
std::string openingLines(int status, const char* reason)
{
    return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nServer: " + HTTP_SERVER_NAME +
           "\r\nCache-control: no-cache\r\nPragma: no-cache\r\nConnection: close\r\n";
}

std::string headerText(HttpServer* server, HttpConnection* conn, time_t lastModified, const std::string& type,
                       const std::string& location)
{
    char line[160];
    std::string text = openingLines(conn->status, http_status_reason(conn->status));
    if (!(server->optionFlags & HTTP_OPT_NO_RANGES)) text += "Accept-Ranges: bytes\r\n";
    if (lastModified) {
        http_format_date(lastModified, line, sizeof line);
        text += std::string("Last-Modified: ") + line + "\r\n";
    }
    if (conn->cseq) text += "CSeq: " + std::to_string(conn->cseq) + "\r\n";
    text += "Content-Type: " + type + "\r\n";
    if (conn->flags & HTTP_CHUNKED) text += "Transfer-Encoding: chunked\r\n";
    else if (conn->bodyLength) text += "Content-Length: " + std::to_string(conn->bodyLength) + "\r\n";
    // A partial answer runs from rangeStart to the end of the document.
    if (conn->status == 206 && conn->bodyLength > 0) {
        int64 size = conn->rangeStart + conn->bodyLength;
        text += "Content-Range: bytes " + std::to_string(conn->rangeStart) + "-" + std::to_string(size - 1) + "/" +
                std::to_string(size) + "\r\n";
    }
    if (conn->status == 301 || conn->status == 307) text += "Location: " + location + "\r\n";
    return text + "\r\n";
}

// Shortens text by up to *excess bytes and lowers *excess accordingly.
void cutBy(std::string& text, size_t* excess)
{
    size_t cut = *excess < text.size() ? *excess : text.size();
    text.resize(text.size() - cut);
    *excess -= cut;
}

}  // namespace

const char* http_status_reason(int status)
{
    const char* text = nullptr;
    if (status >= 200 && status <= 209) text = fromRange(reasons200, status - 200);
    else if (status >= 300 && status <= 308) text = fromRange(reasons300, status - 300);
    else if (status >= 400 && status <= 431) text = fromRange(reasons400, status - 400);
    else if (status >= 500 && status <= 511) text = fromRange(reasons500, status - 500);
    for (const SparseReason& reason : sparseReasons)
        if (reason.status == status) text = reason.text;
    return text ? text : "";
}

int http_mime_type_code(const char* extension)
{
    if (!extension) return MIME_OTHER;
    for (const Extension& entry : extensions)
        if (strcasecmp(entry.text, extension) == 0) return entry.index;
    return MIME_OTHER;
}

const char* http_mime_type(int index)
{
    return index >= 0 && index < MIME_COUNT ? mimeTypes[index] : mimeTypes[0];
}

void http_format_date(time_t when, char* buffer, int size)
{
    struct tm parts;
    gmtime_r(&when, &parts);
    std::snprintf(buffer, static_cast<size_t>(size), "%s, %02d %s %d %02d:%02d:%02d GMT", weekdays[parts.tm_wday],
                  parts.tm_mday, months[parts.tm_mon], parts.tm_year + 1900, parts.tm_hour, parts.tm_min,
                  parts.tm_sec);
}

int http_build_header(HttpServer* server, HttpConnection* conn, time_t lastModified, char* area)
{
    std::string type = contentTypeOf(conn);
    std::string location = (conn->status == 301 || conn->status == 307) ? headerValue(conn->out) : "";
    std::string text = headerText(server, conn, lastModified, type, location);
    if (text.size() > HTTP_HEADER_AREA - 1) {
        // Too long for the area: the Location text, then the Content-Type
        // text give way, so the header keeps its end and never overflows.
        size_t excess = text.size() - (HTTP_HEADER_AREA - 1);
        cutBy(location, &excess);
        cutBy(type, &excess);
        text = headerText(server, conn, lastModified, type, location);
        if (text.size() > HTTP_HEADER_AREA - 1) text.resize(HTTP_HEADER_AREA - 1);
    }
    std::memcpy(area, text.data(), text.size());
    area[text.size()] = '\0';
    return static_cast<int>(text.size());
}

int http_send_header(HttpServer* server, HttpConnection* conn)
{
    if (conn->flags & HTTP_NO_HEADER) return http_send_from_buffer(server, conn);
    char area[HTTP_HEADER_AREA];
    int length = http_build_header(server, conn, time(nullptr), area);
    if ((conn->flags & (HTTP_BODY_IN_AREA | HTTP_CHUNKED)) == HTTP_FROM_BUFFER &&
        conn->outPending > 0) {
        // A body held in memory leaves with its header, in one call.
        int result = http_send_header_and_body(server, conn, area, length);
        if (result < 0) vekLog.system("Failed to send header");
        return result;
    }
    if (http_send_all(conn->socket, area, length) != 0) {
        vekLog.system("Failed to send header");
        return -1;
    }
    conn->flags |= HTTP_HEADER_SENT;
    return 0;
}

int http_send_page(int socket, int status, const char* page)
{
    const std::string header = openingLines(status, http_status_reason(status)) + "Content-length: " +
                               std::to_string(std::strlen(page)) + "\r\nContent-Type: text/html\r\n\r\n";
    if (http_send_all(socket, header.data(), static_cast<int64>(header.size())) != 0) return -1;
    return http_send_all(socket, page, static_cast<int64>(std::strlen(page)));
}

int http_send_403(int socket)
{
    return http_send_page(socket, 403, page403);
}

int http_send_404(int socket)
{
    return http_send_page(socket, 404, page404);
}

int http_send_500(int socket)
{
    return http_send_page(socket, 500, page500);
}

int http_send_401(HttpServer*, HttpConnection* conn, int reason)
{
    const char* body = reason == HTTP_AUTH_REQUIRED ? "Authentication required" : "Authentication failed";
    const std::string header = openingLines(401, "Authorization Required") +
                               "WWW-Authenticate: Basic realm=\"Login\"\r\nContent-Length: " +
                               std::to_string(std::strlen(body)) + "\r\nContent-Type: text/html\r\n\r\n";
    if (http_send_all(conn->socket, header.data(), static_cast<int64>(header.size())) != 0) return -1;
    return http_send_all(conn->socket, body, static_cast<int64>(std::strlen(body)));
}

int http_send_301(HttpConnection* conn, const char* location)
{
    const std::string opening = openingLines(301, "Moved Permanently") + "Location: ";
    const char* const end = "\r\n\r\n";
    std::string text = headerValue(location);
    // A long location is cut so that the header fits its area, as every header does.
    const size_t room = HTTP_HEADER_AREA - 1 - opening.size() - std::strlen(end);
    if (text.size() > room) text.resize(room);
    const std::string header = opening + text + end;
    return http_send_all(conn->socket, header.data(), static_cast<int64>(header.size()));
}
