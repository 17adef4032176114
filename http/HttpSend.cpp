// Sending an answer: the header with a body held in memory, the body from
// the output area (a buffer or a handler's data source), and a document
// from its file with chunk framing, the dollar filter, zero padding up to
// the announced length and the send throttle.
#include "HttpServer.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "HttpHandlers.h"
#include "HttpResponse.h"
#include "kernel/VEKLog.h"

using VekKernel::vekLog;

namespace {

int sendChunkLine(int socket, const char* format, int64 length)
{
    char line[32];
    int size = std::snprintf(line, sizeof line, format, static_cast<unsigned long long>(length));
    return http_send_all(socket, line, size);
}

// Sends what waits at out; 0 when something went (or the socket is full
// for now), -1 when the peer is gone.
int sendPending(HttpServer* server, HttpConnection* conn)
{
    ssize_t sent = send(conn->socket, conn->out, static_cast<size_t>(conn->outPending), MSG_NOSIGNAL);
    if (sent < 1) {
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
        conn->flags |= HTTP_CLOSE_AFTER;
        return -1;
    }
    server->bytesSent += sent;
    conn->sentBytes += sent;
    conn->out += sent;
    conn->outPending -= sent;
    return 0;
}

// Bytes of the announced answer still owed (header and body).
int64 bytesOwed(const HttpConnection* conn)
{
    return conn->headerBytes + conn->bodyLength - conn->sentBytes;
}

// Reads the next block of the document (or zero padding once the file is
// shorter than announced) into ioBuffer; 1 when the answer is complete.
int refillFromFile(HttpServer* server, HttpConnection* conn)
{
    bool capped = !(conn->flags & HTTP_FRAMED_FILE);
    int64 want = HTTP_IO_BUFFER;
    if (capped && bytesOwed(conn) < want) want = bytesOwed(conn);
    ssize_t got = want > 0 ? read(conn->fileDescriptor, conn->ioBuffer, static_cast<size_t>(want)) : 0;
    if (got > 0 && (conn->flags & HTTP_DOLLAR_FILTER) && server->dataSourceCallback) {
        int consumed = 0;
        ssize_t readBytes = got;
        got = http_dollar_filter(server->dataSourceCallback, conn->ioBuffer, static_cast<int>(got), &consumed);
        // A mark cut by the block's end is read again with the next block.
        if (consumed < readBytes) lseek(conn->fileDescriptor, -static_cast<off_t>(readBytes - consumed), SEEK_CUR);
    }
    if (got > 0) {
        conn->out = conn->ioBuffer;
        conn->outPending = got;
        return 0;
    }
    int64 owed = bytesOwed(conn);
    if (owed > 0) {
        // The file was shorter than announced: pad so the length is met.
        if (owed > HTTP_IO_BUFFER) owed = HTTP_IO_BUFFER;
        std::memset(conn->ioBuffer, 0, static_cast<size_t>(owed));
        conn->out = conn->ioBuffer;
        conn->outPending = owed;
        return 0;
    }
    if (conn->flags & HTTP_CHUNKED) http_send_all(conn->socket, "0\r\n\r\n", 5);
    close(conn->fileDescriptor);
    conn->fileDescriptor = 0;
    return 1;
}

// Reads the first block of the document in behind the header waiting in the
// output area, so that both leave in one send. Not with chunks or the
// dollar filter, which frame or rewrite each block on its own.
void appendFirstBlock(HttpConnection* conn)
{
    if (conn->sentBytes != 0 || conn->outPending != conn->headerBytes || conn->fileDescriptor <= 0 ||
        (conn->flags & HTTP_FRAMED_FILE))
        return;
    char* end = conn->out + conn->outPending;
    int64 room = conn->outCapacity - conn->outPending;
    int64 owed = bytesOwed(conn) - conn->outPending;
    if (owed < room) room = owed;
    ssize_t got = room > 0 ? read(conn->fileDescriptor, end, static_cast<size_t>(room)) : 0;
    if (got > 0) conn->outPending += got;
}

bool throttled(HttpServer* server, HttpConnection* conn)
{
    if (!server->rateLimit) return false;
    int64 rate = conn->sentBytes / ((time(nullptr) - conn->acceptTime) * 1024 + 1);
    if (rate == 0 || rate <= server->rateLimit) return false;
    conn->sendNotBefore = http_now_ms() + 1000;
    if (!conn->sendNotBefore) conn->sendNotBefore = 1;
    return true;
}

// One send of file data with its chunk framing when chunked coding is on.
int sendFileData(HttpServer* server, HttpConnection* conn)
{
    bool chunk = (conn->flags & HTTP_CHUNK_LINES) == HTTP_CHUNK_LINES;
    if (chunk && sendChunkLine(conn->socket, "%llX\r\n", conn->outPending) < 0) return -1;
    int64 before = conn->outPending;
    if (chunk) {
        // A chunk goes out whole so that its size line stays true.
        if (http_send_all(conn->socket, conn->out, before) < 0 || http_send_all(conn->socket, "\r\n", 2) < 0)
            return -1;
        server->bytesSent += before;
        conn->sentBytes += before;
        conn->outPending = 0;
        return 0;
    }
    if (sendPending(server, conn) < 0) return -1;
    if (conn->sentBytes >= conn->headerBytes) conn->flags |= HTTP_HEADER_SENT;
    return 0;
}

}  // namespace

