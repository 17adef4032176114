// The connection engine: handler life cycles around the loop, the stop
// operation, and a stalled client dropped at its idle deadline.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <poll.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "http/HttpHandlers.h"
#include "http/ServerConfig.h"
#include "http/tests/HttpTestServer.h"
#include "kernel/VekFile.h"

namespace {

std::vector<std::string> lifeCycleCalls;

// Records each call as "<prefix><event>"; the entry "b" refuses to start.
int recordLifeCycle(int event, HttpHandlerEntry* entry, HttpServer*)
{
    lifeCycleCalls.push_back(entry->prefix + std::to_string(event));
    return std::string(entry->prefix) == "b" && event == HTTP_HANDLER_START ? 1 : 0;
}

u32 takeNothing(HttpRequestContext*)
{
    return 0;
}

void prepareServer(HttpServer* server, HttpHandlerEntry* handlers)
{
    http_server_init(server);
    server->bindAddress = INADDR_LOOPBACK;
    server->port = 0;  // the system picks a free port
    server->maxClients = 4;
    server->handlers = handlers;
}

TEST(HttpEngineLifeCycle, StartReachesEveryCallbackEndOnlyLiveHandlers)
{
    HttpHandlerEntry table[] = {{"a", nullptr, recordLifeCycle, nullptr},
                                {"b", takeNothing, recordLifeCycle, nullptr},
                                {"c", takeNothing, recordLifeCycle, nullptr},
                                {"d", takeNothing, nullptr, nullptr},
                                {nullptr, nullptr, nullptr, nullptr}};
    HttpServer server;
    prepareServer(&server, table);
    lifeCycleCalls.clear();
    ASSERT_EQ(http_server_start(&server), 0);
    EXPECT_EQ(lifeCycleCalls, (std::vector<std::string>{"a0", "b0", "c0"}));
    EXPECT_EQ(table[1].handler, nullptr);  // its start failed: switched off
    EXPECT_EQ(http_server_start(&server), -1);  // already running
    http_server_request_stop(&server);
    EXPECT_EQ(http_main_loop(&server), 0);
    EXPECT_EQ(lifeCycleCalls, (std::vector<std::string>{"a0", "b0", "c0", "c1"}));
    EXPECT_EQ(server.running, 0);
    EXPECT_EQ(server.slots, nullptr);
    http_server_stop(&server);
}

TEST(HttpEngineStop, ReleasesOnceAndRefusesAServerWithoutSlots)
{
    HttpServer server;
    prepareServer(&server, nullptr);
    server.maxClients = 0;
    EXPECT_EQ(http_server_start(&server), -1);
    server.hostMap = new std::map<std::string, std::string>{{"h", "d"}};
    server.documentPath = new std::string("d");
    EXPECT_EQ(http_server_stop(&server), -1);  // not running, yet released
    EXPECT_EQ(server.hostMap, nullptr);
    EXPECT_EQ(server.documentPath, nullptr);
    EXPECT_EQ(http_server_stop(&server), 0);
}

// A client that asks for a large page and then reads nothing: the server
// cannot send, the idle deadline passes and the slot is closed, releasing
// the page's output it owned (the sanitizer build reports it otherwise).
TEST(HttpEngineIdle, StalledClientIsDroppedAndItsAnswerReleased)
{
    ASSERT_TRUE(run_startup_script());
    char pattern[] = "/tmp/vekhttp-engine-XXXXXX";
    std::string root = mkdtemp(pattern);
    const size_t pageSize = 8u << 20;
    std::ofstream(root + "/big.ttm") << "#[out;[" << std::string(pageSize, 'x') << "]]";
    HttpServer server;
    prepareServer(&server, nullptr);
    server.idleTimeout = 1;
    server.scriptSteps = 30;
    std::snprintf(server.documentRoot, sizeof server.documentRoot, "%s", root.c_str());
    ASSERT_EQ(http_server_start(&server), 0);
    sockaddr_in address;
    socklen_t length = sizeof address;
    getsockname(server.listenSocket, reinterpret_cast<sockaddr*>(&address), &length);
    std::thread loop([&server] { http_main_loop(&server); });

    int client = socket(AF_INET, SOCK_STREAM, 0);
    int small = 4096;
    setsockopt(client, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_TRUE(TestHttpServer::sendAll(client, "GET /big.ttm HTTP/1.1\r\n\r\n"));
    // Wait, reading nothing, until the loop has dropped the slot.
    for (int wait = 0; wait < 600 && __atomic_load_n(&server.timeoutCount, __ATOMIC_RELAXED) == 0; ++wait)
        poll(nullptr, 0, 50);
    std::string answer = TestHttpServer::readAll(client);
    close(client);
    http_server_request_stop(&server);
    loop.join();
    http_server_stop(&server);
    std::system(("rm -rf " + root).c_str());

    EXPECT_EQ(server.timeoutCount, 1);
    EXPECT_EQ(answer.compare(0, 17, "HTTP/1.1 200 OK\r\n"), 0);
    EXPECT_LT(answerBody(answer).size(), pageSize);
}

// Clients that send their header a byte at a time are dropped once the idle
// timeout has passed since their first byte; a whole request is then served.
TEST(HttpEngineIdle, TricklingHeadersAreDroppedAtTheirDeadline)
{
    TestHttpServer test(nullptr, 0, 2);
    std::ofstream(test.root + "/index.html") << "served";
    std::vector<pollfd> tricklers;
    for (int i = 0; i < 3; ++i) tricklers.push_back({test.connectClient(), POLLIN, 0});
    int ticks = 0;
    for (; ticks < 40 && poll(tricklers.data(), tricklers.size(), 0) < 3; ++ticks) {  // until all are closed
        for (const pollfd& trickler : tricklers) send(trickler.fd, "G", 1, MSG_NOSIGNAL);
        poll(nullptr, 0, 100);
    }
    EXPECT_LT(ticks, 36);  // about 2 s of trickling, not the 4 s allowed here
    EXPECT_EQ(answerBody(test.exchange("GET /index.html HTTP/1.1\r\n\r\n")), "served");
    for (const pollfd& trickler : tricklers) close(trickler.fd);
    EXPECT_EQ(test.server.timeoutCount, 3);
}

// Every descriptor the server opens is closed on exec, so a command a page
// starts (and leaves running) holds none of them: not the listening socket,
// which would keep the next server from the port, nor a client's socket,
// whose connection would then never close. The end-to-end check with a real
// command is in descriptors_e2e.py.
TEST(HttpEngineDescriptors, AreClosedOnExec)
{
    HttpServer server;
    prepareServer(&server, nullptr);
    ASSERT_EQ(http_server_start(&server), 0);
    sockaddr_in address;
    socklen_t length = sizeof address;
    getsockname(server.listenSocket, reinterpret_cast<sockaddr*>(&address), &length);
    int client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), length), 0);
    u32 peerAddress = 0;
    char name[] = "/tmp/vek-cloexec-XXXXXX";
    close(mkstemp(name));
    struct Case {
        const char* what;
        int fd;
    };
    const Case cases[] = {{"listening socket", server.listenSocket},
                          {"accepted socket", http_accept(&server, &peerAddress)},
                          {"wake pipe", server.wakeReadFd},
                          {"opened file", VekKernel::fileOpen(name, O_RDONLY, 0)}};
    for (const Case& c : cases) {
        ASSERT_GT(c.fd, 2) << c.what;
        EXPECT_TRUE(fcntl(c.fd, F_GETFD) & FD_CLOEXEC) << c.what;
    }
    close(cases[1].fd);
    close(cases[3].fd);
    close(client);
    unlink(name);
    http_server_request_stop(&server);
    http_main_loop(&server);
    http_server_stop(&server);
}

}  // namespace
