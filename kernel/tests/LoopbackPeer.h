// The far end of a connection, played by the test between the client's
// steps: a socket bound to a free loopback port, listening unless made to
// refuse. On the loopback the handshake runs inside the client's connect
// call, so the client's first step connects and sends before the test
// accepts, and every exchange is decided by the order of steps, not by time.
#pragma once
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

class LoopbackPeer {
public:
    explicit LoopbackPeer(bool listening = true, int backlog = 4) {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        socklen_t length = sizeof(address);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        if (listening) {
            EXPECT_EQ(::listen(fd, backlog), 0);
        }
        ::fcntl(fd, F_SETFL, O_NONBLOCK);
    }
    ~LoopbackPeer() {
        hangUp();
        for (int filler : fillers) ::close(filler);
        ::close(fd);
    }
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    // Takes the connection the client made; false when none is queued.
    bool accept() {
        hangUp();
        connection = ::accept(fd, nullptr, nullptr);
        return connection >= 0;
    }
    void send(const std::string& bytes) {
        EXPECT_EQ(::send(connection, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    }
    void hangUp() {
        if (connection >= 0) ::close(connection);
        connection = -1;
    }
    void answer(const std::string& reply) {
        send(reply);
        hangUp();
    }
    // Reads until count bytes have come or the client closes.
    std::string receive(std::size_t count) {
        std::string got;
        char buffer[4096];
        while (got.size() < count) {
            ssize_t n = ::recv(connection, buffer, std::min(sizeof buffer, count - got.size()), 0);
            if (n <= 0) break;
            got.append(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }
    // Reads the request up to and including its NUL byte.
    std::string readRequest() {
        std::string request;
        char c = 1;
        while (c != '\0' && ::recv(connection, &c, 1, 0) == 1) request.push_back(c);
        return request;
    }
    // Reads until the client closes.
    std::string readToEnd() { return receive(std::string::npos); }

    // Fills the accept queue (of a peer made with a small backlog) with
    // connections nobody accepts, until one is left unanswered: from then
    // on the kernel drops every new connection attempt, which stays in
    // progress as against a host that never answers. The unanswered one is
    // given up, so the first connection that fits once the test accepts a
    // filler is the client's. The half-second poll only tells a completed
    // handshake (writable at once on the loopback) from a dropped one.
    void fillQueue() {
        for (int i = 0; i < 16; ++i) {
            int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(static_cast<uint16_t>(port));
            ::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof(address));
            pollfd watch{filler, POLLOUT, 0};
            if (::poll(&watch, 1, 500) == 0) {
                ::close(filler);
                return;
            }
            fillers.push_back(filler);
        }
        ADD_FAILURE() << "the accept queue did not fill";
    }

    int fd = -1;               // bound (and maybe listening) socket
    int connection = -1;       // accepted connection
    int port = 0;              // bound port
    std::vector<int> fillers;  // fillQueue's connections
};
