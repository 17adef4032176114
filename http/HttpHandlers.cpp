// The URL handler table. No handlers are compiled in yet: dispatch answers
// "not handled" and every request goes to documents and templates.
#include "HttpHandlers.h"

HttpHandlerEntry httpEmptyHandlerTable[] = {{nullptr, nullptr, nullptr, nullptr}};

u32 http_dispatch_handler(HttpServer*, HttpConnection*)
{
    return 0;
}

void http_handler_end_notice(HttpServer*, HttpConnection* conn)
{
    conn->handlerEntry = nullptr;
}

int64 http_handler_next_piece(HttpServer*, HttpConnection*)
{
    return 0;
}
