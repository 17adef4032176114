// Uploads: multipart/form-data bodies and raw uploads (a Content-Type line
// carrying "; filename="), written into the document directory through the
// server's upload callback while the body streams in.
//
// Rules the upload code keeps:
//  1. A file is only ever created directly inside the document directory:
//     a name that is empty or holds '/', '\\', ".." or a control byte
//     (any byte below 0x20, NUL, CR and LF among them, or DEL), a ".ttm" name
//     and the name of a file that exists already are refused, and their
//     bytes are dropped.
//  2. Every byte of an accepted file part reaches the file: a part larger
//     than the buffer is written 65536 bytes at a time and stays in
//     progress until the bytes before its closing boundary are written.
//  3. A file that cannot be written whole (a full disk) is removed and the
//     request is answered with the 500 page, never as a success.
//  4. An upload body larger than HTTP_MAX_BODY, one given up for its
//     slowness, and one cut off by its client (a multipart body before its
//     closing boundary, a raw upload before its announced length) leave no
//     unfinished file behind: the file in progress is removed and the
//     connection closed. A raw upload without a length ends at the close.
//  5. What does not fit the context (a boundary of more than 77 bytes, a
//     51st stored part) closes the connection instead of overflowing.
#pragma once
#include "HttpServer.h"

// Most field pairs kept per request.
constexpr int HTTP_UPLOAD_MAX_FIELDS = 50;
// Bytes of a full buffer that go to the file at once.
constexpr int HTTP_UPLOAD_PIECE = 65536;

// partState values.
enum : u8 { UPLOAD_NO_PART = 0, UPLOAD_IN_PART = 1, UPLOAD_LAST_PIECE = 2 };

// Upload context of one request (zeroed block from vekCalloc), owned by the
// slot's upload field and released when the slot is closed or re-armed.
struct UploadContext {
    char boundary[80];                        // "--" + boundary; empty for a raw upload
    u8 partState;                             // UPLOAD_NO_PART, UPLOAD_IN_PART or UPLOAD_LAST_PIECE
    int buffered;                             // body bytes waiting at the start of ioBuffer
    char* fields[HTTP_UPLOAD_MAX_FIELDS][2];  // name and value of each part seen (vekCalloc texts)
    HttpServer* server;                       // set when the body starts
    int fieldCount;                           // pairs in use
    const char* path;                         // request path, set when the body starts
    char fileName[256];                       // file of the current part or the raw upload
    int openFile;                             // the part's descriptor; 0 not made yet, -1 failed
    u8 refused;                               // the body cannot be taken (boundary too long or empty)
    u8 discarding;                            // the part in progress is dropped, not written
    u8 writeFailed;                           // a file could not be written whole (a full disk)
};

// A new context for a multipart body (boundary non-null, without its "--")
// or a raw upload (fileName non-null).
UploadContext* http_upload_create(const char* boundary, int boundaryLength, const char* fileName,
                                  int fileNameLength);
// Ends the upload through the callback and frees the context and its texts.
void http_upload_release(HttpServer* server, UploadContext** upload);
// Called once the header of a request with an upload context is complete
// (the context knows the path): 1 the body is complete, 0 more is needed,
// -1 close the connection.
int http_upload_start_body(HttpServer* server, HttpConnection* conn);
// One receive step for a request whose upload body is streaming in; the
// same results. A raw upload ends when the peer closes, without an answer.
int http_upload_receive(HttpServer* server, HttpConnection* conn);
// The multipart body at the start of the ioBuffer; with haveData false it
// first receives behind the buffered bytes. 1 the body is complete, 0 more
// is needed, -1 failure.
int http_parse_multipart(HttpServer* server, HttpConnection* conn, bool haveData);
// The upload callback installed by the start-up: writes file data into
// documentRoot/fileName (created with permission bits 0400); data null
// closes an open file. 0 success, -1 failure.
int http_upload_data(const char* documentRoot, UploadContext* upload, const void* data, int length);
// Counts got received body bytes against the per-body limit; false once
// the body passes it (the unfinished file removed, the slot marked to close).
bool http_upload_within_limit(HttpServer* server, HttpConnection* conn, int64 got);
// Removes the file a part or raw upload was writing when it is given up
// unfinished (a body too slow or too large).
void http_upload_discard(HttpServer* server, UploadContext* upload);
// Whether a name may become a file of the document directory; the second
// form takes the name's bytes as received, a NUL among them refused.
bool http_upload_name_allowed(const char* name);
bool http_upload_name_allowed(const char* name, size_t length);
// Whether the upload gate lets this slot's parts through.
bool http_upload_allowed(HttpServer* server, HttpConnection* conn);
// Installs a callback; returns the previous one (a null callback changes
// nothing and gives null).
HttpUploadCallback http_set_upload_callback(HttpServer* server, HttpUploadCallback callback);
// The first "\r\n" in buffer that is followed by text, or null.
const char* http_find_line_marker(const char* buffer, int length, const char* text);
// Reads "Content-Length:" and "boundary=" from the slot's header text and
// gives the slot an upload context with "--" + boundary; true when it did.
bool http_scan_upload_header(HttpConnection* conn);
