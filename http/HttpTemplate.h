// The template bridge: turns a request into a run of the template processor,
// resumes the run a slice per loop turn, and turns its output into the answer.
#pragma once
#include <string>
#include <utility>
#include <vector>

#include "HttpServer.h"

// Content-Type set by the last finished run; the slot's
// contentTypeOverride points at it.
extern std::string templateMimeType;
// Content-Type a run starts with, so that a page that does not set it is
// still answered with a valid type.
extern const char* const HTTP_TEMPLATE_DEFAULT_MIME;

// One injected definition: the form name and its exact value.
typedef std::pair<std::string, std::string> HttpInjectedForm;

// Starts a run for the slot; filePath is the page file (a ".ttm" page or
// the index.ttm fallback) or empty. Returns 0; -1 (logged, no run left)
// when the run cannot start.
int http_start_template(HttpServer* server, HttpConnection* conn, const std::string& filePath);
// One slice: 0 while the run goes on, else the result of sending the header;
// -1 when the run failed (logged and dropped).
int http_continue_template(HttpServer* server, HttpConnection* conn);
// How long the loop may wait before the run's next slice, in microseconds:
// 0 while it can go on; while a remote exchange waits on its socket (see
// http_template_wait_socket), until its timeout passes, at most a second;
// a short poll while the exchange's host name is looked up or the run
// waits for a base's writer slot, which no socket event announces.
long http_template_wait_us(const HttpConnection* conn);
// The socket the run's remote exchange waits on, -1 when none; *forOutput
// tells whether it waits to send (the connect, the request) rather than
// for the reply. Its readiness ends the loop's wait.
int http_template_wait_socket(const HttpConnection* conn, bool* forOutput);
// Drops a run in progress (the slot is being closed); the base sessions the
// run left open are ended first (its writer rolled back).
void http_abort_template(HttpConnection* conn);
// Gives the text budget back the share of the slot's answer body (the
// output of a finished run), when the body is freed.
void http_release_output(HttpConnection* conn);
// The parameter forms of a POST body: "HTTP_PARAM_<name>(<n>)" with the
// URL-decoded value, n counting earlier pairs of the same name.
std::vector<HttpInjectedForm> http_inject_params(const std::string& body);
// The prelude text of fixed definitions for the slot (remote address,
// version, status code, MIME type).
std::string http_template_prelude(HttpConnection* conn);
