// The UDP socket on loopback: refused calls, binding, broadcast, connecting, multicast, sending,
// receiving and closing. Every datagram stays on 127.0.0.0/8 or ::1.

#include "net/AsyncUdpSocket.h"
#include "net/detail/UdpRequests.h"
#include "SocketAddresses.h"

#include "platform/Trace.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <limits>
#include <future>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;
using net::detail::AsyncUdpSocketSystemCalls;
using platform::Bytes;
using platform::Error;
using platform::dispatch::Queue;

namespace {

const char* const kSendReason = "Error in send() function.";

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

using nettest::addr4;
using nettest::addr6;

struct Event {
    enum Kind { Connected, NotConnected, Sent, NotSent, Received, Closed } kind;
    int64_t tag = 0;
    Bytes data;
    Bytes address;
    std::optional<Error> error;
    std::any context;
};

class Recorder : public AsyncUdpSocketDelegate {
public:
    explicit Recorder(unsigned caps = ~0u) : caps_(caps) {}
    unsigned capabilities() const override { return caps_; }

    void udpSocketDidConnectToAddress(const SocketPtr&, const Bytes& address) override {
        add({Event::Connected, 0, {}, address, {}, {}});
    }
    void udpSocketDidNotConnect(const SocketPtr&, const Error& error) override {
        add({Event::NotConnected, 0, {}, {}, error, {}});
    }
    void udpSocketDidSendDataWithTag(const SocketPtr&, int64_t tag) override { add({Event::Sent, tag, {}, {}, {}, {}}); }
    void udpSocketDidNotSendDataWithTagDueToError(const SocketPtr&, int64_t tag, const Error& error) override {
        add({Event::NotSent, tag, {}, {}, error, {}});
    }
    void udpSocketDidReceiveDataFromAddressWithFilterContext(const SocketPtr&, const Bytes& data, const Bytes& address,
                                                             const std::any& context) override {
        add({Event::Received, 0, data, address, {}, context});
    }
    void udpSocketDidCloseWithError(const SocketPtr&, const std::optional<Error>& error) override {
        add({Event::Closed, 0, {}, {}, error, {}});
    }

    std::vector<Event> events() {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    std::vector<Event> of(Event::Kind kind) {
        std::vector<Event> out;
        for (Event& e : events()) {
            if (e.kind == kind) out.push_back(e);
        }
        return out;
    }
    std::vector<Bytes> received() {
        std::vector<Bytes> out;
        for (Event& e : of(Event::Received)) out.push_back(e.data);
        return out;
    }
    // Waits (generously) until at least n events of the kind have arrived.
    bool waitFor(Event::Kind kind, size_t n = 1) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] {
            size_t count = 0;
            for (const Event& e : events_) count += e.kind == kind ? 1 : 0;
            return count >= n;
        });
    }

private:
    void add(Event e) {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(std::move(e));
        changed_.notify_all();
    }

    const unsigned caps_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Event> events_;
};

// A plain blocking UDP socket on 127.0.0.1: the other end of the tests.
class Peer {
public:
    Peer() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        Bytes a = addr4("127.0.0.1", 0);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<const sockaddr*>(a.data()), sizeof(sockaddr_in)), 0);
    }
    ~Peer() { ::close(fd_); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    uint16_t port() const {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        return ntohs(a.sin_port);
    }
    Bytes address() const { return addr4("127.0.0.1", port()); }
    void sendTo(uint16_t port, const Bytes& data, const char* ip = "127.0.0.1") const {
        Bytes a = addr4(ip, port);
        ASSERT_EQ(::sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(a.data()),
                           sizeof(sockaddr_in)),
                  static_cast<ssize_t>(data.size()));
    }
    std::optional<Bytes> receive(std::chrono::milliseconds timeout = 10s) const {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return std::nullopt;
        Bytes buffer(70000);
        ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
        if (n < 0) return std::nullopt;
        buffer.resize(static_cast<size_t>(n));
        return buffer;
    }
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

// Replaces sendto: the first `failures` calls fail with err, the rest go to the system.
AsyncUdpSocketSystemCalls failingSends(int err, std::shared_ptr<std::atomic<int>> failures) {
    AsyncUdpSocketSystemCalls calls = AsyncUdpSocketSystemCalls::real();
    auto realSend = calls.sendto;
    calls.sendto = [err, failures, realSend](int fd, const void* b, size_t n, int flags, const sockaddr* to,
                                             socklen_t len) -> ssize_t {
        if (failures->fetch_sub(1) > 0) {
            errno = err;
            return -1;
        }
        return realSend(fd, b, n, flags, to, len);
    };
    return calls;
}

class UdpSocketTest : public ::testing::Test {
protected:
    void SetUp() override { platform::setTraceEnabled(false); }

    std::shared_ptr<AsyncUdpSocket> makeSocket() {
        return AsyncUdpSocket::initWithDelegateDelegateQueue(recorder, delegateQueue);
    }
    // A socket bound to 127.0.0.1 on a port the system picks (IPv4 only).
    std::shared_ptr<AsyncUdpSocket> boundSocket() {
        auto s = makeSocket();
        Error error;
        EXPECT_TRUE(s->bindToPortInterfaceError(0, std::string("127.0.0.1"), &error)) << error.toString();
        return s;
    }
    // Everything submitted to the socket queue so far has run, and its reports have reached the delegate.
    void settle(const std::shared_ptr<AsyncUdpSocket>& s) {
        s->performBlock([] {});
        delegateQueue->sync([] {});
    }
    // Gives the kernel and the reactor a moment to deliver anything still under way, then settles.
    // Used only to show that nothing more arrives.
    void quiet(const std::shared_ptr<AsyncUdpSocket>& s) {
        std::this_thread::sleep_for(100ms);
        settle(s);
    }

    std::shared_ptr<Queue> delegateQueue = Queue::createSerial("udp test delegate");
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
};

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

// ----- receiving -----

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
        {"cut at the maximum, the next one whole", 0, {Bytes(10000, 'a'), Bytes(1000, 'b')},
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
    sender->sendDataToHostPortWithTimeoutTag(text("probe"), std::string("127.255.255.255"),
                                             receiver->localPort_IPv4(), -1, 1);
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
        ASSERT_EQ(::sendto(peer6, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(a.data()), sizeof(sockaddr_in6)),
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

// ----- sending -----

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
        {"no destination on an unconnected socket", [](AsyncUdpSocket& s) { s.sendDataWithTimeoutTag(text("x"), -1, 1); },
         1, "You must specify destination of packet for a non-connected socket"},
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
    calls.sendto = [fd4, attempts4, refusals6, realSend](int fd, const void* b, size_t n, int flags,
                                                         const sockaddr* to, socklen_t len) -> ssize_t {
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
