// Sending through the UDP socket on loopback: order, the send filter, failures and retries,
// time-outs, destinations that cannot be used, a full socket and a socket error. Every datagram
// stays on 127.0.0.0/8 or ::1.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <limits>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "net/AsyncUdpSocket.h"
#include "net/UdpTestSupport.h"

using namespace udptest;

namespace {

TEST_F(UdpSocketTest, SendsAreReportedInOrderAndArrive) {
    Peer peer;
    auto s = makeSocket();
    s->sendDataToHostPortWithTimeoutTag(text("A"), std::string("localhost"), peer.port(), -1, 1);
    s->sendDataToHostPortWithTimeoutTag(text("B"), std::string("localhost"), peer.port(), -1, 2);
    s->sendDataToAddressWithTimeoutTag(text("C"), peer.address(), -1, 3);
    s->sendDataWithTag(Bytes{}, 4);  // never sent, never reported
    ASSERT_TRUE(recorder->waitFor(Event::Sent, 3));
    EXPECT_EQ(peer.receive(), text("A"));
    EXPECT_EQ(peer.receive(), text("B"));
    EXPECT_EQ(peer.receive(), text("C"));
    quiet(s);
    auto events = recorder->events();
    ASSERT_EQ(events.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(events[i].kind, Event::Sent);
        EXPECT_EQ(events[i].tag, i + 1);
    }
    EXPECT_TRUE(s->currentFlags() & AsyncUdpSocket::Flag::bound) << "the first datagram binds the socket";
}

TEST_F(UdpSocketTest, FilterAnsweringNoReportsSentAndSendsNothing) {
    for (bool async : {true, false}) {
        SCOPED_TRACE(async ? "asynchronous filter" : "synchronous filter");
        recorder = std::make_shared<Recorder>();
        Peer peer;
        auto s = boundSocket();
        auto filterQueue = Queue::createSerial("udp test send filter");
        s->setSendFilterWithQueueIsAsynchronous([](const Bytes&, const Bytes&, int64_t tag) { return tag != 1; },
                                                filterQueue, async);
        s->sendDataToAddressWithTimeoutTag(text("dropped"), peer.address(), -1, 1);
        s->sendDataToAddressWithTimeoutTag(text("kept"), peer.address(), -1, 2);
        ASSERT_TRUE(recorder->waitFor(Event::Sent, 2));
        auto sent = recorder->of(Event::Sent);
        EXPECT_EQ(sent[0].tag, 1);
        EXPECT_EQ(sent[1].tag, 2);
        EXPECT_EQ(peer.receive(), text("kept"));
        EXPECT_EQ(peer.receive(200ms), std::nullopt);
    }
}

TEST_F(UdpSocketTest, SendFailuresOfOneDatagram) {
    struct Row {
        const char* name;
        int err;  // injected errno; 0: a real fault made by the datagram or its destination
        std::function<void(AsyncUdpSocket&, const Peer&)> first;
    };
    auto toPeer = [](AsyncUdpSocket& s, const Peer& p) {
        s.sendDataToAddressWithTimeoutTag(text("first"), p.address(), -1, 1);
    };
    std::vector<Row> rows;
    for (int err : {EMSGSIZE, ENETUNREACH, EHOSTUNREACH, ENETDOWN, EACCES, EPERM}) {
        rows.push_back({strerror(err), err, toPeer});
    }
    rows.push_back({"real: too long for IPv4", 0, [](AsyncUdpSocket& s, const Peer& p) {
                        s.sendDataToAddressWithTimeoutTag(Bytes(70000, 'x'), p.address(), -1, 1);
                    }});
    rows.push_back({"real: broadcast without the switch", 0, [](AsyncUdpSocket& s, const Peer& p) {
                        s.sendDataToHostPortWithTimeoutTag(text("first"), std::string("127.255.255.255"), p.port(), -1,
                                                           1);
                    }});
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        recorder = std::make_shared<Recorder>();
        Peer peer;
        auto s = makeSocket();
        s->setIPv6Enabled(false);
        if (row.err) s->setSystemCalls(failingSends(row.err, std::make_shared<std::atomic<int>>(1)));
        row.first(*s, peer);
        s->sendDataToAddressWithTimeoutTag(text("second"), peer.address(), -1, 2);
        ASSERT_TRUE(recorder->waitFor(Event::Sent));
        auto events = recorder->events();
        ASSERT_EQ(events.size(), 2u);
        EXPECT_EQ(events[0].kind, Event::NotSent);
        EXPECT_EQ(events[0].tag, 1);
        ASSERT_TRUE(events[0].error);
        EXPECT_EQ(events[0].error->domain, platform::kPosixErrorDomain);
        if (row.err) {
            EXPECT_EQ(events[0].error->code, row.err);
        }
        EXPECT_EQ(events[0].error->failureReason, kSendReason);
        EXPECT_EQ(events[1].kind, Event::Sent);
        EXPECT_EQ(events[1].tag, 2);
        EXPECT_EQ(peer.receive(), text("second"));
        EXPECT_FALSE(s->isClosed());
    }
}

