// Binding the UDP socket on loopback, its configuration and socket queue, connecting it and
// multicast membership. Every datagram stays on 127.0.0.0/8 or ::1.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <future>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>

#include "net/AsyncUdpSocket.h"
#include "net/UdpTestSupport.h"

using namespace udptest;

namespace {

// ----- binding, configuration and the socket queue -----

TEST_F(UdpSocketTest, BindingBothFamiliesMakesTwoConfiguredSockets) {
    using F = AsyncUdpSocket::Flag;
    auto s = makeSocket();
    EXPECT_TRUE(s->isClosed());
    EXPECT_TRUE(s->isIPv4());
    EXPECT_TRUE(s->isIPv6());
    EXPECT_EQ(s->localPort(), 0);
    ASSERT_TRUE(s->bindToPortInterfaceError(0, std::string("localhost"), nullptr));
    EXPECT_FALSE(s->isClosed());

    const uint32_t expected = F::socketsCreated | F::bound | F::socket4CanAcceptBytes | F::send4SourceSuspended |
                              F::receive4SourceSuspended | F::socket6CanAcceptBytes | F::send6SourceSuspended |
                              F::receive6SourceSuspended;
    EXPECT_EQ(s->currentFlags(), expected);
    int fd4 = -1;
    int fd6 = -1;
    s->performBlock([&] {
        fd4 = s->socket4FD();
        fd6 = s->socket6FD();
        EXPECT_EQ(s->socketFD(), fd4);
    });
    EXPECT_EQ(s->socketFD(), -1) << "descriptors are read inside performBlock only";
    for (int fd : {fd4, fd6}) {
        ASSERT_NE(fd, -1);
        EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
        EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
        int reuse = 0;
        socklen_t len = sizeof reuse;
        getsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, &len);
        EXPECT_EQ(reuse, 1);
    }
    int v6only = 0;
    socklen_t len = sizeof v6only;
    getsockopt(fd6, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, &len);
    EXPECT_EQ(v6only, 1);

    EXPECT_EQ(s->localHost_IPv4(), "127.0.0.1");
    EXPECT_EQ(s->localHost_IPv6(), "::1");
    EXPECT_NE(s->localPort_IPv4(), 0);
    EXPECT_EQ(s->localPort(), s->localPort_IPv4()) << "read from the IPv4 socket while it exists";
    EXPECT_EQ(s->localAddress(), addr4("127.0.0.1", s->localPort_IPv4()));
}

TEST_F(UdpSocketTest, BindingSettlesOnTheFamiliesItUses) {
    using F = AsyncUdpSocket::Flag;
    auto v4only = makeSocket();
    v4only->setIPv6Enabled(false);
    ASSERT_TRUE(v4only->bindToPortError(0, nullptr));
    EXPECT_TRUE(v4only->currentFlags() & F::ipv6Deactivated);
    EXPECT_TRUE(v4only->isIPv4());
    EXPECT_FALSE(v4only->isIPv6());

    auto v6 = makeSocket();
    ASSERT_TRUE(v6->bindToAddressError(addr6("::1", 0), nullptr));
    EXPECT_TRUE(v6->currentFlags() & F::ipv4Deactivated);
    EXPECT_FALSE(v6->isIPv4());
    EXPECT_EQ(v6->localHost(), "::1") << "without an IPv4 socket the IPv6 endpoint answers";

    // The broadcast switch first makes the sockets; a later bind binds those same descriptors.
    auto early = makeSocket();
    ASSERT_TRUE(early->enableBroadcastError(true, nullptr));
    int fdBefore = -1;
    early->performBlock([&] { fdBefore = early->socket4FD(); });
    ASSERT_TRUE(early->bindToPortInterfaceError(0, std::string("127.0.0.1"), nullptr));
    early->performBlock([&] {
        EXPECT_EQ(early->socket4FD(), fdBefore);
        int on = 0;
        socklen_t len = sizeof on;
        getsockopt(fdBefore, SOL_SOCKET, SO_BROADCAST, &on, &len);
        EXPECT_EQ(on, 1);
    });
    ASSERT_TRUE(early->enableBroadcastError(false, nullptr));
    early->performBlock([&] {
        int on = 1;
        socklen_t len = sizeof on;
        getsockopt(fdBefore, SOL_SOCKET, SO_BROADCAST, &on, &len);
        EXPECT_EQ(on, 0);
    });
}