u32 http_now_ms()
{
    timeval now;
    gettimeofday(&now, nullptr);
    return static_cast<u32>(static_cast<u64>(now.tv_sec) * 1000 + static_cast<u64>(now.tv_usec) / 1000);
}

time_t http_body_clock()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec;
}

int http_send_all(int socket, const char* data, int64 length)
{
    int waits = 0;
    while (length > 0) {
        ssize_t sent = send(socket, data, static_cast<size_t>(length), MSG_NOSIGNAL);
        if (sent > 0) {
            data += sent;
            length -= sent;
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) && waits++ < 50) {
            // The socket is full: wait a little for room instead of failing.
            pollfd watch = {socket, POLLOUT, 0};
            poll(&watch, 1, 100);
            continue;
        }
        return -1;
    }
    return 0;
}

int http_send_header_and_body(HttpServer* server, HttpConnection* conn, const char* header, int length)
{
    iovec parts[2] = {{const_cast<char*>(header), static_cast<size_t>(length)},
                      {conn->out, static_cast<size_t>(conn->outPending > 0 ? conn->outPending : 0)}};
    msghdr message = {};
    message.msg_iov = parts;
    message.msg_iovlen = 2;
    ssize_t sent = sendmsg(conn->socket, &message, MSG_NOSIGNAL);
    if (sent < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
        sent = 0;
    }
    if (sent < length) {
        // The header always leaves whole; what is left of the body waits
        // for the loop's send steps.
        if (http_send_all(conn->socket, header + sent, length - sent) != 0) return -1;
        sent = length;
    }
    int64 body = sent - length;
    server->bytesSent += body;
    conn->sentBytes += body;
    conn->out += body;
    conn->outPending -= body;
    conn->flags |= HTTP_HEADER_SENT;
    return conn->outPending > 0 ? 0 : 1;
}

int http_send_from_buffer(HttpServer* server, HttpConnection* conn)
{
    bool chunked = conn->flags & HTTP_CHUNKED;
    if (conn->outPending < 1) {
        if ((conn->flags & HTTP_DATA_SOURCE) && conn->handlerEntry) {
            int64 piece = http_handler_next_piece(server, conn);
            if (piece > 0) {
                conn->out = conn->ioBuffer;
                conn->outPending = piece;
                return 0;
            }
            if (chunked) http_send_all(conn->socket, "0\r\n\r\n", 5);
            conn->flags |= HTTP_CLOSE_AFTER;
            return 1;
        }
        if (chunked) {
            http_send_all(conn->socket, "0\r\n\r\n", 5);
        } else {
            // An empty header-less answer is one NUL byte, its end mark.
            conn->flags |= HTTP_CLOSE_AFTER;
            http_send_all(conn->socket, "", 1);
        }
        return 1;
    }
    if (chunked) {
        if (sendChunkLine(conn->socket, "%llx\r\n", conn->outPending) < 0) return -1;
        if (http_send_all(conn->socket, conn->out, conn->outPending) < 0 ||
            http_send_all(conn->socket, "\r\n", 2) < 0)
            return -1;
        server->bytesSent += conn->outPending;
        conn->sentBytes += conn->outPending;
        conn->outPending = 0;
        return 0;
    }
    if (sendPending(server, conn) < 0) return -1;
    // Everything went and no more will come: the answer is complete.
    if (conn->outPending == 0 && !(conn->flags & HTTP_DATA_SOURCE)) return 1;
    return 0;
}

int http_send_from_file(HttpServer* server, HttpConnection* conn)
{
    if (conn->flags & HTTP_BODY_IN_AREA) return http_send_from_buffer(server, conn);
    if (!(conn->flags & HTTP_SERVE_FILE)) {
        vekLog.system("Invalid content source");
        return -1;
    }
    if (throttled(server, conn)) return 0;
    appendFirstBlock(conn);
    if (conn->outPending > 0) {
        if (sendFileData(server, conn) < 0) return -1;
        if (conn->outPending > 0) return 0;
    }
    if (conn->fileDescriptor <= 0) return 1;
    // The loop closes a slot that has nothing pending, so a step always ends
    // with a refilled buffer or a finished answer.
    if (refillFromFile(server, conn) == 1) return 1;
    if (sendFileData(server, conn) < 0) return -1;
    if (conn->outPending > 0) return 0;
    return refillFromFile(server, conn);
}
