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

struct ReadyCase {
    const char* name;
    bool sendFirst;     // the peer has sent a byte
    bool peerClosed;    // the peer has closed its end
    bool watchRead;     // watched for input
    bool watchWrite;    // watched for output
    bool watchGone;     // watched for the peer's departure only
    bool readable;      // expected after the wait
    bool writable;
    bool departed;
};

TEST(HttpSelect, ReportsWhatSelectWould)
{
    const ReadyCase cases[] = {
        {"nothing waiting", false, false, true, false, false, false, false, false},
        {"a byte waiting", true, false, true, false, false, true, false, false},
        {"peer gone: the read reports it", false, true, true, false, false, true, false, false},
        {"room to send", false, false, true, true, false, false, true, false},
        {"both at once", true, false, true, true, false, true, true, false},
        {"departure: a byte is not one", true, false, false, false, true, false, false, false},
        {"departure with a byte left unread", true, true, false, false, true, false, false, true},
    };
    for (const ReadyCase& c : cases) {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
        if (c.sendFirst) {
            ASSERT_EQ(write(fds[1], "x", 1), 1);
        }
        if (c.peerClosed) close(fds[1]);
        HttpSelect sets;
        http_select_clear(&sets);
        if (c.watchRead) {
            http_select_add_read(&sets, fds[0]);
            http_select_add_read(&sets, fds[0]);  // a second add watches nothing more
        }
        if (c.watchWrite) http_select_add_write(&sets, fds[0]);
        if (c.watchGone) http_select_add_departure(&sets, fds[0]);
        int ready = http_select_wait(&sets, 0);
        EXPECT_EQ(ready, int(c.readable) + int(c.writable) + int(c.departed)) << c.name;
        EXPECT_EQ(http_select_readable(&sets, fds[0]), c.readable) << c.name;
        EXPECT_EQ(http_select_writable(&sets, fds[0]), c.writable) << c.name;
        EXPECT_EQ(http_select_departed(&sets, fds[0]), c.departed) << c.name;
        close(fds[0]);
        if (!c.peerClosed) close(fds[1]);
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
