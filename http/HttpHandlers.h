// The URL handler table: request paths routed to handler functions that are
// compiled into the program. Each entry has a path prefix, a handler, an
// optional life-cycle callback and user data; a handler fills a request
// context and answers with flags that tell the engine how to send the
// answer. The start-up installs an empty table.
#pragma once
#include <map>
#include <string>

#include "HttpServer.h"

// Query parameters handed to a handler.
typedef std::map<std::string, std::string> HttpParameters;

// Context a handler fills in. The same record serves three kinds of call:
// the first call for a request; a data source's call for its next piece
// (out = the ioBuffer, outSize = HTTP_IO_BUFFER); and the end notice
// (contentLength and outSize -1, out empty), after which the handler must
// release what it holds for the request and answer 0.
struct HttpRequestContext {
    HttpServer* server;
    HttpConnection* connection;
    char* pathRest;                // request path after the entry's prefix
    HttpParameters* parameters;    // query parameters
    int64 contentLength;           // -1 on entry; the handler may give the body's length
    char* ioBuffer;                // the slot's 128 KiB buffer
    char* out;                     // where the answer is written; emptied on entry
    char* body;                    // the slot's POST body, or null
    int64 outSize;                 // capacity on entry; answer bytes on return
    int64 answerLength;            // length to announce when positive
    int mimeIndex;                 // MIME table row of the answer
    void* userData;                // the entry's user data
};

typedef u32 (*HttpHandler)(HttpRequestContext* context);
typedef int (*HttpHandlerLifeCycle)(int event, HttpHandlerEntry* entry, HttpServer* server);

// Life-cycle events.
enum { HTTP_HANDLER_START = 0, HTTP_HANDLER_END = 1 };

// One table entry; a null prefix ends the table.
struct HttpHandlerEntry {
    const char* prefix;              // path prefix; null ends the table
    HttpHandler handler;             // null = switched off
    HttpHandlerLifeCycle lifeCycle;  // event 0 at server start, 1 at the end of the loop
    void* userData;                  // handed to the handler in its context
};

// The table the start-up installs: only its end entry.
extern HttpHandlerEntry httpEmptyHandlerTable[];

// Offers the request to the table's handlers in order; the flags of the
// first one that takes it (already added to the slot), or 0 when none did.
u32 http_dispatch_handler(HttpServer* server, HttpConnection* conn);
// Fills context->parameters from the text after the first '?' of pathRest
// (cutting pathRest there), or else for a POST from the body unless it
// starts with '<'. Values are URL-decoded, names kept as sent; a pair
// without a name is dropped and a repeated name keeps its last value.
void http_parse_query(HttpRequestContext* context);
// Tells the slot's handler that its answer is over and forgets the handler.
void http_handler_end_notice(HttpServer* server, HttpConnection* conn);
// Asks a data-source handler for the next piece into the ioBuffer; the
// piece's length, or 0 at the end.
int64 http_handler_next_piece(HttpServer* server, HttpConnection* conn);

// Parameter getters: a missing name or an empty value gives the default.
// Hexadecimal digits (either case) up to the first other character; a
// value too large for 32 bits gives 0xFFFFFFFF.
u32 http_param_hex(const HttpParameters* parameters, const char* name, u32 fallback);
// The text (valid while the map lives).
const char* http_param_string(const HttpParameters* parameters, const char* name, const char* fallback);
// strtol in base 10, held to the int range.
int http_param_int(const HttpParameters* parameters, const char* name, int fallback);
