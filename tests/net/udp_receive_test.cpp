// Receiving on the UDP socket on loopback: once and continuously, pausing, broadcast, both
// families, the receive filter and its context, and a filter's answer after a close. Every
// datagram stays on 127.0.0.0/8 or ::1.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "net/AsyncUdpSocket.h"
#include "net/UdpTestSupport.h"

using namespace udptest;

namespace {

TEST_F(UdpSocketTest, ContinuousReceiving) {
    struct Row {
        const char* name;
        uint16_t maxIPv4;  // 0: leave the default
        std::vector<Bytes> datagrams;
        std::vector<Bytes> expected;
    };
    std::vector<Bytes> burst;
    for (int i = 0; i < 100; ++i) burst.push_back(text("datagram " + std::to_string(i)));
    const Row rows[] = {
        {"cut at the maximum, the next one whole",
         0,
         {Bytes(10000, 'a'), Bytes(1000, 'b')},
         {Bytes(9216, 'a'), Bytes(1000, 'b')}},
        {"an empty datagram is dropped", 0, {Bytes{}, text("after")}, {text("after")}},
        {"a burst in order", 0, burst, burst},
        {"a lowered maximum", 100, {Bytes(300, 'c'), Bytes(50, 'd')}, {Bytes(100, 'c'), Bytes(50, 'd')}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        recorder = std::make_shared<Recorder>();
        Peer peer;
        auto s = boundSocket();
        if (row.maxIPv4) s->setMaxReceiveIPv4BufferSize(row.maxIPv4);
        ASSERT_TRUE(s->beginReceiving(nullptr));
        for (const Bytes& d : row.datagrams) peer.sendTo(s->localPort(), d);
        ASSERT_TRUE(recorder->waitFor(Event::Received, row.expected.size()));
        quiet(s);
        EXPECT_EQ(recorder->received(), row.expected);
        EXPECT_FALSE(s->isClosed());
        EXPECT_TRUE(recorder->of(Event::Closed).empty());
        for (const Event& e : recorder->of(Event::Received)) {
            EXPECT_EQ(e.address, peer.address());
            EXPECT_FALSE(e.context.has_value());
        }
    }
}

TEST_F(UdpSocketTest, ReceiveOnceDeliversOneDatagramPerRequest) {
    Peer peer;
    auto s = boundSocket();
    // Asked three times before anything arrives: still one delivery.
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(s->receiveOnce(nullptr));
    for (const char* d : {"one", "two", "three"}) peer.sendTo(s->localPort(), text(d));
    ASSERT_TRUE(recorder->waitFor(Event::Received));
    quiet(s);
    EXPECT_EQ(recorder->received(), std::vector<Bytes>{text("one")});
    EXPECT_EQ(s->currentFlags() & AsyncUdpSocket::Flag::receiveOnce, 0u);

    EXPECT_TRUE(s->receiveOnce(nullptr));
    ASSERT_TRUE(recorder->waitFor(Event::Received, 2));
    quiet(s);
    EXPECT_EQ(recorder->received(), (std::vector<Bytes>{text("one"), text("two")}));
}

TEST_F(UdpSocketTest, PauseHoldsDatagramsUntilReceivingResumes) {
    Peer peer;
    auto s = boundSocket();
    ASSERT_TRUE(s->beginReceiving(nullptr));
    peer.sendTo(s->localPort(), text("A"));
    ASSERT_TRUE(recorder->waitFor(Event::Received));
    s->pauseReceiving();
    settle(s);
    peer.sendTo(s->localPort(), text("B"));
    peer.sendTo(s->localPort(), text("C"));
    quiet(s);
    EXPECT_EQ(recorder->received().size(), 1u);
    ASSERT_TRUE(s->beginReceiving(nullptr));
    ASSERT_TRUE(recorder->waitFor(Event::Received, 3));
    EXPECT_EQ(recorder->received(), (std::vector<Bytes>{text("A"), text("B"), text("C")}));
}

TEST_F(UdpSocketTest, BroadcastOnLoopbackArrivesOnceFromAnIPv4Sender) {
    auto receiver = makeSocket();
    ASSERT_TRUE(receiver->bindToPortError(0, nullptr));  // every interface, both families
    ASSERT_TRUE(receiver->beginReceiving(nullptr));
    auto sender = makeSocket();
    ASSERT_TRUE(sender->enableBroadcastError(true, nullptr));
    sender->sendDataToHostPortWithTimeoutTag(text("probe"), std::string("127.255.255.255"), receiver->localPort_IPv4(),
                                             -1, 1);
    ASSERT_TRUE(recorder->waitFor(Event::Received));
    quiet(receiver);
    auto received = recorder->of(Event::Received);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].data, text("probe"));
    EXPECT_EQ(received[0].address.size(), 16u);
    std::string host;
    uint16_t port = 0;
    EXPECT_TRUE(AsyncUdpSocket::getHostPortFromAddress(&host, &port, received[0].address));
    EXPECT_EQ(host, "127.0.0.1");
    EXPECT_EQ(port, sender->localPort_IPv4());
}

