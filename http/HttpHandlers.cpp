// The URL handler table: dispatch of a complete request to the first entry
// whose prefix starts its path, the query parameters a handler reads, the
// calls that feed a data source piece by piece, and the end notice.
//
// A handler works on a copy of the request path, so cutting the query off
// (http_parse_query) never changes the slot's own path, which a "serve a
// file" answer may still need.
#include "HttpHandlers.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "HttpRequest.h"
#include "kernel/VekAlloc.h"

HttpHandlerEntry httpEmptyHandlerTable[] = {{nullptr, nullptr, nullptr, nullptr}};

namespace {

// What one handler call holds besides its context.
struct HandlerCall {
    std::vector<char> pathRest;  // mutable copy of the path after the prefix
    HttpParameters parameters;   // query parameters
    HttpRequestContext context;  // handed to the handler
};

// The path the table is matched against: after "rtsp://", the text behind
// the next '/' (the stream name, host and port dropped); otherwise the
// path without leading '/' characters.
const char* matchedPath(const char* path)
{
    if (!path) return "";
    const char* url = std::strstr(path, "rtsp://");
    if (url) {
        const char* slash = std::strchr(url + 7, '/');
        return slash ? slash + 1 : "";
    }
    while (*path == '/') ++path;
    return path;
}

bool startsWith(const char* text, const char* prefix)
{
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// The path after the entry's prefix; empty when a handler has since
// replaced the path with one the prefix does not start.
const char* restAfterPrefix(const HttpConnection* conn, const HttpHandlerEntry* entry)
{
    const char* path = matchedPath(conn->path);
    return startsWith(path, entry->prefix) ? path + std::strlen(entry->prefix) : "";
}

// Sets the call up as the handler expects it: all zero, then the slot's
// fields, contentLength -1 and the output area emptied.
void prepareCall(HandlerCall& call, HttpServer* server, HttpConnection* conn, HttpHandlerEntry* entry,
                 char* out, int64 capacity)
{
    const char* rest = restAfterPrefix(conn, entry);
    call.pathRest.assign(rest, rest + std::strlen(rest) + 1);
    std::memset(&call.context, 0, sizeof call.context);
    HttpRequestContext& context = call.context;
    context.server = server;
    context.connection = conn;
    context.pathRest = call.pathRest.data();
    context.parameters = &call.parameters;
    context.contentLength = -1;
    context.ioBuffer = conn->ioBuffer;
    context.out = out;
    if (out && capacity > 0) out[0] = '\0';
    context.body = conn->body;
    context.outSize = capacity;
    context.userData = entry->userData;
}

// Bytes of an answer that may be sent from area: a handler that claims
// more than the area holds is held to the area.
int64 heldTo(int64 size, const char* out, const char* area, int64 capacity)
{
    if (size < 0) return 0;
    return (out == area && size > capacity) ? capacity : size;
}

// Copies a handler's file path into a fresh path block of the slot.
void replacePath(HttpConnection* conn, const char* text)
{
    size_t length = std::strlen(text);
    if (length >= static_cast<size_t>(HTTP_MAX_PATH)) length = HTTP_MAX_PATH - 1;
    if (conn->path) vekFree(&conn->path);
    conn->path = static_cast<char*>(vekMalloc(static_cast<u32>(length + 1)));
    std::memcpy(conn->path, text, length);
    conn->path[length] = '\0';
}

// Moves a taking handler's answer into the slot, by its flags.
void applyAnswer(HttpServer* server, HttpConnection* conn, const HttpRequestContext& context, u32 flags,
                 char* area, int64 capacity)
{
    conn->mimeIndex = context.mimeIndex;
    conn->flags |= flags;
    server->handledCount++;
    if (flags & HTTP_ANSWER_AT_OUT) conn->out = context.out;
    if (flags & HTTP_BODY_IN_AREA) {
        conn->outPending = heldTo(context.outSize, context.out, area, capacity);
        conn->bodyLength = context.answerLength > 0 ? context.answerLength : 0;
    }
    if (flags & HTTP_FROM_BUFFER) {
        if (context.answerLength <= 0) conn->bodyLength = conn->outPending;
        if (flags & HTTP_OWNS_BODY) conn->ownedBody = context.out;
    }
    if ((flags & HTTP_SERVE_FILE) && context.out && context.out[0]) replacePath(conn, context.out);
}

}  // namespace

u32 http_dispatch_handler(HttpServer* server, HttpConnection* conn)
{
    conn->handlerEntry = nullptr;
    if (!server->handlers) return 0;
    const char* path = matchedPath(conn->path);
    char* area = conn->out;
    int64 capacity = conn->outCapacity;
    for (HttpHandlerEntry* entry = server->handlers; entry->prefix; ++entry) {
        if (!entry->handler || !startsWith(path, entry->prefix)) continue;
        HandlerCall call;
        prepareCall(call, server, conn, entry, area, capacity);
        conn->handlerEntry = entry;
        if (!(conn->flags & HTTP_POST)) http_parse_query(&call.context);
        u32 flags = entry->handler(&call.context);
        if (!flags) continue;
        applyAnswer(server, conn, call.context, flags, area, capacity);
        return flags;
    }
    conn->handlerEntry = nullptr;
    return 0;
}

void http_parse_query(HttpRequestContext* context)
{
    std::string text;
    char* mark = context->pathRest ? std::strchr(context->pathRest, '?') : nullptr;
    if (mark) {
        *mark = '\0';
        text = mark + 1;
    } else if (context->connection && (context->connection->flags & HTTP_POST) && context->body &&
               context->body[0] != '<') {
        text = context->body;
    }
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('&', start);
        if (end == std::string::npos) end = text.size();
        std::string pair = text.substr(start, end - start);
        start = end + 1;
        size_t equals = pair.find('=');
        std::string name = pair.substr(0, equals);
        std::string value = equals == std::string::npos ? std::string() : pair.substr(equals + 1);
        // Only the value is decoded; the name is kept as it was sent.
        url_decode_in_place(&value[0]);
        value.resize(std::strlen(value.c_str()));
        if (!name.empty()) (*context->parameters)[name] = value;
    }
}

