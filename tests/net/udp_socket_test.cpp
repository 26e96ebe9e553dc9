// The UDP socket on loopback as a whole: calls it refuses and why, closing, and a delegate that
// implements only some callbacks. Every datagram stays on 127.0.0.0/8 or ::1.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "net/AsyncUdpSocket.h"
#include "net/UdpTestSupport.h"

using namespace udptest;

namespace {

// ----- refused calls -----

TEST_F(UdpSocketTest, RefusedCallsAnswerNoWithTheirError) {
    Peer peer;
    using SocketPtr = std::shared_ptr<AsyncUdpSocket>;
    struct Row {
        const char* name;
        std::function<SocketPtr()> make;
        std::function<bool(AsyncUdpSocket&, Error*)> call;
        const char* domain;
        long code;
        const char* message;
    };
    const char* udp = AsyncUdpSocketErrorDomain;
    const char* noDelegate = "Attempting to use socket without a delegate. Set a delegate first.";
    const char* bothDisabled = "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first.";
    const char* mustBind =
        "Must bind socket before you can receive data. You can do this explicitly via bind, or implicitly via "
        "connect or by sending data.";
    auto bindAny = [](AsyncUdpSocket& s, Error* e) { return s.bindToPortError(0, e); };
    auto connectLocal = [&peer](AsyncUdpSocket& s, Error* e) {
        return s.connectToHostOnPortError(std::string("localhost"), peer.port(), e);
    };
    auto bothOff = [this] {
        auto s = makeSocket();
        s->setIPv4Enabled(false);
        s->setIPv6Enabled(false);
        return s;
    };
    std::promise<void> release;
    std::shared_future<void> gate = release.get_future().share();
    auto filterQueue = Queue::createSerial("udp test held filter");
    const Row rows[] = {
        {"no delegate", [] { return AsyncUdpSocket::init(); }, bindAny, udp, 1, noDelegate},
        {"delegate gone",
         [this] {
             auto gone = std::make_shared<Recorder>();
             auto s = AsyncUdpSocket::initWithDelegateDelegateQueue(gone, delegateQueue);
             return s;  // the only owner of the delegate has let go
         },
         [](AsyncUdpSocket& s, Error* e) { return s.enableBroadcastError(true, e); }, udp, 1, noDelegate},
        {"no delegate queue", [this] { return AsyncUdpSocket::initWithDelegateDelegateQueue(recorder, nullptr); },
         connectLocal, udp, 1, "Attempting to use socket without a delegate queue. Set a delegate queue first."},
        {"bind twice", [this] { return boundSocket(); }, bindAny, udp, 1, "Cannot bind a socket more than once."},
        {"bind after the first send",
         [&] {
             recorder = std::make_shared<Recorder>();
             auto s = makeSocket();
             s->sendDataToAddressWithTimeoutTag(text("hello"), peer.address(), -1, 7);
             EXPECT_TRUE(recorder->waitFor(Event::Sent));
             return s;
         },
         bindAny, udp, 1, "Cannot bind a socket more than once."},
        {"bind while a connect request waits",
         [&] {
             // A send held in its filter keeps the connect request queued behind it.
             auto s = makeSocket();
             s->setSendFilterWithQueue(
                 [gate](const Bytes&, const Bytes&, int64_t) {
                     gate.wait();
                     return false;
                 },
                 filterQueue);
             s->sendDataToAddressWithTimeoutTag(text("held"), peer.address(), -1, 1);
             EXPECT_TRUE(connectLocal(*s, nullptr));
             return s;
         },
         bindAny, udp, 1, "Cannot bind after connecting. If needed, bind first, then connect."},
        {"bind with both families disabled", bothOff, bindAny, udp, 1, bothDisabled},
        {"connect with both families disabled", bothOff, connectLocal, udp, 1, bothDisabled},
        {"unknown interface", [this] { return makeSocket(); },
         [](AsyncUdpSocket& s, Error* e) { return s.bindToPortInterfaceError(0, std::string("no-such-if9"), e); }, udp,
         2, "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address."},
        {"IPv6 disabled, interface with IPv6 only",
         [this] {
             auto s = makeSocket();
             s->setIPv6Enabled(false);
             return s;
         },
         [](AsyncUdpSocket& s, Error* e) { return s.bindToPortInterfaceError(0, std::string("::1"), e); }, udp, 2,
         "IPv6 has been disabled and specified interface doesn't support IPv4."},
        {"short address", [this] { return makeSocket(); },
         [](AsyncUdpSocket& s, Error* e) { return s.bindToAddressError(Bytes(8, 2), e); }, udp, 2,
         "A valid IPv4 or IPv6 address was not given"},
        {"IPv4 address with IPv4 disabled",
         [this] {
             auto s = makeSocket();
             s->setIPv4Enabled(false);
             return s;
         },
         [](AsyncUdpSocket& s, Error* e) { return s.bindToAddressError(addr4("127.0.0.1", 0), e); }, udp, 2,
         "IPv4 has been disabled and an IPv4 address was passed."},
        {"receive once before any socket exists", [this] { return makeSocket(); },
         [](AsyncUdpSocket& s, Error* e) { return s.receiveOnce(e); }, udp, 1, mustBind},
        {"receive continuously before any socket exists", [this] { return makeSocket(); },
         [](AsyncUdpSocket& s, Error* e) { return s.beginReceiving(e); }, udp, 1, mustBind},
        {"join before bind", [this] { return makeSocket(); },
         [](AsyncUdpSocket& s, Error* e) { return s.joinMulticastGroupError("239.255.0.1", e); }, udp, 1,
         "Must bind a socket before joining a multicast group."},
        {"host name as group", [this] { return boundSocket(); },
         [](AsyncUdpSocket& s, Error* e) { return s.joinMulticastGroupError("localhost", e); }, udp, 2,
         "Unknown group. Specify valid group IP address."},
        {"IPv6 group on an IPv4-only socket", [this] { return boundSocket(); },
         [](AsyncUdpSocket& s, Error* e) {
             return s.joinMulticastGroupOnInterfaceError("ff02::1", std::string("::1"), e);
         },
         udp, 2, "Socket, group, and interface do not have matching IP versions"},
        {"leave while connected",
         [&] {
             recorder = std::make_shared<Recorder>();
             auto s = makeSocket();
             EXPECT_TRUE(connectLocal(*s, nullptr));
             EXPECT_TRUE(recorder->waitFor(Event::Connected));
             return s;
         },
         [](AsyncUdpSocket& s, Error* e) { return s.leaveMulticastGroupError("239.255.0.1", e); }, udp, 1,
         "Cannot join a multicast group if connected."},
        {"connect twice",
         [&] {
             auto s = makeSocket();
             EXPECT_TRUE(connectLocal(*s, nullptr));
             return s;
         },
         connectLocal, udp, 1, "Cannot connect a socket more than once."},
        {"connect without a host", [this] { return makeSocket(); },
         [](AsyncUdpSocket& s, Error* e) { return s.connectToHostOnPortError(std::nullopt, 9, e); }, udp, 2,
         "The host param is nil. Should be domain name or IP address string."},
        {"connect without an address", [this] { return makeSocket(); },
         [](AsyncUdpSocket& s, Error* e) { return s.connectToAddressError(Bytes{}, e); }, udp, 2,
         "The address param is nil. Should be a valid address."},
        {"broadcast without an IPv4 socket: no error",
         [this] {
             auto s = makeSocket();
             s->setIPv4Enabled(false);
             return s;
         },
         [](AsyncUdpSocket& s, Error* e) { return s.enableBroadcastError(true, e); }, "", 0, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SocketPtr s = row.make();
        Error error = Error::make("sentinel", 99, "sentinel");
        EXPECT_FALSE(row.call(*s, &error));
        EXPECT_EQ(error.domain, row.domain);
        EXPECT_EQ(error.code, row.code);
        EXPECT_EQ(error.description, row.message);
        // A refusal changes nothing, and the error place is optional.
        EXPECT_FALSE(row.call(*s, nullptr));
    }
    release.set_value();
    filterQueue->sync([] {});
}

TEST_F(UdpSocketTest, BindRefusedBySystemLeavesNoDescriptorsAndMayBeRetried) {
    Peer holder;  // holds the port without address reuse
    auto s = makeSocket();
    Error error;
    EXPECT_FALSE(s->bindToPortInterfaceError(holder.port(), std::string("127.0.0.1"), &error));
    EXPECT_EQ(error.domain, platform::kPosixErrorDomain);
    EXPECT_EQ(error.code, EADDRINUSE);
    EXPECT_EQ(error.failureReason, "Error in bind() function");
    EXPECT_TRUE(s->isClosed());
    EXPECT_EQ(s->currentFlags(), 0u);
    EXPECT_TRUE(s->bindToPortInterfaceError(0, std::string("127.0.0.1"), &error)) << error.toString();
    settle(s);
    EXPECT_TRUE(recorder->events().empty()) << "binding never calls the delegate";
}

// ----- closing -----

bool portIsFree(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    Bytes a = addr4("127.0.0.1", port);
    const bool ok = ::bind(fd, reinterpret_cast<const sockaddr*>(a.data()), sizeof(sockaddr_in)) == 0;
    ::close(fd);
    return ok;
}

// The descriptor is closed by the sources' cancel handlers on the socket queue; allow them a moment.
bool waitUntilPortIsFree(uint16_t port) {
    for (int i = 0; i < 250; ++i) {
        if (portIsFree(port)) return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

TEST_F(UdpSocketTest, CloseReportsOnceAndReleasesThePort) {
    auto s = boundSocket();
    const uint16_t port = s->localPort();
    ASSERT_TRUE(s->receiveOnce(nullptr));  // sources running
    s->close();
    EXPECT_TRUE(s->isClosed());
    EXPECT_EQ(s->currentFlags(), 0u);
    s->close();
    settle(s);
    auto events = recorder->events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Event::Closed);
    EXPECT_FALSE(events[0].error.has_value());
    EXPECT_TRUE(waitUntilPortIsFree(port));

    // The same object can be bound and used again.
    Peer peer;
    ASSERT_TRUE(s->bindToPortInterfaceError(0, std::string("127.0.0.1"), nullptr));
    ASSERT_TRUE(s->receiveOnce(nullptr));
    peer.sendTo(s->localPort(), text("again"));
    ASSERT_TRUE(recorder->waitFor(Event::Received));

    auto unused = makeSocket();
    unused->close();
    settle(unused);
    EXPECT_EQ(recorder->of(Event::Closed).size(), 1u) << "a socket that never opened reports nothing";
}

TEST_F(UdpSocketTest, CloseAfterSendingServesTheQueueFirst) {
    Peer peer;
    auto s = boundSocket();
    for (int tag = 1; tag <= 3; ++tag) s->sendDataToAddressWithTimeoutTag(text("d"), peer.address(), -1, tag);
    s->closeAfterSending();
    ASSERT_TRUE(recorder->waitFor(Event::Closed));
    auto events = recorder->events();
    ASSERT_EQ(events.size(), 4u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(events[i].kind, Event::Sent);
        EXPECT_EQ(events[i].tag, i + 1);
    }
    EXPECT_EQ(events[3].kind, Event::Closed);
    EXPECT_FALSE(events[3].error.has_value());
    EXPECT_TRUE(s->isClosed());
}

// The close after sending comes when the last request ends, also when that request is served and
// sent in the same turn as the one before it; the socket stays closed afterwards.
TEST_F(UdpSocketTest, CloseAfterSendingStaysClosedWhenTheLastSendsGoOutTogether) {
    Peer peer;
    auto s = boundSocket();
    auto failures = std::make_shared<std::atomic<int>>(1 << 30);
    s->setSystemCalls(failingSends(EAGAIN, failures));
    s->sendDataToAddressWithTimeoutTag(text("first"), peer.address(), -1, 1);  // waits for room
    s->sendDataToAddressWithTimeoutTag(text("second"), peer.address(), -1, 2);
    s->closeAfterSending();
    settle(s);
    failures->store(0);
    ASSERT_TRUE(recorder->waitFor(Event::Closed));
    quiet(s);
    auto events = recorder->events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].tag, 1);
    EXPECT_EQ(events[1].tag, 2);
    EXPECT_EQ(events[2].kind, Event::Closed);
    EXPECT_TRUE(s->isClosed());
    s->performBlock([&] { EXPECT_EQ(s->socketFD(), -1); });
    EXPECT_EQ(peer.receive(), text("first"));
    EXPECT_EQ(peer.receive(), text("second"));
}

TEST_F(UdpSocketTest, DestructionClosesWithoutReport) {
    uint16_t port = 0;
    {
        auto s = boundSocket();
        ASSERT_TRUE(s->beginReceiving(nullptr));
        port = s->localPort();
    }
    delegateQueue->sync([] {});
    EXPECT_TRUE(recorder->events().empty());
    EXPECT_TRUE(waitUntilPortIsFree(port));
}

TEST_F(UdpSocketTest, ADelegateHearsOnlyWhatItImplements) {
    auto onlyReceive = std::make_shared<Recorder>(AsyncUdpSocketDelegate::kDidReceiveDataFromAddressWithFilterContext);
    Peer peer;
    auto s = AsyncUdpSocket::initWithDelegateDelegateQueue(onlyReceive, delegateQueue);
    ASSERT_TRUE(s->bindToPortInterfaceError(0, std::string("127.0.0.1"), nullptr));
    s->sendDataWithTag(text("no destination"), 1);
    s->sendDataToAddressWithTimeoutTag(text("sent"), peer.address(), -1, 2);
    EXPECT_EQ(peer.receive(), text("sent"));
    ASSERT_TRUE(s->receiveOnce(nullptr));
    peer.sendTo(s->localPort(), text("hello"));
    ASSERT_TRUE(onlyReceive->waitFor(Event::Received));
    s->close();
    settle(s);
    auto events = onlyReceive->events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Event::Received);
}

}  // namespace
