// The program shell's signal handler: it runs between any two instructions
// of the program, so whatever it does must leave errno as it found it (the
// interrupted code may be about to read it). The test calls the handler
// itself, so it gives back what the handler notes process-wide (the
// server's stop field, the sort's signal note): the tests after it in the
// same program must not start with a stop pending.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "http/HttpServer.h"
#include "http/ServerMain.h"
#include "http/SortSignals.h"

namespace {

// Standard output goes to /dev/full while it lives: every write fails.
class FullStandardOutput {
public:
    FullStandardOutput() : saved(dup(STDOUT_FILENO))
    {
        int full = open("/dev/full", O_WRONLY);
        dup2(full, STDOUT_FILENO);
        close(full);
    }
    ~FullStandardOutput()
    {
        dup2(saved, STDOUT_FILENO);
        close(saved);
    }

private:
    int saved;  // the real standard output
};

// Clears what a call of the handler notes, also when the test fails.
class NotedStopCleared {
public:
    NotedStopCleared() { http_server_init(&httpServer); }
    ~NotedStopCleared()
    {
        sort_note_signal(0);
        http_server_init(&httpServer);
    }
};

TEST(SignalHandler, KeepsErrnoWhenItsLineCannotBeWritten)
{
    NotedStopCleared cleared;
    int seen;
    {
        FullStandardOutput full;
        errno = EDOM;
        signal_handler(SIGTERM);
        seen = errno;
    }
    EXPECT_EQ(seen, EDOM);
    EXPECT_EQ(httpServer.stop, 1);
    EXPECT_EQ(sort_signal_noted(), SIGTERM);
}

}  // namespace

namespace {

// A launcher may leave a descriptor open above the limit it then gives
// (or above the first 65536 under a huge one): start-up's way without
// close_range's flag still marks it close-on-exec, as every other.
TEST(InheritedDescriptors, EachOpenOneIsMarkedWhateverItsNumber)
{
    rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    if (saved.rlim_max < 1000) GTEST_SKIP() << "the hard limit allows no descriptor 900";
    const int low = open("/dev/null", O_RDONLY);
    const int high = dup2(low, 900);
    ASSERT_EQ(high, 900);
    rlimit lowered = saved;
    lowered.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    mark_inherited_on_exec_one_by_one();
    setrlimit(RLIMIT_NOFILE, &saved);
    for (int fd : {low, high}) {
        EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC) << fd;
        close(fd);
    }
}

}  // namespace
