// One request/response exchange with another server over TCP, driven one
// step per call so that the single server thread never waits on a peer:
// names are looked up on the resolver's own thread (getaddrinfo_a), the
// connect is started without blocking and checked by later steps.
#pragma once
#include <netinet/in.h>

#include <memory>
#include <string>

struct gaicb;  // a name look-up request of <netdb.h>

namespace VekClient {

// The resolver calls a name look-up goes through: start (getaddrinfo_a of
// the one request, GAI_NOWAIT), error (gai_error) and cancel (gai_cancel).
// Tests put a resolver whose look-ups never end in their place.
struct Resolver {
    int (*start)(gaicb* request);
    int (*error)(gaicb* request);
    int (*cancel)(gaicb* request);
};
extern Resolver resolver;

// The TCP port the server listens on, 0 while it listens on none. The
// server sets it when it starts listening. A client made for text that
// came from a client of the server refuses this port on an address of
// this host: a raw request that sends itself there would be run again by
// the server, and could send itself again, without end.
inline int serverPort = 0;

// True when address (network order) reaches this host: 0.0.0.0, 127.0.0.0/8
// or an address of one of its interfaces.
bool isLocalAddress(in_addr address);

struct NameLookup;  // a name look-up in progress on the resolver's thread

class VEKClient {
public:
    // Largest piece received in one step.
    static constexpr int ReceiveChunk = 512;
    // Longest wait for the socket to become ready in one step.
    static constexpr int ReceiveWaitMicros = 100;
    // Most name look-ups that clients made for client text may have
    // pending at once, those their deleted clients left running included.
    static constexpr int ClientTextLookups = 4;

    // Where the exchange stands; each step moves it at most from one
    // phase to the next ones that need no waiting.
    enum class Phase {
        Start,       // nothing done yet
        Resolving,   // the host name is being looked up
        Connecting,  // the connect was started and has not completed
        Sending,     // connected; request bytes remain
        Receiving,   // all sent; reading until the peer closes
        Done,        // peer closed (or all sent with noReply)
        Failed       // an error ended the exchange
    };

    // request is sent as given. With noReply the exchange is done as soon
    // as every byte is sent; otherwise it runs until the peer closes. A
    // client made for client text fails before it connects when it would
    // reach serverPort on this host, and fails at once when client text
    // already has ClientTextLookups name look-ups pending.
    VEKClient(const std::string& host, int port, const std::string& request, bool noReply,
              bool clientText = false);
    ~VEKClient();
    VEKClient(const VEKClient&) = delete;
    VEKClient& operator=(const VEKClient&) = delete;

    // One step. The first checks the port, starts the look-up of a host
    // name or the connect to a dotted address, and sends what it can once
    // connected; later ones see the look-up or the connect through, send
    // the rest, then receive. A step waits at most ReceiveWaitMicros and
    // does nothing once the exchange is done or failed.
    void step();

    Phase phase() const { return phase_; }
    bool isDone() const { return phase_ == Phase::Done; }
    bool isFailed() const { return phase_ == Phase::Failed; }
    const std::string& received() const { return received_; }

    // What the next step waits for: the socket and the poll events that
    // let it go on (POLLOUT while the connect completes or request bytes
    // remain, POLLIN while the reply arrives). The socket is -1 while the
    // name is looked up, which no descriptor announces the end of, and
    // when there is nothing to wait for (not started, done or failed).
    struct Awaited {
        int fd;
        short events;
    };
    Awaited awaited() const;

    // Writes "VEKClient: what (host:port): reason" to the console and the
    // system log, as every failure of an exchange is reported.
    static void report(const std::string& host, int port, const char* what, const char* reason);

private:
    void begin();
    void startLookup();
    void checkLookup();
    void connectTo(in_addr address);
    void checkConnect();
    void sendSome();
    void receiveSome();
    // Waits at most ReceiveWaitMicros for events on the socket; the events
    // that came, 0 when none (or on EINTR), -1 when the poll failed.
    int waitFor(short events);
    // Ends the exchange as failed, reported as above.
    void fail(const char* what, const char* reason);
    void finish();
    void closeSocket();

    std::string host_;                    // dotted address or host name
    int port_;                            // TCP port of the peer
    std::string request_;                 // bytes to send
    std::size_t sent_ = 0;                // bytes of request_ already sent
    bool noReply_;                        // done once everything is sent
    bool clientText_;                     // made for client text: limits above
    int fd_ = -1;                         // socket, -1 before connect and after the end
    Phase phase_ = Phase::Start;          // where the exchange stands
    std::unique_ptr<NameLookup> lookup_;  // the look-up while Resolving, else null
    std::string received_;                // bytes received so far
};

}  // namespace VekClient
