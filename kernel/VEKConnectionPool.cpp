// The process-wide pool of named connections and the one-step request that
// a template word drives through a pooled connection.
#include "VEKConnectionPool.h"

namespace VekConnectionPool {

VEKConnectionPool* VEKConnectionPool::singleton_ = nullptr;

VEKConnection::VEKConnection(const std::string& host, int port) : host(host), port(port) {}

VEKConnection::~VEKConnection() = default;

namespace {

// Leading white space: the bytes 1 to 32 (a NUL byte stops the strip).
void stripLeadingWhiteSpace(std::string& text) {
    std::size_t n = 0;
    while (n < text.size() && text[n] >= 1 && text[n] <= 32) ++n;
    text.erase(0, n);
}

}  // namespace

int64 VEKConnection::request(std::string& request, std::string& response, std::unique_ptr<VekClient::VEKClient>& client,
                             bool noReply, bool refuseServerPort) {
    request.push_back('\0');
    if (client == nullptr) {
        stripLeadingWhiteSpace(request);
        client = std::make_unique<VekClient::VEKClient>(host, port, request, noReply, refuseServerPort);
    }
    client->step();
    if (client->isDone()) {
        response += client->received();
        client.reset();
        return RequestDone;
    }
    if (client->isFailed()) {
        client.reset();
        return RequestFailed;
    }
    return RequestPending;
}

VEKConnectionPool* VEKConnectionPool::instance() {
    if (singleton_ == nullptr) singleton_ = new VEKConnectionPool();
    return singleton_;
}

void VEKConnectionPool::destroy(VEKConnectionPool* pool) {
    if (pool != nullptr) pool->clear();
    if (singleton_ == pool) singleton_ = nullptr;
}

VEKConnectionPool::~VEKConnectionPool() {
    clear();
    if (singleton_ == this) singleton_ = nullptr;
}

void VEKConnectionPool::clear() {
    for (auto& entry : connections_) delete entry.second;
    connections_.clear();
}

void VEKConnectionPool::acquire(const std::string& host, int port) {
    VEKConnection*& connection = connections_[Key(host, port)];
    if (connection == nullptr) connection = new VEKConnection(host, port);
    ++connection->useCount;
}

VEKConnection* VEKConnectionPool::find(const std::string& host, int port) {
    auto it = connections_.find(Key(host, port));
    return it == connections_.end() ? nullptr : it->second;
}

void VEKConnectionPool::release(const std::string& host, int port) {
    auto it = connections_.find(Key(host, port));
    if (it == connections_.end()) return;
    VEKConnection* connection = it->second;
    if (--connection->useCount > 0) return;
    connections_.erase(it);
    delete connection;
}

}  // namespace VekConnectionPool
