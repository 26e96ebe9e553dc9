// Reading from the TCP socket over loopback: whatever is available, exact lengths, terminators,
// caller's buffers, time-outs and their extensions, and the peer's end of stream.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <sys/socket.h>
#include <thread>

#include "net/AsyncTcpSocket.h"
#include "net/TcpSocketFixture.h"
#include "net/TcpTestSupport.h"
#include "platform/dispatch/TestSeam.h"

using namespace nettest;

namespace {

TEST_F(TcpSocket, ReadsQueuedBeforeTheConnectAreDroppedAndThoseInTheConnectReportAreServed) {
    sock->readDataWithTimeoutTag(-1, 1);  // not started: dropped
    delegate->onEvent = [](const AsyncTcpSocketDelegate::SocketPtr& s, const Event& e) {
        if (e.kind == Event::Connect) s->readDataToLengthWithTimeoutTag(5, -1, 2);
    };
    connect();
    peer.send("hello");
    ASSERT_TRUE(delegate->waitForCount(Event::Read));
    settle();
    const auto reads = delegate->of(Event::Read);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].tag, 2);
    EXPECT_EQ(text(reads[0].data), "hello");
}

TEST_F(TcpSocket, EchoesAFrame) {
    connect();
    sock->writeDataWithTimeoutTag(bytes("frame-out!!"), -1, 10);
    sock->writeDataWithTimeoutTag(Bytes{}, -1, 98);  // empty: ignored, never answered
    sock->writeDataWithTimeoutTag(std::shared_ptr<const Bytes>(), -1, 99);
    EXPECT_EQ(text(peer.read(11)), "frame-out!!");
    peer.send("reply-in!!!");
    sock->readDataToLengthWithTimeoutTag(11, -1, 11);
    ASSERT_TRUE(delegate->waitForCount(Event::Read));
    settle();
    EXPECT_EQ(text(delegate->of(Event::Read).at(0).data), "reply-in!!!");
    const auto writes = delegate->of(Event::Write);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].tag, 10);
}

TEST_F(TcpSocket, TwoTerminatedMessagesInOneSegment) {
    connect();
    peer.send("first\r\nsecond\r\nthird");
    sock->readDataToDataWithTimeoutTag(AsyncTcpSocket::CRLFData(), -1, 1);
    ASSERT_TRUE(delegate->waitForCount(Event::Read, 1));
    // The second read completes from the pre-buffer alone: nothing more arrives.
    sock->readDataToDataWithTimeoutTag(AsyncTcpSocket::CRLFData(), -1, 2);
    ASSERT_TRUE(delegate->waitForCount(Event::Read, 2));
    sock->readDataWithTimeoutTag(-1, 3);
    ASSERT_TRUE(delegate->waitForCount(Event::Read, 3));
    const auto reads = delegate->of(Event::Read);
    EXPECT_EQ(text(reads[0].data), "first\r\n");
    EXPECT_EQ(text(reads[1].data), "second\r\n");
    EXPECT_EQ(text(reads[2].data), "third");
}

TEST_F(TcpSocket, AnExactLengthOverSeveralSegments) {
    connect();
    sock->readDataToLengthWithTimeoutTag(12, -1, 5);
    // Each part is read in a pass of its own: the next one is sent once the last was reported.
    peer.send("abcd");
    ASSERT_TRUE(delegate->waitForCount(Event::ReadPartial, 1));
    peer.send("efgh");
    ASSERT_TRUE(delegate->waitForCount(Event::ReadPartial, 2));
    peer.send("ijkl");
    ASSERT_TRUE(delegate->waitForCount(Event::Read));
    settle();
    EXPECT_EQ(text(delegate->of(Event::Read).at(0).data), "abcdefghijkl");
    unsigned long partial = 0;
    for (const Event& e : delegate->of(Event::ReadPartial)) {
        EXPECT_EQ(e.tag, 5);
        partial += e.length;
    }
    EXPECT_EQ(partial, 8u);  // partial reports count only bytes of passes that did not complete
}

TEST_F(TcpSocket, ABoundedReadTakesItsMaximumAndLeavesTheRest) {
    connect();
    peer.sendBytes(Bytes(300, 'x'));
    std::this_thread::sleep_for(20ms);
    sock->readDataWithTimeoutBufferBufferOffsetMaxLengthTag(-1, nullptr, 0, 100, 1);
    sock->readDataToLengthWithTimeoutTag(200, -1, 2);
    ASSERT_TRUE(delegate->waitForCount(Event::Read, 2));
    const auto reads = delegate->of(Event::Read);
    EXPECT_EQ(reads[0].data.size(), 100u);
    EXPECT_EQ(reads[1].data.size(), 200u);
}

