// Responses and static documents: the header writer, status reasons, the
// MIME table, the fixed pages, the per-host document directory, path
// normalisation, opening documents with ranges and index fallbacks, the
// dollar filter and the engine's small text functions.
#pragma once
#include <ctime>
#include <string>

#include "HttpServer.h"

// Size of the area a response header is built in.
constexpr int HTTP_HEADER_AREA = 336;

// Reason text of a status; empty for statuses without one.
const char* http_status_reason(int status);
// MIME table row for a file extension (compared without regard to case).
int http_mime_type_code(const char* extension);
// Content-Type text of a MIME table row.
const char* http_mime_type(int index);
// "Sun, 06 Dec 2026 21:00:00 GMT" into buffer.
void http_format_date(time_t when, char* buffer, int size);

// Builds the response header into area (HTTP_HEADER_AREA bytes, always
// terminated); a long Content-Type or Location text is cut to fit.
int http_build_header(HttpServer* server, HttpConnection* conn, time_t lastModified, char* area);
// Sends the header (nothing for header-less answers), together with a
// non-empty body held in memory; 1 when the whole answer went, 0 when the
// loop's send steps go on, -1 on failure.
int http_send_header(HttpServer* server, HttpConnection* conn);
// Sends a fixed HTML page with the status: the header lines every answer
// opens with, its length and type, then the page.
int http_send_page(int socket, int status, const char* page);
int http_send_403(int socket);
int http_send_404(int socket);
// The 500 page: the server could not do what the request asked.
int http_send_500(int socket);
// reason is HTTP_AUTH_REQUIRED or HTTP_AUTH_FAILED.
int http_send_401(HttpServer* server, HttpConnection* conn, int reason);
int http_send_301(HttpConnection* conn, const char* location);

// Document directory for the request's Host value.
std::string http_document_root(HttpServer* server, HttpConnection* conn);

// Work record of path normalisation.
struct PathJob {
    const char* root;       // document directory
    const char* source;     // request path, as received
    char text[256];         // the file path
    const char* extension;  // text after the last '.' of the last segment, or null
    int trailingSlash;      // the source ended with '/'
};
// Builds root + decoded source into job->text; its length, or -1 when the
// path must be answered as missing (a NUL byte, an absolute or climbing
// "~" path, or a path that does not fit).
int http_normalize_path(PathJob* job);
// True when a file of that name runs as a template page.
bool http_is_template_file(const char* path);

// Opens root + path for sending; 0 success, -1 failure.
int http_open_document(HttpServer* server, HttpConnection* conn, const char* root, const char* path);
// Serves the slot's path: a document, a page, an index fallback or the 404
// page; 0, or non-zero after the 404 page.
int http_serve_document(HttpServer* server, HttpConnection* conn);

// Runs the dollar filter over a block of length bytes; returns the new
// length and stores in *consumed how many bytes of the block were used.
int http_dollar_filter(HttpDataSourceCallback callback, char* block, int length, int* consumed);

// Small text functions of the engine.
int str_ends_with(const char* text, const char* tail);
int str_copy_len(char* dst, const char* src);
const char* str_find_nocase(const char* text, const char* word);
int copy_until(const char* src, char stop, char* dst, int size);
int replace_file_part(char* dst, const char* path, const char* name);
std::string local_ipv4_text();
