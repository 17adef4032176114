// The request body's rate rule against a wall clock that is stepped (by
// the operator or a time daemon) while a body arrives: a client that keeps
// the rate is not dropped for it. This file's time() stands in for the C
// library's in the whole test program, so the test can step the clock the
// loop reads; left alone it is the real wall clock.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <ctime>
#include <fstream>
#include <string>

#include "http/ServerConfig.h"
#include "http/tests/HttpTestServer.h"

namespace {

// Seconds added to the real wall clock by the test running.
std::atomic<long> wallShift{0};

// Bytes sent per virtual second: twice the rate floor.
constexpr size_t CHUNK = 2048;
// Virtual seconds of steady sending before the clock is stepped: past the
// body's margin, which a stepped clock would use up if the rule read it.
constexpr int STEADY_SECONDS = 24;

// The body bytes the server has read of the slot reading a body, or -1
// once no slot reads one (the body was dropped or is done).
int64 bodyBytesRead(HttpServer& server)
{
    for (int i = 0; i < server.maxClients; ++i) {
        HttpConnection& slot = server.slots[i];
        if (__atomic_load_n(&slot.socket, __ATOMIC_ACQUIRE) && __atomic_load_n(&slot.headerLength, __ATOMIC_ACQUIRE))
            return __atomic_load_n(&slot.bodyReceived, __ATOMIC_ACQUIRE);
    }
    return -1;
}

// Sends the next chunk of body and waits until the server has read it.
void sendChunkRead(TestHttpServer& test, int client, const std::string& body, size_t* sent)
{
    ASSERT_TRUE(TestHttpServer::sendAll(client, body.substr(*sent, CHUNK)));
    *sent += CHUNK;
    for (int wait = 0; wait < 1000 && bodyBytesRead(test.server) < static_cast<int64>(*sent); ++wait)
        poll(nullptr, 0, 5);
}

TEST(HttpBodyClock, AWallClockStepDropsNoBodyThatKeepsTheRate)
{
    ASSERT_TRUE(run_startup_script());
    const long steps[] = {+10, -5};
    for (long step : steps) {
        SCOPED_TRACE("wall clock stepped by " + std::to_string(step) + " s");
        TestHttpServer test(nullptr, 0, 15);
        std::ofstream(test.root + "/form.ttm") << "#[out;[ok]]";
        const std::string body = "v=" + std::string(CHUNK * (STEADY_SECONDS + 2) - 2, 'x');
        int client = test.connectClient();
        ASSERT_TRUE(TestHttpServer::sendAll(
            client, "POST /form.ttm HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n"));
        size_t sent = 0;
        for (int second = 0; second < STEADY_SECONDS; ++second) {
            wallShift += 1;
            sendChunkRead(test, client, body, &sent);
        }
        wallShift += step;
        sendChunkRead(test, client, body, &sent);
        ASSERT_TRUE(TestHttpServer::sendAll(client, body.substr(sent)));
        std::string answer = TestHttpServer::readAll(client);
        close(client);
        wallShift = 0;
        EXPECT_EQ(answer.compare(0, 17, "HTTP/1.1 200 OK\r\n"), 0) << answer;
        EXPECT_EQ(answerBody(answer), "ok");
        EXPECT_EQ(test.server.timeoutCount, 0);
    }
}

}  // namespace

extern "C" time_t time(time_t* out) noexcept
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    time_t shifted = now.tv_sec + wallShift.load();
    if (out) *out = shifted;
    return shifted;
}
