// Connecting the TCP socket over loopback: hosts, addresses and interfaces, refusals, time-outs of
// requests nobody answers, and what the delegate hears.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "net/AsyncTcpSocket.h"
#include "net/TcpSocketFixture.h"
#include "net/TcpTestSupport.h"

using namespace nettest;

namespace {

// Connections of this process's network namespace still waiting for the peer's answer to their
// request (SYN_SENT) towards port on 127.0.0.1.
size_t connectsAwaitingAnswer(uint16_t port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // the column titles
    char wanted[16];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
    size_t n = 0;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        n += remote == wanted && state == "02";
    }
    return n;
}

TEST_F(TcpSocket, ConnectRefusalsAnswerAtOnceAndTellTheDelegateNothing) {
    struct Row {
        const char* name;
        std::function<std::shared_ptr<AsyncTcpSocket>(TcpSocket&)> make;
        std::function<bool(AsyncTcpSocket&, uint16_t, Error*)> connect;
        long code;
        std::string message;
    };
    auto plain = [](TcpSocket& t) {
        return AsyncTcpSocket::initWithDelegateDelegateQueue(t.delegate, t.delegateQueue);
    };
    auto toHost = [](const char* host) {
        return [host](AsyncTcpSocket& s, uint16_t port, Error* e) { return s.connectToHostOnPortError(host, port, e); };
    };
    auto ipv6Family16 = [](AsyncTcpSocket& s, uint16_t, Error* e) {
        Bytes a(16, 0);
        const sa_family_t f = AF_INET6;
        std::memcpy(a.data(), &f, sizeof f);
        return s.connectToAddressError(a, e);
    };
    const Row rows[] = {
        {"empty host", plain, toHost(""), 2,
         "Invalid host parameter (nil or \"\"). Should be a domain name or IP address string."},
        {"no delegate", [](TcpSocket& t) { return AsyncTcpSocket::initWithDelegateDelegateQueue({}, t.delegateQueue); },
         toHost("127.0.0.1"), 1, "Attempting to connect without a delegate. Set a delegate first."},
        {"no delegate queue",
         [](TcpSocket& t) { return AsyncTcpSocket::initWithDelegateDelegateQueue(t.delegate, nullptr); },
         toHost("127.0.0.1"), 1, "Attempting to connect without a delegate queue. Set a delegate queue first."},
        {"both families disabled",
         [](TcpSocket& t) {
             auto s = AsyncTcpSocket::initWithDelegateDelegateQueue(t.delegate, t.delegateQueue);
             s->setIPv4Enabled(false);
             s->setIPv6Enabled(false);
             return s;
         },
         toHost("127.0.0.1"), 1, "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first."},
        {"16 bytes of family IPv6", plain, ipv6Family16, 2, "A valid IPv4 or IPv6 address was not given"},
        {"IPv4 address with IPv4 disabled",
         [](TcpSocket& t) {
             auto s = AsyncTcpSocket::initWithDelegateDelegateQueue(t.delegate, t.delegateQueue);
             s->setIPv4Enabled(false);
             return s;
         },
         [](AsyncTcpSocket& s, uint16_t port, Error* e) {
             return s.connectToAddressError(AsyncTcpSocket::lookupHostPortError("localhost", port, nullptr)[0], e);
         },
         2, "IPv4 has been disabled and an IPv4 address was passed."},
        {"unknown interface", plain,
         [](AsyncTcpSocket& s, uint16_t port, Error* e) {
             return s.connectToHostOnPortViaInterfaceWithTimeoutError("127.0.0.1", port, "nosuchif0", -1, e);
         },
         2, "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto s = row.make(*this);
        Error err;
        EXPECT_FALSE(row.connect(*s, peer.port(), &err));
        EXPECT_EQ(err.domain, AsyncTcpSocketErrorDomain);
        EXPECT_EQ(err.code, row.code);
        EXPECT_EQ(err.description, row.message);
        EXPECT_TRUE(s->isDisconnected());
    }
    settle();
    EXPECT_TRUE(delegate->events().empty());
}

// A connect to a ready address that fails at once (here its local interface cannot be bound) leaves
// nothing of that interface behind: the next connect without one binds nowhere and succeeds.
TEST_F(TcpSocket, AFailedConnectLeavesItsInterfaceBehindForNobody) {
    Peer occupied;  // listening on 127.0.0.1: its port cannot be bound again
    const Bytes target = AsyncTcpSocket::lookupHostPortError("localhost", peer.port(), nullptr).at(0);
    const std::string busyInterface = "127.0.0.1:" + std::to_string(occupied.port());
    Error err;
    EXPECT_FALSE(sock->connectToAddressViaInterfaceWithTimeoutError(target, busyInterface, -1, &err));
    EXPECT_EQ(err.domain, platform::kPosixErrorDomain);
    EXPECT_EQ(err.code, EADDRINUSE);
    EXPECT_EQ(err.failureReason, "Error in bind() function");
    EXPECT_TRUE(sock->isDisconnected());

    err = Error{};
    ASSERT_TRUE(sock->connectToAddressError(target, &err)) << err.toString();
    ASSERT_TRUE(peer.accept());
    ASSERT_TRUE(delegate->waitForCount(Event::Connect));
    EXPECT_NE(sock->localPort(), occupied.port());
}

TEST_F(TcpSocket, ASecondConnectWhileTheFirstIsUnderWayIsRefused) {
    Error err;
    ASSERT_TRUE(sock->connectToHostOnPortError("127.0.0.1", peer.port(), &err));
    EXPECT_TRUE(err.domain.empty());
    EXPECT_FALSE(sock->connectToHostOnPortError("127.0.0.1", peer.port(), &err));
    EXPECT_EQ(err.code, 1);
    EXPECT_EQ(err.description, "Attempting to connect while connected or accepting connections. Disconnect first.");
    ASSERT_TRUE(peer.accept());
    ASSERT_TRUE(delegate->waitForCount(Event::Connect));
    EXPECT_EQ(delegate->of(Event::Connect).size(), 1u);
}

TEST_F(TcpSocket, ARefusedPortReportsThePosixError) {
    uint16_t freePort;
    {
        Peer closed;
        freePort = closed.port();
    }
    Error err;
    ASSERT_TRUE(sock->connectToHostOnPortError("127.0.0.1", freePort, &err));
    ASSERT_TRUE(delegate->waitForCount(Event::Disconnect));
    const auto e = delegate->of(Event::Disconnect).at(0);
    ASSERT_TRUE(e.error);
    EXPECT_EQ(e.error->domain, platform::kPosixErrorDomain);
    EXPECT_EQ(e.error->code, ECONNREFUSED);
    EXPECT_EQ(e.error->failureReason, "Error in connect() function");
    EXPECT_TRUE(sock->isDisconnected());
    EXPECT_TRUE(delegate->of(Event::Connect).empty());
}

// A listener whose accept queue is full: further connection requests get no answer.
class FullBacklog {
public:
    FullBacklog() : peer_(0) {
        for (int i = 0; i < 16 && !full_; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(peer_.port());
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
            fillers_.push_back(fd);
            pollfd p{fd, POLLOUT, 0};
            full_ = ::poll(&p, 1, 300) == 0;  // this one was not answered
        }
    }
    ~FullBacklog() {
        for (int fd : fillers_) ::close(fd);
    }
    bool full() const { return full_; }
    uint16_t port() const { return peer_.port(); }
    // Takes the waiting connections off the accept queue, so that late answers would come.
    void drain() {
        pollfd p{peer_.listener(), POLLIN, 0};
        while (::poll(&p, 1, 50) == 1) {
            const int fd = ::accept4(peer_.listener(), nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) break;
            fillers_.push_back(fd);
        }
    }
    // Lets the listener take more connections: requests asked again are answered.
    void makeRoom() { ::listen(peer_.listener(), 64); }
    // Requests asked again are refused.
    void stopListening() { ::shutdown(peer_.listener(), SHUT_RDWR); }

private:
    Peer peer_;
    std::vector<int> fillers_;
    bool full_ = false;
};

TEST_F(TcpSocket, AConnectTimeOutEndsTheAttemptAndItsLateResultIsIgnored) {
    FullBacklog backlog;
    if (!backlog.full()) GTEST_SKIP() << "this kernel answers every connection request";
    const auto descriptors = watchDescriptors();

    Error err;
    ASSERT_TRUE(sock->connectToHostOnPortWithTimeoutError("127.0.0.1", backlog.port(), 0.2, &err));
    ASSERT_TRUE(delegate->waitForCount(Event::Disconnect));
    const auto e = delegate->of(Event::Disconnect).at(0);
    ASSERT_TRUE(e.error);
    EXPECT_EQ(e.error->domain, AsyncTcpSocketErrorDomain);
    EXPECT_EQ(e.error->code, 3);
    EXPECT_EQ(e.error->description, "Attempt to connect to host timed out");

    // The attempt has ended: its descriptor is gone and nothing late arrives.
    EXPECT_TRUE(eventually([&] { return descriptors.opened().empty(); }))
        << testsupport::DescriptorWatch::describe(descriptors.opened());
    backlog.drain();
    settle();
    EXPECT_TRUE(delegate->of(Event::Connect).empty());
    EXPECT_EQ(delegate->of(Event::Disconnect).size(), 1u);
    EXPECT_TRUE(sock->isDisconnected());

    // The same object connects again.
    connect();
}

// However a pending attempt ends, the delegate hears one disconnect at once and never a connect,
// and the attempt's descriptor is given back.
TEST_F(TcpSocket, EndingAPendingConnectReportsOneDisconnectAtOnceAndNoConnect) {
    struct Row {
        const char* name;
        std::function<void(TcpSocket&)> end;
        bool hasSocket;
    };
    const Row rows[] = {
        {"disconnect", [](TcpSocket& t) { t.sock->disconnect(); }, true},
        {"disconnect from the delegate queue",
         [](TcpSocket& t) { t.delegateQueue->sync([&] { t.sock->disconnect(); }); }, true},
        {"destruction", [](TcpSocket& t) { t.sock.reset(); }, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FullBacklog backlog;  // one per row: the late answers at the end empty it
        if (!backlog.full()) GTEST_SKIP() << "this kernel answers every connection request";
        delegate = std::make_shared<Recorder>();
        sock = AsyncTcpSocket::initWithDelegateDelegateQueue(delegate, delegateQueue);
        const auto descriptors = watchDescriptors();
        Error err;
        ASSERT_TRUE(sock->connectToHostOnPortError("127.0.0.1", backlog.port(), &err));        // no time-out
        ASSERT_TRUE(eventually([&] { return connectsAwaitingAnswer(backlog.port()) >= 2; }));  // the filler's and ours
        settle();
        EXPECT_FALSE(sock->isDisconnected());
        EXPECT_TRUE(delegate->events().empty());

        const auto start = std::chrono::steady_clock::now();
        row.end(*this);
        ASSERT_TRUE(delegate->waitForCount(Event::Disconnect));
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
        const auto e = delegate->of(Event::Disconnect).at(0);
        EXPECT_FALSE(e.error);
        EXPECT_EQ(e.hasSocket, row.hasSocket);
        EXPECT_TRUE(eventually([&] { return descriptors.opened().empty(); }))
            << testsupport::DescriptorWatch::describe(descriptors.opened());
        backlog.drain();
        settle();
        EXPECT_TRUE(delegate->of(Event::Connect).empty());
        EXPECT_EQ(delegate->of(Event::Disconnect).size(), 1u);
    }
}

// A connect that waits for the peer reports the peer's late answer, once.
TEST_F(TcpSocket, APendingConnectReportsThePeersLateAnswerOnce) {
    struct Row {
        const char* name;
        std::function<void(FullBacklog&)> answer;
        bool connects;
    };
    const Row rows[] = {
        {"the peer makes room for it", [](FullBacklog& b) { b.makeRoom(); }, true},
        {"the peer stops listening", [](FullBacklog& b) { b.stopListening(); }, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FullBacklog backlog;
        if (!backlog.full()) GTEST_SKIP() << "this kernel answers every connection request";
        delegate = std::make_shared<Recorder>();
        sock = AsyncTcpSocket::initWithDelegateDelegateQueue(delegate, delegateQueue);
        Error err;
        ASSERT_TRUE(sock->connectToHostOnPortError("127.0.0.1", backlog.port(), &err));
        ASSERT_TRUE(eventually([&] { return connectsAwaitingAnswer(backlog.port()) >= 2; }));  // the filler's and ours
        row.answer(backlog);
        // The kernel asks again after a second and hears the answer.
        ASSERT_TRUE(delegate->waitFor([](const std::vector<Event>& ev) { return !ev.empty(); }));
        settle();
        const auto events = delegate->events();
        ASSERT_EQ(events.size(), 1u);
        if (row.connects) {
            EXPECT_EQ(events[0].kind, Event::Connect);
            EXPECT_EQ(events[0].port, backlog.port());
            sock->writeDataWithTimeoutTag(bytes("ping"), -1, 1);
            EXPECT_TRUE(delegate->waitForCount(Event::Write));
        } else {
            EXPECT_EQ(events[0].kind, Event::Disconnect);
            ASSERT_TRUE(events[0].error);
            EXPECT_EQ(events[0].error->domain, platform::kPosixErrorDomain);
            EXPECT_EQ(events[0].error->code, ECONNREFUSED);
            EXPECT_EQ(events[0].error->failureReason, "Error in connect() function");
            EXPECT_TRUE(sock->isDisconnected());
        }
        sock.reset();
        flushDelegateQueue();
    }
}

// Hundreds of connects to a peer that never answers, each with a 1 s time-out, all end at their
// time-out, and other queues run all the while: a pending connect holds no thread.
TEST_F(TcpSocket, ManyPendingConnectsEndAtTheirTimeOutWhileOtherQueuesRun) {
    FullBacklog backlog;
    if (!backlog.full()) GTEST_SKIP() << "this kernel answers every connection request";
    // Each attempt takes a descriptor: the soft limit goes up to the hard one, and the count
    // stays below what that allows.
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    const auto descriptors = watchDescriptors();
    const size_t openBefore = testsupport::DescriptorWatch::open().size();
    const size_t room = limit.rlim_cur > openBefore + 64 ? limit.rlim_cur - openBefore - 64 : 0;
    const size_t count = std::min<size_t>(600, room);
    if (count < 100) GTEST_SKIP() << "only " << room << " descriptors to spare";

    // Another serial queue ticks every 10 ms until the test ends; the longest pause is kept.
    struct Ticker {
        std::mutex mutex;
        std::chrono::steady_clock::time_point last = std::chrono::steady_clock::now();
        std::chrono::steady_clock::duration longestPause{};
        bool stop = false;
        static void tick(const std::shared_ptr<Ticker>& t, const std::shared_ptr<Queue>& queue) {
            std::lock_guard lock(t->mutex);
            if (t->stop) return;
            const auto now = std::chrono::steady_clock::now();
            t->longestPause = std::max(t->longestPause, now - t->last);
            t->last = now;
            platform::dispatch::after(10ms, queue, [t, queue] { tick(t, queue); });
        }
    };
    auto ticker = std::make_shared<Ticker>();
    auto tickQueue = Queue::createSerial("test.ticker");
    tickQueue->async([ticker, tickQueue] { Ticker::tick(ticker, tickQueue); });
    const std::shared_ptr<void> stopTicker(nullptr, [ticker](void*) {
        std::lock_guard lock(ticker->mutex);
        ticker->stop = true;
    });

    // When each attempt started, and how long after that its end was reported.
    struct Timing {
        std::mutex mutex;
        std::map<const AsyncTcpSocket*, std::chrono::steady_clock::time_point> started;
        std::vector<std::chrono::steady_clock::duration> took;
    };
    auto timing = std::make_shared<Timing>();
    delegate->onEvent = [timing](const AsyncTcpSocketDelegate::SocketPtr& s, const Event& e) {
        if (e.kind != Event::Disconnect) return;
        std::lock_guard lock(timing->mutex);
        auto it = timing->started.find(s.get());
        if (it != timing->started.end()) timing->took.push_back(std::chrono::steady_clock::now() - it->second);
    };

    std::vector<std::shared_ptr<AsyncTcpSocket>> sockets;
    for (size_t i = 0; i < count; ++i) {
        auto s = AsyncTcpSocket::initWithDelegateDelegateQueue(delegate, delegateQueue);
        {
            std::lock_guard lock(timing->mutex);
            timing->started[s.get()] = std::chrono::steady_clock::now();
        }
        Error err;
        ASSERT_TRUE(s->connectToHostOnPortWithTimeoutError("127.0.0.1", backlog.port(), 1.0, &err));
        sockets.push_back(std::move(s));
    }
    // Every attempt that has not ended waits for an answer that does not come (the count of
    // pending ones is read first: an attempt leaves it just before its end is reported).
    EXPECT_TRUE(eventually([&] {
        const size_t pending = connectsAwaitingAnswer(backlog.port());
        return pending + delegate->of(Event::Disconnect).size() >= count;
    })) << connectsAwaitingAnswer(backlog.port())
        << " of " << count << " pending";

    ASSERT_TRUE(delegate->waitForCount(Event::Disconnect, count, 10s))
        << delegate->of(Event::Disconnect).size() << " of " << count << " reported";
    settle();
    {
        // Each attempt ended at its own time-out, give or take the scheduling of a busy machine.
        std::lock_guard lock(timing->mutex);
        ASSERT_EQ(timing->took.size(), count);
        const auto [shortest, longest] = std::minmax_element(timing->took.begin(), timing->took.end());
        EXPECT_GE(*shortest, 1s);
        EXPECT_LT(*longest, 2s) << std::chrono::duration_cast<std::chrono::milliseconds>(*longest).count() << " ms";
    }
    {
        std::lock_guard lock(ticker->mutex);
        EXPECT_LT(ticker->longestPause, 500ms);
    }
    for (const Event& e : delegate->of(Event::Disconnect)) {
        ASSERT_TRUE(e.error);
        EXPECT_EQ(e.error->code, AsyncTcpSocketConnectTimeoutError);
    }
    EXPECT_TRUE(delegate->of(Event::Connect).empty());
    sockets.clear();
    EXPECT_TRUE(eventually([&] { return descriptors.opened().empty(); }))
        << testsupport::DescriptorWatch::describe(descriptors.opened());
}

TEST_F(TcpSocket, FamilyChoiceForAHostWithBothKindsOfAddress) {
    Peer v6(16, AF_INET6);
    if (!v6.ok()) GTEST_SKIP() << "no IPv6 loopback here";
    const int fd4 = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(v6.port());
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd4, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd4, 4) != 0) {
        ::close(fd4);
        GTEST_SKIP() << "the port is taken for IPv4";
    }

    struct Row {
        const char* name;
        bool preferIPv4;
        bool ipv4Enabled;
        bool expectIPv6;
    };
    const Row rows[] = {{"default", true, true, false},
                        {"prefer IPv6", false, true, true},
                        {"IPv4 off", true, false, true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto s = AsyncTcpSocket::initWithDelegateDelegateQueue(delegate, delegateQueue);
        s->setPreferIPv4OverIPv6(row.preferIPv4);
        s->setIPv4Enabled(row.ipv4Enabled);
        const size_t before = delegate->of(Event::Connect).size();
        Error err;
        ASSERT_TRUE(s->connectToHostOnPortError("localhost", v6.port(), &err));
        ASSERT_TRUE(delegate->waitForCount(Event::Connect, before + 1));
        EXPECT_EQ(s->isIPv6(), row.expectIPv6);
        EXPECT_EQ(delegate->of(Event::Connect).back().host, row.expectIPv6 ? "::1" : "127.0.0.1");
    }
    ::close(fd4);
}

TEST_F(TcpSocket, AnIPv6ConnectionByAddressCarriesDataAndAnswersItsQueries) {
    Peer v6(16, AF_INET6);
    if (!v6.ok()) GTEST_SKIP() << "no IPv6 loopback here";
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(v6.port());
    a.sin6_addr = in6addr_loopback;
    const auto* p = reinterpret_cast<const uint8_t*>(&a);
    Error err;
    ASSERT_TRUE(sock->connectToAddressError(Bytes(p, p + sizeof a), &err)) << err.toString();
    ASSERT_TRUE(v6.accept());
    ASSERT_TRUE(delegate->waitForCount(Event::Connect));
    EXPECT_EQ(delegate->of(Event::Connect).at(0).host, "::1");
    EXPECT_EQ(delegate->of(Event::Connect).at(0).port, v6.port());
    EXPECT_TRUE(sock->isIPv6());
    EXPECT_FALSE(sock->isIPv4());
    EXPECT_EQ(sock->connectedHost(), "::1");
    EXPECT_EQ(sock->localHost(), "::1");
    EXPECT_NE(sock->localPort(), 0);
    const Bytes peerAddress = sock->connectedAddress();
    EXPECT_EQ(peerAddress.size(), sizeof(sockaddr_in6));
    EXPECT_TRUE(AsyncTcpSocket::isIPv6Address(peerAddress));
    EXPECT_EQ(AsyncTcpSocket::portFromAddress(peerAddress), v6.port());
    sock->performBlock([&] {
        EXPECT_EQ(sock->connectedHost6(), "::1");
        EXPECT_EQ(sock->connectedHost4(), "");
        EXPECT_EQ(sock->localPort6(), sock->localPort());
        EXPECT_EQ(sock->socketFD(), sock->socket6FD());
    });

    sock->writeDataWithTimeoutTag(bytes("over six"), -1, 1);
    EXPECT_EQ(text(v6.read(8)), "over six");
    v6.send("back\n");
    sock->readDataToDataWithTimeoutTag(AsyncTcpSocket::LFData(), -1, 2);
    ASSERT_TRUE(delegate->waitForCount(Event::Read));
    EXPECT_EQ(text(delegate->of(Event::Read).at(0).data), "back\n");
}

}  // namespace
