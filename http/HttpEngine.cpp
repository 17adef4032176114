// The connection engine: server start and stop, slot arming and closing, and
// the single-threaded loop that reads, runs templates and sends.
//
// Rules the loop keeps:
//  1. A slot is free while its socket is 0; every other field of a free slot
//     is either zero or released (ioBuffer excepted: it stays for reuse).
//  2. Every answer ends with the connection closed: each caller sets
//     HTTP_CLOSE_AFTER before http_close_connection.
//  3. The signal handler only sets `stop` and writes a byte to the
//     self-pipe; sockets, hostMap and documentPath are released by the
//     loop's end and by http_server_stop, both of which run on the loop's
//     own path, never inside the handler.
//  4. The loop waits on its sockets only while nothing can be done without
//     a socket event: not at all while a page can run, otherwise until the
//     nearest moment a slot needs the loop (a deadline passes, a throttled
//     send resumes, a page's remote exchange times out), and without limit
//     when nothing is pending. The self-pipe's byte ends the wait of a stop
//     request that arrives between the test of `stop` and the wait. The wait
//     takes any descriptor number (HttpSelect.h), and also reports a running
//     page's client leaving and the socket of a page's remote exchange
//     becoming ready.
//  5. A listening socket that stays ready never makes the loop spin: when
//     no descriptor is left for the waiting connection, a spare one is
//     given up to take and refuse it; when even that fails, the loop stops
//     watching the listening socket for a moment (HttpListen.cpp).
//
// A slot's life. A used slot is in at most one phase of HTTP_PHASES:
//
//              accept: armed                request complete
//      FREE -----------------> READING ------------------------> WRITING
//       ^                       |  ^  (http_read_request)           |
//       |                       |  |                                |
//       |      template page    |  +---- re-arm: closed without ----+
//       |  (http_start_template)|        HTTP_CLOSE_AFTER           ^
//       |                       v                                   |
//       |                    RUNNING ------------------------------+
//       |                        run finished (http_continue_template)
//       |
//       +-- closed with HTTP_CLOSE_AFTER (http_close_connection): from any
//           phase, for a finished answer, a failure or a passed deadline;
//           from READING for a body too slow, from RUNNING for a client
//           that has gone
//
// A RUNNING slot, and only a RUNNING slot, holds a template processor; a
// free slot holds no processor, document or upload. checkSlot asserts
// these in debug builds after every change of phase the loop makes. A
// slot that sends a finished run's output holds the output's share of the
// text budget (textCharge) until the body is freed.
#include "HttpServer.h"
#include "ServerVersion.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstring>
#include <exception>

#include "HttpHandlers.h"
#include "HttpListen.h"
#include "HttpRequest.h"
#include "HttpResponse.h"
#include "HttpSelect.h"
#include "HttpTemplate.h"
#include "HttpUpload.h"
#include "kernel/VEKClient.h"
#include "kernel/VEKLog.h"
#include "kernel/VekAlloc.h"

using VekKernel::vekLog;

HttpServer httpServer;
const char* const HTTP_SERVER_NAME = VEK_SERVER_NAME;

