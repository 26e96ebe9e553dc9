// The TCP socket over loopback against in-process blocking peers: the object itself, its queries
// and setters from any thread, reconnecting, and what destroying or ending a connection releases.

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "net/AsyncTcpSocket.h"
#include "net/TcpSocketFixture.h"
#include "net/TcpTestSupport.h"

using namespace nettest;

namespace {

TEST_F(TcpSocket, QueriesFromTheSocketQueueRunInlineAndSettersKeepOrder) {
    std::atomic<bool> ran{false};
    sock->performBlock([&] {
        EXPECT_TRUE(sock->isDisconnected());  // from the socket queue: no wait on itself
        EXPECT_FALSE(sock->isConnected());
        ran = true;
    });
    EXPECT_TRUE(ran);
    EXPECT_EQ(sock->socketFD(), -1);

    auto other = std::make_shared<Recorder>();
    std::thread([&] {
        sock->setDelegate(other);
        EXPECT_EQ(sock->delegate(), other);  // the later query runs after the queued change
    }).join();

    auto tag = std::make_shared<int>(7);
    sock->setUserData(tag);
    EXPECT_EQ(sock->userData(), tag);

    sock->setIPv4Enabled(false);
    sock->setPreferIPv4OverIPv6(false);
    sock->setAutoDisconnectOnClosedReadStream(false);
    EXPECT_FALSE(sock->isIPv4Enabled());
    EXPECT_TRUE(sock->isIPv6Enabled());
    EXPECT_FALSE(sock->isIPv4PreferredOverIPv6());
    EXPECT_FALSE(sock->autoDisconnectOnClosedReadStream());
}

TEST_F(TcpSocket, ReconnectsAfterACloseWithTheSameConfiguration) {
    sock->setAutoDisconnectOnClosedReadStream(false);
    connect();
    EXPECT_TRUE(sock->isConnected());
    EXPECT_EQ(sock->connectedHost(), "127.0.0.1");
    EXPECT_EQ(sock->connectedPort(), peer.port());
    EXPECT_EQ(sock->localHost(), "127.0.0.1");
    EXPECT_NE(sock->localPort(), 0);
    EXPECT_TRUE(sock->isIPv4());
    EXPECT_FALSE(sock->isIPv6());
    EXPECT_EQ(AsyncTcpSocket::portFromAddress(sock->connectedAddress()), peer.port());
    const auto connectEvent = delegate->of(Event::Connect).at(0);
    EXPECT_EQ(connectEvent.host, "127.0.0.1");
    EXPECT_EQ(connectEvent.port, peer.port());

    sock->disconnect();
    EXPECT_TRUE(sock->isDisconnected());
    EXPECT_FALSE(sock->isConnected());
    EXPECT_EQ(sock->connectedHost(), "");
    EXPECT_EQ(sock->connectedPort(), 0);
    sock->disconnect();  // a second disconnect does nothing
    EXPECT_TRUE(peer.readsEOF());
    peer.closeConnection();

    EXPECT_FALSE(sock->autoDisconnectOnClosedReadStream());
    connect();
    EXPECT_TRUE(sock->isConnected());
    settle();
    const auto disconnects = delegate->of(Event::Disconnect);
    ASSERT_EQ(disconnects.size(), 1u);
    EXPECT_FALSE(disconnects[0].error);
}

TEST_F(TcpSocket, DestroyingAConnectedSocketReportsOnceWithNoSocket) {
    connect();
    sock.reset();
    ASSERT_TRUE(delegate->waitForCount(Event::Disconnect));
    flushDelegateQueue();
    const auto disconnects = delegate->of(Event::Disconnect);
    ASSERT_EQ(disconnects.size(), 1u);
    EXPECT_FALSE(disconnects[0].hasSocket);
    EXPECT_FALSE(disconnects[0].error);
    EXPECT_TRUE(peer.readsEOF());

    // A socket that never started reports nothing.
    auto idle = AsyncTcpSocket::initWithDelegateDelegateQueue(delegate, delegateQueue);
    idle.reset();
    flushDelegateQueue();
    EXPECT_EQ(delegate->of(Event::Disconnect).size(), 1u);
}

// Every way a connection ends gives its descriptor back once the sources have let go of it.
TEST_F(TcpSocket, EveryEndOfAConnectionReleasesItsDescriptor) {
    struct Row {
        const char* name;
        std::function<void(TcpSocket&)> end;
    };
    const Row rows[] = {
        {"disconnect", [](TcpSocket& t) { t.sock->disconnect(); }},
        {"destruction", [](TcpSocket& t) { t.sock.reset(); }},
        {"peer closes", [](TcpSocket& t) { t.peer.closeConnection(); }},
        {"read time-out with a write waiting for room",
         [](TcpSocket& t) {
             t.sock->writeDataWithTimeoutTag(Bytes(16 * 1024 * 1024, 1), -1, 1);
             t.sock->readDataWithTimeoutTag(0.05, 2);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (!sock) sock = AsyncTcpSocket::initWithDelegateDelegateQueue(delegate, delegateQueue);
        const auto descriptors = watchDescriptors();
        const size_t disconnects = delegate->of(Event::Disconnect).size();
        connect();
        row.end(*this);
        ASSERT_TRUE(delegate->waitForCount(Event::Disconnect, disconnects + 1));
        peer.closeConnection();
        EXPECT_TRUE(eventually([&] { return descriptors.opened().empty(); }))
            << testsupport::DescriptorWatch::describe(descriptors.opened());
    }
}

}  // namespace
