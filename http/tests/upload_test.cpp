// Tests of uploads through the real engine: multipart bodies with several
// files, a body split over many small receives, parts that do not fit the
// context, a failing file writer, the upload gate and the small helpers.
// The main flows through the binary are in upload_e2e.py.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "HttpTestServer.h"
#include "http/HttpUpload.h"

namespace {

const std::string BOUNDARY = "XyZzy0123";

std::string filePart(const std::string& name, const std::string& fileName, const std::string& bytes)
{
    return "--" + BOUNDARY + "\r\nContent-Disposition: form-data; name=\"" + name + "\"; filename=\"" + fileName +
           "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + bytes + "\r\n";
}

std::string fieldPart(const std::string& name, const std::string& value)
{
    return "--" + BOUNDARY + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
}

std::string multipartRequest(const std::string& path, const std::string& parts,
                             const std::string& boundary = BOUNDARY)
{
    std::string body = parts + "--" + boundary + "--\r\n";
    return "POST /" + path + " HTTP/1.1\r\nHost: test\r\nContent-Type: multipart/form-data; boundary=" + boundary +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string binaryBytes(size_t size)
{
    std::string bytes(size, '\0');
    u32 state = 12345;
    for (char& c : bytes) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 23);
    }
    return bytes;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool exists(const std::string& path)
{
    struct stat status;
    return stat(path.c_str(), &status) == 0;
}

// Polls until condition holds; false when it has not after a generous
// while. A bound on waiting for the server's loop, not a speed check.
template <typename Condition>
bool waitFor(Condition condition)
{
    for (int i = 0; i < 3000; ++i) {
        if (condition()) return true;
        usleep(10000);
    }
    return false;
}

// The served page that answers a finished upload.
void writePage(const TestHttpServer& server, const char* name, const char* text)
{
    std::ofstream(server.root + "/" + name) << text;
}

TEST(UploadMultipart, SeveralFilesAndAnEmptyOne)
{
    TestHttpServer server;
    writePage(server, "done.txt", "ok");
    std::string parts = filePart("a", "one.txt", "first") + fieldPart("n", "v") + filePart("b", "two.txt", "") +
                        filePart("c", "three.txt", "third\r\n");
    EXPECT_EQ(answerBody(server.exchange(multipartRequest("done.txt", parts))), "ok");
    EXPECT_EQ(readFile(server.root + "/one.txt"), "first");
    EXPECT_TRUE(exists(server.root + "/two.txt"));
    EXPECT_EQ(readFile(server.root + "/two.txt"), "");
    EXPECT_EQ(readFile(server.root + "/three.txt"), "third\r\n");
}

TEST(UploadMultipart, BodySentInSmallPiecesIsReassembled)
{
    TestHttpServer server;
    writePage(server, "done.txt", "ok");
    std::string bytes = binaryBytes(200000);
    std::string request = multipartRequest("done.txt", filePart("f", "slow.bin", bytes));
    int fd = server.connectClient();
    ASSERT_GE(fd, 0);
    // Pieces of odd sizes cut the header, the delimiters and the data anywhere.
    for (size_t at = 0; at < request.size(); at += 997) {
        std::string piece = request.substr(at, 997);
        ASSERT_EQ(send(fd, piece.data(), piece.size(), MSG_NOSIGNAL), static_cast<ssize_t>(piece.size()));
        if (at % (997 * 40) == 0) usleep(1000);
    }
    std::string answer = TestHttpServer::readAll(fd);
    close(fd);
    EXPECT_EQ(answerBody(answer), "ok");
    EXPECT_TRUE(readFile(server.root + "/slow.bin") == bytes);
}

// A raw upload that announces its length and is cut off before it has all
// come (the client closes or resets) leaves no short file to be served as
// the upload, and so none to refuse the client's retry.
TEST(UploadRaw, CutOffBeforeItsAnnouncedLengthLeavesNoFile)
{
    TestHttpServer server;
    const std::string head =
        "POST /any HTTP/1.1\r\nContent-Type: application/octet-stream; filename=cut.bin\r\nContent-Length: 5000\r\n\r\n";
    const std::string data = binaryBytes(5000);
    const std::string file = server.root + "/cut.bin";
    struct Case {
        const char* end;
        bool reset;  // SO_LINGER 0: the close sends a reset instead of a FIN
    };
    for (const Case& c : {Case{"FIN", false}, Case{"reset", true}}) {
        int fd = server.connectClient();
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(TestHttpServer::sendAll(fd, head + data.substr(0, 100)));
        ASSERT_TRUE(waitFor([&] { return exists(file); })) << c.end;  // the server has begun the file
        if (c.reset) {
            linger abort = {1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        }
        close(fd);
        EXPECT_TRUE(waitFor([&] { return !exists(file); })) << c.end;
        // The retry stores the whole file.
        EXPECT_EQ(server.exchange(head + data), "") << c.end;
        EXPECT_TRUE(readFile(file) == data) << c.end;
        chmod(file.c_str(), 0600);
        unlink(file.c_str());
    }
}

// A NUL byte in a file name is refused as the other control bytes are, in
// both places a name comes from; it would otherwise end the name early and
// store the bytes under another name ("a\0.txt" as "a").
TEST(UploadNames, NulInAFileNameIsRefused)
{
    TestHttpServer server;
    writePage(server, "done.txt", "ok");
    const std::string nulName("a\0.txt", 6);
    struct Case {
        const char* form;
        std::string request;
    };
    const Case cases[] = {
        {"multipart", multipartRequest("done.txt", filePart("f", nulName, "bytes"))},
        {"raw", "POST /any HTTP/1.1\r\nContent-Type: text/plain; filename=" + nulName +
                    "\r\nContent-Length: 5\r\n\r\nbytes"},
    };
    for (const Case& c : cases) {
        server.exchange(c.request);
        std::vector<std::string> stored;
        for (const auto& entry : std::filesystem::directory_iterator(server.root)) {
            if (entry.path().filename() == "done.txt") continue;
            stored.push_back(entry.path().filename().string());
            std::filesystem::remove(entry.path());  // so the next form starts afresh
        }
        EXPECT_EQ(stored, std::vector<std::string>{}) << c.form;
    }
}

// What does not fit the upload context (a boundary too long, too many parts)
// is refused in robustness_e2e.py.

// Records the callback's calls and fails every write.
std::vector<int> failedPieces;
int failingCallback(const char*, UploadContext*, const void* data, int length)
{
    if (!data) return 0;
    failedPieces.push_back(length);
    return -1;
}

TEST(UploadMultipart, FailingFileIsDroppedAndTheBodyStillReadToItsEnd)
{
    TestHttpServer server;
    writePage(server, "done.txt", "ok");
    failedPieces.clear();
    EXPECT_EQ(http_set_upload_callback(&server.server, failingCallback), http_upload_data);
    std::string parts = filePart("f", "a.bin", binaryBytes(200000)) + filePart("g", "b.bin", "small");
    EXPECT_EQ(answerBody(server.exchange(multipartRequest("done.txt", parts))), "ok");
    // The first piece fails; the rest of that part is dropped, the next part is tried.
    ASSERT_EQ(failedPieces.size(), 2u);
    EXPECT_EQ(failedPieces[0], HTTP_UPLOAD_PIECE);
    EXPECT_EQ(failedPieces[1], 5);
    EXPECT_EQ(http_set_upload_callback(&server.server, nullptr), nullptr);
}

// The upload gate, checked on a slot directly.
TEST(UploadGate, OnlyTheAllowedAddressPassesAndOpensItsWindow)
{
    HttpServer server;
    std::memset(&server, 0, sizeof server);
    server.uploadAddress = 0x7F000001;
    HttpConnection conn;
    std::memset(&conn, 0, sizeof conn);
    conn.peerAddress = 0x0A000001;
    EXPECT_TRUE(http_upload_allowed(&server, &conn));
    conn.flags = HTTP_UPLOAD_GATE;
    EXPECT_FALSE(http_upload_allowed(&server, &conn));
    EXPECT_EQ(server.refusedUploads, 1);
    conn.peerAddress = 0x7F000001;
    EXPECT_TRUE(http_upload_allowed(&server, &conn));
    EXPECT_GT(server.uploadWindowEnd, time(nullptr) + 250);
}

// The delimiter search and the header scan are exercised by every multipart
// exchange above and in upload_e2e.py (with a delimiter look-alike in the data).
// A name may not lead out of the directory, nor hold control bytes (a line
// break would split the console line that names the file).
TEST(UploadHelpers, FileNamesThatLeadOutOrHoldControlBytesAreRefused)
{
    struct Case {
        const char* name;
        bool allowed;
    };
    const Case cases[] = {{"a.b.c", true},      {"caf\xc3\xa9.txt", true}, {"a..b", false},
                          {"/etc", false},      {"x\r\ny.txt", false},     {"tab\there", false},
                          {"esc\x1b[2J", false}, {"del\x7f", false}};
    for (const Case& c : cases) EXPECT_EQ(http_upload_name_allowed(c.name), c.allowed) << c.name;
}

}  // namespace
