// One TCP request/response exchange, one step per call.
//
// Phases (VEKClient::Phase), and the step that moves each on:
//
//   Start --(dotted address)--------------------------> Connecting
//     |                                                   |  connect done
//     +--(host name: getaddrinfo_a)--> Resolving ---------+  (SO_ERROR 0)
//                                       look-up done      v
//                          Receiving <--- all sent --- Sending
//                              |                          |  all sent, noReply
//                              +------ peer closed -----> Done
//   Any error -> Failed.
//
// Rules the steps keep:
//  1. No step blocks: the name is looked up on the resolver's own thread
//     and polled with gai_error; the socket is non-blocking from its
//     creation, so connect returns at once and later steps poll for its
//     completion; every poll waits at most ReceiveWaitMicros.
//  2. A step goes on from one phase to the next as long as that needs no
//     wait, so that on the loopback (where the connect completes inside
//     the connect call) the first step still connects and sends.
//  3. A look-up that is still running when its client is deleted and that
//     gai_cancel cannot stop stays allocated: the resolver's thread writes
//     its result into it. It is kept in a process-wide list and freed by a
//     later client once gai_error reports it finished.
//  4. The resolver runs a fixed number of look-ups at once (20 threads);
//     the rest wait in its queue. Clients made for client text may have at
//     most ClientTextLookups look-ups pending, counted from their start
//     until they are freed (so a look-up left behind by rule 3 counts until
//     it ends); one more fails at once. A name server that never replies
//     then holds only that many of the resolver's threads for client text,
//     and the operator's pages keep the others.
#include "VEKClient.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "VEKLog.h"

namespace VekClient {

namespace {

int startAsync(gaicb* request) {
    gaicb* list[1] = {request};
    return getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr);
}

// Look-ups of clients made for client text that have not been freed yet
// (rule 4).
int clientTextLookups = 0;

}  // namespace

Resolver resolver = {startAsync, gai_error, gai_cancel};

struct NameLookup {
    std::string name;         // the host name; the resolver reads it while running
    addrinfo hints{};         // IPv4 stream addresses
    gaicb request{};          // the request getaddrinfo_a fills in
    bool clientText = false;  // counted in clientTextLookups until freed
    ~NameLookup() {
        if (request.ar_result != nullptr) freeaddrinfo(request.ar_result);
        if (clientText) --clientTextLookups;
    }
};

namespace {

bool wouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

// Look-ups that were still running when their client went away (rule 3).
// Never destroyed: at exit the resolver's thread may still write into one.
std::vector<NameLookup*>& orphans() {
    static auto* list = new std::vector<NameLookup*>();
    return *list;
}

void reapOrphans() {
    std::vector<NameLookup*>& list = orphans();
    for (std::size_t i = 0; i < list.size();) {
        if (resolver.error(&list[i]->request) == EAI_INPROGRESS) {
            ++i;
            continue;
        }
        delete list[i];
        list[i] = list.back();
        list.pop_back();
    }
}

bool isInterfaceAddress(in_addr address) {
    ifaddrs* all = nullptr;
    if (getifaddrs(&all) != 0) return false;
    bool found = false;
    for (ifaddrs* entry = all; entry != nullptr && !found; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
        found = reinterpret_cast<sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr == address.s_addr;
    }
    freeifaddrs(all);
    return found;
}

}  // namespace

bool isLocalAddress(in_addr address) {
    const uint32_t host = ntohl(address.s_addr);
    if (host == INADDR_ANY || (host >> 24) == 127) return true;
    return isInterfaceAddress(address);
}

VEKClient::VEKClient(const std::string& host, int port, const std::string& request, bool noReply,
                     bool clientText)
    : host_(host), port_(port), request_(request), noReply_(noReply), clientText_(clientText) {}

VEKClient::~VEKClient() {
    closeSocket();
    if (lookup_ != nullptr) {
        gaicb* request = &lookup_->request;
        if (resolver.error(request) == EAI_INPROGRESS && resolver.cancel(request) == EAI_NOTCANCELED)
            orphans().push_back(lookup_.release());
    }
    lookup_.reset();
    reapOrphans();
}

void VEKClient::step() {
    switch (phase_) {
    case Phase::Start: begin(); break;
    case Phase::Resolving: checkLookup(); break;
    case Phase::Connecting: checkConnect(); break;
    case Phase::Sending: sendSome(); break;
    case Phase::Receiving: receiveSome(); break;
    case Phase::Done:
    case Phase::Failed: break;
    }
}

