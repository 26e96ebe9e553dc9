// Writing through the TCP socket over loopback: a large write to a peer that does not read, the
// disconnect-after forms, a delegate without a callback, and the order of writes asked for from
// a brief handler of another source and from another thread.

#include <gtest/gtest.h>

#include "dispatch/DispatchTestSupport.h"
#include "net/AsyncTcpSocket.h"
#include "net/TcpSocketFixture.h"
#include "net/TcpTestSupport.h"

#include <sys/socket.h>
#include <unistd.h>

#include <optional>

using namespace nettest;
using platform::dispatch::Source;

namespace {

TEST_F(TcpSocket, ALargeWriteToAPeerThatDoesNotReadGoesOutInPartsOrTimesOut) {
    connect();
    const size_t size = 16 * 1024 * 1024;  // far beyond the socket buffers
    Bytes big(size);
    for (size_t i = 0; i < size; ++i) big[i] = static_cast<uint8_t>(i * 7);
    sock->writeDataWithTimeoutTag(big, -1, 1);
    ASSERT_TRUE(delegate->waitForCount(Event::WritePartial));
    float progress = sock->progressOfWriteReturningTagBytesDoneTotal(nullptr, nullptr, nullptr);
    EXPECT_GT(progress, 0.0f);
    EXPECT_LT(progress, 1.0f);

    // Now the peer reads everything: the rest goes out and the request completes once.
    const Bytes received = peer.read(size);
    ASSERT_EQ(received.size(), size);
    EXPECT_TRUE(received == big);
    ASSERT_TRUE(delegate->waitForCount(Event::Write));
    settle();
    unsigned long partial = 0;
    for (const Event& e : delegate->of(Event::WritePartial)) partial += e.length;
    EXPECT_LT(partial, size);
    EXPECT_EQ(delegate->of(Event::Write).size(), 1u);

    // A stalled peer with a time-out the delegate does not extend: code 5.
    delegate->writeExtensions = {0.05};
    sock->writeDataWithTimeoutTag(big, 0.1, 2);
    ASSERT_TRUE(delegate->waitForCount(Event::Disconnect));
    const auto questions = delegate->of(Event::WriteTimeout);
    ASSERT_EQ(questions.size(), 2u);
    EXPECT_EQ(questions[0].tag, 2);
    EXPECT_DOUBLE_EQ(questions[1].elapsed, 0.15);
    EXPECT_GT(questions[1].length, 0u);
    const auto e = delegate->of(Event::Disconnect).at(0);
    ASSERT_TRUE(e.error);
    EXPECT_EQ(e.error->code, 5);
    EXPECT_EQ(e.error->description, "Write operation timed out");
}

TEST_F(TcpSocket, DisconnectAfterWritingSendsWhatIsQueuedAndDropsTheRest) {
    connect();
    sock->writeDataWithTimeoutTag(bytes("one,"), -1, 1);
    sock->writeDataWithTimeoutTag(bytes("two"), -1, 2);
    sock->disconnectAfterWriting();
    sock->writeDataWithTimeoutTag(bytes("three"), -1, 3);  // barred
    EXPECT_EQ(text(peer.read(7)), "one,two");
    EXPECT_TRUE(peer.readsEOF());
    ASSERT_TRUE(delegate->waitForCount(Event::Disconnect));
    settle();
    const auto events = delegate->events();
    ASSERT_EQ(events.size(), 4u);  // connect, two writes, disconnect
    EXPECT_EQ(events[1].kind, Event::Write);
    EXPECT_EQ(events[1].tag, 1);
    EXPECT_EQ(events[2].kind, Event::Write);
    EXPECT_EQ(events[2].tag, 2);
    EXPECT_EQ(events[3].kind, Event::Disconnect);
    EXPECT_FALSE(events[3].error);
}

TEST_F(TcpSocket, DisconnectAfterReadingWaitsForTheQueuedRead) {
    connect();
    sock->readDataToLengthWithTimeoutTag(3, -1, 1);
    sock->disconnectAfterReading();
    sock->readDataToLengthWithTimeoutTag(3, -1, 2);  // barred
    settle();
    EXPECT_TRUE(sock->isConnected());
    peer.send("abcdef");
    ASSERT_TRUE(delegate->waitForCount(Event::Disconnect));
    settle();
    const auto reads = delegate->of(Event::Read);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(text(reads[0].data), "abc");
    EXPECT_FALSE(delegate->of(Event::Disconnect).at(0).error);

    // With no read queued it closes at once.
    peer.closeConnection();
    connect();
    sock->disconnectAfterReading();
    ASSERT_TRUE(delegate->waitForCount(Event::Disconnect, 2));
    EXPECT_TRUE(peer.readsEOF());
}

TEST_F(TcpSocket, APendingReadIsDroppedSilentlyByDisconnect) {
    connect();
    sock->readDataWithTimeoutTag(5.0, 1);
    settle();
    sock->disconnect();
    ASSERT_TRUE(delegate->waitForCount(Event::Disconnect));
    settle();
    EXPECT_TRUE(delegate->of(Event::Read).empty());
    EXPECT_TRUE(delegate->of(Event::ReadTimeout).empty());
    EXPECT_FALSE(delegate->of(Event::Disconnect).at(0).error);
}

TEST_F(TcpSocket, ADelegateWithoutACallbackHearsNothingOfIt) {
    auto quiet = std::make_shared<Recorder>(AsyncTcpSocketDelegate::kSocketDidConnectToHostPort |
                                            AsyncTcpSocketDelegate::kSocketDidDisconnectWithError);
    sock = AsyncTcpSocket::initWithDelegateDelegateQueue(quiet, delegateQueue);
    Error err;
    ASSERT_TRUE(sock->connectToHostOnPortError("127.0.0.1", peer.port(), &err));
    ASSERT_TRUE(peer.accept());
    ASSERT_TRUE(quiet->waitForCount(Event::Connect));
    sock->writeDataWithTimeoutTag(bytes("ping"), -1, 1);
    sock->readDataWithTimeoutTag(0.05, 2);  // no timeout question: the read times out at once
    EXPECT_EQ(text(peer.read(4)), "ping");
    ASSERT_TRUE(quiet->waitForCount(Event::Disconnect));
    settle();
    const auto events = quiet->events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].error->code, 4);

    // A delegate that is gone reads as null.
    peer.closeConnection();
    sock->synchronouslySetDelegate(std::make_shared<Recorder>());  // destroyed at once
    EXPECT_EQ(sock->delegate(), nullptr);
}

