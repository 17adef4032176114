// Tests of the remote request words "~+", "~-" and "~>": pooled connection
// use counts, and exchanges with a peer on the loopback that this test plays
// itself between the processor's turns (answering late, never closing,
// refusing), so every case is decided by turn order, not by time.

#include <gtest/gtest.h>

#include <string>

#include "TTMProcessor.h"
#include "TTMTestUtil.h"
#include "VEKClient.h"
#include "VEKConnectionPool.h"
#include "kernel/tests/LoopbackPeer.h"

using namespace VekLanguage;
using namespace VekLanguageTest;

namespace {

using TestPeer = LoopbackPeer;

// Runs turns until the page finishes; false when it has not after many turns.
bool finish(TTMProcessor& processor) {
    for (int turn = 0; turn < 100000; ++turn)
        if (processor.run(30)) return true;
    return false;
}

std::string hostPort(const TestPeer& peer) { return "127.0.0.1;" + std::to_string(peer.port); }

VekConnectionPool::VEKConnection* pooled(const TestPeer& peer) {
    return VekConnectionPool::VEKConnectionPool::instance()->find("127.0.0.1", peer.port);
}

}  // namespace

// The pool's use counts are the kernel's; the words give it the port read
// with strtol ("81x" names port 81).
TEST(RemoteWords, AcquireAndReleaseReadThePortAsANumber) {
    TTMProcessor processor;
    auto* pool = VekConnectionPool::VEKConnectionPool::instance();
    start(processor, "#[~+;use.test;81]#[~+;use.test;81x]");
    ASSERT_TRUE(finish(processor));
    ASSERT_NE(pool->find("use.test", 81), nullptr);
    EXPECT_EQ(pool->find("use.test", 81)->useCount, 2);
    start(processor, "#[~-;use.test;81]#[~-;use.test;81]#[~-;nobody.test;1]");
    ASSERT_TRUE(finish(processor));
    EXPECT_EQ(pool->find("use.test", 81), nullptr);
}

TEST(RemoteWords, PeerAnsweringAfterSeveralTurnsGivesTheWholeReply) {
    TestPeer peer;
    TTMProcessor processor;
    start(processor, "#[~+;" + hostPort(peer) + "]#[out;<##[~>;" + hostPort(peer) +
                         ";30;[ \r\n GET /x \n\t ]]>]#[~-;" + hostPort(peer) + "]");
    EXPECT_FALSE(processor.run(30));  // connected and sent; the call waits
    EXPECT_EQ(processor.requestState, RequestWaiting);
    EXPECT_EQ(processor.requestTimeout, 30);
    ASSERT_TRUE(peer.accept());
    // Trimmed at both ends and sent with one NUL byte.
    EXPECT_EQ(peer.readRequest(), std::string("GET /x\0", 7));
    for (int turn = 0; turn < 3; ++turn) EXPECT_FALSE(processor.run(30));
    EXPECT_EQ(processor.getOutput(), nullptr);
    const std::string reply(2000, 'r');  // several receive steps of 512 bytes
    peer.answer(reply);
    ASSERT_TRUE(finish(processor));
    EXPECT_EQ(outputOf(processor), "<" + reply + ">");
    EXPECT_EQ(processor.pendingClient, nullptr);
    EXPECT_EQ(pooled(peer), nullptr);  // the page went on to its "~-"
}

TEST(RemoteWords, PeerThatNeverClosesIsDroppedAtTheTimeoutAndTheNextRequestStartsAfresh) {
    TestPeer peer;
    TTMProcessor processor;
    start(processor, "#[~+;" + hostPort(peer) + "]#[out;<##[~>;" + hostPort(peer) + ";5;one]|##[~>;" +
                         hostPort(peer) + ";5;two]>]");
    EXPECT_FALSE(processor.run(30));
    ASSERT_TRUE(peer.accept());
    EXPECT_EQ(peer.readRequest(), std::string("one\0", 4));
    EXPECT_FALSE(processor.run(30));
    EXPECT_NE(processor.pendingClient, nullptr);
    // Let the wait outlast the timeout without sleeping.
    processor.waitStart -= 6;
    EXPECT_FALSE(processor.run(30));  // this turn only drops the call
    EXPECT_EQ(processor.pendingClient, nullptr);
    EXPECT_EQ(processor.pendingCall, nullptr);
    EXPECT_EQ(processor.requestState, RequestIdle);
    // The first client's socket is closed with it.
    EXPECT_EQ(peer.readToEnd(), "");

    EXPECT_FALSE(processor.run(30));  // the second "~>" connects anew
    ASSERT_TRUE(peer.accept());
    EXPECT_EQ(peer.readRequest(), std::string("two\0", 4));
    peer.answer("B");
    ASSERT_TRUE(finish(processor));
    EXPECT_EQ(outputOf(processor), "<|B>");
}

