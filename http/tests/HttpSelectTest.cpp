// The readiness wrapper: which descriptors it reports ready (and departed),
// descriptor numbers past select()'s 1023, and its refusal of a descriptor
// that is not open.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "http/HttpSelect.h"

namespace {

enum PeerEnd { OPEN, SHUT_SENDING, CLOSED };
enum Watch { READ = 1, WRITE = 2, DEPARTURE = 4, HANGUP = 8 };

struct ReadyCase {
    const char* name;
    bool sendFirst;     // the peer has sent a byte
    PeerEnd peerEnd;    // what the peer did to its end
    int watches;        // Watch bits
    bool readable;      // expected after the wait
    bool writable;
    HttpDeparture departure;
};

TEST(HttpSelect, ReportsWhatSelectWould)
{
    const ReadyCase cases[] = {
        {"nothing waiting", false, OPEN, READ, false, false, HTTP_PEER_PRESENT},
        {"a byte waiting", true, OPEN, READ, true, false, HTTP_PEER_PRESENT},
        {"peer gone: the read reports it", false, CLOSED, READ, true, false, HTTP_PEER_PRESENT},
        {"room to send", false, OPEN, READ | WRITE, false, true, HTTP_PEER_PRESENT},
        {"both at once", true, OPEN, READ | WRITE, true, true, HTTP_PEER_PRESENT},
        {"departure: a byte is not one", true, OPEN, DEPARTURE, false, false, HTTP_PEER_PRESENT},
        {"departure: sending side shut", false, SHUT_SENDING, DEPARTURE, false, false, HTTP_PEER_HALF_CLOSED},
        {"departure: hung up, a byte left unread", true, CLOSED, DEPARTURE, false, false, HTTP_PEER_GONE},
        {"hang-up watch: a shut sending side is not one", false, SHUT_SENDING, HANGUP, false, false,
         HTTP_PEER_PRESENT},
        {"hang-up watch: hung up", false, CLOSED, HANGUP, false, false, HTTP_PEER_GONE},
    };
    for (const ReadyCase& c : cases) {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
        if (c.sendFirst) {
            ASSERT_EQ(write(fds[1], "x", 1), 1);
        }
        if (c.peerEnd == SHUT_SENDING) shutdown(fds[1], SHUT_WR);
        if (c.peerEnd == CLOSED) close(fds[1]);
        HttpSelect sets;
        http_select_clear(&sets);
        if (c.watches & READ) {
            http_select_add_read(&sets, fds[0]);
            http_select_add_read(&sets, fds[0]);  // a second add watches nothing more
        }
        if (c.watches & WRITE) http_select_add_write(&sets, fds[0]);
        if (c.watches & DEPARTURE) http_select_add_departure(&sets, fds[0]);
        if (c.watches & HANGUP) http_select_add_hangup(&sets, fds[0]);
        int ready = http_select_wait(&sets, 0);
        EXPECT_EQ(ready, int(c.readable) + int(c.writable) + int(c.departure != HTTP_PEER_PRESENT)) << c.name;
        EXPECT_EQ(http_select_readable(&sets, fds[0]), c.readable) << c.name;
        EXPECT_EQ(http_select_writable(&sets, fds[0]), c.writable) << c.name;
        EXPECT_EQ(http_select_departure(&sets, fds[0]), c.departure) << c.name;
        close(fds[0]);
        if (c.peerEnd != CLOSED) close(fds[1]);
    }
}

TEST(HttpSelect, WatchesDescriptorsPastSelectsLimit)
{
    rlimit limit;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const int high = 1500;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max <= static_cast<rlim_t>(high))
        GTEST_SKIP() << "descriptor limit " << limit.rlim_max;
    rlimit raised = limit;
    if (raised.rlim_cur != RLIM_INFINITY && raised.rlim_cur <= static_cast<rlim_t>(high)) raised.rlim_cur = high + 1;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
    ASSERT_EQ(dup2(fds[0], high), high);
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    HttpSelect sets;
    http_select_clear(&sets);
    http_select_add_read(&sets, fds[0]);
    http_select_add_read(&sets, high);
    EXPECT_EQ(http_select_wait(&sets, 0), 2);
    EXPECT_TRUE(http_select_readable(&sets, high));
    // A cleared set forgets the high descriptor.
    http_select_clear(&sets);
    http_select_add_read(&sets, fds[0]);
    EXPECT_EQ(http_select_wait(&sets, 0), 1);
    EXPECT_FALSE(http_select_readable(&sets, high));
    close(high);
    close(fds[0]);
    close(fds[1]);
    setrlimit(RLIMIT_NOFILE, &limit);
}

TEST(HttpSelect, ClosedDescriptorFailsTheWait)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[1]);
    close(fds[0]);
    HttpSelect sets;
    http_select_clear(&sets);
    http_select_add_read(&sets, fds[0]);
    EXPECT_EQ(http_select_wait(&sets, -1), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_FALSE(http_select_readable(&sets, fds[0]));
}

}  // namespace
