// The HTTP/RTSP connection engine: the one server record, its fixed array of
// client slots, and the single-threaded loop that serves them.
// C style on purpose: plain records with integer fields and bit flags,
// length-prefixed buffers, integer results (0 success, negative failure).
#pragma once
#include <csignal>
#include <ctime>
#include <map>
#include <string>

#include "kernel/VekTypes.h"

struct HttpServer;
struct HttpConnection;
struct HttpHandlerEntry;
struct UploadContext;
struct HttpSelect;

// Size of each slot's receive and file buffer.
constexpr int HTTP_IO_BUFFER = 131072;
// Longest request path kept (a path of this length or more is refused).
constexpr int HTTP_MAX_PATH = 512;
// Largest request body: a POST body collected in memory, raw template text,
// and an upload (multipart or raw), which streams into files. A bigger
// Content-Length closes the connection instead of allocating; an upload
// whose bytes pass it is refused and its unfinished file removed.
constexpr int64 HTTP_MAX_BODY = 64LL * 1024 * 1024;
// Most bytes of POST bodies and raw template text that all slots together
// hold in memory beyond each slot's own room (HTTP_BODY_OWN_ROOM). What is
// counted is the memory a body holds: what has arrived and its store's
// spare room, at most an eighth more (the store grows with the bytes), not
// what a header announces. A request whose bytes would pass it when they
// arrive closes its connection.
constexpr int64 HTTP_MAX_HELD_BODIES = 256LL * 1024 * 1024;
// Bytes of body (or raw template text) each slot holds outside that total,
// as it holds its receive buffer: however much large bodies hold, a slot
// always has room for a small form.
constexpr int64 HTTP_BODY_OWN_ROOM = 64 * 1024;
// Slowest rate, in bytes per second, a request body must keep up; a body
// that falls further behind it than its margin closes its connection.
// 1 KiB/s (8 kbit/s) lies well below what a poor mobile link carries
// upstream, yet a client that feeds a body one byte at a time loses its slot
// within the margin.
constexpr int64 HTTP_MIN_BODY_RATE = 1024;
// Seconds of that rate a body may fall behind: it starts with this margin
// and earns it back by sending faster, never holding more. A pause of a
// congested line of up to this long keeps its client; a body that stalls
// for good, after however large a burst, is dropped within it.
constexpr int HTTP_BODY_MARGIN_S = 25;
// Seconds a page may still run for a client that has ended its sending
// side (or closed its whole end: the two look alike until an answer is
// sent) before the run is stopped as one whose client has gone. Tools that
// shut their sending side after the request still read the answer of any
// page that ends within them; clients that went away hold no slot longer.
constexpr int HTTP_HALF_CLOSE_GRACE_S = 5;
// Most parameters a POST body may carry; a body with more closes its
// connection.
constexpr int HTTP_MAX_PARAMS = 10000;
// Text shown as the server in every header and fixed page.
extern const char* const HTTP_SERVER_NAME;

// Slot state flags.
enum : u32 {
    HTTP_READING = 0x80000000u,        // socket watched for input
    HTTP_WRITING = 0x40000000u,        // socket watched for output
    HTTP_MULTIPART = 0x400000u,        // request is a multipart/form-data upload
    HTTP_NO_HEADER = 0x200000u,        // template output goes out without a header
    HTTP_DATA_SOURCE = 0x100000u,      // body comes piece by piece from a handler
    HTTP_REDIRECT = 0x80000u,          // a handler put a location in the buffer
    HTTP_HANDLER_OPENED = 0x40000u,    // a handler already opened the document
    HTTP_FROM_BUFFER = 0x20000u,       // body is sent from the output buffer
    HTTP_SERVE_FILE = 0x10000u,        // serve a document
    HTTP_TEMPLATE = 0x8000u,           // a template run is in progress
    HTTP_RAW_MARK = 0x4000u,           // the bit of HTTP_RAW_TEXT that HTTP_CHUNKED lacks
    HTTP_CHUNKED = 0x2000u,            // chunked transfer coding
    // A raw template request is being collected. The value holds
    // HTTP_CHUNKED: only both bits together mean raw text, and clearing it
    // clears chunked coding as well.
    HTTP_RAW_TEXT = HTTP_RAW_MARK | HTTP_CHUNKED,
    HTTP_OWNS_BODY = 0x1000u,          // ownedBody is freed with the slot
    HTTP_UPLOAD_GATE = 0x400u,         // uploads only from the allowed address
    HTTP_DOLLAR_FILTER = 0x200u,       // file data goes through dataSourceCallback
    HTTP_CLOSE_AFTER = 0x100u,         // close the connection after this response
    HTTP_HEADER_SENT = 0x80u,          // header is out; chunks get size lines
    HTTP_POST = 0x2u,
    HTTP_GET = 0x1u,
};