namespace {

// Longest wait when no self-pipe could be made: a stop request that comes
// just before the wait is then still seen within this time.
constexpr long WAIT_WITHOUT_PIPE_US = 1000000;
// Longest wait computed from a deadline (longer ones are computed again).
constexpr time_t LONGEST_WAIT_S = 3600;
// Largest raw text store a slot keeps for its next request.
constexpr size_t RAW_TEXT_KEPT = 65536;
constexpr useconds_t SELECT_FAILURE_PAUSE_US = 1024000;
constexpr int REARM_WINDOW_S = 15;

// Event 0 (start) goes to every entry with a life-cycle callback; event 1
// (end of the loop) only to the entries that still have a handler.
void callLifeCycles(HttpServer* server, int event)
{
    if (!server->handlers) return;
    for (HttpHandlerEntry* entry = server->handlers; entry->prefix; ++entry) {
        if (!entry->lifeCycle || (event != 0 && !entry->handler)) continue;
        // A handler whose start fails is switched off for the whole run.
        if (entry->lifeCycle(event, entry, server) != 0 && event == 0) entry->handler = nullptr;
    }
}

// Closes the slot for good. The other flags stay as they are: they tell
// the close what the slot still owns (a body block to free, a data-source
// handler that must get its end notice), so a slot dropped for idleness or
// a failure releases the same as a finished one.
void closeSlot(HttpServer* server, HttpConnection* conn)
{
    conn->flags |= HTTP_CLOSE_AFTER;
    http_close_connection(server, conn);
}

// Releases what a request holds, before the slot is re-armed or closed.
void releaseRequest(HttpServer* server, HttpConnection* conn)
{
    if (conn->fileDescriptor > 0) close(conn->fileDescriptor);
    conn->fileDescriptor = 0;
    if (conn->upload) {
        // A file still open here was cut off (a deadline, a reset, a
        // failure): finished files are closed by their last piece. The
        // short file is not left to be served as the client's, nor to
        // refuse the client's next try.
        http_upload_discard(server, conn->upload);
        http_upload_release(server, &conn->upload);
    }
    http_release_held(server, conn);
    if (conn->handlerEntry &&
        ((conn->flags & HTTP_DATA_SOURCE) || (conn->flags & HTTP_RAW_CLOSING) == HTTP_RAW_CLOSING))
        http_handler_end_notice(server, conn);
    conn->handlerEntry = nullptr;
    if (conn->flags & HTTP_OWNS_BODY) {
        if (conn->ownedBody) vekFree(&conn->ownedBody);
        conn->flags &= ~HTTP_OWNS_BODY;
    }
    http_release_output(conn);
    http_abort_template(conn);
    if (conn->path) vekFree(&conn->path);
}

// A run whose client has gone is stopped and its slot freed, as a failed
// run is (its base sessions are given back, a writer rolled back): nobody
// is left to read its answer. A hang-up or a failed connection (a reset)
// is such a departure, whatever the client sent after its request and the
// server never read. The end of the client's input is not: a client may
// shut only its sending side after its request and wait for the answer,
// and until the answer is sent it cannot be told from one that closed its
// whole end. Its run may go on for HTTP_HALF_CLOSE_GRACE_S more seconds: a
// deadline that slices no longer renew (runTemplateSlice), after which the
// loop closes the slot as an idle one.
void noteDeparture(HttpServer* server, HttpConnection* conn, const HttpSelect* sets, time_t now)
{
    if (!(conn->flags & HTTP_TEMPLATE)) return;
    switch (http_select_departure(sets, conn->socket)) {
    case HTTP_PEER_PRESENT:
        return;
    case HTTP_PEER_HALF_CLOSED:
        if (conn->peerHalfClosed) return;
        conn->peerHalfClosed = 1;
        if (conn->deadline > now + HTTP_HALF_CLOSE_GRACE_S) conn->deadline = now + HTTP_HALF_CLOSE_GRACE_S;
        return;
    case HTTP_PEER_GONE:
        vekLog.system("Client gone, run stopped");
        closeSlot(server, conn);
        return;
    }
}

// A request's header (or raw template text) must arrive whole within the
// idle timeout from its first byte: bytes that trickle in do not renew the
// deadline, so a slow sender cannot hold its slot. Bodies, which may be
// long uploads, are held to a rate instead (bodyTooSlow).
bool requestUnderway(const HttpConnection* conn)
{
    if (!(conn->flags & HTTP_READING) || conn->headerLength) return false;
    return conn->outPending > 0 || (conn->rawText && !conn->rawText->empty());
}

bool readingBody(const HttpConnection* conn)
{
    return (conn->flags & (HTTP_READING | HTTP_POST)) == (HTTP_READING | HTTP_POST) && conn->headerLength;
}

// Whether the slot's idle deadline closes it. A body's own rule bounds how
// long it may pause (bodyTooSlow), and allows longer pauses than the idle
// timeout.
bool deadlineApplies(const HttpConnection* conn)
{
    return !readingBody(conn);
}

// True when a request body (a form, a multipart or a raw upload) has
// fallen further behind HTTP_MIN_BODY_RATE than its margin allows. The
// margin, HTTP_BODY_MARGIN_S seconds of the rate, is full when the body
// starts; each second takes the rate from it and each byte that comes adds
// one, up to full again. So a body may pause (a congested line) for as
// long as the margin it has earned back, while one that stalls after a
// burst, which buys no more than a full margin, or that trickles a byte
// now and then, is dropped within the margin. A body that trickles renews
// no deadline (prepareSlot): this is what frees its slot. Its seconds are
// http_body_clock's, never the wall clock's, which may be stepped.
bool bodyTooSlow(HttpConnection* conn)
{
    if (!readingBody(conn)) return false;
    constexpr int64 FULL_MARGIN = HTTP_MIN_BODY_RATE * HTTP_BODY_MARGIN_S;
    const time_t now = http_body_clock();
    int64 margin = conn->bodyMargin + (conn->bodyReceived - conn->bodyMarginCounted) -
                   HTTP_MIN_BODY_RATE * (now - conn->bodyMarginSecond);
    conn->bodyMargin = margin < FULL_MARGIN ? margin : FULL_MARGIN;
    conn->bodyMarginCounted = conn->bodyReceived;
    conn->bodyMarginSecond = now;
    return conn->bodyMargin < 0;
}

// Runs one template slice; an exception drops the run and closes the slot.
void runTemplateSlice(HttpServer* server, HttpConnection* conn, time_t now)
{
    int result;
    try {
        result = http_continue_template(server, conn);
    } catch (const std::exception& e) {
        vekLog.error(e.what(), __FILE__, __LINE__);
        result = -1;
    } catch (...) {
        vekLog.error("", __FILE__, __LINE__);
        result = -1;
    }
    // A half-closed client's run keeps the deadline of its grace
    // (noteDeparture); its answer, once the run has finished, gets the
    // idle timeout as every answer does.
    const bool graceRuns = conn->peerHalfClosed && (conn->flags & HTTP_TEMPLATE);
    if (result == 0 && !graceRuns) conn->deadline = now + server->idleTimeout;
    else if (result != 0) closeSlot(server, conn);  // finished header-less answers and failed runs alike
}

// True once per slot and second: the socket's error query, which costs a
// syscall, runs then rather than in every turn, where a syscall per slot
// would cost a running page a good part of its time. It finds a state that
// lasts (a descriptor that is not an open socket), so a second's delay
// loses nothing.
bool socketCheckDue(HttpConnection* conn, time_t now)
{
    if (conn->socketCheckTime == now) return false;
    conn->socketCheckTime = now;
    return true;
}

// True when the slot's descriptor no longer answers an SO_ERROR query.
bool socketQueryFails(const HttpConnection* conn)
{
    int error = 0;
    socklen_t length = sizeof error;
    return getsockopt(conn->socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0;
}

// The rules of the slot diagram above.
void checkSlot(const HttpConnection* conn)
{
    const u32 phase = conn->flags & HTTP_PHASES;
    (void)phase;
    if (!conn->socket) {
        assert(conn->processor == nullptr && conn->fileDescriptor == 0 && conn->upload == nullptr);
        return;
    }
    assert((phase & (phase - 1)) == 0);  // at most one phase
    assert((phase == HTTP_TEMPLATE) == (conn->processor != nullptr));
}

// A running page's interests in the wait: its client's departure (once
// its end of input was seen, only a hang-up or failure, which that end
// would otherwise report at every wait), and the socket of a remote
// exchange it waits on, whose readiness lets the run go on (the loop then
// gives it its slice at once).
void watchRun(const HttpConnection* conn, HttpSelect* sets)
{
    if (conn->peerHalfClosed) http_select_add_hangup(sets, conn->socket);
    else http_select_add_departure(sets, conn->socket);
    bool forOutput = false;
    int exchange = http_template_wait_socket(conn, &forOutput);
    if (exchange < 0) return;
    if (forOutput) http_select_add_write(sets, exchange);
    else http_select_add_read(sets, exchange);
}

// Step 2 of a turn for one slot: error and deadline checks, throttle,
// body rate, template slice, then the slot's interest in the wait.
void prepareSlot(HttpServer* server, HttpConnection* conn, time_t now, HttpSelect* sets)
{
    checkSlot(conn);
    if (socketCheckDue(conn, now) && socketQueryFails(conn)) {
        vekLog.system("Invalid connection.");
        closeSlot(server, conn);
        return;
    }
    if (conn->deadline < now && deadlineApplies(conn)) {
        vekLog.system("Connection time out");
        server->timeoutCount++;
        closeSlot(server, conn);
        return;
    }
    if (bodyTooSlow(conn)) {
        vekLog.system("Request body too slow, connection closed");
        if (conn->upload) http_upload_discard(server, conn->upload);
        closeSlot(server, conn);
        return;
    }
    if (conn->sendNotBefore) {
        if (static_cast<int>(http_now_ms() - conn->sendNotBefore) < 0) return;
        conn->sendNotBefore = 0;
    }
    if (conn->flags & HTTP_TEMPLATE) runTemplateSlice(server, conn, now);
    if (!conn->socket) return;
    checkSlot(conn);
    if (conn->flags & HTTP_READING) http_select_add_read(sets, conn->socket);
    if (conn->flags & HTTP_WRITING) http_select_add_write(sets, conn->socket);
    if (conn->flags & HTTP_TEMPLATE) watchRun(conn, sets);
}

// One send for a writing slot; 1 when nothing is left to send. The file
// sender picks the output area or the document by the slot's flags.
int writeStep(HttpServer* server, HttpConnection* conn)
{
    if (conn->outPending <= 0 && !(conn->flags & HTTP_DATA_SOURCE)) return 1;
    return http_send_from_file(server, conn);
}

void serviceSlot(HttpServer* server, HttpConnection* conn, time_t now, const HttpSelect* sets)
{
    int fd = conn->socket;
    int result;
    noteDeparture(server, conn, sets, now);
    if (!conn->socket) return;
    bool underway = requestUnderway(conn);
    if (http_select_writable(sets, fd) && (conn->flags & HTTP_WRITING)) {
        result = writeStep(server, conn);
    } else if (http_select_readable(sets, fd)) {
        result = (conn->flags & HTTP_READING) ? http_read_request(server, conn) : -1;
    } else {
        return;
    }
    if (result == 0) {
        if (conn->socket && !(underway && requestUnderway(conn))) conn->deadline = now + server->idleTimeout;
    } else {
        closeSlot(server, conn);
    }
}

HttpConnection* firstFreeSlot(HttpServer* server)
{
    for (int i = 0; i < server->maxClients; ++i)
        if (!server->slots[i].socket) return &server->slots[i];
    return nullptr;
}

void acceptNew(HttpServer* server, time_t now)
{
    HttpConnection* conn = firstFreeSlot(server);
    if (!conn) {
        http_reject_full(server);
        return;
    }
    u32 peer = 0;
    int fd = http_accept_or_refuse(server, &peer);
    if (fd == 0) return;
    conn->socket = fd;
    conn->peerAddress = peer;
    server->connections++;
    http_rearm_connection(conn);
    conn->acceptTime = now;
    conn->requestsOnSocket = 0;
    conn->deadline = now + server->idleTimeout;
    if (server->peak < server->connections) server->peak = server->connections;
}

// The self-pipe that wakes the loop from its wait on a stop request.
void openWakePipe(HttpServer* server)
{
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return;
    server->wakeReadFd = fds[0];
    server->wakeWriteFd = fds[1];
}

void closeWakePipe(HttpServer* server)
{
    // The write end is forgotten before it is closed, so a signal that
    // comes now never writes to a descriptor number reused by then.
    int writeFd = server->wakeWriteFd;
    server->wakeWriteFd = 0;
    if (writeFd > 0) close(writeFd);
    if (server->wakeReadFd > 0) close(server->wakeReadFd);
    server->wakeReadFd = 0;
}

void drainWakePipe(HttpServer* server)
{
    char scrap[64];
    while (read(server->wakeReadFd, scrap, sizeof scrap) > 0) {
    }
}

// Lowers *wait (microseconds; negative = no limit) to limit (at least 0).
void waitAtMost(long* wait, long limit)
{
    if (limit < 0) limit = 0;
    if (*wait < 0 || limit < *wait) *wait = limit;
}

// Microseconds from now until the first time() past deadline, when the
// loop closes the slot.
long untilPast(time_t deadline, const timeval& now)
{
    time_t seconds = deadline + 1 - now.tv_sec;
    if (seconds > LONGEST_WAIT_S) seconds = LONGEST_WAIT_S;
    return static_cast<long>(seconds) * 1000000 - now.tv_usec;
}

// How long this turn's wait may last (rule 4).
long turnWait(HttpServer* server)
{
    long wait = server->wakeReadFd > 0 ? -1 : WAIT_WITHOUT_PIPE_US;
    timeval now;
    gettimeofday(&now, nullptr);
    for (int i = 0; i < server->maxClients && wait != 0; ++i) {
        const HttpConnection* conn = &server->slots[i];
        if (!conn->socket) continue;
        if (conn->flags & HTTP_TEMPLATE) waitAtMost(&wait, http_template_wait_us(conn));
        if (conn->sendNotBefore)
            waitAtMost(&wait, static_cast<long>(static_cast<int>(conn->sendNotBefore - http_now_ms())) * 1000);
        if (deadlineApplies(conn)) waitAtMost(&wait, untilPast(conn->deadline, now));
        // A body's margin is looked at every second: a stalled body is
        // dropped on time even while nothing arrives.
        else waitAtMost(&wait, untilPast(now.tv_sec, now));
    }
    long paused = http_accept_pause_left();
    if (paused > 0) waitAtMost(&wait, paused * 1000);
    return wait;
}

void loopTurn(HttpServer* server)
{
    HttpSelect& sets = *server->readiness;
    http_select_clear(&sets);
    const bool listening = http_accept_pause_left() == 0;
    if (listening) http_select_add_read(&sets, server->listenSocket);
    if (server->wakeReadFd > 0) http_select_add_read(&sets, server->wakeReadFd);
    time_t now = time(nullptr);
    for (int i = 0; i < server->maxClients && !server->stop; ++i)
        if (server->slots[i].socket) prepareSlot(server, &server->slots[i], now, &sets);
    int ready = http_select_wait(&sets, server->stop ? 0 : turnWait(server));
    if (ready < 0) {
        if (!server->stop) usleep(SELECT_FAILURE_PAUSE_US);
        return;
    }
    if (ready == 0) return;
    // The wait may have lasted long (without limit when idle): deadlines set
    // from here on count from the time the sockets became ready.
    now = time(nullptr);
    if (server->wakeReadFd > 0 && http_select_readable(&sets, server->wakeReadFd)) drainWakePipe(server);
    for (int i = 0; i < server->maxClients; ++i)
        if (server->slots[i].socket) serviceSlot(server, &server->slots[i], now, &sets);
    if (listening && http_select_readable(&sets, server->listenSocket)) acceptNew(server, now);
}

void loopEnd(HttpServer* server)
{
    http_close_all(server);
    vekLog.system("Stopping server...");
    for (int i = 0; i < server->maxClients; ++i) {
        HttpConnection* conn = &server->slots[i];
        if (conn->ioBuffer) vekFree(&conn->ioBuffer);
        delete conn->rawText;
        conn->rawText = nullptr;
    }
    callLifeCycles(server, 1);
    closeWakePipe(server);
    http_spare_descriptor_close();
    delete server->readiness;
    server->readiness = nullptr;
    vekFree(&server->slots);
    server->stop = 0;
    server->running = 0;
}

}  // namespace

int http_server_init(HttpServer* server)
{
    std::memset(static_cast<void*>(server), 0, sizeof *server);
    server->port = 80;
    server->idleTimeout = 260;
    server->maxClients = 32;
    return 0;
}

int http_server_start(HttpServer* server)
{
    if (server->running) return -1;
    if (server->maxClients <= 0) {
        vekLog.system("Maximum clients not set");
        return -1;
    }
    server->slots = static_cast<HttpConnection*>(
        vekCalloc(static_cast<u32>(server->maxClients), sizeof(HttpConnection)));
    callLifeCycles(server, 0);
    if (http_listen_open(server) != 0) {
        vekFree(&server->slots);
        return -1;
    }
    openWakePipe(server);
    http_spare_descriptor_open();
    server->readiness = new HttpSelect();
    server->startTime = time(nullptr);
    server->stop = 0;
    server->running = 1;
    if (server->idleTimeout == 0) server->idleTimeout = 120;
    return 0;
}

int http_main_loop(HttpServer* server)
{
    while (!server->stop) loopTurn(server);
    loopEnd(server);
    return 0;
}

void http_server_request_stop(HttpServer* server)
{
    server->stop = 1;
    int fd = server->wakeWriteFd;
    if (fd <= 0) return;
    int savedErrno = errno;  // a signal handler leaves errno as it found it
    ssize_t ignored = write(fd, "", 1);
    (void)ignored;
    errno = savedErrno;
}

int http_server_stop(HttpServer* server)
{
    if (server->released) return 0;
    server->released = 1;
    int result = (server->running && !server->stop) ? 0 : -1;
    http_close_all(server);
    if (server->hostMap) {
        server->hostMap->clear();
        delete server->hostMap;
        server->hostMap = nullptr;
    }
    delete server->documentPath;
    server->documentPath = nullptr;
    server->stop = 1;
    http_net_cleanup();
    return result;
}

void http_close_connection(HttpServer* server, HttpConnection* conn)
{
    if (!conn->socket) return;
    releaseRequest(server, conn);
    if (!(conn->flags & HTTP_CLOSE_AFTER)) {
        http_rearm_connection(conn);
        conn->deadline = time(nullptr) + REARM_WINDOW_S;
        checkSlot(conn);
        return;
    }
    http_close_client_socket(conn->socket);
    conn->socket = 0;
    if (server->connections) server->connections--;
    conn->requestsOnSocket = 0;
    delete conn->rawText;
    conn->rawText = nullptr;
    checkSlot(conn);
}

void http_rearm_connection(HttpConnection* conn)
{
    conn->status = 200;
    conn->headerBytes = 0;
    conn->sentBytes = 0;
    conn->bodyLength = 0;
    conn->mimeIndex = 0;
    conn->rangeStart = 0;
    conn->rangeEnd = -1;
    conn->bodyReceived = 0;
    conn->host = conn->referer = conn->transport = conn->authorization = nullptr;
    conn->path = nullptr;
    conn->headerLength = 0;
    conn->contentLength = 0;
    conn->cseq = 0;
    conn->body = nullptr;
    conn->handlerEntry = nullptr;
    conn->upload = nullptr;
    conn->contentTypeOverride = nullptr;
    conn->fileDescriptor = 0;
    conn->flags = HTTP_READING;
    if (!conn->ioBuffer) conn->ioBuffer = static_cast<char*>(vekMalloc(HTTP_IO_BUFFER));
    conn->out = conn->ioBuffer;
    conn->outPending = 0;
    conn->outCapacity = HTTP_IO_BUFFER;
    // The slot keeps its raw text store across requests, unless a long
    // request left it large.
    if (conn->rawText && conn->rawText->capacity() <= RAW_TEXT_KEPT) {
        conn->rawText->clear();
    } else {
        delete conn->rawText;
        conn->rawText = new std::string();
    }
    conn->processor = nullptr;
    conn->peerHalfClosed = 0;
}

void http_close_all(HttpServer* server)
{
    if (server->listenSocket > 0) close(server->listenSocket);
    server->listenSocket = 0;
    if (!server->slots) return;
    for (int i = 0; i < server->maxClients; ++i) closeSlot(server, &server->slots[i]);
}

void http_start_body_clock(HttpConnection* conn)
{
    conn->bodyMargin = HTTP_MIN_BODY_RATE * HTTP_BODY_MARGIN_S;
    conn->bodyMarginSecond = http_body_clock();
    conn->bodyMarginCounted = conn->bodyReceived;
}