// A brief handler (Source::setBriefHandler) runs on the reactor's thread as a job of its queue.
// A write it asks for keeps its place among the socket's requests, whatever the socket queue is
// doing: a write asked for on another thread once the handler's has been asked for goes on the
// wire after it and is reported after it. The handler waits for that later write to be asked
// for, so that the two always meet while the handler still holds its queue.
TEST_F(TcpSocket, AWriteAskedForInABriefHandlerKeepsItsPlaceAmongTheSocketsRequests) {
    struct Row {
        const char* name;
        bool busy, targeted;
    };
    const Row rows[] = {{"socket queue idle", false, false},
                        {"socket queue busy", true, false},
                        {"socket queue with a target", false, true}};
    constexpr int kRounds = 20;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto socketQueue = Queue::createSerial("test.socket");
        if (row.targeted) socketQueue->setTarget(Queue::createSerial("test.target"));
        sock.reset();
        flushDelegateQueue();
        peer.closeConnection();
        delegate = std::make_shared<Recorder>();
        sock = AsyncTcpSocket::initWithDelegateDelegateQueueSocketQueue(delegate, delegateQueue, socketQueue);
        connect();

        int pair[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair), 0);
        auto source = Source::makeRead(pair[0], Queue::createSerial("test.handler"));
        source->setBriefHandler(true);
        dispatch_test::Counter handlerAsked, otherAsked;
        std::atomic<int> round{0};
        source->setEventHandler([&] {
            const int r = round;  // read before the test thread may go on to the next round
            char c;
            while (::read(pair[0], &c, 1) == 1) {
            }
            sock->writeDataWithTimeoutTag(bytes("h"), -1, 2 * r + 1);
            handlerAsked.add();
            otherAsked.waitFor(r + 1);
        });
        source->resume();

        std::string wire, expectedWire;
        for (round = 0; round < kRounds; ++round) {
            std::optional<dispatch_test::Gate> gate;
            if (row.busy) {
                gate.emplace(socketQueue);
                ASSERT_TRUE(gate->waitBlocking());
            }
            ASSERT_EQ(::write(pair[1], "x", 1), 1);
            ASSERT_TRUE(handlerAsked.waitFor(round + 1));
            sock->writeDataWithTimeoutTag(bytes("o"), -1, 2 * round + 2);
            otherAsked.add();
            if (gate) gate->open();
            wire += text(peer.read(2));
            expectedWire += "ho";
            ASSERT_TRUE(delegate->waitForCount(Event::Write, size_t(2 * round + 2)));
        }
        source->cancel();
        settle();
        ::close(pair[0]);
        ::close(pair[1]);
        EXPECT_EQ(wire, expectedWire);
        std::vector<long> tags, expected;
        for (const Event& e : delegate->of(Event::Write)) tags.push_back(e.tag);
        for (long tag = 1; tag <= 2 * kRounds; ++tag) expected.push_back(tag);
        EXPECT_EQ(tags, expected);
    }
}

}  // namespace