VEKClient::Awaited VEKClient::awaited() const {
    switch (phase_) {
    case Phase::Connecting:
    case Phase::Sending: return {fd_, POLLOUT};
    case Phase::Receiving: return {fd_, POLLIN};
    case Phase::Start:
    case Phase::Resolving:
    case Phase::Done:
    case Phase::Failed: break;
    }
    return {-1, 0};
}

void VEKClient::begin() {
    // The port comes from page text: one outside the 16-bit range would
    // otherwise be cut down to some other port and reach another service.
    if (port_ < 1 || port_ > 65535) {
        fail("invalid port", "not between 1 and 65535");
        return;
    }
    in_addr address{};
    if (inet_pton(AF_INET, host_.c_str(), &address) == 1) {
        connectTo(address);
    } else {
        startLookup();
    }
}

void VEKClient::startLookup() {
    reapOrphans();
    if (clientText_ && clientTextLookups >= ClientTextLookups) {
        fail("cannot resolve host", "too many look-ups of client text in progress");
        return;
    }
    lookup_ = std::make_unique<NameLookup>();
    lookup_->name = host_;
    lookup_->hints.ai_family = AF_INET;
    lookup_->hints.ai_socktype = SOCK_STREAM;
    lookup_->request.ar_name = lookup_->name.c_str();
    lookup_->request.ar_request = &lookup_->hints;
    int rc = resolver.start(&lookup_->request);
    if (rc != 0) {
        lookup_.reset();  // not queued: nothing refers to it
        fail("cannot resolve host", gai_strerror(rc));
        return;
    }
    if (clientText_) {
        lookup_->clientText = true;
        ++clientTextLookups;
    }
    phase_ = Phase::Resolving;
    checkLookup();
}

void VEKClient::checkLookup() {
    int rc = resolver.error(&lookup_->request);
    if (rc == EAI_INPROGRESS) return;
    if (rc != 0) {
        lookup_.reset();
        fail("cannot resolve host", gai_strerror(rc));
        return;
    }
    in_addr address = reinterpret_cast<sockaddr_in*>(lookup_->request.ar_result->ai_addr)->sin_addr;
    lookup_.reset();
    connectTo(address);
}

void VEKClient::connectTo(in_addr address) {
    // Checked on the address the name led to: any name of this host is
    // refused as well.
    if (clientText_ && serverPort != 0 && port_ == serverPort && isLocalAddress(address)) {
        fail("refused", "the server's own port on this host");
        return;
    }
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        fail("cannot create socket", std::strerror(errno));
        return;
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<uint16_t>(port_));
    peer.sin_addr = address;
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&peer), sizeof(peer)) == 0) {
        phase_ = Phase::Sending;
        sendSome();
        return;
    }
    if (errno != EINPROGRESS && errno != EINTR) {
        fail("cannot connect", std::strerror(errno));
        return;
    }
    phase_ = Phase::Connecting;
    checkConnect();
}

void VEKClient::checkConnect() {
    int ready = waitFor(POLLOUT);
    if (ready <= 0) return;
    int error = 0;
    socklen_t length = sizeof(error);
    if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    if (error != 0) {
        fail("cannot connect", std::strerror(error));
        return;
    }
    phase_ = Phase::Sending;
    sendSome();
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
    if (sent_ < request_.size()) return;
    if (noReply_) {
        finish();
    } else {
        phase_ = Phase::Receiving;
    }
}

void VEKClient::receiveSome() {
    int ready = waitFor(POLLIN);
    if (ready <= 0) return;
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

int VEKClient::waitFor(short events) {
    // ppoll rather than select: the server may hold more descriptors than
    // an fd_set can describe, and poll takes any descriptor number.
    pollfd watch{fd_, events, 0};
    timespec wait{0, ReceiveWaitMicros * 1000L};
    int ready = ::ppoll(&watch, 1, &wait, nullptr);
    if (ready < 0) {
        if (errno == EINTR) return 0;
        fail("poll failed", std::strerror(errno));
        return -1;
    }
    return ready == 0 ? 0 : watch.revents;
}

void VEKClient::report(const std::string& host, int port, const char* what, const char* reason) {
    std::string message = "VEKClient: " + std::string(what) + " (" + host + ":" + std::to_string(port) + "): " + reason;
    std::printf("%s\n", message.c_str());
    VekKernel::vekLog.system(message);
}

void VEKClient::fail(const char* what, const char* reason) {
    report(host_, port_, what, reason);
    phase_ = Phase::Failed;
    closeSocket();
}

void VEKClient::finish() {
    phase_ = Phase::Done;
    closeSocket();
}

void VEKClient::closeSocket() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

}  // namespace VekClient