// A request that has nothing to wait for ends in its first turn with no
// text: a refused connection, a one-way send (timeout 0), no pooled connection.
TEST(RemoteWords, RequestsWithNothingToWaitForEndInTheirFirstTurn) {
    struct Case {
        bool listening;    // the peer accepts connections
        bool pooled;       // the page takes the connection first
        const char* wait;  // the timeout argument
        bool sent;         // the peer gets the request and then the close
    };
    const Case cases[] = {{false, true, "5", false}, {true, true, "0", true}, {true, false, "5", false}};
    for (const Case& c : cases) {
        TestPeer peer(c.listening);
        TTMProcessor processor;
        const std::string take = c.pooled ? "#[~+;" + hostPort(peer) + "]" : "";
        start(processor, take + "#[out;<##[~>;" + hostPort(peer) + ";" + c.wait + ";[  note  ]]>]");
        EXPECT_TRUE(processor.run(30)) << c.wait;
        EXPECT_EQ(outputOf(processor), "<>");
        EXPECT_EQ(processor.pendingClient, nullptr);
        if (c.sent) {
            ASSERT_TRUE(peer.accept());
            EXPECT_EQ(peer.readToEnd(), std::string("note\0", 5));  // trimmed, with its NUL
        } else if (c.listening) {
            EXPECT_FALSE(peer.accept());  // a connect would have been queued already
        }
        if (c.pooled) VekConnectionPool::VEKConnectionPool::instance()->release("127.0.0.1", peer.port);
    }
}

TEST(RemoteWords, ExchangeGoesOnWhenAnotherPageReleasesTheConnection) {
    TestPeer peer;
    TTMProcessor page;
    TTMProcessor other;
    start(page, "#[~+;" + hostPort(peer) + "]#[out;##[~>;" + hostPort(peer) + ";30;ask]]");
    EXPECT_FALSE(page.run(30));
    start(other, "#[~-;" + hostPort(peer) + "]");
    ASSERT_TRUE(finish(other));
    EXPECT_EQ(pooled(peer), nullptr);
    ASSERT_TRUE(peer.accept());
    EXPECT_EQ(peer.readRequest(), std::string("ask\0", 4));
    peer.answer("still here");
    ASSERT_TRUE(finish(page));
    EXPECT_EQ(outputOf(page), "still here");
}

TEST(RemoteWords, ProcessorDeletedMidExchangeClosesItsClient) {
    TestPeer peer;
    {
        TTMProcessor processor;
        start(processor, "#[~+;" + hostPort(peer) + "]#[~>;" + hostPort(peer) + ";30;bye]#[~-;" +
                             hostPort(peer) + "]");
        EXPECT_FALSE(processor.run(30));
        ASSERT_TRUE(peer.accept());
        EXPECT_EQ(peer.readRequest(), std::string("bye\0", 4));
    }
    EXPECT_EQ(peer.readToEnd(), "");  // the socket closed with the processor
    // The page never reached its "~-": the connection stays pooled.
    ASSERT_NE(pooled(peer), nullptr);
    VekConnectionPool::VEKConnectionPool::instance()->release("127.0.0.1", peer.port);
}

