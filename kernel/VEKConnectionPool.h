// The process-wide pool of named connections used by the remote-request
// template words: a connection is named by host and port and lives while
// its use count is above zero (or until the pool is destroyed at exit).
#pragma once
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "VEKClient.h"
#include "VekTypes.h"

namespace VekConnectionPool {

// Step results of VEKConnection::request.
constexpr int64 RequestPending = -1;
constexpr int64 RequestDone = 1;
constexpr int64 RequestFailed = -2147483648LL;

class VEKConnection {
public:
    VEKConnection(const std::string& host, int port);
    ~VEKConnection();
    VEKConnection(const VEKConnection&) = delete;
    VEKConnection& operator=(const VEKConnection&) = delete;

    // One step of an exchange with this connection's peer. Appends a NUL
    // byte to request; when client is null, strips its leading white space
    // and creates the client (refusing the server's own port when asked,
    // see VEKClient). Returns RequestDone (the reply appended to response,
    // the client deleted), RequestFailed (client deleted) or RequestPending
    // (client kept for the next step).
    int64 request(std::string& request, std::string& response, std::unique_ptr<VekClient::VEKClient>& client,
                  bool noReply, bool refuseServerPort = false);

    std::string host;                         // peer host name or address
    int port;                                 // peer port
    int useCount = 0;                         // holders; deleted at zero
};

class VEKConnectionPool {
public:
    // The process-wide pool, created on first call.
    static VEKConnectionPool* instance();
    // Deletes every connection and resets the singleton; the caller then
    // deletes the pool object.
    static void destroy(VEKConnectionPool* pool);

    VEKConnectionPool() = default;
    ~VEKConnectionPool();
    VEKConnectionPool(const VEKConnectionPool&) = delete;
    VEKConnectionPool& operator=(const VEKConnectionPool&) = delete;

    // Finds or creates the connection and adds one use.
    void acquire(const std::string& host, int port);
    // The connection for host and port, or null.
    VEKConnection* find(const std::string& host, int port);
    // Drops one use; at zero the connection is removed and deleted.
    void release(const std::string& host, int port);
    // Number of pooled connections.
    std::size_t size() const { return connections_.size(); }

private:
    void clear();

    using Key = std::pair<std::string, int>;
    std::map<Key, VEKConnection*> connections_;  // owned connections by (host, port)
    static VEKConnectionPool* singleton_;        // the instance() pool, or null
};

}  // namespace VekConnectionPool