void http_handler_end_notice(HttpServer* server, HttpConnection* conn)
{
    HttpHandlerEntry* entry = conn->handlerEntry;
    conn->handlerEntry = nullptr;
    if (!entry || !entry->handler) return;
    HandlerCall call;
    prepareCall(call, server, conn, entry, conn->ioBuffer, 0);
    if (call.context.out) call.context.out[0] = '\0';
    call.context.outSize = -1;
    entry->handler(&call.context);
}

int64 http_handler_next_piece(HttpServer* server, HttpConnection* conn)
{
    HttpHandlerEntry* entry = conn->handlerEntry;
    if (!entry || !entry->handler || !conn->ioBuffer) return 0;
    HandlerCall call;
    prepareCall(call, server, conn, entry, conn->ioBuffer, HTTP_IO_BUFFER);
    if (!entry->handler(&call.context)) return 0;
    return heldTo(call.context.outSize, call.context.out, conn->ioBuffer, HTTP_IO_BUFFER);
}

namespace {

// The value stored under name, or null when missing or empty.
const std::string* nonEmptyValue(const HttpParameters* parameters, const char* name)
{
    if (!parameters || !name) return nullptr;
    auto found = parameters->find(name);
    if (found == parameters->end() || found->second.empty()) return nullptr;
    return &found->second;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

u32 http_param_hex(const HttpParameters* parameters, const char* name, u32 fallback)
{
    const std::string* value = nonEmptyValue(parameters, name);
    if (!value) return fallback;
    u64 result = 0;
    for (char c : *value) {
        int digit = hexDigit(c);
        if (digit < 0) break;
        result = result * 16 + static_cast<u64>(digit);
        if (result > 0xFFFFFFFFull) return 0xFFFFFFFFu;
    }
    return static_cast<u32>(result);
}

const char* http_param_string(const HttpParameters* parameters, const char* name, const char* fallback)
{
    const std::string* value = nonEmptyValue(parameters, name);
    return value ? value->c_str() : fallback;
}

int http_param_int(const HttpParameters* parameters, const char* name, int fallback)
{
    const std::string* value = nonEmptyValue(parameters, name);
    if (!value) return fallback;
    long number = std::strtol(value->c_str(), nullptr, 10);
    if (number > INT_MAX) return INT_MAX;
    if (number < INT_MIN) return INT_MIN;
    return static_cast<int>(number);
}