TEST_F(UdpSocketTest, BothFamiliesHoldingDataAreReadAlternatelyIPv6First) {
    auto s = makeSocket();
    ASSERT_TRUE(s->bindToPortInterfaceError(0, std::string("localhost"), nullptr));
    const uint16_t port4 = s->localPort_IPv4();
    const uint16_t port6 = s->localPort_IPv6();
    Peer peer4;
    int peer6 = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    auto send6 = [&](const Bytes& d) {
        Bytes a = addr6("::1", port6);
        ASSERT_EQ(::sendto(peer6, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(a.data()),
                           sizeof(sockaddr_in6)),
                  static_cast<ssize_t>(d.size()));
    };
    // One delivery starts the read sources; afterwards datagrams wait with no mode set.
    ASSERT_TRUE(s->receiveOnce(nullptr));
    peer4.sendTo(port4, text("prime"));
    ASSERT_TRUE(recorder->waitFor(Event::Received));
    peer4.sendTo(port4, text("v4"));
    send6(text("v6"));
    quiet(s);
    ASSERT_TRUE(s->beginReceiving(nullptr));
    ASSERT_TRUE(recorder->waitFor(Event::Received, 3));
    auto received = recorder->received();
    EXPECT_EQ(received[1], text("v6"));
    EXPECT_EQ(received[2], text("v4"));
    EXPECT_EQ(recorder->of(Event::Received)[1].address.size(), 28u);
    ::close(peer6);
}

TEST_F(UdpSocketTest, ReceiveFilterDecidesAndHandsOverItsContext) {
    for (bool async : {true, false}) {
        SCOPED_TRACE(async ? "asynchronous filter" : "synchronous filter");
        recorder = std::make_shared<Recorder>();
        Peer peer;
        auto s = boundSocket();
        auto filterQueue = Queue::createSerial("udp test receive filter");
        s->setReceiveFilterWithQueueIsAsynchronous(
            [](const Bytes& data, const Bytes&, std::any* context) {
                *context = static_cast<int>(data.size());
                return data != text("drop");
            },
            filterQueue, async);
        ASSERT_TRUE(s->receiveOnce(nullptr));
        peer.sendTo(s->localPort(), text("drop"));
        peer.sendTo(s->localPort(), text("keep"));
        ASSERT_TRUE(recorder->waitFor(Event::Received));
        quiet(s);
        auto received = recorder->of(Event::Received);
        ASSERT_EQ(received.size(), 1u) << "a refused datagram does not use up the single receive";
        EXPECT_EQ(received[0].data, text("keep"));
        EXPECT_EQ(std::any_cast<int>(received[0].context), 4);
    }
}

// A datagram read before a close whose asynchronous filter answers after it is dropped: the close
// report is the last callback. Reopened, the socket reads and filters again from a clean slate.
TEST_F(UdpSocketTest, AFilterAnswerAfterACloseDeliversNothing) {
    Peer peer;
    auto s = boundSocket();
    auto filterQueue = Queue::createSerial("udp test receive filter");
    auto entered = std::make_shared<std::promise<void>>();
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    auto firstCall = std::make_shared<std::atomic<bool>>(true);
    s->setReceiveFilterWithQueueIsAsynchronous(
        [entered, released, firstCall](const Bytes&, const Bytes&, std::any* context) {
            if (firstCall->exchange(false)) {
                entered->set_value();
                released.wait();
            }
            *context = 1;
            return true;
        },
        filterQueue, true);
    ASSERT_TRUE(s->receiveOnce(nullptr));
    peer.sendTo(s->localPort(), text("before the close"));
    ASSERT_EQ(entered->get_future().wait_for(10s), std::future_status::ready);
    s->close();
    release.set_value();
    filterQueue->sync([] {});
    quiet(s);
    auto events = recorder->events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Event::Closed);

    ASSERT_TRUE(s->bindToPortInterfaceError(0, std::string("127.0.0.1"), nullptr));
    ASSERT_TRUE(s->receiveOnce(nullptr));
    peer.sendTo(s->localPort(), text("after reopening"));
    ASSERT_TRUE(recorder->waitFor(Event::Received));
    EXPECT_EQ(recorder->received(), std::vector<Bytes>{text("after reopening")});
}

}  // namespace
