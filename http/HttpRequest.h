// Request parsing: one receive step of a client slot, the header fields,
// POST bodies, raw template requests, the Basic check and URL decoding.
#pragma once
#include <string>

#include "HttpServer.h"

// One receive step: 0 keeps the slot, anything else makes the engine close it.
int http_read_request(HttpServer* server, HttpConnection* conn);
// Fills the slot's fields from the header text in its ioBuffer; -1 when
// neither "HTTP/1." nor "RTSP/1." occurs in it.
int http_parse_header(HttpConnection* conn);

// True when text starts with two hexadecimal digits (either case).
bool isHexPair(const char* text);
// The byte two hexadecimal digits encode.
char hexByte(const char* text);
// What becomes of a '%' that is followed by fewer than two characters.
enum class CutPercent {
    EndsText,  // the decoded text ends before it
    Dropped,   // it is left out and the characters after it are kept
    Kept,      // it is kept as it stands
};
// The one percent decoding of the server: '+' becomes a blank, '%' and two
// hexadecimal digits the byte they encode, any other '%' stays; a '%' at
// the end of the text as cut says. The length bytes of text are read.
std::string percent_decode(const char* text, size_t length, CutPercent cut);
// A handler's request parameter value, decoded in place: a value cut off
// after its '%' ends there, so a torn escape never reaches a handler as text.
void url_decode_in_place(char* text);
// The path and the POST form values that pages see: a torn escape's '%' is
// left out and the rest kept, so a page gets every character that was sent
// as text.
std::string url_decode(const std::string& text);
// Used slots whose peer is address.
int http_count_address(HttpServer* server, u32 address);
// Length of prefix when *text starts with it regardless of case (and *text
// advanced past it), else 0; an empty prefix gives 0.
int match_prefix_nocase(const char** text, const char* prefix);

// One Basic-authorisation entry; a null pathPrefix ends the table.
struct HttpAuthEntry {
    const char* pathPrefix;   // paths that need these credentials
    const char* user;         // user name
    const char* pass;         // pass text
    const char* extra;        // further word, unused by the check
    char credential[64];      // cached "Basic <base64>\r\n", built on first use
};
// Results of the Basic check.
enum { HTTP_AUTH_NONE = 0, HTTP_AUTH_OK = 1, HTTP_AUTH_REQUIRED = 2, HTTP_AUTH_FAILED = -1 };
// Checks the request's Authorization value against the table.
int http_check_basic_auth(HttpAuthEntry* table, const char* path, const char* authorization);
// "Basic " + base64("user:pass") + "\r\n" into a 64-byte area; -1 when it
// would not fit.
int http_make_basic_credential(const char* user, const char* pass, char* out);
// Frees the POST body of the slot and gives its bytes back to the server's
// held-body total.
void http_release_body(HttpServer* server, HttpConnection* conn);
// Frees the POST body and the raw request text of the slot and gives their
// bytes back to the server's held-body total.
void http_release_held(HttpServer* server, HttpConnection* conn);
