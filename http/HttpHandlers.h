// The URL handler table: request paths routed to handler functions that are
// compiled into the program. The start-up installs an empty table.
#pragma once
#include <map>
#include <string>

#include "HttpServer.h"

// Context a handler fills in.
struct HttpRequestContext {
    HttpServer* server;
    HttpConnection* connection;
    const char* pathRest;                          // request path after the entry's prefix
    std::map<std::string, std::string>* parameters;  // query parameters
    int64 contentLength;                           // -1 on entry; -1 also marks the end notice
    char* ioBuffer;                                // the slot's 128 KiB buffer
    char* out;                                     // where the answer is written
    char* body;                                    // the slot's POST body
    int64 outSize;                                 // capacity on entry; answer bytes on return
    int64 answerLength;                            // length to announce when positive
    int mimeIndex;                                 // MIME table row of the answer
    void* userData;                                // the entry's user data
};

typedef u32 (*HttpHandler)(HttpRequestContext* context);
typedef int (*HttpHandlerLifeCycle)(int event, HttpHandlerEntry* entry, HttpServer* server);

// One table entry; a null prefix ends the table.
struct HttpHandlerEntry {
    const char* prefix;              // path prefix; null ends the table
    HttpHandler handler;             // null = switched off
    HttpHandlerLifeCycle lifeCycle;  // event 0 at start, 1 at the end of the loop
    void* userData;
};

// The table the start-up installs: only its end entry.
extern HttpHandlerEntry httpEmptyHandlerTable[];

// Flags of the handler that took the request, or 0 when none did.
u32 http_dispatch_handler(HttpServer* server, HttpConnection* conn);
// Tells the slot's handler that its answer is over (contentLength -1).
void http_handler_end_notice(HttpServer* server, HttpConnection* conn);
// Asks a data-source handler for the next piece into the ioBuffer; the
// piece's length, or 0 at the end.
int64 http_handler_next_piece(HttpServer* server, HttpConnection* conn);
