// Tests of the step-driven TCP client and the connection pool against a
// listening socket on the loopback address, all in this one thread: the
// client's connect completes against the listen backlog, and the test plays
// the peer between the client's steps.
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "KernelTestSupport.h"
#include "LoopbackPeer.h"
#include "VEKClient.h"
#include "VEKConnectionPool.h"
#include "VEKLog.h"

using VekClient::VEKClient;
using namespace VekConnectionPool;

namespace {

// Upper bound on steps while waiting for something the peer already sent;
// a bound on work, not on time.
constexpr int MaxSteps = 100000;

using Peer = LoopbackPeer;

void stepUntilReceived(VEKClient& client, std::size_t size) {
    for (int i = 0; i < MaxSteps && client.received().size() < size && !client.isFailed(); ++i) client.step();
}

void stepUntilEnded(VEKClient& client) {
    for (int i = 0; i < MaxSteps && !client.isDone() && !client.isFailed(); ++i) client.step();
}

// Steps until the client is past the name look-up and the connect. These
// wait on the resolver's thread or on the kernel's retry of a dropped
// connect attempt, so each step is followed by a pause; the bound only
// keeps a broken test from hanging.
void stepWhileConnecting(VEKClient& client) {
    for (int i = 0; i < 30000; ++i) {
        VEKClient::Phase phase = client.phase();
        if (phase != VEKClient::Phase::Start && phase != VEKClient::Phase::Resolving &&
            phase != VEKClient::Phase::Connecting)
            return;
        client.step();
        usleep(1000);
    }
}

// The IPv4 addresses of this host's interfaces other than the loopback.
std::vector<std::string> interfaceAddresses() {
    std::vector<std::string> found;
    ifaddrs* all = nullptr;
    if (getifaddrs(&all) != 0) return found;
    for (ifaddrs* entry = all; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(entry->ifa_addr)->sin_addr, text, sizeof text);
        if (std::string(text).rfind("127.", 0) != 0) found.push_back(text);
    }
    freeifaddrs(all);
    return found;
}

// While installed, look-ups of SilentName behave as against a name server
// that never replies: they stay in progress and cannot be cancelled, until
// silent is cleared (then they end unresolved). Other names go to the real
// resolver.
constexpr const char* SilentName = "silent.test";
struct SilentResolver {
    static inline bool silent = true;
    static inline VekClient::Resolver real{};
    SilentResolver() {
        silent = true;
        real = VekClient::resolver;
        VekClient::resolver = {start, error, cancel};
    }
    ~SilentResolver() { VekClient::resolver = real; }
    static bool isSilent(gaicb* request) { return std::string(request->ar_name) == SilentName; }
    static int start(gaicb* request) { return isSilent(request) ? 0 : real.start(request); }
    static int error(gaicb* request) {
        if (!isSilent(request)) return real.error(request);
        return silent ? EAI_INPROGRESS : EAI_NONAME;
    }
    static int cancel(gaicb* request) {
        if (!isSilent(request)) return real.cancel(request);
        return silent ? EAI_NOTCANCELED : EAI_ALLDONE;
    }
};

}  // namespace

TEST(Client, ReplyIsCollectedOverSeveralStepsUntilThePeerCloses) {
    Peer peer(true);
    VEKClient client("127.0.0.1", peer.port, std::string("GET x\0", 6), false);
    client.step();  // connect and send
    ASSERT_FALSE(client.isFailed());
    peer.accept();
    EXPECT_EQ(peer.receive(6), std::string("GET x\0", 6));

    client.step();  // nothing there yet: the step returns after its short wait
    EXPECT_FALSE(client.isDone());
    peer.send("hello");
    stepUntilReceived(client, 5);
    peer.send(std::string(2000, 'z'));  // more than one 512-byte piece
    stepUntilReceived(client, 2005);
    EXPECT_FALSE(client.isDone());
    peer.hangUp();
    stepUntilEnded(client);
    EXPECT_TRUE(client.isDone());
    EXPECT_FALSE(client.isFailed());
    EXPECT_EQ(client.received(), "hello" + std::string(2000, 'z'));
    client.step();  // a finished client stays finished
    EXPECT_TRUE(client.isDone());
}