TEST_F(TcpSocket, ATerminatorNotFoundWithinTheMaximumClosesWithCode6) {
    connect();
    sock->readDataToDataWithTimeoutMaxLengthTag(AsyncTcpSocket::LFData(), -1, 10, 1);
    sock->readDataToDataWithTimeoutMaxLengthTag(bytes("0123456789A"), -1, 10, 2);  // terminator over the maximum
    peer.send("no line feed here");
    ASSERT_TRUE(delegate->waitForCount(Event::Disconnect));
    const auto e = delegate->of(Event::Disconnect).at(0);
    ASSERT_TRUE(e.error);
    EXPECT_EQ(e.error->code, 6);
    EXPECT_EQ(e.error->description, "Read operation reached set maximum length");
    EXPECT_TRUE(delegate->of(Event::Read).empty());
}

TEST_F(TcpSocket, AReadIntoTheCallersBufferDeliversAnOwnedCopy) {
    connect();
    auto buffer = std::make_shared<Bytes>(bytes("XY"));
    sock->readDataToLengthWithTimeoutBufferBufferOffsetTag(4, -1, buffer, 2, 1);
    sock->readDataToLengthWithTimeoutBufferBufferOffsetTag(4, -1, std::make_shared<Bytes>(2), 3,
                                                           2);  // offset past the end: dropped
    peer.send("abcd");
    ASSERT_TRUE(delegate->waitForCount(Event::Read));
    settle();
    EXPECT_EQ(text(*buffer), "XYabcd");
    const Bytes delivered = delegate->of(Event::Read).at(0).data;
    EXPECT_EQ(text(delivered), "abcd");

    // A later read into the same buffer grows and overwrites it; the delivered bytes stay intact.
    sock->readDataToLengthWithTimeoutBufferBufferOffsetTag(100000, -1, buffer, 0, 3);
    peer.sendBytes(Bytes(100000, 'z'));
    ASSERT_TRUE(delegate->waitForCount(Event::Read, 2));
    settle();
    EXPECT_EQ(text(delegate->of(Event::Read).at(0).data), "abcd");
    EXPECT_EQ(delegate->of(Event::Read).size(), 2u);
    EXPECT_EQ(buffer->size(), 100000u);
}

TEST_F(TcpSocket, AReadTimeOutExtendedByTheDelegateAndThenNot) {
    delegate->readExtensions = {0.1};
    connect();
    sock->readDataWithTimeoutTag(0.1, 42);
    ASSERT_TRUE(delegate->waitForCount(Event::Disconnect));
    const auto questions = delegate->of(Event::ReadTimeout);
    ASSERT_EQ(questions.size(), 2u);
    EXPECT_EQ(questions[0].tag, 42);
    EXPECT_DOUBLE_EQ(questions[0].elapsed, 0.1);
    EXPECT_DOUBLE_EQ(questions[1].elapsed, 0.2);
    const auto e = delegate->of(Event::Disconnect).at(0);
    ASSERT_TRUE(e.error);
    EXPECT_EQ(e.error->code, 4);
    EXPECT_EQ(e.error->description, "Read operation timed out");
}

// A time-out too long to count in nanoseconds (infinity included) means a wait without end, not
// one that has already run out.
TEST_F(TcpSocket, ATimeOutBeyondTheClockNeverFires) {
    connect();
    long tag = 0;
    unsigned long done = 1, total = 1;
    EXPECT_TRUE(std::isnan(sock->progressOfReadReturningTagBytesDoneTotal(&tag, &done, &total)));
    sock->readDataWithTimeoutTag(std::numeric_limits<double>::infinity(), 1);
    sock->writeDataWithTimeoutTag(Bytes(16 * 1024 * 1024, 1), 1e12, 2);  // stalls: the peer does not read
    ASSERT_TRUE(delegate->waitForCount(Event::WritePartial));
    std::this_thread::sleep_for(100ms);
    settle();
    EXPECT_TRUE(delegate->of(Event::ReadTimeout).empty());
    EXPECT_TRUE(delegate->of(Event::WriteTimeout).empty());
    EXPECT_TRUE(delegate->of(Event::Disconnect).empty());
    EXPECT_TRUE(sock->isConnected());
    // The waiting read's progress: whatever-is-available reads count as complete, with no total.
    EXPECT_EQ(sock->progressOfReadReturningTagBytesDoneTotal(&tag, &done, &total), 1.0f);
    EXPECT_EQ(tag, 1);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(total, 0u);
    peer.send("late");
    ASSERT_TRUE(delegate->waitForCount(Event::Read));
    EXPECT_EQ(text(delegate->of(Event::Read).at(0).data), "late");
}

