// The readiness wrapper: which descriptors it reports ready, and its
// refusal of a descriptor that is not open.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "http/HttpSelect.h"

namespace {

struct ReadyCase {
    const char* name;
    bool sendFirst;     // the peer has sent a byte
    bool peerClosed;    // the peer has closed its end
    bool watchWrite;    // also watched for output
    bool readable;      // expected after the wait
    bool writable;
};

TEST(HttpSelect, ReportsWhatSelectWould)
{
    const ReadyCase cases[] = {
        {"nothing waiting", false, false, false, false, false},
        {"a byte waiting", true, false, false, true, false},
        {"peer gone: the read reports it", false, true, false, true, false},
        {"room to send", false, false, true, false, true},
        {"both at once", true, false, true, true, true},
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
        http_select_add_read(&sets, fds[0]);
        http_select_add_read(&sets, fds[0]);  // a second add watches nothing more
        if (c.watchWrite) http_select_add_write(&sets, fds[0]);
        int ready = http_select_wait(&sets, 0);
        EXPECT_EQ(ready, int(c.readable) + int(c.writable)) << c.name;
        EXPECT_EQ(http_select_readable(&sets, fds[0]), c.readable) << c.name;
        EXPECT_EQ(http_select_writable(&sets, fds[0]), c.writable) << c.name;
        close(fds[0]);
        if (!c.peerClosed) close(fds[1]);
    }
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