TEST_F(UdpSocketTest, ConfigurationAccessors) {
    auto s = makeSocket();
    EXPECT_TRUE(s->isIPVersionNeutral());
    s->setPreferIPv4();
    s->setPreferIPv6();
    EXPECT_FALSE(s->isIPv4Preferred());
    EXPECT_TRUE(s->isIPv6Preferred());
    EXPECT_FALSE(s->isIPVersionNeutral());
    s->setIPVersionNeutral();
    EXPECT_TRUE(s->isIPVersionNeutral());
    s->setIPv4Enabled(false);
    EXPECT_FALSE(s->isIPv4Enabled());
    EXPECT_FALSE(s->isIPv4()) << "before the sockets exist the configuration answers";
    s->setIPv4Enabled(true);
    EXPECT_TRUE(s->isIPv4Enabled());

    EXPECT_EQ(s->maxReceiveIPv4BufferSize(), 9216);
    EXPECT_EQ(s->maxReceiveIPv6BufferSize(), 9216u);
    s->setMaxReceiveIPv4BufferSize(65535);
    s->setMaxReceiveIPv6BufferSize(100000);
    EXPECT_EQ(s->maxReceiveIPv4BufferSize(), 65535);
    EXPECT_EQ(s->maxReceiveIPv6BufferSize(), 100000u);
    s->setMaxReceiveIPv4BufferSize(0);
    s->setMaxReceiveIPv6BufferSize(0);
    EXPECT_EQ(s->maxReceiveIPv4BufferSize(), 65535) << "a zero maximum is refused";
    EXPECT_EQ(s->maxReceiveIPv6BufferSize(), 100000u);

    auto data = std::make_shared<int>(5);
    s->setUserData(data);
    EXPECT_EQ(s->userData(), data);

    auto other = std::make_shared<Recorder>();
    s->setDelegateDelegateQueue(other, nullptr);
    AsyncUdpSocket::DelegatePtr d;
    AsyncUdpSocket::QueuePtr q = delegateQueue;
    s->getDelegateDelegateQueue(&d, &q);
    EXPECT_EQ(d, other);
    EXPECT_EQ(q, nullptr);
    s->synchronouslySetDelegateDelegateQueue(recorder, delegateQueue);
    EXPECT_EQ(s->delegate(), recorder);
    EXPECT_EQ(s->delegateQueue(), delegateQueue);
}

TEST_F(UdpSocketTest, AMarkedTargetQueueCountsAsTheSocketQueue) {
    auto target = Queue::createSerial("udp test target");
    auto socketQueue = Queue::createSerial("udp test socket queue");
    socketQueue->setTarget(target);
    auto s = AsyncUdpSocket::initWithDelegateDelegateQueueSocketQueue(recorder, delegateQueue, socketQueue);
    ASSERT_TRUE(s->bindToPortInterfaceError(0, std::string("127.0.0.1"), nullptr));

    int onTarget = -2;
    target->sync([&] { onTarget = s->socketFD(); });
    EXPECT_EQ(onTarget, -1);
    s->markSocketQueueTargetQueue(target);
    target->sync([&] { onTarget = s->socketFD(); });
    EXPECT_GE(onTarget, 0);
    // A synchronous call made there runs inline instead of waiting for itself.
    target->sync([&] { EXPECT_NE(s->localPort(), 0); });
    s->unmarkSocketQueueTargetQueue(target);
    target->sync([&] { onTarget = s->socketFD(); });
    EXPECT_EQ(onTarget, -1);
}

// ----- connecting -----

TEST_F(UdpSocketTest, ConnectedSocketTalksToItsPeerAlone) {
    Peer peer;
    Peer stranger;
    auto s = makeSocket();
    ASSERT_TRUE(s->connectToHostOnPortError(std::string("localhost"), peer.port(), nullptr));
    s->sendDataWithTag(text("queued behind the connect"), 1);
    ASSERT_TRUE(recorder->waitFor(Event::Connected));
    EXPECT_EQ(recorder->of(Event::Connected)[0].address, peer.address());
    EXPECT_EQ(peer.receive(), text("queued behind the connect"));
    EXPECT_TRUE(s->isConnected());
    EXPECT_EQ(s->connectedHost(), "127.0.0.1");
    EXPECT_EQ(s->connectedPort(), peer.port());
    EXPECT_EQ(s->connectedAddress(), peer.address());
    EXPECT_FALSE(s->isIPv6()) << "the other family is closed";

    // Sends go to the peer whatever address they name; a host name is refused.
    s->sendDataToAddressWithTimeoutTag(text("to the peer"), stranger.address(), -1, 2);
    s->sendDataToHostPortWithTimeoutTag(text("x"), std::string("127.0.0.1"), stranger.port(), -1, 3);
    ASSERT_TRUE(recorder->waitFor(Event::NotSent));
    EXPECT_EQ(peer.receive(), text("to the peer"));
    EXPECT_EQ(*recorder->of(Event::NotSent)[0].error,
              Error::make(AsyncUdpSocketErrorDomain, 1, "Cannot specify destination of packet for connected socket"));

    // Only the peer's datagrams are delivered.
    ASSERT_TRUE(s->beginReceiving(nullptr));
    stranger.sendTo(s->localPort(), text("stranger"));
    peer.sendTo(s->localPort(), text("peer"));
    ASSERT_TRUE(recorder->waitFor(Event::Received));
    quiet(s);
    EXPECT_EQ(recorder->received(), std::vector<Bytes>{text("peer")});
}