// A peer that never answers the connect (its accept queue is full) leaves
// the call pending from its first turn, within its timeout, while another
// page runs to its end. A one-way request (timeout 0) waits for its
// connect too, rather than being dropped once a second has turned.
TEST(RemoteWords, UnansweredConnectWaitsAcrossTurnsWithinItsTimeout) {
    for (const char* wait : {"5", "0"}) {
        TestPeer full(true, 0);
        full.fillQueue();
        TTMProcessor processor;
        start(processor, "#[~+;" + hostPort(full) + "]#[out;<##[~>;" + hostPort(full) + ";" + wait + ";x]>]#[~-;" +
                             hostPort(full) + "]");
        EXPECT_FALSE(processor.run(30)) << wait;
        ASSERT_NE(processor.pendingClient, nullptr);
        EXPECT_EQ(processor.pendingClient->phase(), VekClient::VEKClient::Phase::Connecting);
        TTMProcessor bystander;
        start(bystander, "#[out;ok]");
        ASSERT_TRUE(finish(bystander));
        EXPECT_EQ(outputOf(bystander), "ok");

        processor.waitStart -= 2;
        EXPECT_FALSE(processor.run(30)) << wait;
        EXPECT_NE(processor.pendingClient, nullptr) << wait;
        processor.waitStart -= 60;
        ASSERT_TRUE(finish(processor));
        EXPECT_EQ(outputOf(processor), "<>");
        EXPECT_EQ(processor.pendingClient, nullptr);
    }
}

// A peer that sends without end: the reply counts against the run's text
// limit as it arrives, and the exchange fails once it passes; the page goes
// on with the word's failure result.
TEST(RemoteWords, ReplyPastTheRunsTextLimitFailsTheExchange) {
    TestPeer peer;
    TTMProcessor processor;
    processor.maxTextBytes = 64 << 10;
    start(processor, "#[~+;" + hostPort(peer) + "]#[out;<##[~>;" + hostPort(peer) + ";30;more]>after]#[~-;" +
                         hostPort(peer) + "]");
    EXPECT_FALSE(processor.run(30));
    ASSERT_TRUE(peer.accept());
    EXPECT_EQ(peer.readRequest(), std::string("more\0", 5));
    const std::string piece(4096, 's');
    std::size_t streamed = 0;
    testing::internal::CaptureStdout();
    while (processor.pendingClient != nullptr && streamed < (1u << 20)) {
        peer.send(piece);
        streamed += piece.size();
        for (int turn = 0; turn < 100000 && processor.pendingClient != nullptr &&
                           processor.pendingClient->received().size() < streamed;
             ++turn)
            processor.run(30);
    }
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(processor.pendingClient, nullptr);
    EXPECT_LT(streamed, 1u << 20);
    EXPECT_NE(printed.find("reply too long"), std::string::npos);
    ASSERT_TRUE(finish(processor));
    EXPECT_EQ(outputOf(processor), "<>after");
}

// Client text (a raw request, a "#[" path) may not send requests to the
// server's own port: the call gets the word's failure result and nothing
// is sent. (The operator's pages still may: the end-to-end site test
// fetches its own server's output.)
TEST(RemoteWords, ClientTextCannotReachTheServersOwnPort) {
    TestPeer server;
    VekClient::serverPort = server.port;
    TTMProcessor processor;
    processor.clientText = true;
    start(processor, "#[~+;" + hostPort(server) + "]#[out;<##[~>;" + hostPort(server) + ";5;again]>]#[~-;" +
                         hostPort(server) + "]");
    testing::internal::CaptureStdout();
    EXPECT_TRUE(processor.run(30));
    testing::internal::GetCapturedStdout();
    VekClient::serverPort = 0;
    EXPECT_FALSE(server.accept());
    EXPECT_EQ(outputOf(processor), "<>");
}

// Client text gives back only the pooled connections it took itself, and
// all of them when its run ends; it takes none under a name no host has.
TEST(RemoteWords, ClientTextGivesBackOnlyTheConnectionsItTook) {
    auto* pool = VekConnectionPool::VEKConnectionPool::instance();
    pool->acquire("page.test", 82);  // what the operator's pages use
    {
        TTMProcessor client;
        client.clientText = true;
        start(client, "#[~-;page.test;82]#[~+;mine.test;83]#[~+;mine.test;83]#[~-;mine.test;83]#[~+;" +
                          std::string(300, 'h') + ";84]");
        ASSERT_TRUE(finish(client));
        ASSERT_NE(pool->find("page.test", 82), nullptr);
        EXPECT_EQ(pool->find("page.test", 82)->useCount, 1);
        ASSERT_NE(pool->find("mine.test", 83), nullptr);
        EXPECT_EQ(pool->find("mine.test", 83)->useCount, 1);
        EXPECT_EQ(pool->find(std::string(300, 'h'), 84), nullptr);
    }
    EXPECT_EQ(pool->find("mine.test", 83), nullptr);
    pool->release("page.test", 82);
}