TEST(Client, RefusedConnectionFailsWithAConsoleAndASystemLogLine) {
    VekKernelTest::TempDir dir;
    VekKernel::vekLog.setPrefix(dir.file("client"));
    VekKernel::vekLog.setDateFormat(".log");
    Peer closedPort(false);  // bound, not listening: connections are refused
    testing::internal::CaptureStdout();
    VEKClient client("127.0.0.1", closedPort.port, "ping", false);
    client.step();
    std::string printed = testing::internal::GetCapturedStdout();
    VekKernel::vekLog.setPrefix("");
    VekKernel::vekLog.setDateFormat("");
    EXPECT_TRUE(client.isFailed());
    EXPECT_FALSE(client.isDone());
    EXPECT_NE(printed.find("cannot connect"), std::string::npos);
    std::string logged = VekKernelTest::slurp(dir.file("client.log.sys"));
    EXPECT_NE(logged.find("cannot connect"), std::string::npos);
    EXPECT_EQ(printed, logged);  // the same line in both places
}

// A client that cannot reach its peer fails and says why; a host name is
// looked up off the thread (the steps go on until it is known).
TEST(Client, AddressesAreCheckedAndLookedUp) {
    Peer peer(true);
    struct Case {
        const char* host;
        int port;
        const char* printed;  // part of the console line; null: it connects
    };
    const Case cases[] = {{"127.0.0.1", peer.port + 65536, "invalid port"},
                          {"127.0.0.1", peer.port - 65536, "invalid port"},
                          {"127.0.0.1", 0, "invalid port"},
                          {"no-such-host.invalid", 80, ""},
                          {"localhost", peer.port, nullptr}};
    for (const Case& c : cases) {
        testing::internal::CaptureStdout();
        VEKClient client(c.host, c.port, "by name", true);
        stepWhileConnecting(client);
        std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(client.isFailed(), c.printed != nullptr) << c.host << ":" << c.port;
        if (c.printed != nullptr) {
            EXPECT_NE(printed.find(c.printed), std::string::npos) << c.port;
        }
    }
    peer.accept();
    EXPECT_EQ(peer.receive(7), "by name");
}

// A client deleted while its name is looked up cancels the look-up, or
// keeps it until the resolver's thread is done with it (the sanitizer
// build checks that nothing is freed under that thread or lost); later
// look-ups work as before.
TEST(Client, ClientDeletedDuringItsLookUpLeavesItBehindSafely) {
    for (int i = 0; i < 20; ++i) {
        VEKClient client(i % 2 == 0 ? "localhost" : "no-such-host.invalid", 80, "gone", false);
        client.step();
    }
    Peer peer(true);
    VEKClient client("localhost", peer.port, "still", true);
    stepWhileConnecting(client);
    EXPECT_TRUE(client.isDone());
}

// Client text may have only a few look-ups pending at once, so that a name
// server that never replies cannot take every resolver thread from the
// operator's pages. Look-ups left running by clients that went away count
// until they end.
TEST(Client, ClientTextLooksUpOnlyAFewNamesAtOnce) {
    SilentResolver resolver;
    Peer peer(true);
    std::vector<std::unique_ptr<VEKClient>> waiting;
    for (int i = 0; i < VEKClient::ClientTextLookups; ++i) {
        waiting.push_back(std::make_unique<VEKClient>(SilentName, 80, "text", false, true));
        waiting.back()->step();
        EXPECT_EQ(waiting.back()->phase(), VEKClient::Phase::Resolving);
    }
    auto clientTextFails = [] {
        testing::internal::CaptureStdout();
        VEKClient more(SilentName, 80, "more", false, true);
        more.step();
        std::string printed = testing::internal::GetCapturedStdout();
        return more.isFailed() && printed.find("look-ups") != std::string::npos;
    };
    EXPECT_TRUE(clientTextFails());
    VEKClient page("localhost", peer.port, "page", true, false);  // the operator's page still looks up
    stepWhileConnecting(page);
    EXPECT_TRUE(page.isDone());

    waiting.clear();  // their look-ups go on without them
    EXPECT_TRUE(clientTextFails());
    SilentResolver::silent = false;  // the name server gives up at last
    VEKClient later("localhost", peer.port, "later", true, true);
    stepWhileConnecting(later);
    EXPECT_TRUE(later.isDone());
}