// The combinations of slot flags that code tests.
enum : u32 {
    // The slot's phase: a used slot is in at most one (see HttpEngine.cpp).
    HTTP_PHASES = HTTP_READING | HTTP_TEMPLATE | HTTP_WRITING,
    // The body leaves from the output area, not from the open document.
    HTTP_BODY_IN_AREA = HTTP_FROM_BUFFER | HTTP_DATA_SOURCE,
    // A handler's answer text (a body or a location) is at `out`.
    HTTP_ANSWER_AT_OUT = HTTP_BODY_IN_AREA | HTTP_REDIRECT,
    // Document data whose sent length is not the file's: framed in chunks
    // or rewritten by the dollar filter, so reads are not cut to the length.
    HTTP_FRAMED_FILE = HTTP_CHUNKED | HTTP_DOLLAR_FILTER,
    // A document piece after the header: it gets its chunk-size line.
    HTTP_CHUNK_LINES = HTTP_CHUNKED | HTTP_HEADER_SENT,
    // A closing slot with the raw mark: its handler gets the end notice as
    // a data source's does.
    HTTP_RAW_CLOSING = HTTP_RAW_MARK | HTTP_CLOSE_AFTER,
};

// optionFlags bits.
enum : int { HTTP_OPT_DIR_FALLBACK = 1, HTTP_OPT_NO_RANGES = 2 };

// One mark of the dollar filter handed to dataSourceCallback.
struct HttpDataSourceMark {
    const char* name;  // the name between the "$$" pairs, NUL-ended in place
    char* destination; // first byte of the mark: the replacement goes here
    int room;          // mark length including its four '$'
};
// Writes the replacement for a mark; its length (at most room) or negative
// to leave the mark as it is.
typedef int (*HttpDataSourceCallback)(HttpDataSourceMark* mark);
// Receives uploaded file data; data null ends the upload.
typedef int (*HttpUploadCallback)(const char* documentRoot, UploadContext* upload, const void* data,
                                  int length);

// A directory tried before the document directory for paths with its prefix.
struct HttpAlias {
    const char* prefix;   // path prefix; null ends the table
    char directory[256];  // directory that serves the rest of the path
};

// One client slot. A slot with socket 0 is free.
struct HttpConnection {
    int socket;                 // client descriptor; 0 = free
    u32 peerAddress;            // client IPv4, host order (first octet high)
    int httpMinor;              // digit after "HTTP/1." or "RTSP/1."
    int64 rangeStart;           // first byte asked for by "Range: bytes="
    int64 rangeEnd;             // last byte asked for; -1 when the range names none
    char* path;                 // request path without its '/', length-prefixed block
    const char* referer;        // value of "Referer: " inside the header text
    const char* host;           // value of "Host: "
    int headerLength;           // header bytes including "\r\n\r\n"; 0 until complete
    char* body;                 // POST body, length-prefixed block of contentLength + 1
    int64 contentLength;        // value of "Content-Length: "
    int cseq;                   // value of "CSeq: "; 0 = none
    const char* transport;      // value of "Transport: "
    const char* authorization;  // value of "Authorization: "
    int status;                 // response status
    int headerBytes;            // length of the response header in the output area
    int64 sentBytes;            // bytes sent so far (header and body)
    int64 bodyLength;           // body bytes announced
    int mimeIndex;              // row of the MIME table
    char* out;                  // next byte to send (receive area while reading)
    int64 outCapacity;          // capacity of the area at out
    int64 outPending;           // bytes waiting at out
    int fileDescriptor;         // open document; 0 = none, -1 = a directory
    u32 flags;                  // state flags above
    HttpHandlerEntry* handlerEntry;  // handler serving this request
    void* ownedBody;            // response body block owned by the slot
    time_t acceptTime;          // time of accept
    time_t deadline;            // the slot is closed after this time
    u32 sendNotBefore;          // milliseconds before which nothing is sent; 0 = none
    int requestsOnSocket;       // requests received on this socket
    const char* contentTypeOverride;  // Content-Type set by a template run
    UploadContext* upload;      // upload context
    char* ioBuffer;             // 128 KiB receive and file buffer (vekMalloc)
    std::string* rawText;       // raw template request collected so far
    void* processor;            // template processor while HTTP_TEMPLATE is set
    time_t socketCheckTime;     // second of the last error query of the socket
    int64 bodyReceived;         // body bytes received so far, uploads included
    int64 bodyMargin;           // bytes the body may still fall behind the rate (bodyTooSlow)
    time_t bodyMarginSecond;    // second (http_body_clock) at which bodyMargin was last worked out
    int64 bodyMarginCounted;    // bodyReceived then
    int64 bodyCharge;           // bytes of the body's store counted in the server's heldBodies
    int64 textCharge;           // bytes of ownedBody held in the text budget (a run's output)
    int peerHalfClosed;         // the client ended its sending side while its page ran
};

