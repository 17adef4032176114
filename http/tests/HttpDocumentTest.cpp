// Static documents through the real engine where the end-to-end tests of
// the binary cannot reach: the directory fallback option (an empty answer
// for "dir/", a relative redirect for "dir"), a range on an index file, and
// answers to requests whose header nearly fills the receive buffer.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "HttpTestServer.h"

namespace {

TEST(HttpDirectoryFallback, EmptyAnswerForASlashAndARedirectWithout)
{
    TestHttpServer server(nullptr, HTTP_OPT_DIR_FALLBACK);
    ASSERT_TRUE(server.started);
    std::filesystem::create_directory(server.root + "/sub");

    std::string empty = server.exchange("GET /sub/ HTTP/1.1\r\n\r\n");
    EXPECT_EQ(empty.substr(0, 17), "HTTP/1.1 200 OK\r\n");
    EXPECT_EQ(empty.find("Content-Length"), std::string::npos);
    EXPECT_EQ(empty.find("Location"), std::string::npos);
    EXPECT_EQ(answerBody(empty), "");

    std::string moved = server.exchange("GET /sub HTTP/1.1\r\n\r\n");
    EXPECT_EQ(moved.substr(0, 32), "HTTP/1.1 301 Moved Permanently\r\n");
    EXPECT_NE(moved.find("\r\nConnection: close\r\n"), std::string::npos);
    EXPECT_NE(moved.find("\r\nLocation: sub/\r\n\r\n"), std::string::npos);
    EXPECT_EQ(answerBody(moved), "");

    // A directory with its index file is served as usual, ranges included.
    std::ofstream(server.root + "/sub/index.html") << "0123456789";
    std::string ranged = server.exchange("GET /sub HTTP/1.1\r\nRange: bytes=4-\r\n\r\n");
    EXPECT_EQ(ranged.substr(0, 30), "HTTP/1.1 206 Partial Content\r\n");
    EXPECT_NE(ranged.find("\r\nContent-Type: text/html\r\nContent-Length: 6\r\n"), std::string::npos);
    EXPECT_EQ(answerBody(ranged), "456789");
}

// A request header of nearly 128 KiB leaves less room behind it than a
// response header takes; the answer must still be whole (and nothing
// written past the buffer, which the sanitizer build checks).
TEST(HttpLongRequestHeader, DocumentAndDirectoryAnswersStillFit)
{
    TestHttpServer server(nullptr, HTTP_OPT_DIR_FALLBACK);
    ASSERT_TRUE(server.started);
    std::ofstream(server.root + "/a.txt") << "alpha";
    std::filesystem::create_directory(server.root + "/dir");
    for (const char* path : {"a.txt", "dir"}) {
        std::string head = std::string("GET /") + path + " HTTP/1.1\r\nX-Filler: ";
        std::string request = head + std::string(HTTP_IO_BUFFER - 100 - head.size(), 'f') + "\r\n\r\n";
        std::string answer = server.exchange(request);
        if (std::string(path) == "a.txt") {
            EXPECT_EQ(answer.substr(0, 17), "HTTP/1.1 200 OK\r\n");
            EXPECT_EQ(answerBody(answer), "alpha");
        } else {
            EXPECT_NE(answer.find("\r\nLocation: dir/\r\n\r\n"), std::string::npos) << answer;
        }
    }
}

}  // namespace
