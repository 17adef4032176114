// One TCP request/response exchange, one step per call.
//
// Step order: the first step resolves the host, connects (blocking), makes
// the socket non-blocking and sends what the kernel accepts at once. Each
// later step either sends more of the request or, once all is sent, waits
// at most ReceiveWaitMicros for data and takes up to ReceiveChunk bytes.
// The exchange is done when the peer closes (or, with noReply, when the
// last byte is sent) and failed on any error.
#include "VEKClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "VEKLog.h"

namespace VekClient {

namespace {

// IPv4 address of host: a dotted address as is, else a name lookup.
// Returns 0, or the getaddrinfo error code.
int resolveHost(const std::string& host, in_addr& address) {
    if (inet_pton(AF_INET, host.c_str(), &address) == 1) return 0;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0) return rc;
    address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return 0;
}

bool wouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

}  // namespace

VEKClient::VEKClient(const std::string& host, int port, const std::string& request, bool noReply)
    : host_(host), port_(port), request_(request), noReply_(noReply) {}

VEKClient::~VEKClient() {
    closeSocket();
}

void VEKClient::step() {
    if (done_ || failed_) return;
    if (!started_) {
        started_ = true;
        if (connectToPeer()) sendSome();
    } else if (sent_ < request_.size()) {
        sendSome();
    } else {
        receiveSome();
    }
}

bool VEKClient::connectToPeer() {
    // The port comes from page text: one outside the 16-bit range would
    // otherwise be cut down to some other port and reach another service.
    if (port_ < 1 || port_ > 65535) {
        fail("invalid port", "not between 1 and 65535");
        return false;
    }
    in_addr address{};
    int rc = resolveHost(host_, address);
    if (rc != 0) {
        fail("cannot resolve host", gai_strerror(rc));
        return false;
    }
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd_ < 0) {
        fail("cannot create socket", std::strerror(errno));
        return false;
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<uint16_t>(port_));
    peer.sin_addr = address;
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&peer), sizeof(peer)) != 0) {
        fail("cannot connect", std::strerror(errno));
        return false;
    }
    int flags = ::fcntl(fd_, F_GETFL, 0);
    if (flags < 0 || ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK) < 0) {
        fail("cannot make the socket non-blocking", std::strerror(errno));
        return false;
    }
    return true;
}

void VEKClient::sendSome() {
    if (sent_ < request_.size()) {
        // MSG_NOSIGNAL: a peer that closed early must not kill the process.
        ssize_t n = ::send(fd_, request_.data() + sent_, request_.size() - sent_, MSG_NOSIGNAL);
        if (n < 0) {
            if (!wouldBlock(errno)) fail("send failed", std::strerror(errno));
            return;
        }
        sent_ += static_cast<std::size_t>(n);
    }
    if (sent_ == request_.size() && noReply_) finish();
}

void VEKClient::receiveSome() {
    // ppoll rather than select: the server may hold more descriptors than
    // an fd_set can describe, and poll takes any descriptor number.
    pollfd watch{fd_, POLLIN, 0};
    timespec wait{0, ReceiveWaitMicros * 1000L};
    int ready = ::ppoll(&watch, 1, &wait, nullptr);
    if (ready < 0) {
        if (errno != EINTR) fail("poll failed", std::strerror(errno));
        return;
    }
    if (ready == 0) return;
    char chunk[ReceiveChunk];
    ssize_t n = ::recv(fd_, chunk, sizeof(chunk), 0);
    if (n > 0) {
        received_.append(chunk, static_cast<std::size_t>(n));
    } else if (n == 0) {
        finish();
    } else if (!wouldBlock(errno)) {
        fail("receive failed", std::strerror(errno));
    }
}

void VEKClient::fail(const char* what, const char* reason) {
    std::string message = "VEKClient: " + std::string(what) + " (" + host_ + ":" + std::to_string(port_) +
                          "): " + reason;
    std::printf("%s\n", message.c_str());
    VekKernel::vekLog.system(message);
    failed_ = true;
    closeSocket();
}

void VEKClient::finish() {
    done_ = true;
    closeSocket();
}

void VEKClient::closeSocket() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

}  // namespace VekClient