TEST_F(TcpSocket, ALateTimeOutAnswerDoesNotTouchTheNextRequest) {
    std::mutex gateMutex;
    std::condition_variable gateCv;
    bool open = false, asked = false;
    delegate->beforeTimeoutAnswer = [&] {
        std::unique_lock lock(gateMutex);
        asked = true;
        gateCv.notify_all();
        gateCv.wait(lock, [&] { return open; });
    };  // the answer (no extension) is held until the test lets it go
    connect();
    sock->readDataWithTimeoutTag(0.05, 1);
    {
        std::unique_lock lock(gateMutex);
        ASSERT_TRUE(gateCv.wait_for(lock, 10s, [&] { return asked; }));
    }
    // Meanwhile the connection ends and a new one starts with a read of its own.
    sock->disconnect();
    peer.closeConnection();
    Error err;
    ASSERT_TRUE(sock->connectToHostOnPortError("127.0.0.1", peer.port(), &err));
    ASSERT_TRUE(peer.accept());
    ASSERT_TRUE(eventually([&] { return sock->isConnected(); }));
    sock->readDataWithTimeoutTag(-1, 2);
    {
        std::lock_guard lock(gateMutex);
        open = true;
    }
    gateCv.notify_all();
    settle();
    settle();
    EXPECT_TRUE(sock->isConnected());
    peer.send("still here");
    ASSERT_TRUE(delegate->waitForCount(Event::Read));
    EXPECT_EQ(delegate->of(Event::Read).at(0).tag, 2);
    const auto disconnects = delegate->of(Event::Disconnect);
    ASSERT_EQ(disconnects.size(), 1u);  // the one the test asked for
    EXPECT_FALSE(disconnects[0].error);
}

TEST_F(TcpSocket, ThePeerClosingItsWriteSide) {
    struct Row {
        const char* name;
        bool halfDuplex;
    };
    for (const Row row : {Row{"closes", false}, Row{"stays open for writing", true}}) {
        SCOPED_TRACE(row.name);
        delegate = std::make_shared<Recorder>();
        sock = AsyncTcpSocket::initWithDelegateDelegateQueue(delegate, delegateQueue);
        sock->setAutoDisconnectOnClosedReadStream(!row.halfDuplex);
        connect();
        sock->readDataToDataWithTimeoutTag(AsyncTcpSocket::LFData(), -1, 1);
        peer.send("last line\nand a tail");
        peer.shutdownWrite();
        ASSERT_TRUE(delegate->waitForCount(Event::Read));
        EXPECT_EQ(text(delegate->of(Event::Read).at(0).data), "last line\n");
        // The tail waits in the pre-buffer: the socket stays open until a read takes it.
        sock->readDataWithTimeoutTag(-1, 2);
        ASSERT_TRUE(delegate->waitForCount(Event::Read, 2));
        EXPECT_EQ(text(delegate->of(Event::Read).at(1).data), "and a tail");
        if (row.halfDuplex) {
            ASSERT_TRUE(delegate->waitForCount(Event::CloseReadStream));
            EXPECT_TRUE(sock->isConnected());
            sock->writeDataWithTimeoutTag(bytes("answer"), -1, 3);
            EXPECT_EQ(text(peer.read(6)), "answer");
            ASSERT_TRUE(delegate->waitForCount(Event::Write));
            sock->disconnect();
            ASSERT_TRUE(delegate->waitForCount(Event::Disconnect));
            EXPECT_FALSE(delegate->of(Event::Disconnect).at(0).error);
        } else {
            ASSERT_TRUE(delegate->waitForCount(Event::Disconnect));
            const auto e = delegate->of(Event::Disconnect).at(0);
            ASSERT_TRUE(e.error);
            EXPECT_EQ(e.error->code, 7);
            EXPECT_EQ(e.error->description, "Socket closed by remote peer");
            EXPECT_TRUE(delegate->of(Event::CloseReadStream).empty());
        }
        peer.closeConnection();
    }
}

