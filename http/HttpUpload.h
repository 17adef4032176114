// Uploads: multipart/form-data bodies and raw uploads written into the
// document directory through the server's upload callback.
#pragma once
#include "HttpServer.h"

// Most field pairs kept per request.
constexpr int HTTP_UPLOAD_MAX_FIELDS = 50;

// Upload context of one request (zeroed block from vekCalloc), owned by the
// slot's upload field and released when the slot is closed or re-armed.
struct UploadContext {
    char boundary[80];                        // "--" + boundary; empty for a raw upload
    u8 partState;                             // 0 none, 1 part being written, 2 last piece written
    int buffered;                             // body bytes waiting at the start of ioBuffer
    char* fields[HTTP_UPLOAD_MAX_FIELDS][2];  // name and value of each part seen
    HttpServer* server;                       // set when the body starts
    int fieldCount;                           // pairs in use
    const char* path;                         // request path, set when the body starts
    char fileName[256];                       // file of the current part or the raw upload
    int* openFile;                            // block holding the open descriptor; null = none
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
// same results. A raw upload ends when the peer closes.
int http_upload_receive(HttpServer* server, HttpConnection* conn);
// 1 the body is complete, 0 more is needed, -1 failure.
int http_parse_multipart(HttpServer* server, HttpConnection* conn, bool haveData);
// The upload callback installed by the start-up: writes file data.
int http_upload_data(const char* documentRoot, UploadContext* upload, const void* data, int length);
// Whether the upload gate lets this slot's parts through.
bool http_upload_allowed(HttpServer* server, HttpConnection* conn);
// Installs a callback; returns the previous one (a null callback changes nothing).
HttpUploadCallback http_set_upload_callback(HttpServer* server, HttpUploadCallback callback);
