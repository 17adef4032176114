// Template runs and the process-wide text budget, through the bridge the
// loop calls: the answer body a finished run leaves in its slot keeps its
// share until the slot lets it go, and a run that fails (the budget spent,
// memory short) ends alone with its slot, never the process.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "http/HttpServer.h"
#include "http/HttpTemplate.h"
#include "language/TextBudget.h"
#include "language/ttm/TTMProcessor.h"
#include "language/ttm/TTMRun.h"

using VekLanguage::TextBudget;

namespace {

// The wrapper every run's program calls, as the built-in start-up script
// defines it (once per process: global forms are never redefined).
void defineWrapper()
{
    if (!VekLanguage::LanguageProcessor::globalForms.count("vek_prog"))
        VekLanguage::runTemplate("#[=;vek_prog;[{PROGRAM}]]#[=.;vek_prog;{PROGRAM}]");
}

// A server record and one slot whose socket is one end of a socket pair;
// the test reads the answer from the other end.
struct Slot {
    HttpServer server;
    HttpConnection conn;
    int peer = -1;

    explicit Slot(const std::string& rawText)
    {
        defineWrapper();
        std::memset(&server, 0, sizeof server);
        std::memset(&conn, 0, sizeof conn);
        std::snprintf(server.documentRoot, sizeof server.documentRoot, ".");
        server.scriptSteps = 30;
        int pair[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        conn.socket = pair[0];
        peer = pair[1];
        server.connections = 1;
        conn.status = 200;
        conn.flags = HTTP_READING;
        conn.rawText = new std::string(rawText);
    }
    ~Slot()
    {
        close();
        if (peer >= 0) ::close(peer);
    }
    // Slices until the run ends: 0 while it runs, then the bridge's result.
    int runToEnd(int slices = 100000)
    {
        int result = 0;
        for (int i = 0; i < slices && result == 0 && (conn.flags & HTTP_TEMPLATE); ++i)
            result = http_continue_template(&server, &conn);
        return result;
    }
    void close()
    {
        if (!conn.socket) return;
        conn.flags |= HTTP_CLOSE_AFTER;
        http_close_connection(&server, &conn);
    }
};

}  // namespace

// The body of an answer holds its share until the slot is closed, whether
// it was sent, the run was dropped while it ran, or the run failed.
TEST(HttpTemplateBudget, SlotsGiveBackExactlyWhatTheirRunsAndBodiesHeld)
{
    ASSERT_EQ(TextBudget::used(), 0u);
    const std::string body(100000, 'b');
    {
        Slot sent("#[out;" + body + "]");
        ASSERT_EQ(http_start_template(&sent.server, &sent.conn, std::string()), 0);
        sent.runToEnd();
        EXPECT_FALSE(sent.conn.flags & HTTP_TEMPLATE);
        EXPECT_EQ(TextBudget::used(), body.size()) << "the body waiting to be sent";
        sent.close();
        EXPECT_EQ(TextBudget::used(), 0u) << "sent";
    }
    {
        Slot dropped("#[.=;x;" + body + "]#[.=;f;[#[.=;y;##[x]]#[f]]]#[f]");
        ASSERT_EQ(http_start_template(&dropped.server, &dropped.conn, std::string()), 0);
        EXPECT_EQ(dropped.runToEnd(50), 0);
        EXPECT_GE(TextBudget::used(), body.size());
        dropped.close();
        EXPECT_EQ(TextBudget::used(), 0u) << "dropped while running";
    }
    TextBudget::setLimit(3 * body.size());
    {
        Slot failed("#[.=;x;" + body + "]#[out;##[x]##[x]##[x]]");
        ASSERT_EQ(http_start_template(&failed.server, &failed.conn, std::string()), 0);
        EXPECT_EQ(failed.runToEnd(), -1);
        EXPECT_EQ(TextBudget::used(), 0u) << "failed";
    }
    TextBudget::setLimit(VekLanguage::DefaultTextBudget);
}

#if !defined(__SANITIZE_ADDRESS__)
namespace {

// Address space the process uses now, in bytes.
size_t addressSpace()
{
    unsigned long pages = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm) {
        if (std::fscanf(statm, "%lu", &pages) != 1) pages = 0;
        std::fclose(statm);
    }
    return pages * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

}  // namespace

// Memory running out while a run starts or runs fails that run: the bridge
// answers -1 and the process goes on. Checked in a child process whose
// address space is held to a little more than it uses.
TEST(HttpTemplateBudget, RunningOutOfMemoryFailsTheRunNotTheProcess)
{
    const size_t Big = 48u << 20;
    const struct {
        const char* what;
        std::string rawText;  // the run's program text
        bool defineX;         // a form x of Big bytes is defined before the limit
        const char* page;     // text run after x is defined
    } cases[] = {
        {"start", "#[out;" + std::string(Big, 's') + "]", false, ""},
        {"run", "#[.=;y;##[x]##[x]]", true, ""},
    };
    for (const auto& c : cases) {
        std::fflush(stdout);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            Slot slot(c.rawText);
            int result = 0;
            if (c.defineX) {
                if (http_start_template(&slot.server, &slot.conn, std::string()) != 0) _exit(3);
                static_cast<VekLanguage::TTMProcessor*>(slot.conn.processor)
                    ->defineFormAtLevel("x", std::string(Big, 'x'), 0);
            }
            rlimit limit = {addressSpace() + Big + (Big >> 1), RLIM_INFINITY};
            setrlimit(RLIMIT_AS, &limit);
            if (c.defineX) result = slot.runToEnd();
            else result = http_start_template(&slot.server, &slot.conn, std::string());
            slot.close();
            _exit(result == -1 && TextBudget::used() == 0 ? 0 : 2);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status)) << c.what << ": the process died";
        if (WIFEXITED(status)) {
            EXPECT_EQ(WEXITSTATUS(status), 0) << c.what;
        }
    }
}
#endif
