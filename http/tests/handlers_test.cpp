// Tests of the URL handler table: prefix matching, "rtsp://" paths, query
// parameters and their getters, the answer kinds (buffer, data source with
// chunked coding, file, redirect) through the real engine, the end notice
// and the life-cycle calls.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "HttpTestServer.h"
#include "http/HttpHandlers.h"
#include "kernel/VekAlloc.h"

namespace {

// What the recording handler saw on its last call.
struct Seen {
    int calls = 0;
    std::string pathRest;
    HttpParameters parameters;
    u32 answer = 0;
};

u32 recordingHandler(HttpRequestContext* context)
{
    Seen* seen = static_cast<Seen*>(context->userData);
    seen->calls++;
    seen->pathRest = context->pathRest;
    seen->parameters = *context->parameters;
    if (seen->answer & HTTP_FROM_BUFFER) {
        std::strcpy(context->out, "hello");
        context->outSize = 5;
        context->mimeIndex = 3;
    }
    return seen->answer;
}

// A slot holding a request path, as the request parser leaves it.
struct FakeSlot {
    explicit FakeSlot(const char* path, u32 method = HTTP_GET)
    {
        std::memset(&server, 0, sizeof server);
        std::memset(&conn, 0, sizeof conn);
        conn.ioBuffer = static_cast<char*>(vekMalloc(HTTP_IO_BUFFER));
        conn.out = conn.ioBuffer + 100;
        conn.outCapacity = HTTP_IO_BUFFER - 100;
        conn.flags = HTTP_READING | method;
        conn.path = static_cast<char*>(vekMalloc(static_cast<u32>(std::strlen(path) + 1)));
        std::strcpy(conn.path, path);
    }
    ~FakeSlot()
    {
        vekFree(&conn.ioBuffer);
        vekFree(&conn.path);
        if (conn.body) vekFree(&conn.body);
    }
    u32 dispatch(HttpHandlerEntry* table)
    {
        server.handlers = table;
        return http_dispatch_handler(&server, &conn);
    }
    HttpServer server;
    HttpConnection conn;
};

TEST(HandlerDispatch, PrefixMatchesAfterLeadingSlashesWithTheRestOfThePath)
{
    Seen seen;
    seen.answer = HTTP_FROM_BUFFER;
    HttpHandlerEntry table[] = {{"api", recordingHandler, nullptr, &seen}, {nullptr, nullptr, nullptr, nullptr}};
    FakeSlot slot("//api/x");
    EXPECT_EQ(slot.dispatch(table), static_cast<u32>(HTTP_FROM_BUFFER));
    EXPECT_EQ(seen.pathRest, "/x");
    EXPECT_EQ(slot.conn.handlerEntry, &table[0]);
    EXPECT_EQ(slot.server.handledCount, 1);
    EXPECT_EQ(slot.conn.mimeIndex, 3);
    EXPECT_EQ(std::string(slot.conn.out, 5), "hello");
    EXPECT_EQ(slot.conn.outPending, 5);
    EXPECT_EQ(slot.conn.bodyLength, 5);
    EXPECT_TRUE(slot.conn.flags & HTTP_FROM_BUFFER);

    FakeSlot other("apx/x");
    EXPECT_EQ(other.dispatch(table), 0u);
    EXPECT_EQ(other.conn.handlerEntry, nullptr);
    EXPECT_EQ(other.server.handledCount, 0);
}

TEST(HandlerDispatch, RtspUrlMatchesOnItsStreamName)
{
    Seen seen;
    seen.answer = HTTP_FROM_BUFFER;
    HttpHandlerEntry table[] = {{"live", recordingHandler, nullptr, &seen}, {nullptr, nullptr, nullptr, nullptr}};
    FakeSlot slot("rtsp://camera.local:554/live/track1?name=cam");
    EXPECT_NE(slot.dispatch(table), 0u);
    EXPECT_EQ(seen.pathRest, "/track1");
    EXPECT_EQ(seen.parameters["name"], "cam");
    FakeSlot hostOnly("rtsp://camera.local:554");
    EXPECT_EQ(hostOnly.dispatch(table), 0u);
}

TEST(HandlerDispatch, SwitchedOffAndDecliningEntriesPassToTheNext)
{
    Seen declining, taking;
    taking.answer = HTTP_FROM_BUFFER;
    HttpHandlerEntry table[] = {{"a", nullptr, nullptr, nullptr},
                                {"a", recordingHandler, nullptr, &declining},
                                {"", recordingHandler, nullptr, &taking},
                                {nullptr, nullptr, nullptr, nullptr}};
    FakeSlot slot("a/b");
    EXPECT_NE(slot.dispatch(table), 0u);
    EXPECT_EQ(declining.calls, 1);
    EXPECT_EQ(taking.calls, 1);
    EXPECT_EQ(taking.pathRest, "a/b");
    EXPECT_EQ(slot.conn.handlerEntry, &table[2]);
    EXPECT_EQ(slot.server.handledCount, 1);

    FakeSlot empty("a/b");
    EXPECT_EQ(empty.dispatch(httpEmptyHandlerTable), 0u);
}

TEST(HandlerDispatch, QueryIsCutFromTheRestAndDecoded)
{
    Seen seen;
    seen.answer = HTTP_FROM_BUFFER;
    HttpHandlerEntry table[] = {{"q", recordingHandler, nullptr, &seen}, {nullptr, nullptr, nullptr, nullptr}};
    FakeSlot slot("q/x?a=1&b=hello+w%6Frld&flag&=lost&a=2&c=%3D%26&n%41me+x=y");
    slot.dispatch(table);
    EXPECT_EQ(seen.pathRest, "/x");
    EXPECT_EQ(seen.parameters.size(), 5u);
    EXPECT_EQ(seen.parameters["n%41me+x"], "y");
    EXPECT_EQ(seen.parameters["a"], "2");
    EXPECT_EQ(seen.parameters["b"], "hello world");
    EXPECT_EQ(seen.parameters["flag"], "");
    EXPECT_EQ(seen.parameters["c"], "=&");
    // The slot keeps its whole path for a later "serve a file" answer.
    EXPECT_STREQ(slot.conn.path, "q/x?a=1&b=hello+w%6Frld&flag&=lost&a=2&c=%3D%26&n%41me+x=y");
}

TEST(HandlerDispatch, PostBodyIsParsedOnlyWhenTheHandlerAsks)
{
    Seen seen;
    seen.answer = HTTP_FROM_BUFFER;
    HttpHandlerEntry table[] = {{"p", recordingHandler, nullptr, &seen}, {nullptr, nullptr, nullptr, nullptr}};
    FakeSlot slot("p?x=1", HTTP_POST);
    slot.conn.body = static_cast<char*>(vekMalloc(16));
    std::strcpy(slot.conn.body, "k=v%21&m=2");
    slot.dispatch(table);
    EXPECT_TRUE(seen.parameters.empty());

    HttpParameters parameters;
    char rest[] = "/r";
    HttpRequestContext context{};
    context.connection = &slot.conn;
    context.pathRest = rest;
    context.parameters = &parameters;
    context.body = slot.conn.body;
    http_parse_query(&context);
    EXPECT_EQ(parameters["k"], "v!");
    EXPECT_EQ(parameters["m"], "2");

    parameters.clear();
    std::strcpy(slot.conn.body, "<xml a=1/>");
    http_parse_query(&context);
    EXPECT_TRUE(parameters.empty());
}

TEST(HandlerParameters, GettersFallBackOnMissingOrEmptyValues)
{
    HttpParameters parameters = {{"hex", "fF10zz"}, {"big", "123456789"}, {"num", "-42x"},
                                 {"huge", "99999999999"}, {"empty", ""}, {"text", "abc"}};
    EXPECT_EQ(http_param_hex(&parameters, "hex", 7), 0xff10u);
    EXPECT_EQ(http_param_hex(&parameters, "big", 7), 0xFFFFFFFFu);
    EXPECT_EQ(http_param_hex(&parameters, "text", 7), 0xabcu);
    EXPECT_EQ(http_param_hex(&parameters, "empty", 7), 7u);
    EXPECT_EQ(http_param_hex(&parameters, "none", 7), 7u);
    EXPECT_EQ(http_param_int(&parameters, "num", 5), -42);
    EXPECT_EQ(http_param_int(&parameters, "huge", 5), 2147483647);
    EXPECT_EQ(http_param_int(&parameters, "text", 5), 0);
    EXPECT_EQ(http_param_int(&parameters, "empty", 5), 5);
    EXPECT_STREQ(http_param_string(&parameters, "text", "d"), "abc");
    EXPECT_STREQ(http_param_string(&parameters, "empty", "d"), "d");
    EXPECT_STREQ(http_param_string(nullptr, "text", "d"), "d");
}

// --- Through the real engine -------------------------------------------

// Answers "hello <name>" from the buffer.
u32 greetingHandler(HttpRequestContext* context)
{
    std::string text = "hello " + std::string(http_param_string(context->parameters, "name", "nobody"));
    std::memcpy(context->out, text.data(), text.size());
    context->outSize = static_cast<int64>(text.size());
    context->mimeIndex = 3;
    return HTTP_FROM_BUFFER;
}

// Counts of a data source's calls.
struct SourceState {
    int pieces = 0;       // pieces handed out
    int endNotices = 0;   // end notices received
};

// Sends "piece N;" three times, each as its own chunk, then ends.
u32 dataSourceHandler(HttpRequestContext* context)
{
    SourceState* state = static_cast<SourceState*>(context->userData);
    if (context->outSize < 0) {
        state->endNotices++;
        return 0;
    }
    if (state->pieces == 3) return 0;
    std::string piece = "piece " + std::to_string(state->pieces++) + ";";
    std::memcpy(context->out, piece.data(), piece.size());
    context->outSize = static_cast<int64>(piece.size());
    return HTTP_DATA_SOURCE | HTTP_CHUNKED;
}

u32 redirectHandler(HttpRequestContext* context)
{
    std::strcpy(context->out, "http://elsewhere.example/new");
    return HTTP_REDIRECT;
}

u32 fileHandler(HttpRequestContext* context)
{
    std::strcpy(context->out, "served.txt");
    return HTTP_SERVE_FILE;
}

TEST(HandlerEngine, BufferAnswerWithQueryParameters)
{
    HttpHandlerEntry table[] = {{"greet", greetingHandler, nullptr, nullptr}, {nullptr, nullptr, nullptr, nullptr}};
    TestHttpServer server(table);
    ASSERT_TRUE(server.started);
    std::string answer = server.exchange("GET /greet?name=J%C3%BCrg+en HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(answer.compare(0, 15, "HTTP/1.1 200 OK"), 0) << answer;
    EXPECT_NE(answer.find("Content-Type: text/plain\r\n"), std::string::npos);
    EXPECT_NE(answer.find("Content-Length: 14\r\n"), std::string::npos);
    EXPECT_EQ(answerBody(answer), "hello J\xC3\xBCrg en");
    EXPECT_EQ(server.server.handledCount, 1);
}

TEST(HandlerEngine, DataSourceSendsChunksThenGetsTheEndNotice)
{
    SourceState state;
    HttpHandlerEntry table[] = {{"feed", dataSourceHandler, nullptr, &state}, {nullptr, nullptr, nullptr, nullptr}};
    TestHttpServer server(table);
    ASSERT_TRUE(server.started);
    std::string answer = server.exchange("GET /feed HTTP/1.1\r\n\r\n");
    EXPECT_NE(answer.find("Transfer-Encoding: chunked\r\n"), std::string::npos) << answer;
    EXPECT_EQ(answerBody(answer), "8\r\npiece 0;\r\n8\r\npiece 1;\r\n8\r\npiece 2;\r\n0\r\n\r\n");
    server.stop();
    EXPECT_EQ(state.pieces, 3);
    EXPECT_EQ(state.endNotices, 1);
}

TEST(HandlerEngine, RedirectAndServeFileAnswers)
{
    HttpHandlerEntry table[] = {{"go", redirectHandler, nullptr, nullptr},
                                {"alias", fileHandler, nullptr, nullptr},
                                {nullptr, nullptr, nullptr, nullptr}};
    TestHttpServer server(table);
    ASSERT_TRUE(server.started);
    std::string answer = server.exchange("GET /go/now HTTP/1.1\r\n\r\n");
    EXPECT_EQ(answer.substr(0, 32), "HTTP/1.1 301 Moved Permanently\r\n");
    EXPECT_EQ(answer.substr(answer.size() - 44), "\r\nLocation: http://elsewhere.example/new\r\n\r\n");

    FILE* file = std::fopen((server.root + "/served.txt").c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fputs("file body", file);
    std::fclose(file);
    answer = server.exchange("GET /alias/whatever HTTP/1.1\r\n\r\n");
    EXPECT_EQ(answer.compare(0, 15, "HTTP/1.1 200 OK"), 0) << answer;
    EXPECT_EQ(answerBody(answer), "file body");
}

}  // namespace
