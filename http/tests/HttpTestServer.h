// Test helper: a real HttpServer record serving a scratch document
// directory on a free loopback port, its loop running on a thread of its
// own, and a blocking client that sends one request and reads the answer
// until the server closes the connection.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "http/HttpServer.h"
#include "http/HttpUpload.h"

class TestHttpServer {
public:
    // Starts serving a fresh scratch directory; handlers may be null,
    // optionFlags holds HTTP_OPT_* bits.
    explicit TestHttpServer(HttpHandlerEntry* handlers = nullptr, int optionFlags = 0, int idleTimeout = 30)
    {
        char pattern[] = "/tmp/vek-http-test-XXXXXX";
        root = mkdtemp(pattern);
        http_server_init(&server);
        std::snprintf(server.documentRoot, sizeof server.documentRoot, "%s", root.c_str());
        server.bindAddress = INADDR_LOOPBACK;
        server.port = 0;  // the system picks a free port
        server.maxClients = 8;
        server.idleTimeout = idleTimeout;
        server.scriptSteps = 30;
        server.handlers = handlers;
        server.optionFlags = optionFlags;
        server.uploadCallback = http_upload_data;
        started = http_server_start(&server) == 0;
        if (!started) return;
        sockaddr_in address;
        socklen_t length = sizeof address;
        getsockname(server.listenSocket, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        loop = std::thread([this] { http_main_loop(&server); });
    }

    ~TestHttpServer()
    {
        stop();
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }

    // Ends the loop (its end calls the life-cycle callbacks) and releases the server.
    void stop()
    {
        if (!started) return;
        started = false;
        http_server_request_stop(&server);
        loop.join();
        http_server_stop(&server);
    }

    // A blocking client socket connected to the server (30 s receive limit),
    // or -1.
    int connectClient() const
    {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        timeval limit = {30, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        sockaddr_in address;
        std::memset(&address, 0, sizeof address);
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<u16>(port));
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
        close(fd);
        return -1;
    }

    // Sends request and returns everything the server answers before it
    // closes the connection.
    std::string exchange(const std::string& request) const
    {
        int fd = connectClient();
        std::string answer = fd >= 0 && sendAll(fd, request) ? readAll(fd) : std::string();
        if (fd >= 0) close(fd);
        return answer;
    }

    static bool sendAll(int fd, const std::string& data)
    {
        for (size_t sent = 0; sent < data.size();) {
            ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent += static_cast<size_t>(n);
        }
        return true;
    }

    // Everything received until the peer closes.
    static std::string readAll(int fd)
    {
        std::string answer;
        char block[65536];
        for (ssize_t got; (got = recv(fd, block, sizeof block, 0)) > 0;) answer.append(block, static_cast<size_t>(got));
        return answer;
    }

    HttpServer server;  // the record under test
    std::string root;   // scratch document directory
    int port = 0;       // loopback port it listens on
    bool started = false;

private:
    std::thread loop;  // runs http_main_loop
};

// The body of an HTTP answer (after the blank line), or "" without one.
inline std::string answerBody(const std::string& answer)
{
    size_t end = answer.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : answer.substr(end + 4);
}
