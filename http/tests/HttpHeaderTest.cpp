// The response header writer, status reasons and the MIME table.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>

#include "http/HttpRequest.h"
#include "http/HttpResponse.h"

namespace {

class HttpHeader : public ::testing::Test {
protected:
    void SetUp() override
    {
        http_server_init(&server);
        std::memset(static_cast<void*>(&conn), 0, sizeof conn);
        conn.status = 200;
    }
    std::string build(time_t modified = 0)
    {
        char area[HTTP_HEADER_AREA];
        int length = http_build_header(&server, &conn, modified, area);
        EXPECT_EQ(length, static_cast<int>(std::strlen(area)));
        return std::string(area, static_cast<size_t>(length));
    }
    HttpServer server;
    HttpConnection conn;
};

TEST_F(HttpHeader, LinesInTheirOrder)
{
    conn.mimeIndex = 3;
    conn.bodyLength = 42;
    conn.cseq = 5;
    EXPECT_EQ(build(784111777),
              "HTTP/1.1 200 OK\r\nServer: VEKServer/1.18.7.22 (32bit Linux)\r\nCache-control: no-cache\r\n"
              "Pragma: no-cache\r\nConnection: close\r\nAccept-Ranges: bytes\r\n"
              "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\nCSeq: 5\r\nContent-Type: text/plain\r\n"
              "Content-Length: 42\r\n\r\n");
}

TEST_F(HttpHeader, OptionalLines)
{
    conn.flags = HTTP_CLOSE_AFTER | HTTP_CHUNKED;
    conn.bodyLength = 10;
    server.optionFlags = HTTP_OPT_NO_RANGES;
    std::string header = build();
    EXPECT_NE(header.find("Connection: close\r\n"), std::string::npos);
    EXPECT_NE(header.find("Transfer-Encoding: chunked\r\n"), std::string::npos);
    EXPECT_EQ(header.find("Content-Length"), std::string::npos);
    EXPECT_EQ(header.find("Accept-Ranges"), std::string::npos);
    EXPECT_EQ(header.find("Last-Modified"), std::string::npos);
    EXPECT_NE(header.find("Content-Type: application/octet-stream\r\n"), std::string::npos);
}

TEST_F(HttpHeader, ContentTypeOverride)
{
    conn.contentTypeOverride = "text/plain; charset=UTF-8\r\nSet-Cookie: x";
    std::string header = build();
    EXPECT_NE(header.find("Content-Type: text/plain; charset=UTF-8\r\n\r\n"), std::string::npos);
    EXPECT_EQ(header.find("Set-Cookie"), std::string::npos);
    conn.contentTypeOverride = "";
    conn.mimeIndex = 1;
    EXPECT_NE(build().find("Content-Type: text/html\r\n"), std::string::npos);
}

TEST_F(HttpHeader, LongTextsAreCutToFitTheArea)
{
    std::string longType(500, 't');
    conn.contentTypeOverride = longType.c_str();
    conn.bodyLength = 7;
    std::string header = build();
    EXPECT_EQ(header.size(), static_cast<size_t>(HTTP_HEADER_AREA - 1));
    EXPECT_EQ(header.substr(header.size() - 23), "\r\nContent-Length: 7\r\n\r\n");

    char location[400];
    std::memset(location, 'l', sizeof location - 1);
    location[sizeof location - 1] = '\0';
    conn.status = 301;
    conn.out = location;
    conn.contentTypeOverride = nullptr;
    header = build();
    EXPECT_LE(header.size(), static_cast<size_t>(HTTP_HEADER_AREA - 1));
    EXPECT_EQ(header.substr(header.size() - 4), "\r\n\r\n");
    EXPECT_NE(header.find("HTTP/1.1 301 Moved Permanently\r\n"), std::string::npos);
}

// What a sender writes to a socket, read back from the other end.
std::string sentBy(const std::function<void(int socket, HttpConnection* conn)>& send)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return "socketpair failed";
    HttpConnection conn;
    std::memset(static_cast<void*>(&conn), 0, sizeof conn);
    conn.socket = pair[0];
    send(pair[0], &conn);
    close(pair[0]);
    std::string text;
    char block[4096];
    for (ssize_t got; (got = read(pair[1], block, sizeof block)) > 0;) text.append(block, static_cast<size_t>(got));
    close(pair[1]);
    return text;
}