// A connect that the peer never answers (its accept queue is full, as with
// a host that drops every packet) leaves the first step in progress; other
// exchanges go on meanwhile, and a later step completes the connect once
// the queue has room.
TEST(Client, UnansweredConnectStaysInProgressWhileOtherExchangesGoOn) {
    Peer full(true, 0);
    full.fillQueue();
    VEKClient stuck("127.0.0.1", full.port, "late", false);
    stuck.step();
    EXPECT_EQ(stuck.phase(), VEKClient::Phase::Connecting);

    Peer live(true);
    VEKClient other("127.0.0.1", live.port, "now", false);
    other.step();
    ASSERT_TRUE(live.accept());
    EXPECT_EQ(live.receive(3), "now");
    live.answer("done");
    for (int i = 0; i < MaxSteps && !other.isDone() && !other.isFailed(); ++i) {
        other.step();
        stuck.step();
    }
    EXPECT_EQ(other.received(), "done");
    EXPECT_EQ(stuck.phase(), VEKClient::Phase::Connecting);

    ASSERT_TRUE(full.accept());  // takes a filler: the retried attempt now fits
    stepWhileConnecting(stuck);
    EXPECT_EQ(stuck.phase(), VEKClient::Phase::Receiving);
    ASSERT_TRUE(full.accept());
    EXPECT_EQ(full.receive(4), "late");
}

// A client made for client text refuses the server's own port on any
// address of this host, before anything is sent (such a request would be
// run by the server itself, and could send more). Other ports, and clients
// made for the operator's pages, connect.
TEST(Client, TheServersOwnPortIsRefusedOnThisHostForClientText) {
    Peer server(true);
    Peer other(true);
    VekClient::serverPort = server.port;
    std::vector<std::string> hosts = {"127.0.0.1", "127.0.0.2", "0.0.0.0", "localhost"};
    for (const std::string& address : interfaceAddresses()) hosts.push_back(address);
    for (const std::string& host : hosts) {
        testing::internal::CaptureStdout();
        VEKClient client(host, server.port, "myself", false, true);
        stepWhileConnecting(client);
        std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_TRUE(client.isFailed()) << host;
        EXPECT_NE(printed.find("the server's own port"), std::string::npos) << host;
    }
    EXPECT_FALSE(server.accept());  // nothing reached it

    VEKClient elsewhere("127.0.0.1", other.port, "x", true, true);
    VEKClient fromPage("127.0.0.1", server.port, "y", true, false);
    stepWhileConnecting(elsewhere);
    stepWhileConnecting(fromPage);
    VekClient::serverPort = 0;
    EXPECT_TRUE(elsewhere.isDone());
    EXPECT_TRUE(fromPage.isDone());
}

TEST(Client, OneWaySendIsDoneWhenEverythingIsSent) {
    Peer peer(true);
    std::string request(100000, 'q');  // larger than one socket buffer
    VEKClient client("127.0.0.1", peer.port, request, true);
    client.step();
    peer.accept();
    std::string got;
    for (int i = 0; i < MaxSteps && !client.isDone() && !client.isFailed(); ++i) {
        got += peer.receive(1);
        client.step();
    }
    EXPECT_TRUE(client.isDone());
    got += peer.receive(request.size() - got.size());
    EXPECT_EQ(got, request);
    EXPECT_EQ(client.received(), "");
}

