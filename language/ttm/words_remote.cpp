// Remote request words: "~+" and "~-" take and give back a named connection
// of the process-wide pool, and "~>" exchanges one request and reply with
// the peer of such a connection without blocking the server thread.
//
// "~>" performs one client step per evaluation and reports the step's
// result in requestState. While that is RequestWaiting the processor keeps
// the call pending and evaluates it again on each later turn, so the same
// exchange (held in pendingClient) advances one step per turn until the
// peer closes, the exchange fails, or the processor's timeout drops it.
// The reply counts against the run's text limit while it arrives: a peer
// that sends without end fails its exchange instead of filling memory.
// Client text (clientText) gets clients that refuse the server's own port
// and share a few name look-ups at once (VEKClient), so that it cannot
// take the resolver from the operator's pages.
#include <cstdlib>

#include "TTMError.h"
#include "TTMProcessor.h"
#include "Words.h"
#include "VEKClient.h"
#include "VEKConnectionPool.h"
#include "VekUtil.h"

namespace VekLanguage {

// "~>" stores the connection's step result in requestState as it is, and
// the processor reads it under its own names: the values must agree.
static_assert(VekConnectionPool::RequestPending == RequestWaiting, "a step in progress keeps the call pending");
static_assert(VekConnectionPool::RequestFailed == RequestIdle, "a failed step drops the call");

namespace {

using VekConnectionPool::VEKConnection;

// A one-way exchange (timeout 0) waits for no reply, but its connect and
// its send may still take turns: it may take this many seconds for them.
constexpr int64 OneWaySeconds = 10;

// The port argument: base-10 strtol; empty or non-numeric text is 0.
int portOf(const Function* call) {
    return static_cast<int>(std::strtol(safeArg2(call).c_str(), nullptr, 10));
}

std::string remoteAcquire(TTMProcessor& p, Function* call) {
    const std::pair<std::string, int> use(safeArg1(call), portOf(call));
    if (p.clientText && (p.ownConnections.size() >= TTMProcessor::MaxOpenConnections ||
                         use.first.size() > TTMProcessor::MaxHostName))
        return std::string();
    p.connectionPool->acquire(use.first, use.second);
    if (p.clientText) p.ownConnections.insert(use);
    return std::string();
}

// Client text gives back only a use it took itself.
std::string remoteRelease(TTMProcessor& p, Function* call) {
    const std::pair<std::string, int> use(safeArg1(call), portOf(call));
    if (p.clientText) {
        auto own = p.ownConnections.find(use);
        if (own == p.ownConnections.end()) return std::string();
        p.ownConnections.erase(own);
    }
    p.connectionPool->release(use.first, use.second);
    return std::string();
}

// Charges the reply bytes that the last step brought (the pending client's
// buffer, or the reply itself once the exchange is done) to the run's text
// limit; past it the exchange fails with a console and system log line,
// and the call gets the word's failure result.
void chargeReply(TTMProcessor& p, std::size_t before, std::string& reply, const std::string& host, int port) {
    const std::size_t now = p.pendingClient != nullptr ? p.pendingClient->received().size() : reply.size();
    if (now <= before) return;
    try {
        // Bytes still in the client's buffer are counted where they are;
        // a finished reply is about to join the run's text.
        if (p.pendingClient != nullptr)
            p.chargeReply(now - before);
        else
            p.chargeText(now - before);
    } catch (const TTMError&) {
        VekClient::VEKClient::report(host, port, "reply too long", "more text than the run may hold");
        p.pendingClient.reset();
        reply.clear();
        p.requestState = VekConnectionPool::RequestFailed;
    }
}

std::string remoteRequest(TTMProcessor& p, Function* call) {
    const int64 timeout = VekKernel::stringToInt64(safeArg3(call));
    std::string request = safeArg4(call);
    VekKernel::trim(request);
    std::string reply;
    VEKConnection* connection = p.connectionPool->find(safeArg1(call), portOf(call));
    if (connection == nullptr && p.pendingClient == nullptr) return reply;  // nothing taken: send nothing
    // A pending exchange goes on even when its pooled connection has been
    // given back meanwhile (another page's "~-"): the client belongs to this
    // processor, and a stand-in connection only carries the step.
    VEKConnection standIn(safeArg1(call), portOf(call));
    if (connection == nullptr) connection = &standIn;
    // A timeout of 0 makes the exchange one-way: done once the request is sent.
    const bool oneWay = timeout == 0;
    const std::size_t before = p.pendingClient != nullptr ? p.pendingClient->received().size() : 0;
    // Text from a client may not send requests to this server itself.
    p.requestState = connection->request(request, reply, p.pendingClient, oneWay, p.clientText);
    p.requestTimeout = oneWay ? OneWaySeconds : timeout;
    chargeReply(p, before, reply, connection->host, connection->port);
    return reply;
}

}  // namespace

// The words of this file, for the processor's word table.
const WordTable& remoteWords() {
    static const WordTable table = {
        {"~+", remoteAcquire},
        {"~-", remoteRelease},
        {"~>", remoteRequest},
    };
    return table;
}

}  // namespace VekLanguage
