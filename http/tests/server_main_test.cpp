// The program shell's signal handler: it runs between any two instructions
// of the program, so whatever it does must leave errno as it found it (the
// interrupted code may be about to read it).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "http/HttpServer.h"
#include "http/ServerMain.h"

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

TEST(SignalHandler, KeepsErrnoWhenItsLineCannotBeWritten)
{
    http_server_init(&httpServer);
    int seen;
    {
        FullStandardOutput full;
        errno = EDOM;
        signal_handler(SIGTERM);
        seen = errno;
    }
    EXPECT_EQ(seen, EDOM);
    EXPECT_EQ(httpServer.stop, 1);
    http_server_init(&httpServer);
}

}  // namespace