// A connect request behind a send that had to wait for room: while the connect resolves its host,
// the write source that the send left running has nothing to send and must stop, not try to send
// the connect request.
TEST_F(UdpSocketTest, AConnectResolvingBehindAWaitingSendSendsNothing) {
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        recorder = std::make_shared<Recorder>();
        Peer peer;
        auto s = makeSocket();
        s->setIPv6Enabled(false);
        // The first call finds no room; the second, made by the write event, waits until the
        // connect request is on its way to the queue, then goes out.
        auto calls = AsyncUdpSocketSystemCalls::real();
        auto realSend = calls.sendto;
        auto count = std::make_shared<std::atomic<int>>(0);
        auto inSecond = std::make_shared<std::promise<void>>();
        auto connectQueued = std::make_shared<std::promise<void>>();
        auto connectQueuedFuture = std::make_shared<std::shared_future<void>>(connectQueued->get_future().share());
        calls.sendto = [=](int fd, const void* b, size_t n, int flags, const sockaddr* to, socklen_t len) -> ssize_t {
            const int call = ++*count;
            if (call == 1) {
                errno = EAGAIN;
                return -1;
            }
            if (call == 2) {
                inSecond->set_value();
                connectQueuedFuture->wait();
                std::this_thread::sleep_for(20ms);  // the connect's job is now behind this one
            }
            return realSend(fd, b, n, flags, to, len);
        };
        s->setSystemCalls(calls);
        s->sendDataToAddressWithTimeoutTag(text("first"), peer.address(), -1, 1);
        inSecond->get_future().wait();
        std::thread connecting([&] {
            connectQueued->set_value();
            EXPECT_TRUE(s->connectToHostOnPortError(std::string("localhost"), peer.port(), nullptr));
        });
        connecting.join();
        ASSERT_TRUE(recorder->waitFor(Event::Connected));
        s->sendDataWithTag(text("second"), 2);
        ASSERT_TRUE(recorder->waitFor(Event::Sent, 2));
        EXPECT_EQ(peer.receive(), text("first"));
        EXPECT_EQ(peer.receive(), text("second"));
    }
}

TEST_F(UdpSocketTest, FailedConnectLeavesTheSocketUnconnected) {
    Peer peer;
    auto s = makeSocket();
    s->setIPv6Enabled(false);
    ASSERT_TRUE(s->connectToAddressError(addr6("::1", peer.port()), nullptr));
    s->sendDataWithTag(text("x"), 1);
    ASSERT_TRUE(recorder->waitFor(Event::NotSent));
    auto events = recorder->events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, Event::NotConnected);
    EXPECT_EQ(*events[0].error, Error::make(AsyncUdpSocketErrorDomain, 5,
                                            "IPv6 has been disabled and DNS lookup found no IPv4 address(es)."));
    EXPECT_EQ(*events[1].error, Error::make(AsyncUdpSocketErrorDomain, 1,
                                            "You must specify destination of packet for a non-connected socket"));
    EXPECT_FALSE(s->isConnected());
    EXPECT_TRUE(s->connectToAddressError(peer.address(), nullptr)) << "a new connect may be requested";
    ASSERT_TRUE(recorder->waitFor(Event::Connected));
}

// ----- multicast -----

TEST_F(UdpSocketTest, JoiningAGroupOnLoopbackKeepsTheIPv4SocketOnly) {
    auto s = makeSocket();
    ASSERT_TRUE(s->bindToPortError(0, nullptr));
    ASSERT_TRUE(s->isIPv6());
    Error error;
    EXPECT_TRUE(s->joinMulticastGroupOnInterfaceError("239.255.0.1", std::string("127.0.0.1"), &error))
        << error.toString();
    EXPECT_TRUE(s->isIPv4());
    EXPECT_FALSE(s->isIPv6());
    EXPECT_TRUE(s->leaveMulticastGroupOnInterfaceError("239.255.0.1", std::string("127.0.0.1"), &error))
        << error.toString();
    EXPECT_FALSE(s->leaveMulticastGroupOnInterfaceError("239.255.0.1", std::string("127.0.0.1"), &error));
    EXPECT_EQ(error.domain, platform::kPosixErrorDomain);
    EXPECT_EQ(error.failureReason, "Error in setsockopt() function");
}

}  // namespace