TEST_F(UdpSocketTest, TransientSendConditionsAreRetried) {
    struct Row {
        const char* name;
        int err;
        int failures;
    };
    const Row rows[] = {
        {"interrupted calls are repeated at once", EINTR, 3},
        {"no buffer space: tried again after a pause", ENOBUFS, 3},
        {"would block: sent when the socket is writable", EAGAIN, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        recorder = std::make_shared<Recorder>();
        Peer peer;
        auto s = boundSocket();
        auto failures = std::make_shared<std::atomic<int>>(row.failures);
        s->setSystemCalls(failingSends(row.err, failures));
        s->sendDataToAddressWithTimeoutTag(text("first"), peer.address(), 30.0, 1);
        s->sendDataToAddressWithTimeoutTag(text("second"), peer.address(), 30.0, 2);
        ASSERT_TRUE(recorder->waitFor(Event::Sent, 2));
        EXPECT_EQ(peer.receive(), text("first"));
        EXPECT_EQ(peer.receive(), text("second"));
        EXPECT_LE(failures->load(), 0);
        EXPECT_EQ(recorder->events().size(), 2u);
    }
}

TEST_F(UdpSocketTest, SendThatCannotGoOutTimesOut) {
    Peer peer;
    auto s = boundSocket();
    auto failures = std::make_shared<std::atomic<int>>(1 << 30);
    s->setSystemCalls(failingSends(EAGAIN, failures));
    s->sendDataToAddressWithTimeoutTag(text("stuck"), peer.address(), 0.0, 1);
    ASSERT_TRUE(recorder->waitFor(Event::NotSent));
    auto notSent = recorder->of(Event::NotSent);
    EXPECT_EQ(notSent[0].tag, 1);
    EXPECT_EQ(*notSent[0].error, Error::make(AsyncUdpSocketErrorDomain, 3, "Send operation timed out"));
    failures->store(0);
    s->sendDataToAddressWithTimeoutTag(text("free"), peer.address(), 0.0, 2);
    ASSERT_TRUE(recorder->waitFor(Event::Sent));
    EXPECT_EQ(peer.receive(), text("free"));
    EXPECT_FALSE(s->isClosed());
}

TEST_F(UdpSocketTest, ATimeOutBeyondTheClockNeverFires) {
    Peer peer;
    auto s = boundSocket();
    auto failures = std::make_shared<std::atomic<int>>(1 << 30);
    s->setSystemCalls(failingSends(EAGAIN, failures));
    s->sendDataToAddressWithTimeoutTag(text("patient"), peer.address(), std::numeric_limits<double>::infinity(), 1);
    quiet(s);
    EXPECT_TRUE(recorder->events().empty());
    failures->store(0);
    s->sendDataToAddressWithTimeoutTag(text("next"), peer.address(), 1e12, 2);
    ASSERT_TRUE(recorder->waitFor(Event::Sent, 2));
    EXPECT_EQ(peer.receive(), text("patient"));
    EXPECT_EQ(peer.receive(), text("next"));
    EXPECT_TRUE(recorder->of(Event::NotSent).empty());
}

TEST_F(UdpSocketTest, RequestsWithoutAUsableDestinationFailAlone) {
    struct Row {
        const char* name;
        std::function<void(AsyncUdpSocket&)> send;
        long code;
        const char* message;
    };
    const Row rows[] = {
        {"no destination on an unconnected socket",
         [](AsyncUdpSocket& s) { s.sendDataWithTimeoutTag(text("x"), -1, 1); }, 1,
         "You must specify destination of packet for a non-connected socket"},
        {"no host text",
         [](AsyncUdpSocket& s) { s.sendDataToHostPortWithTimeoutTag(text("x"), std::nullopt, 9, -1, 1); }, 2,
         "The host param is nil. Should be domain name or IP address string."},
        {"a buffer that is no address",
         [](AsyncUdpSocket& s) { s.sendDataToAddressWithTimeoutTag(text("x"), Bytes(8, 1), -1, 1); }, 2,
         "A valid IPv4 or IPv6 address was not given"},
        {"an IPv6 destination without an IPv6 socket",
         [](AsyncUdpSocket& s) { s.sendDataToAddressWithTimeoutTag(text("x"), addr6("::1", 9), -1, 1); }, 2,
         "A valid IPv4 or IPv6 address was not given"},
        {"an IPv6-only host without an IPv6 socket",
         [](AsyncUdpSocket& s) { s.sendDataToHostPortWithTimeoutTag(text("x"), std::string("::1"), 9, -1, 1); }, 5,
         "IPv6 has been deactivated due to bind/connect, and DNS lookup found no IPv4 address(es)."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        recorder = std::make_shared<Recorder>();
        Peer peer;
        auto s = boundSocket();  // IPv4 only
        row.send(*s);
        s->sendDataToAddressWithTimeoutTag(text("next"), peer.address(), -1, 2);
        ASSERT_TRUE(recorder->waitFor(Event::Sent));
        auto events = recorder->events();
        ASSERT_EQ(events.size(), 2u);
        EXPECT_EQ(events[0].kind, Event::NotSent);
        EXPECT_EQ(events[0].tag, 1);
        EXPECT_EQ(*events[0].error, Error::make(AsyncUdpSocketErrorDomain, row.code, row.message));
        EXPECT_EQ(peer.receive(), text("next"));
        EXPECT_FALSE(s->isClosed());
    }
}

// A datagram socket that cannot take a datagram until the test lets it: connected to a local
// datagram socket whose receive queue is full, so the reactor sees it unwritable (a loopback UDP
// socket never blocks). It stands in for the socket of one family through the system-call seam.
class BlockedDatagramSocket {
public:
    BlockedDatagramSocket() {
        sink_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        // Bound to a name the system picks in the abstract namespace.
        EXPECT_EQ(::bind(sink_, reinterpret_cast<const sockaddr*>(&address), sizeof(sa_family_t)), 0);
        socklen_t length = sizeof address;
        EXPECT_EQ(::getsockname(sink_, reinterpret_cast<sockaddr*>(&address), &length), 0);
        source_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        EXPECT_EQ(::connect(source_, reinterpret_cast<const sockaddr*>(&address), length), 0);
        const char byte = 0;
        while (::send(source_, &byte, 1, MSG_DONTWAIT) == 1) ++queued_;
        EXPECT_EQ(errno, EAGAIN);
    }
    ~BlockedDatagramSocket() {
        ::close(source_);
        ::close(sink_);
    }
    BlockedDatagramSocket(const BlockedDatagramSocket&) = delete;
    BlockedDatagramSocket& operator=(const BlockedDatagramSocket&) = delete;

    // A new descriptor of the blocked socket, for the object under test to own.
    int duplicate() const { return ::fcntl(source_, F_DUPFD_CLOEXEC, 0); }
    // Empties the full queue: the socket can take datagrams again.
    void unblock() {
        char byte;
        while (queued_ > 0 && ::recv(sink_, &byte, 1, 0) == 1) --queued_;
    }

private:
    int sink_ = -1;
    int source_ = -1;
    int queued_ = 0;
};

// After an IPv6 send had to wait, the IPv6 write source runs again; when the next datagram, for
// IPv4, finds its socket full, that source, its own socket writable, must not keep trying the
// IPv4 datagram on every turn of the reactor. It waits for the IPv4 socket alone.
TEST_F(UdpSocketTest, AFullSocketOfOneFamilyIsWaitedForWithoutSpinning) {
    BlockedDatagramSocket blocked;
    auto fd4 = std::make_shared<std::atomic<int>>(-1);
    auto attempts4 = std::make_shared<std::atomic<int>>(0);
    auto refusals6 = std::make_shared<std::atomic<int>>(1);
    AsyncUdpSocketSystemCalls calls = AsyncUdpSocketSystemCalls::real();
    const auto realSocket = calls.socket;
    const auto realSend = calls.sendto;
    calls.socket = [&blocked, fd4, realSocket](int domain, int type, int protocol) {
        if (domain != AF_INET) return realSocket(domain, type, protocol);
        fd4->store(blocked.duplicate());
        return fd4->load();
    };
    calls.sendto = [fd4, attempts4, refusals6, realSend](int fd, const void* b, size_t n, int flags, const sockaddr* to,
                                                         socklen_t len) -> ssize_t {
        if (fd == fd4->load()) {
            attempts4->fetch_add(1);
            return ::send(fd, b, n, flags | MSG_DONTWAIT);  // the stand-in is connected already
        }
        if (refusals6->fetch_sub(1) > 0) {
            errno = EAGAIN;
            return -1;
        }
        return realSend(fd, b, n, flags, to, len);
    };
    auto s = makeSocket();
    s->setSystemCalls(calls);

    int peer6 = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    Bytes any6 = addr6("::1", 0);
    ASSERT_EQ(::bind(peer6, reinterpret_cast<const sockaddr*>(any6.data()), sizeof(sockaddr_in6)), 0);
    sockaddr_in6 bound6{};
    socklen_t length6 = sizeof bound6;
    ::getsockname(peer6, reinterpret_cast<sockaddr*>(&bound6), &length6);
    Peer peer4;
    s->sendDataToAddressWithTimeoutTag(text("to IPv6 after a wait"), addr6("::1", ntohs(bound6.sin6_port)), -1, 1);
    s->sendDataToAddressWithTimeoutTag(text("to IPv4 once there is room"), peer4.address(), -1, 2);
    ASSERT_TRUE(recorder->waitFor(Event::Sent));
    std::this_thread::sleep_for(200ms);
    settle(s);
    EXPECT_LE(attempts4->load(), 2) << "the IPv4 datagram was tried on every turn";
    EXPECT_EQ(recorder->of(Event::Sent).size(), 1u);

    blocked.unblock();
    ASSERT_TRUE(recorder->waitFor(Event::Sent, 2));
    EXPECT_EQ(recorder->of(Event::Sent)[1].tag, 2);
    EXPECT_LE(attempts4->load(), 3);
    pollfd p{peer6, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 10000), 1);
    ::close(peer6);
}

TEST_F(UdpSocketTest, SocketErrorOnSendClosesTheSocket) {
    Peer peer;
    auto s = boundSocket();
    s->setSystemCalls(failingSends(EBADF, std::make_shared<std::atomic<int>>(1)));
    s->sendDataToAddressWithTimeoutTag(text("x"), peer.address(), -1, 1);
    ASSERT_TRUE(recorder->waitFor(Event::Closed));
    settle(s);
    auto events = recorder->events();
    ASSERT_EQ(events.size(), 1u) << "the request itself gets no report";
    ASSERT_TRUE(events[0].error);
    EXPECT_EQ(events[0].error->code, EBADF);
    EXPECT_EQ(events[0].error->failureReason, kSendReason);
    EXPECT_TRUE(s->isClosed());
}

TEST_F(UdpSocketTest, SendsDroppedForLackOfSocketsAreEachReported) {
    auto s = makeSocket();
    AsyncUdpSocketSystemCalls calls = AsyncUdpSocketSystemCalls::real();
    calls.socket = [](int, int, int) {
        errno = EMFILE;
        return -1;
    };
    s->setSystemCalls(calls);
    Peer peer;
    s->sendDataToAddressWithTimeoutTag(text("a"), peer.address(), -1, 1);
    s->sendDataToAddressWithTimeoutTag(text("b"), peer.address(), -1, 2);
    ASSERT_TRUE(recorder->waitFor(Event::NotSent, 2));
    settle(s);
    auto events = recorder->events();
    ASSERT_EQ(events.size(), 2u) << "no close report: no socket ever existed";
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(events[i].tag, i + 1);
        EXPECT_EQ(events[i].error->code, EMFILE);
        EXPECT_EQ(events[i].error->failureReason, "Error in socket() function");
    }
    EXPECT_TRUE(s->isClosed());
}

}  // namespace
