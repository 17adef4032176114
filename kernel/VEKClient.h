// One request/response exchange with another server over TCP, driven one
// step per call so that the single server thread never waits on a peer
// (only the connect of the first step blocks).
#pragma once
#include <string>

namespace VekClient {

class VEKClient {
public:
    // Largest piece received in one step.
    static constexpr int ReceiveChunk = 512;
    // Longest wait for the socket to become readable in one step.
    static constexpr int ReceiveWaitMicros = 100;

    // request is sent as given. With noReply the exchange is done as soon
    // as every byte is sent; otherwise it runs until the peer closes.
    VEKClient(const std::string& host, int port, const std::string& request, bool noReply);
    ~VEKClient();
    VEKClient(const VEKClient&) = delete;
    VEKClient& operator=(const VEKClient&) = delete;

    // One step: the first resolves, connects (blocking), switches to
    // non-blocking and starts sending; later ones send the rest, then
    // receive. Does nothing once the exchange is done or failed.
    void step();

    bool isDone() const { return done_; }
    bool isFailed() const { return failed_; }
    const std::string& received() const { return received_; }

private:
    bool connectToPeer();
    void sendSome();
    void receiveSome();
    // Ends the exchange as failed, with a message on the console and in
    // the system log.
    void fail(const char* what, const char* reason);
    void finish();
    void closeSocket();

    std::string host_;      // dotted address or host name
    int port_;              // TCP port of the peer
    std::string request_;   // bytes to send
    std::size_t sent_ = 0;  // bytes of request_ already sent
    bool noReply_;          // done once everything is sent
    int fd_ = -1;           // socket, -1 before connect and after the end
    bool started_ = false;  // the first step has run
    bool done_ = false;     // peer closed (or all sent with noReply_)
    bool failed_ = false;   // an error ended the exchange
    std::string received_;  // bytes received so far
};

}  // namespace VekClient
