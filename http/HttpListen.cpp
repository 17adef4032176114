// The listening socket and the taking of connections (HttpListen.h).
#include "HttpListen.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "HttpResponse.h"
#include "kernel/VEKClient.h"
#include "kernel/VEKLog.h"

using VekKernel::vekLog;

namespace {

// How long the loop stops watching the listening socket when a connection
// cannot be taken for want of descriptors or memory, even with the spare.
constexpr int ACCEPT_PAUSE_MS = 100;

// A descriptor kept open for the moment the process has no other: closing
// it lets the loop take the waiting connection, answer it with the refusal
// page and close it, so a listening socket that stays ready never makes
// the loop spin. -1 = none.
int spareDescriptor = -1;
// While set, the loop does not watch the listening socket before this time
// (http_now_ms).
bool acceptPaused = false;
u32 acceptPausedUntil = 0;
// errno of the last failed opening of the listening socket.
int listenError = 0;

void pauseAccepting()
{
    acceptPaused = true;
    acceptPausedUntil = http_now_ms() + ACCEPT_PAUSE_MS;
}

void setNonBlocking(int fd)
{
    int flags = fcntl(fd, F_GETFL, 0);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

void refuseConnection(int fd)
{
    vekLog.system("Connection denied");
    http_send_403(fd);
    http_close_client_socket(fd);
}

}  // namespace

void http_spare_descriptor_open()
{
    if (spareDescriptor < 0) spareDescriptor = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void http_spare_descriptor_close()
{
    if (spareDescriptor >= 0) close(spareDescriptor);
    spareDescriptor = -1;
}

// Milliseconds left of the pause of the listening socket; 0 when none.
long http_accept_pause_left()
{
    if (!acceptPaused) return 0;
    int left = static_cast<int>(acceptPausedUntil - http_now_ms());
    if (left > 0) return left;
    acceptPaused = false;
    return 0;
}

// socket, SO_REUSEADDR (so a restarted server does not fail on the ports
// its last run left in TIME_WAIT), bind, non-blocking, listen.
int http_listen_open(HttpServer* server)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 1) {
        listenError = fd < 0 ? errno : EBADF;
        return -1;
    }
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(server->bindAddress);
    address.sin_port = htons(static_cast<u16>(server->port));
    int backlog = server->maxClients - 1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        (setNonBlocking(fd), listen(fd, backlog < 0 ? 0 : backlog)) != 0) {
        listenError = errno;
        close(fd);
        return -1;
    }
    server->listenSocket = fd;
    acceptPaused = false;
    VekClient::serverPort = server->port;  // remote requests refuse it on this host
    return 0;
}

int http_listen_error()
{
    return listenError;
}

// Closes a client socket after reading what it still holds: closing with
// unread input makes the kernel reset the connection, which can destroy
// the end of the answer before the peer reads it.
void http_close_client_socket(int fd)
{
    char scrap[4096];
    for (int i = 0; i < 32 && recv(fd, scrap, sizeof scrap, MSG_DONTWAIT) > 0; ++i) {
    }
    close(fd);
}

// Accepts the waiting connection: its descriptor, or 0 when none was taken.
// When the process is out of descriptors, the spare is closed to take the
// connection, which is refused at once, and then opened again; when even
// that fails (or memory is short), the loop stops watching the listening
// socket for a moment rather than find it ready at every turn.
int http_accept_or_refuse(HttpServer* server, u32* peer)
{
    int fd = http_accept(server, peer);
    if (fd >= 0) return fd;
    const bool noDescriptor = errno == EMFILE || errno == ENFILE;
    if (noDescriptor && spareDescriptor >= 0) {
        http_spare_descriptor_close();
        int taken = http_accept(server, peer);
        if (taken > 0) refuseConnection(taken);
        http_spare_descriptor_open();
        if (taken >= 0 && spareDescriptor >= 0) return 0;
    }
    http_spare_descriptor_open();
    pauseAccepting();
    return 0;
}

void http_reject_full(HttpServer* server)
{
    u32 peer = 0;
    int fd = http_accept_or_refuse(server, &peer);
    if (fd > 0) refuseConnection(fd);
}

int http_accept(HttpServer* server, u32* peerAddress)
{
    sockaddr_in address;
    socklen_t length = sizeof address;
    int fd = accept4(server->listenSocket, reinterpret_cast<sockaddr*>(&address), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) return -1;
        return 0;
    }
    if (fd == 0) return 0;
    if (server->rcvBufKB) {
        int size = server->rcvBufKB * 1024;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    *peerAddress = ntohl(address.sin_addr.s_addr);
    return fd;
}

int http_net_startup()
{
    return 1;
}

void http_net_cleanup()
{
}
