// The receive step over a real socket pair: headers split over receives,
// header fields, POST bodies, raw template requests and malformed requests.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "http/HttpRequest.h"
#include "http/HttpTemplate.h"
#include "http/HttpUpload.h"
#include "http/ServerConfig.h"
#include "kernel/VekAlloc.h"

namespace {

class HttpReceive : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/vekhttp-unit-XXXXXX";
        directory = mkdtemp(pattern);
        std::ofstream(directory + "/a.txt") << "alpha";
        http_server_init(&server);
        server.maxClients = 2;
        server.idleTimeout = 15;
        server.scriptSteps = 30;
        server.slots = static_cast<HttpConnection*>(vekCalloc(2, sizeof(HttpConnection)));
        std::snprintf(server.documentRoot, sizeof server.documentRoot, "%s", directory.c_str());
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
        conn = &server.slots[0];
        conn->socket = fds[0];
        conn->peerAddress = 0x7F000001;
        server.connections = 1;
        http_rearm_connection(conn);
    }
    void TearDown() override
    {
        conn->flags |= HTTP_CLOSE_AFTER;
        http_close_connection(&server, conn);
        vekFree(&conn->ioBuffer);
        vekFree(&server.slots);
        close(fds[1]);
        std::system(("rm -rf " + directory).c_str());
    }
    int feed(const std::string& piece)
    {
        EXPECT_EQ(write(fds[1], piece.data(), piece.size()), static_cast<ssize_t>(piece.size()));
        return http_read_request(&server, conn);
    }
    std::string answer()
    {
        std::string text;
        char buffer[4096];
        ssize_t got;
        while ((got = read(fds[1], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(got));
        return text;
    }
    // Re-arms the slot for the next request after a refusal closed it.
    void rearm()
    {
        conn->flags &= ~HTTP_CLOSE_AFTER;
        http_close_connection(&server, conn);
    }
    // Runs the slot's template to its end, as the loop would.
    int finishTemplate()
    {
        int result = 0;
        for (int turn = 0; turn < 10000 && result == 0 && (conn->flags & HTTP_TEMPLATE); ++turn)
            result = http_continue_template(&server, conn);
        // Then the body, as the loop's send steps would.
        while (result == 0 && conn->outPending > 0) result = http_send_from_buffer(&server, conn);
        return result;
    }
    std::string directory;
    HttpServer server;
    HttpConnection* conn = nullptr;
    int fds[2] = {-1, -1};
};

TEST_F(HttpReceive, HeaderSplitOverReceives)
{
    EXPECT_EQ(feed("GET /a.t"), 0);
    EXPECT_EQ(conn->headerLength, 0);
    EXPECT_EQ(feed("xt HTTP/1.1\r\nHost: exa"), 0);
    EXPECT_EQ(conn->path, nullptr);
    EXPECT_EQ(feed("mple\r\nreferer: r\r\nRANGE: bytes=2-3\r\nCSeq: 7\r\nTransport: t\r\n\r\n"), 0);
    EXPECT_STREQ(conn->path, "a.txt");
    EXPECT_EQ(std::string(conn->host, 9), "example\r\n");
    EXPECT_EQ(conn->referer[0], 'r');
    EXPECT_EQ(conn->transport[0], 't');
    EXPECT_EQ(conn->rangeStart, 2);
    EXPECT_EQ(conn->cseq, 7);
    EXPECT_EQ(conn->httpMinor, 1);
    EXPECT_EQ(conn->status, 206);
    EXPECT_TRUE(conn->flags & HTTP_WRITING);
    EXPECT_TRUE(conn->flags & HTTP_GET);
    EXPECT_EQ(server.requestCount, 1);
    EXPECT_EQ(std::string(conn->out, static_cast<size_t>(conn->outPending)).substr(0, 29),
              "HTTP/1.1 206 Partial Content\r");
}

// X-Forwarded-For replaces the peer's octets it gives and keeps the rest;
// "connection: close" in any case closes after the answer.
TEST_F(HttpReceive, ForwardedForAndConnectionClose)
{
    feed("GET /a.txt HTTP/1.0\r\nX-Forwarded-For: 10.1.2.3\r\n\r\n");
    EXPECT_EQ(conn->peerAddress, 0x0A010203u);
    EXPECT_EQ(conn->httpMinor, 0);
    rearm();
    conn->peerAddress = 0x7F000001;
    feed("GET /a.txt HTTP/1.1\r\nX-Forwarded-For: 10.9\r\nconnection: CLOSE\r\n\r\n");
    EXPECT_EQ(conn->peerAddress, 0x0A090001u);
    EXPECT_TRUE(conn->flags & HTTP_CLOSE_AFTER);
}

TEST_F(HttpReceive, HeaderThatFillsTheBufferEndsTheConnection)
{
    std::string head = "GET /a.txt HTTP/1.1\r\nX-Filler: ";
    EXPECT_EQ(feed(head + std::string(HTTP_IO_BUFFER - 1 - head.size(), 'f')), 0);
    EXPECT_EQ(conn->outPending, HTTP_IO_BUFFER - 1);
    EXPECT_EQ(feed("\r\n\r\n"), -1);  // no room left: taken as the peer closing
    EXPECT_TRUE(conn->flags & HTTP_CLOSE_AFTER);
    EXPECT_EQ(answer(), "");
}

// The page sees the body that came, cut at its length; a receive within
// the body that starts with '#' opens no raw request.
TEST_F(HttpReceive, PostBodyIsCollectedAndCutAtItsLength)
{
    ASSERT_TRUE(run_startup_script());
    std::ofstream(directory + "/echo.ttm") << "#[out;##[HTTP_PARAM_v]]";
    EXPECT_EQ(feed("POST /echo.ttm HTTP/1.1\r\nContent-Length: 8\r\n\r\nv="), 0);
    EXPECT_EQ(conn->headerLength, 46);
    EXPECT_FALSE(conn->flags & HTTP_TEMPLATE);
    EXPECT_EQ(feed("#ab"), 0);
    EXPECT_EQ(conn->flags & HTTP_RAW_TEXT, 0u);
    EXPECT_EQ(feed("cd]XYZ"), 0);
    EXPECT_EQ(finishTemplate(), 1);
    std::string text = answer();
    EXPECT_EQ(text.substr(text.find("\r\n\r\n") + 4), "#abcd]");
}

// Requests the slot cannot take end it without an answer or a held body:
// no protocol version (whatever the method), a path past its limit, a
// Content-Length that is no number or more than a body may hold.
TEST_F(HttpReceive, RequestsThatCannotBeTakenCloseTheSlot)
{
    const std::string post = "POST /a.txt HTTP/1.1\r\nContent-Length: ";
    for (const std::string& request :
         {std::string("GET /a.txt\r\n\r\n"), std::string("PUT /a.txt\r\n\r\n"),
          "GET /" + std::string(512, 'a') + " HTTP/1.1\r\n\r\n",
          post + "-5\r\n\r\n", post + "abc\r\n\r\n", post + "67108865\r\n\r\n",
          post + "99999999999999999999999\r\n\r\n", post + "\r\n\r\n"}) {
        EXPECT_EQ(feed(request), -1) << request.substr(0, 60);
        EXPECT_EQ(conn->body, nullptr);
        EXPECT_FALSE(conn->flags & HTTP_TEMPLATE);
        EXPECT_EQ(answer(), "");
        rearm();
    }
    EXPECT_EQ(feed("GET /a.txt\r\n\r\n"), -1);
    EXPECT_TRUE(conn->flags & HTTP_CLOSE_AFTER);
}

TEST_F(HttpReceive, RefusalsAnswerInsteadOfServing)
{
    HttpAuthEntry table[] = {{"a.txt", "user", "pass", nullptr, {0}}, {nullptr, nullptr, nullptr, nullptr, {0}}};
    server.authTable = table;
    EXPECT_NE(feed("GET /a.txt HTTP/1.1\r\n\r\n"), 0);
    std::string text = answer();
    EXPECT_EQ(text.substr(0, 37), "HTTP/1.1 401 Authorization Required\r\n");
    EXPECT_EQ(text.substr(text.size() - 27), "\r\n\r\nAuthentication required");
    rearm();
    // Wrong credentials are refused too, never served.
    EXPECT_NE(feed("GET /a.txt HTTP/1.1\r\nAuthorization: Basic d3Jvbmc6d3Jvbmc=\r\n\r\n"), 0);
    text = answer();
    EXPECT_EQ(text.substr(text.size() - 25), "\r\n\r\nAuthentication failed");
    rearm();
    EXPECT_EQ(feed("GET /a.txt HTTP/1.1\r\nAuthorization: Basic dXNlcjpwYXNz\r\n\r\n"), 0);
    while (http_send_from_file(&server, conn) == 0) {
    }
    EXPECT_EQ(answer().substr(0, 17), "HTTP/1.1 200 OK\r\n");
    rearm();
    server.authTable = nullptr;

    server.optionFlags = HTTP_OPT_NO_RANGES;
    EXPECT_EQ(feed("GET /a.txt HTTP/1.1\r\nRange: bytes=1-\r\n\r\n"), -1);
    EXPECT_EQ(answer().substr(0, 24), "HTTP/1.1 403 Forbidden\r\n");
    rearm();
    server.optionFlags = 0;

    // Two slots of the same peer, one allowed.
    server.maxPerAddress = 1;
    server.slots[1].socket = 9999;  // never touched: only counted
    server.slots[1].peerAddress = conn->peerAddress;
    EXPECT_EQ(feed("GET /a.txt HTTP/1.1\r\n\r\n"), -1);
    EXPECT_EQ(answer().substr(0, 24), "HTTP/1.1 403 Forbidden\r\n");
    server.slots[1].socket = 0;
    rearm();
    EXPECT_EQ(feed("GET /a.txt HTTP/1.1\r\n\r\n"), 0);
}

TEST_F(HttpReceive, UploadsAreHeldToTheBodyLimit)
{
    // Streamed into a file, never collected, yet refused before a file is
    // made when the length announced passes the limit.
    server.uploadCallback = http_upload_data;
    EXPECT_EQ(feed("POST /up HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=XY\r\n"
                   "Content-Length: 100000000\r\n\r\n"),
              -1);
    EXPECT_EQ(conn->body, nullptr);
    rearm();
    EXPECT_EQ(feed("POST /up HTTP/1.1\r\nContent-Type: text/plain; filename=a.bin\r\n"
                   "Content-Length: -1\r\n\r\n"),
              -1);
}

TEST_F(HttpReceive, RawRequestCollectsEachByteOnce)
{
    ASSERT_TRUE(run_startup_script());
    EXPECT_EQ(feed("#[out;"), 0);
    EXPECT_EQ(conn->flags & HTTP_RAW_TEXT, static_cast<u32>(HTTP_RAW_TEXT));
    EXPECT_EQ(feed("ab"), 0);
    EXPECT_EQ(*conn->rawText, "#[out;ab");
    EXPECT_EQ(feed(std::string("c]\0", 3)), 0);
    EXPECT_EQ(*conn->rawText, "#[out;abc]");
    EXPECT_TRUE(conn->flags & HTTP_TEMPLATE);
    EXPECT_NE(finishTemplate(), 0);
    EXPECT_EQ(answer(), "abc");
}

// Each slot has room of its own for a small form or raw request: with the
// total of all slots taken by large bodies, both are still collected.
TEST_F(HttpReceive, SmallRequestsFitWhileLargeBodiesHoldTheTotal)
{
    server.heldBodies = HTTP_MAX_HELD_BODIES;
    EXPECT_EQ(feed("POST /a.txt HTTP/1.1\r\nContent-Length: 5000\r\n\r\n" + std::string(4000, 'x')), 0);
    EXPECT_EQ(feed(std::string(1000, 'y')), 0);
    EXPECT_TRUE(conn->flags & HTTP_WRITING);  // whole, and answered
    rearm();
    const std::string raw = "#[out;" + std::string(100, 'r');
    EXPECT_EQ(feed(raw), 0);
    EXPECT_EQ(*conn->rawText, raw);
    EXPECT_EQ(server.heldBodies, HTTP_MAX_HELD_BODIES);
}

TEST_F(HttpReceive, OtherMethodRunsAnEmptyTemplate)
{
    ASSERT_TRUE(run_startup_script());
    EXPECT_EQ(feed("DELETE /a.txt HTTP/1.1\r\nX-Forwarded-For: 10.1.2.3\r\nCSeq: 4\r\n\r\n"), 0);
    EXPECT_TRUE(conn->flags & HTTP_TEMPLATE);
    EXPECT_EQ(conn->peerAddress, 0x0A010203u);  // its header is parsed like any other
    EXPECT_EQ(conn->cseq, 4);
    EXPECT_EQ(server.requestCount, 1);
    EXPECT_EQ(conn->path, nullptr);
    EXPECT_EQ(finishTemplate(), 0);
    std::string text = answer();
    EXPECT_EQ(text.substr(0, 17), "HTTP/1.1 200 OK\r\n");
    EXPECT_EQ(text.find("Content-Length"), std::string::npos);
    EXPECT_NE(text.find("Content-Type: text/html\r\n"), std::string::npos);
}

TEST_F(HttpReceive, TemplateSeesParametersExactly)
{
    ASSERT_TRUE(run_startup_script());
    std::ofstream(directory + "/p.ttm") << "#[out;##[HTTP_PARAM_v]/##[HTTP_PARAM_w(1)]]";
    std::string body = "v=%5D%5D%23%5Bout%3BX%5D&w=1&w=2";
    feed("POST /p.ttm HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    EXPECT_EQ(finishTemplate(), 1);
    std::string text = answer();
    EXPECT_EQ(text.substr(text.size() - 12), "]]#[out;X]/2");
}

TEST_F(HttpReceive, TemplateBodyLargerThanTheSocketTakesMoreSends)
{
    ASSERT_TRUE(run_startup_script());
    const std::string body(600000, 'b');
    std::ofstream(directory + "/big.ttm") << "#[out;" << body << "]";
    EXPECT_EQ(feed("GET /big.ttm HTTP/1.1\r\n\r\n"), 0);
    int result = 0;
    while (result == 0 && (conn->flags & HTTP_TEMPLATE)) result = http_continue_template(&server, conn);
    std::string text = answer();
    EXPECT_EQ(result, 0);  // the header went, most of the body waits
    for (int step = 0; step < 10000 && result == 0; ++step) {
        result = http_send_from_buffer(&server, conn);
        text += answer();
    }
    EXPECT_EQ(result, 1);
    EXPECT_NE(text.find("Content-Length: 600000\r\n"), std::string::npos);
    EXPECT_EQ(text.substr(text.find("\r\n\r\n") + 4), body);
    EXPECT_EQ(conn->sentBytes, 600000);
}

TEST_F(HttpReceive, FileShorterThanAnnouncedIsPaddedWithZeros)
{
    std::ofstream(directory + "/shrinks.txt") << std::string(1000, 'x');
    EXPECT_EQ(feed("GET /shrinks.txt HTTP/1.1\r\n\r\n"), 0);
    ASSERT_EQ(truncate((directory + "/shrinks.txt").c_str(), 100), 0);
    int result = 0;
    std::string text;
    for (int step = 0; step < 1000 && result == 0; ++step) {
        result = http_send_from_file(&server, conn);
        text += answer();
    }
    EXPECT_EQ(result, 1);
    std::string body = text.substr(text.find("\r\n\r\n") + 4);
    EXPECT_EQ(body, std::string(100, 'x') + std::string(900, '\0'));
}

}  // namespace