// The server record.
struct HttpServer {
    HttpConnection* slots;      // maxClients slots (vekCalloc)
    int maxClients;             // slot count; listen backlog is one less
    int maxPerAddress;          // connections per peer address; 0 = no limit
    volatile sig_atomic_t stop; // 1 ends the loop at its next turn
    int running;                // 1 between start and the end of the loop
    int optionFlags;            // HTTP_OPT_* bits
    int listenSocket;           // listening descriptor; 0 = closed
    int port;                   // TCP port
    int rcvBufKB;               // SO_RCVBUF in KiB for accepted sockets; 0 = default
    char documentRoot[256];     // document directory
    HttpHandlerEntry* handlers; // URL handler table; null = none
    void* authTable;            // HttpAuthEntry table; null = no authorisation
    HttpAlias* aliasTable;      // alias directories; null = none
    HttpDataSourceCallback dataSourceCallback;  // dollar filter; null = off
    HttpUploadCallback uploadCallback;          // upload file writer
    u32 uploadAddress;          // the one address the upload gate lets through
    time_t uploadWindowEnd;     // end of the window the gate opened
    int idleTimeout;            // seconds a connection may stay idle
    int rateLimit;              // send throttle (bytes sent per elapsed ms); 0 = off
    time_t startTime;           // time of the successful start
    u16 connections;            // slots in use
    u16 peak;                   // highest value of connections
    int requestCount;           // requests whose header was complete
    int filesServed;            // static files opened for sending
    int64 bytesSent;            // bytes sent from buffers and files
    int handledCount;           // requests taken by a handler
    int timeoutCount;           // connections closed for idleness
    int refusedUploads;         // parts refused by the upload gate
    u32 bindAddress;            // IPv4 address to bind (host order); 0 = any
    char templateRoot[128];     // text given to each new template processor
    int64 scriptSteps;          // template steps per slot per loop turn
    std::map<std::string, std::string>* hostMap;  // host name -> document directory
    std::string* documentPath;  // document directory of the current request
    int released;               // http_server_stop has released the resources
    int wakeReadFd;             // self-pipe read end, watched by the loop; 0 = none
    volatile sig_atomic_t wakeWriteFd;  // its write end: a stop request writes a byte; 0 = none
    int64 heldBodies;           // bytes of POST bodies and raw request text the slots hold beyond their own room
    HttpSelect* readiness;      // the loop's wait, kept between turns for its room
};

extern HttpServer httpServer;

// Zeroes the record and sets port 80, idle timeout 260 s, 32 clients.
int http_server_init(HttpServer* server);
// Allocates the slots and opens the listening socket; -1 on failure.
int http_server_start(HttpServer* server);
// Runs turns until stop is set, then tears the slots down; returns 0.
int http_main_loop(HttpServer* server);
// Asks the loop to end at its next turn and wakes it from its wait. Safe
// inside a signal handler: it only sets the stop field and writes one byte
// to the self-pipe.
void http_server_request_stop(HttpServer* server);
// Closes the sockets and releases hostMap and documentPath; acts once per
// initialised server (a second call returns 0). Must not run inside a
// signal handler: it frees memory the loop may be using.
int http_server_stop(HttpServer* server);
// Closes the slot (flag HTTP_CLOSE_AFTER) or re-arms it for the next request.
void http_close_connection(HttpServer* server, HttpConnection* conn);
// Accepts the waiting connection and answers it with the 403 page.
void http_reject_full(HttpServer* server);
// Arms a slot for reading a new request.
void http_rearm_connection(HttpConnection* conn);
// Closes the listening socket and every client socket.
void http_close_all(HttpServer* server);
// Accepts a connection (non-blocking, SO_RCVBUF); the descriptor, or 0, or
// -1 (errno set) when the process lacks descriptors or memory for it.
int http_accept(HttpServer* server, u32* peerAddress);
int http_net_startup();
void http_net_cleanup();
// gettimeofday in milliseconds, as a 32-bit value.
u32 http_now_ms();
// Seconds of a clock that only moves forward (CLOCK_MONOTONIC): a request
// body's rate is timed on it, so a step of the wall clock neither drops a
// body nor spares one.
time_t http_body_clock();
// Starts the rate rule of a body whose header is complete: its margin full
// and its bytes counted from bodyReceived.
void http_start_body_clock(HttpConnection* conn);

// Send steps: 0 go on, 1 finished, negative failed.
int http_send_from_buffer(HttpServer* server, HttpConnection* conn);
int http_send_from_file(HttpServer* server, HttpConnection* conn);
// Sends a header and the body waiting at out in one call (a body of
// HTTP_FROM_BUFFER without chunks): 1 when the whole answer went, 0 when
// body bytes are left for the loop's send steps, -1 when the peer is gone.
int http_send_header_and_body(HttpServer* server, HttpConnection* conn, const char* header, int length);
// Sends all bytes on a non-blocking socket, waiting briefly when it is full.
int http_send_all(int socket, const char* data, int64 length);
