// Fuzz target: the HTTP receive step. One client slot is fed over a
// socket pair in pieces of random size, and the slot is driven the way the
// engine's loop drives it: a template slice while a page runs, a send step
// while an answer goes out, a receive step while it reads. The document
// directory holds a page, a text file and a subdirectory; uploads reach a
// callback that checks them instead of writing files. When the input ends
// the client stops sending and the slot runs until it closes (or a turn
// budget is spent).
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstdlib>
#include <exception>

#include "FuzzSupport.h"
#include "TemplateGuard.h"
#include "http/HttpHandlers.h"
#include "http/HttpRequest.h"
#include "http/HttpTemplate.h"
#include "http/HttpUpload.h"
#include "kernel/VekAlloc.h"

using VekLanguage::TTMProcessor;

namespace {

constexpr int MaxTurns = 4000;

// Takes upload bytes without writing them; refuses the names the file
// writer refuses.
int checkUpload(const char*, UploadContext* upload, const void* data, int length)
{
    if (data && length < 0) std::abort();
    return http_upload_name_allowed(upload->fileName) ? 0 : -1;
}

void writeFile(const char* name, const char* text)
{
    FILE* file = std::fopen(name, "w");
    if (!file) std::abort();
    std::fputs(text, file);
    std::fclose(file);
}

void nonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL, 0) | O_NONBLOCK); }

// Reads and drops whatever the server sent.
void drain(int fd)
{
    char scrap[65536];
    while (recv(fd, scrap, sizeof scrap, MSG_DONTWAIT) > 0) {
    }
}

// One turn of the loop for the slot; false once the slot is closed.
bool turn(HttpServer* server, HttpConnection* conn)
{
    int result = 0;
    if (conn->flags & HTTP_TEMPLATE) {
        if (TTMProcessor* processor = static_cast<TTMProcessor*>(conn->processor)) VekFuzz::disarmOutsideWords(*processor);
        try {
            result = http_continue_template(server, conn);
        } catch (const std::exception&) {
            result = -1;
        }
    } else if (conn->flags & HTTP_WRITING) {
        if (conn->outPending <= 0 && !(conn->flags & HTTP_DATA_SOURCE)) result = 1;
        else if (conn->flags & (HTTP_FROM_BUFFER | HTTP_DATA_SOURCE)) result = http_send_from_buffer(server, conn);
        else if (conn->flags & HTTP_SERVE_FILE) result = http_send_from_file(server, conn);
        else result = -1;
    } else if (conn->flags & HTTP_READING) {
        result = http_read_request(server, conn);
    }
    if (result != 0) {
        conn->flags |= HTTP_CLOSE_AFTER;
        http_close_connection(server, conn);
    }
    return conn->socket != 0;
}

// Defines the wrapper the start-up script defines for every page.
void defineWrapper()
{
    TTMProcessor startup;
    startup.init(std::string());
    startup.setInput("#[=;vek_prog;[{PROGRAM}]]#[=.;vek_prog;{PROGRAM}]");
    startup.run(0);
}

HttpServer server;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    VekFuzz::enterScratchDirectory();
    if (mkdir("www", 0755) != 0 || mkdir("www/sub", 0755) != 0) std::abort();
    writeFile("www/index.html", "<html>index</html>\n");
    writeFile("www/sub/a.txt", "0123456789abcdef\n");
    writeFile("www/page.ttm", "#[.=;VEKSERVER_MIME_TYPE;[text/plain]]#[out;#[HTTP_PARAM_a]|#[VEKSERVER_ROOT_PATH]]");
    http_server_init(&server);
    std::snprintf(server.documentRoot, sizeof server.documentRoot, "www");
    server.maxClients = 1;
    server.slots = static_cast<HttpConnection*>(vekCalloc(1, sizeof(HttpConnection)));
    server.handlers = httpEmptyHandlerTable;
    server.uploadCallback = checkUpload;
    server.scriptSteps = 30;
    server.idleTimeout = 15;
    defineWrapper();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) std::abort();
    nonBlocking(pair[0]);
    nonBlocking(pair[1]);
    HttpConnection* conn = &server.slots[0];
    conn->socket = pair[0];
    conn->peerAddress = 0x7F000001;
    http_rearm_connection(conn);
    server.connections = 1;
    VekFuzz::Bytes in(data, size);
    bool open = true;
    int turns = 0;
    // Each piece: a length byte, then that many bytes, sent just before a
    // receive step.
    for (; open && !in.empty() && turns < MaxTurns; ++turns) {
        if (conn->flags & HTTP_READING && !(conn->flags & (HTTP_TEMPLATE | HTTP_WRITING))) {
            std::string piece = in.take(in.byte() + 1u);
            if (send(pair[1], piece.data(), piece.size(), MSG_NOSIGNAL) < 0) break;
        }
        open = turn(&server, conn);
        drain(pair[1]);
    }
    shutdown(pair[1], SHUT_WR);
    for (; open && turns < MaxTurns; ++turns) {
        open = turn(&server, conn);
        drain(pair[1]);
    }
    if (open) {
        conn->flags |= HTTP_CLOSE_AFTER;
        http_close_connection(&server, conn);
    }
    close(pair[1]);
    // Forms a page defined with "=" must not reach the next input.
    VekLanguage::LanguageProcessor::clearGlobalForms();
    defineWrapper();
    return 0;
}