// Every fixed answer opens with the lines every other answer has, saying
// that the connection closes, then its own lines and body, byte for byte.
TEST(HttpFixedPages, ByteForByte)
{
    const std::string server = "VEKServer/1.18.7.22 (32bit Linux)";
    const std::string common =
        "\r\nServer: " + server + "\r\nCache-control: no-cache\r\nPragma: no-cache\r\nConnection: close\r\n";
    const std::string pageEnd = "<hr />" + server + "</body></html>";
    struct Case {
        const char* name;
        std::function<void(int socket, HttpConnection* conn)> send;
        std::string expected;
    };
    const Case cases[] = {
        {"403", [](int socket, HttpConnection*) { http_send_403(socket); },
         "HTTP/1.1 403 Forbidden" + common + "Content-length: 124\r\nContent-Type: text/html\r\n\r\n"
         "<html><head><title>403 Forbidden</title></head><body><h1>Forbidden</h1>" + pageEnd},
        {"404", [](int socket, HttpConnection*) { http_send_404(socket); },
         "HTTP/1.1 404 Not Found" + common + "Content-length: 164\r\nContent-Type: text/html\r\n\r\n"
         "<html><head><title>404 Not Found</title></head><body><h1>Not Found</h1>"
         "<p>The requested URL has no content.</p>" + pageEnd},
        {"500", [](int socket, HttpConnection*) { http_send_500(socket); },
         "HTTP/1.1 500 Internal Server Error" + common + "Content-length: 148\r\nContent-Type: text/html\r\n\r\n"
         "<html><head><title>500 Internal Server Error</title></head><body><h1>Internal Server Error</h1>" + pageEnd},
        {"401 required", [](int, HttpConnection* conn) { http_send_401(nullptr, conn, HTTP_AUTH_REQUIRED); },
         "HTTP/1.1 401 Authorization Required" + common + "WWW-Authenticate: Basic realm=\"Login\"\r\n"
         "Content-Length: 23\r\nContent-Type: text/html\r\n\r\nAuthentication required"},
        {"401 failed", [](int, HttpConnection* conn) { http_send_401(nullptr, conn, HTTP_AUTH_FAILED); },
         "HTTP/1.1 401 Authorization Required" + common + "WWW-Authenticate: Basic realm=\"Login\"\r\n"
         "Content-Length: 21\r\nContent-Type: text/html\r\n\r\nAuthentication failed"},
        {"301", [](int, HttpConnection* conn) { http_send_301(conn, "/new/place"); },
         "HTTP/1.1 301 Moved Permanently" + common + "Location: /new/place\r\n\r\n"},
        // A location cannot add header lines.
        {"301 with a line break", [](int, HttpConnection* conn) { http_send_301(conn, "/a\r\nSet-Cookie: x"); },
         "HTTP/1.1 301 Moved Permanently" + common + "Location: /a\r\n\r\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(sentBy(c.send), c.expected) << c.name;
    // Nor can it overflow the header area.
    std::string longLocation(1000, 'l');
    std::string cut = sentBy([&](int, HttpConnection* conn) { http_send_301(conn, longLocation.c_str()); });
    EXPECT_EQ(cut.size(), static_cast<size_t>(HTTP_HEADER_AREA - 1));
    EXPECT_EQ(cut.substr(cut.size() - 5), "l\r\n\r\n");
}

TEST(HttpStatusReason, Ranges)
{
    EXPECT_STREQ(http_status_reason(200), "OK");
    EXPECT_STREQ(http_status_reason(206), "Partial Content");
    EXPECT_STREQ(http_status_reason(308), "Permanent Redirect");
    EXPECT_STREQ(http_status_reason(418), "I'm a teapot");
    EXPECT_STREQ(http_status_reason(431), "Request Header Fields Too Large");
    EXPECT_STREQ(http_status_reason(499), "Client Closed Request");
    EXPECT_STREQ(http_status_reason(511), "Network Authentication Required");
    EXPECT_STREQ(http_status_reason(523), "Proxy Declined Reques");
    for (int status : {0, 199, 210, 299, 309, 425, 427, 430, 432, 512, 597, 600})
        EXPECT_STREQ(http_status_reason(status), "") << status;
}

// The extension picks its type regardless of case; unknown ones, none and
// rows past the table are octet streams.
TEST(HttpMimeType, Extensions)
{
    const char* const cases[][2] = {{"JPG", "image/jpeg"},    {"Html", "text/html"},
                                    {"jpeg", "application/octet-stream"}, {"x", "application/octet-stream"},
                                    {"", "application/octet-stream"}};
    for (const auto& c : cases) EXPECT_STREQ(http_mime_type(http_mime_type_code(c[0])), c[1]) << c[0];
    EXPECT_STREQ(http_mime_type(99), "application/octet-stream");
}

TEST(HttpText, SmallFunctions)
{
    EXPECT_EQ(str_ends_with("index.html", ".html"), 1);
    EXPECT_EQ(str_ends_with("html", "index.html"), 0);
    EXPECT_EQ(str_ends_with(nullptr, "x"), 0);
    EXPECT_STREQ(str_find_nocase("Content-Disposition: form-data", "FORM-DATA"), "form-data");
    EXPECT_EQ(str_find_nocase("abc", "abd"), nullptr);
    char out[16];
    EXPECT_EQ(copy_until("key=value", '=', out, sizeof out), 3);
    EXPECT_STREQ(out, "key");
    EXPECT_EQ(copy_until("novalue", '=', out, sizeof out), 0);
    char path[64];
    EXPECT_EQ(replace_file_part(path, "www/dir/old.txt", "new.txt"), 8);
    EXPECT_STREQ(path, "www/dir/new.txt");
    EXPECT_EQ(replace_file_part(path, "old.txt", "new.txt"), 0);
    EXPECT_STREQ(path, "new.txt");
    char date[64];
    http_format_date(0, date, sizeof date);
    EXPECT_STREQ(date, "Thu, 01 Jan 1970 00:00:00 GMT");
}

}  // namespace