// A reset is no half close: the socket can neither read nor write any more, so it closes with an
// error in both modes and never reports a read stream closed.
TEST_F(TcpSocket, ThePeerResettingTheConnectionClosesTheSocket) {
    for (const bool halfDuplex : {false, true}) {
        SCOPED_TRACE(halfDuplex ? "half duplex" : "full duplex");
        delegate = std::make_shared<Recorder>();
        sock = AsyncTcpSocket::initWithDelegateDelegateQueue(delegate, delegateQueue);
        sock->setAutoDisconnectOnClosedReadStream(!halfDuplex);
        connect();
        sock->readDataWithTimeoutTag(-1, 1);
        settle();
        const linger abort{1, 0};
        ASSERT_EQ(::setsockopt(peer.connection(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort), 0);
        peer.closeConnection();  // sends a reset
        ASSERT_TRUE(delegate->waitForCount(Event::Disconnect));
        settle();
        const auto e = delegate->of(Event::Disconnect).at(0);
        EXPECT_TRUE(e.error);
        EXPECT_TRUE(delegate->of(Event::CloseReadStream).empty());
        EXPECT_TRUE(delegate->of(Event::Read).empty());
        EXPECT_FALSE(sock->isConnected());
    }
}

// Short bursts read in exact lengths, with the race of a stale read event forced in each round: a
// read pass completes with bytes left, the source fires again for them, a read request queued
// behind a pause takes them first, and the peer's next burst arrives while that stale event is
// being counted, before it looks at readiness. The socket must count the burst, never report
// the peer's end of stream, and report the real close once, after the last byte.
TEST_F(TcpSocket, BytesArrivingWhileAStaleReadEventIsCountedAreNeverTakenForTheEndOfTheStream) {
    constexpr size_t kRead = 5;
    auto socketQueue = Queue::createSerial("test.socket");
    sock = AsyncTcpSocket::initWithDelegateDelegateQueueSocketQueue(delegate, delegateQueue, socketQueue);
    connect();
    int fd = -1;
    sock->performBlock([&] { fd = sock->socketFD(); });

    Bytes received;  // delegate queue only
    std::mutex sentMutex;  // the test thread and the socket queue both send
    Bytes sent;
    uint8_t next = 0;
    auto burst = [&](size_t n) {
        std::lock_guard lock(sentMutex);
        Bytes b(n);
        for (uint8_t& c : b) c = next++;
        sent.insert(sent.end(), b.begin(), b.end());
        peer.sendBytes(b);
    };
    delegate->onEvent = [&](const AsyncTcpSocketDelegate::SocketPtr&, const Event& e) {
        if (e.kind == Event::Read) received.insert(received.end(), e.data.begin(), e.data.end());
    };

    // 0: idle; 1: the next count of the socket's event queues the pause and the racing read;
    // 2: the next count of 0 (the stale event) has the peer send its next burst.
    std::atomic<int> phase{0};
    std::atomic<int> raced{0};
    platform::dispatch::detail::setAfterReadCountHook([&](int countedFd, size_t counted) {
        if (countedFd != fd) return;
        if (phase == 1 && counted > 0) {
            phase = 2;
            socketQueue->async([] { std::this_thread::sleep_for(1ms); });  // lets the source fire again
            sock->readDataToLengthWithTimeoutTag(kRead, -1, 0);
        } else if (phase == 2 && counted == 0) {
            phase = 0;
            ++raced;
            burst(kRead);
        }
    });

    size_t reads = 0;
    auto readsOrClose = [&] {
        return delegate->waitFor([&](const std::vector<Event>& ev) {
            return Recorder::count(ev, Event::Read) >= reads || Recorder::count(ev, Event::Disconnect) > 0;
        });
    };
    const auto budget = std::chrono::steady_clock::now() + 2s;
    for (int round = 0; round < 40 && (raced == 0 || std::chrono::steady_clock::now() < budget); ++round) {
        sock->readDataToLengthWithTimeoutTag(kRead, -1, 0);
        settle();
        phase = 1;
        const int racedBefore = raced;
        burst(2 * kRead);
        reads += 2;
        ASSERT_TRUE(readsOrClose());
        settle();
        phase = 0;
        if (raced > racedBefore) {  // the burst sent in the race is read too
            sock->readDataToLengthWithTimeoutTag(kRead, -1, 0);
            ++reads;
            ASSERT_TRUE(readsOrClose());
        }
        ASSERT_TRUE(delegate->of(Event::Disconnect).empty()) << "round " << round;
    }
    platform::dispatch::detail::setAfterReadCountHook({});
    EXPECT_GT(raced, 0);

    peer.closeConnection();
    ASSERT_TRUE(delegate->waitForCount(Event::Disconnect));
    std::this_thread::sleep_for(30ms);  // a second report would come now
    settle();
    const auto disconnects = delegate->of(Event::Disconnect);
    ASSERT_EQ(disconnects.size(), 1u);
    ASSERT_TRUE(disconnects[0].error);
    EXPECT_EQ(disconnects[0].error->code, 7);
    std::lock_guard lock(sentMutex);
    EXPECT_EQ(received, sent);
}

}  // namespace