// What a client waits for is its own socket, with the event its phase
// needs: the server's loop sleeps on exactly that until the next step can
// go on. A client with nothing to wait for names no socket.
TEST(Client, EachPhaseNamesTheSocketAndEventItsNextStepWaitsFor) {
    Peer full(true, 0);
    full.fillQueue();
    Peer slow(true);
    Peer live(true);
    Peer closedPort(false);
    VEKClient connecting("127.0.0.1", full.port, "late", false);
    VEKClient sending("127.0.0.1", slow.port, std::string(32u << 20, 's'), false);  // more than the buffers hold
    VEKClient receiving("127.0.0.1", live.port, "ask", false);
    VEKClient done("127.0.0.1", live.port, "told", true);
    VEKClient failed("127.0.0.1", closedPort.port, "nobody", false);
    struct Case {
        VEKClient* client;
        VEKClient::Phase phase;
        short events;  // 0: no socket named
        int peerPort;  // the socket's peer; 0: none yet (connect in progress)
    };
    const Case cases[] = {{&connecting, VEKClient::Phase::Connecting, POLLOUT, 0},
                          {&sending, VEKClient::Phase::Sending, POLLOUT, slow.port},
                          {&receiving, VEKClient::Phase::Receiving, POLLIN, live.port},
                          {&done, VEKClient::Phase::Done, 0, 0},
                          {&failed, VEKClient::Phase::Failed, 0, 0}};
    testing::internal::CaptureStdout();
    for (const Case& c : cases) c.client->step();
    testing::internal::GetCapturedStdout();
    for (const Case& c : cases) {
        ASSERT_EQ(c.client->phase(), c.phase) << static_cast<int>(c.phase);
        VEKClient::Awaited awaited = c.client->awaited();
        EXPECT_EQ(awaited.events, c.events);
        EXPECT_EQ(awaited.fd >= 0, c.events != 0);
        if (c.peerPort == 0) continue;
        sockaddr_in address{};
        socklen_t length = sizeof address;
        ASSERT_EQ(getpeername(awaited.fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
        EXPECT_EQ(ntohs(address.sin_port), c.peerPort);
    }
}

TEST(Connection, RequestStripsLeadingWhiteSpaceAppendsNulAndDeliversTheReply) {
    Peer peer(true);
    VEKConnection connection("127.0.0.1", peer.port);
    std::unique_ptr<VEKClient> client;
    std::string response;
    std::string request = " \r\n ask me\n";
    EXPECT_EQ(connection.request(request, response, client, false), RequestPending);
    ASSERT_NE(client, nullptr);
    peer.accept();
    EXPECT_EQ(peer.receive(8), std::string("ask me\n\0", 8));
    peer.send("answer");
    peer.hangUp();
    int64 rc = RequestPending;
    for (int i = 0; i < MaxSteps && rc == RequestPending; ++i) {
        std::string again = request;
        rc = connection.request(again, response, client, false);
    }
    EXPECT_EQ(rc, RequestDone);
    EXPECT_EQ(client, nullptr);
    EXPECT_EQ(response, "answer");
}

TEST(Connection, OneWayRequestIsDoneAtOnceAndFailureDeletesTheClient) {
    Peer peer(true);
    VEKConnection connection("127.0.0.1", peer.port);
    std::unique_ptr<VEKClient> client;
    std::string response;
    std::string request = "fire";
    EXPECT_EQ(connection.request(request, response, client, true), RequestDone);
    EXPECT_EQ(client, nullptr);
    EXPECT_EQ(response, "");

    Peer closedPort(false);
    VEKConnection refused("127.0.0.1", closedPort.port);
    testing::internal::CaptureStdout();
    EXPECT_EQ(refused.request(request, response, client, false), RequestFailed);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(client, nullptr);
}

// Use counts through acquire and release are checked by the remote words'
// tests; here, entries are kept apart by host and port.
TEST(Pool, EntriesAreKeptPerHostAndPort) {
    VEKConnectionPool pool;
    pool.acquire("h", 1);
    pool.acquire("h", 2);
    EXPECT_EQ(pool.find("g", 1), nullptr);
    pool.release("h", 1);
    pool.release("zz", 9);  // nothing there: no effect
    EXPECT_EQ(pool.find("h", 1), nullptr);
    ASSERT_NE(pool.find("h", 2), nullptr);
    EXPECT_EQ(pool.find("h", 2)->useCount, 1);
    EXPECT_EQ(pool.size(), 1u);
}
