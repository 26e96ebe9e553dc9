// The TCP socket over loopback against in-process blocking peers: connecting, reading, writing,
// closing and what the delegate hears.

#include "net/AsyncTcpSocket.h"
#include "net/TcpTestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using platform::Bytes;
using platform::Error;
using platform::dispatch::Queue;
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

// ---- fixture ----

class TcpSocket : public ::testing::Test {
public:
    void SetUp() override {
        ASSERT_TRUE(peer.ok());
        delegate = std::make_shared<Recorder>();
        delegateQueue = Queue::createSerial("test.delegate");
        sock = AsyncTcpSocket::initWithDelegateDelegateQueue(delegate, delegateQueue);
    }
    void TearDown() override {
        sock.reset();
        flushDelegateQueue();
    }
    // Every report posted so far has been delivered.
    void flushDelegateQueue() {
        if (delegateQueue) delegateQueue->sync([] {});
    }
    // Everything the socket has queued so far has run, and so have its reports.
    void settle() {
        if (sock) sock->performBlock([] {});
        flushDelegateQueue();
    }

    // Connects the socket to the peer and waits for the report of this connection.
    void connect() {
        const size_t before = delegate->of(Event::Connect).size();
        Error err;
        ASSERT_TRUE(sock->connectToHostOnPortError("127.0.0.1", peer.port(), &err)) << err.toString();
        ASSERT_TRUE(peer.accept());
        ASSERT_TRUE(delegate->waitForCount(Event::Connect, before + 1));
    }

    Peer peer;
    std::shared_ptr<Recorder> delegate;
    std::shared_ptr<Queue> delegateQueue;
    std::shared_ptr<AsyncTcpSocket> sock;
};

// ---- the object ----

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
        const size_t before = openDescriptors();
        const size_t disconnects = delegate->of(Event::Disconnect).size();
        connect();
        row.end(*this);
        ASSERT_TRUE(delegate->waitForCount(Event::Disconnect, disconnects + 1));
        peer.closeConnection();
        EXPECT_TRUE(eventually([&] { return openDescriptors() <= before; }));
    }
}

// ---- connecting ----

TEST_F(TcpSocket, ConnectRefusalsAnswerAtOnceAndTellTheDelegateNothing) {
    struct Row {
        const char* name;
        std::function<std::shared_ptr<AsyncTcpSocket>(TcpSocket&)> make;
        std::function<bool(AsyncTcpSocket&, uint16_t, Error*)> connect;
        long code;
        std::string message;
    };
    auto plain = [](TcpSocket& t) { return AsyncTcpSocket::initWithDelegateDelegateQueue(t.delegate, t.delegateQueue); };
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
        {"no delegate",
         [](TcpSocket& t) { return AsyncTcpSocket::initWithDelegateDelegateQueue({}, t.delegateQueue); },
         toHost("127.0.0.1"), 1, "Attempting to connect without a delegate. Set a delegate first."},
        {"no delegate queue", [](TcpSocket& t) { return AsyncTcpSocket::initWithDelegateDelegateQueue(t.delegate, nullptr); },
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
    const size_t descriptorsBefore = openDescriptors();

    Error err;
    ASSERT_TRUE(sock->connectToHostOnPortWithTimeoutError("127.0.0.1", backlog.port(), 0.2, &err));
    ASSERT_TRUE(delegate->waitForCount(Event::Disconnect));
    const auto e = delegate->of(Event::Disconnect).at(0);
    ASSERT_TRUE(e.error);
    EXPECT_EQ(e.error->domain, AsyncTcpSocketErrorDomain);
    EXPECT_EQ(e.error->code, 3);
    EXPECT_EQ(e.error->description, "Attempt to connect to host timed out");

    // The attempt has ended: its descriptor is gone and nothing late arrives.
    EXPECT_TRUE(eventually([&] { return openDescriptors() <= descriptorsBefore; }));
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
        const size_t descriptorsBefore = openDescriptors();
        Error err;
        ASSERT_TRUE(sock->connectToHostOnPortError("127.0.0.1", backlog.port(), &err));  // no time-out
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
        EXPECT_TRUE(eventually([&] { return openDescriptors() <= descriptorsBefore; }));
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
    const size_t descriptorsBefore = openDescriptors();
    const size_t room = limit.rlim_cur > descriptorsBefore + 64 ? limit.rlim_cur - descriptorsBefore - 64 : 0;
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
    })) << connectsAwaitingAnswer(backlog.port()) << " of " << count << " pending";

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
    EXPECT_TRUE(eventually([&] { return openDescriptors() <= descriptorsBefore; }));
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
    const Row rows[] = {{"default", true, true, false}, {"prefer IPv6", false, true, true}, {"IPv4 off", true, false, true}};
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

// ---- reading ----

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
    for (const char* part : {"abcd", "efgh", "ijkl"}) {
        peer.send(part);
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(delegate->waitForCount(Event::Read));
    settle();
    EXPECT_EQ(text(delegate->of(Event::Read).at(0).data), "abcdefghijkl");
    unsigned long partial = 0;
    for (const Event& e : delegate->of(Event::ReadPartial)) {
        EXPECT_EQ(e.tag, 5);
        partial += e.length;
    }
    EXPECT_LT(partial, 12u);  // partial reports count only bytes of passes that did not complete
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
    sock->readDataToLengthWithTimeoutBufferBufferOffsetTag(4, -1, std::make_shared<Bytes>(2), 3, 2);  // offset past the end: dropped
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

// ---- writing ----

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

}  // namespace
