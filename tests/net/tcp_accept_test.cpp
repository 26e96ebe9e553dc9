// The TCP socket listening on loopback: refusals, the families and the port it listens on, the
// new sockets that connections become, closing, descriptors, and running out of descriptors.

#include "net/AsyncTcpSocket.h"
#include "net/TcpTestSupport.h"
#include "net/detail/TcpRequests.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace nettest;
using net::detail::AsyncTcpSocketSystemCalls;

namespace {

// A blocking client connected to the loopback address of a family; -1 when the connect fails
// (errno tells why) or takes longer than a second (a listener that no longer accepts).
int connectClient(int family, uint16_t port) {
    const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int rc;
    if (family == AF_INET) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        rc = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    } else {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(port);
        a.sin6_addr = in6addr_loopback;
        rc = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    if (rc != 0 && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        int soError = ETIMEDOUT;
        socklen_t len = sizeof soError;
        if (::poll(&p, 1, 1000) == 1) ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len);
        errno = soError;
        rc = soError == 0 ? 0 : -1;
    }
    if (rc == 0) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (rc != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

uint16_t localPortOf(int fd) {
    sockaddr_storage s{};
    socklen_t len = sizeof s;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&s), &len);
    return ntohs(s.ss_family == AF_INET ? reinterpret_cast<sockaddr_in*>(&s)->sin_port
                                        : reinterpret_cast<sockaddr_in6*>(&s)->sin6_port);
}

// Reads from a blocking client until n bytes came, the stream ended or the time ran out.
std::string readClient(int fd, size_t n, std::chrono::milliseconds timeout = 10s) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out.size() < n) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) != 1) break;
        char buf[256];
        const ssize_t got = ::recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
        if (got <= 0) break;
        out.append(buf, static_cast<size_t>(got));
    }
    return out;
}

// True when the peer closes the client's connection within the time-out.
bool clientSeesEOF(int fd, std::chrono::milliseconds timeout = 10s) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return false;
    char b;
    return ::recv(fd, &b, 1, 0) == 0;
}

// The accept system call with every result recorded (the descriptor, or -errno).
struct AcceptLog {
    std::mutex mutex;
    std::vector<int> results;
    std::atomic<int> failuresLeft{0};
    int failWith = EMFILE;

    AsyncTcpSocketSystemCalls calls() {
        AsyncTcpSocketSystemCalls c = AsyncTcpSocketSystemCalls::real();
        c.accept4 = [this](int fd, sockaddr* address, socklen_t* length, int flags) {
            int result;
            if (failuresLeft.load() > 0) {
                --failuresLeft;
                errno = failWith;
                result = -1;
            } else {
                result = ::accept4(fd, address, length, flags);
            }
            const int saved = errno;
            {
                std::lock_guard lock(mutex);
                results.push_back(result >= 0 ? result : -saved);
            }
            errno = saved;
            return result;
        };
        return c;
    }
    std::vector<int> snapshot() {
        std::lock_guard lock(mutex);
        return results;
    }
};

class TcpAccept : public ::testing::Test {
public:
    void SetUp() override {
        delegate = std::make_shared<Recorder>();
        delegateQueue = Queue::createSerial("test.delegate");
        listener = AsyncTcpSocket::initWithDelegateDelegateQueue(delegate, delegateQueue);
    }
    void TearDown() override {
        for (int fd : clients) ::close(fd);
        listener.reset();
        delegateQueue->sync([] {});
    }

    // Listens on interface with a free port and returns the port.
    uint16_t listen(const std::string& interface = "localhost") {
        Error err;
        EXPECT_TRUE(listener->acceptOnInterfacePortError(interface, 0, &err)) << err.toString();
        uint16_t port = 0;
        listener->performBlock([&] { port = listener->localPort4() ? listener->localPort4() : listener->localPort6(); });
        EXPECT_NE(port, 0);
        return port;
    }
    int client(int family, uint16_t port) {
        const int fd = connectClient(family, port);
        if (fd >= 0) clients.push_back(fd);
        return fd;
    }
    std::vector<std::shared_ptr<AsyncTcpSocket>> acceptedSockets() {
        std::vector<std::shared_ptr<AsyncTcpSocket>> out;
        for (const Event& e : delegate->of(Event::Accept)) out.push_back(e.newSocket);
        return out;
    }

    std::shared_ptr<Recorder> delegate;
    std::shared_ptr<Queue> delegateQueue;
    std::shared_ptr<AsyncTcpSocket> listener;
    std::vector<int> clients;
};

TEST_F(TcpAccept, RefusalsAnswerAtOnceWithTheirCodeAndText) {
    struct Row {
        const char* name;
        std::function<std::shared_ptr<AsyncTcpSocket>(const std::shared_ptr<Recorder>&, const std::shared_ptr<Queue>&)>
            make;
        std::string interface;
        long code;
        const char* text;
    };
    auto plain = [](const std::shared_ptr<Recorder>& d, const std::shared_ptr<Queue>& q) {
        return AsyncTcpSocket::initWithDelegateDelegateQueue(d, q);
    };
    const Row rows[] = {
        {"no delegate", [](auto&, auto& q) { return AsyncTcpSocket::initWithDelegateDelegateQueue({}, q); }, "localhost",
         1, "Attempting to accept without a delegate. Set a delegate first."},
        {"no delegate queue", [](auto& d, auto&) { return AsyncTcpSocket::initWithDelegateDelegateQueue(d, nullptr); },
         "localhost", 1, "Attempting to accept without a delegate queue. Set a delegate queue first."},
        {"both families off",
         [&](auto& d, auto& q) {
             auto s = plain(d, q);
             s->setIPv4Enabled(false);
             s->setIPv6Enabled(false);
             return s;
         },
         "localhost", 1, "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first."},
        {"already listening",
         [&](auto& d, auto& q) {
             auto s = plain(d, q);
             Error first;
             EXPECT_TRUE(s->acceptOnInterfacePortError("127.0.0.1", 0, &first)) << first.toString();
             return s;
         },
         "127.0.0.1", 1, "Attempting to accept while connected or accepting connections. Disconnect first."},
        {"unknown interface", plain, "nosuchif0", 2,
         "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address."},
        {"IPv6 address of no interface", plain, "::2", 2,
         "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address."},
        {"IPv4 off, IPv4 interface",
         [&](auto& d, auto& q) {
             auto s = plain(d, q);
             s->setIPv4Enabled(false);
             return s;
         },
         "127.0.0.1", 2, "IPv4 has been disabled and specified interface doesn't support IPv6."},
        {"IPv6 off, IPv6 interface",
         [&](auto& d, auto& q) {
             auto s = plain(d, q);
             s->setIPv6Enabled(false);
             return s;
         },
         "::1", 2, "IPv6 has been disabled and specified interface doesn't support IPv4."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto d = std::make_shared<Recorder>();
        auto s = row.make(d, delegateQueue);
        const bool wasStarted = !s->isDisconnected();
        Error err;
        EXPECT_FALSE(s->acceptOnInterfacePortError(row.interface, 0, &err));
        EXPECT_EQ(err.domain, AsyncTcpSocketErrorDomain);
        EXPECT_EQ(err.code, row.code);
        EXPECT_EQ(err.description, row.text);
        EXPECT_EQ(s->isDisconnected(), !wasStarted);
        s->disconnect();
        delegateQueue->sync([] {});
        // Only the listener that really started hears of its own end.
        EXPECT_EQ(d->events().size(), wasStarted ? 1u : 0u);
    }
}

TEST_F(TcpAccept, EachListeningFamilyAcceptsItsOwnClientsOnOnePort) {
    struct Row {
        const char* interface;
        bool v4, v6;
    };
    const Row rows[] = {
        {"localhost", true, true},
        {"lo", true, true},
        {"127.0.0.1", true, false},
        {"::1", false, true},  // an IPv6 address: that interface only, not every address
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.interface);
        SetUp();
        const uint16_t port = listen(row.interface);
        EXPECT_EQ(listener->isIPv4(), row.v4);
        EXPECT_EQ(listener->isIPv6(), row.v6);
        uint16_t port4 = 0, port6 = 0;
        listener->performBlock([&] {
            port4 = listener->localPort4();
            port6 = listener->localPort6();
        });
        if (row.v4 && row.v6) {
            EXPECT_EQ(port4, port6);  // one system-chosen port for both
        }

        std::vector<int> families;
        if (row.v4) families.push_back(AF_INET);
        if (row.v6) families.push_back(AF_INET6);
        for (size_t i = 0; i < families.size(); ++i) {
            const int fd = client(families[i], port);
            ASSERT_GE(fd, 0) << strerror(errno);
            ASSERT_TRUE(delegate->waitForCount(Event::Accept, i + 1));
            auto accepted = acceptedSockets().at(i);
            EXPECT_TRUE(accepted->isConnected());
            EXPECT_EQ(accepted->isIPv4(), families[i] == AF_INET);
            EXPECT_EQ(accepted->isIPv6(), families[i] == AF_INET6);
            EXPECT_EQ(accepted->connectedHost(), families[i] == AF_INET ? "127.0.0.1" : "::1");
            EXPECT_EQ(accepted->connectedPort(), localPortOf(fd));
            // The new socket is connected and served: bytes go both ways.
            accepted->writeDataWithTimeoutTag(bytes("hi\n"), -1, 0);
            EXPECT_EQ(readClient(fd, 3), "hi\n");
            ASSERT_EQ(::send(fd, "yo\n", 3, MSG_NOSIGNAL), 3);
            accepted->readDataToDataWithTimeoutTag(AsyncTcpSocket::LFData(), -1, 1);
            ASSERT_TRUE(delegate->waitForCount(Event::Read, i + 1));
            EXPECT_EQ(text(delegate->of(Event::Read).at(i).data), "yo\n");
        }
        TearDown();
        clients.clear();
    }
}

TEST_F(TcpAccept, ThreeConnectionsPendingAtOneEventAreAcceptedInConnectOrder) {
    AcceptLog log;
    listener->setSystemCalls(log.calls());
    const uint16_t port = listen("127.0.0.1");

    // The socket queue is held while the three connect, so that one event finds all of them.
    std::mutex m;
    std::condition_variable cv;
    bool holding = false, release = false;
    std::thread holder([&] {
        listener->performBlock([&] {
            std::unique_lock lock(m);
            holding = true;
            cv.notify_all();
            cv.wait(lock, [&] { return release; });
        });
    });
    {
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return holding; });
    }
    std::vector<uint16_t> clientPorts;
    for (int i = 0; i < 3; ++i) {
        const int fd = client(AF_INET, port);
        ASSERT_GE(fd, 0) << strerror(errno);
        clientPorts.push_back(localPortOf(fd));
    }
    {
        std::lock_guard lock(m);
        release = true;
    }
    cv.notify_all();
    holder.join();

    ASSERT_TRUE(delegate->waitForCount(Event::Accept, 3));
    const auto accepted = acceptedSockets();
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(accepted[i]->connectedPort(), clientPorts[i]) << i;
    // One pass: three descriptors, then "no more" — no failure between them.
    const auto results = log.snapshot();
    ASSERT_GE(results.size(), 4u);
    for (size_t i = 0; i < 3; ++i) EXPECT_GE(results[i], 0) << i;
    EXPECT_EQ(results[3], -EAGAIN);
}

TEST_F(TcpAccept, NewSocketsRunOnTheirOwnQueueOrOnTheOneTheDelegateGives) {
    const uint16_t port = listen("127.0.0.1");
    ASSERT_GE(client(AF_INET, port), 0);
    ASSERT_TRUE(delegate->waitForCount(Event::Accept, 1));
    std::string label;
    acceptedSockets().at(0)->performBlock([&] { label = Queue::current()->label(); });
    EXPECT_EQ(label, AsyncTcpSocketQueueName);

    delegate->newSocketQueue = Queue::createSerial("test.accepted");
    ASSERT_GE(client(AF_INET, port), 0);
    ASSERT_TRUE(delegate->waitForCount(Event::Accept, 2));
    std::shared_ptr<Queue> current;
    acceptedSockets().at(1)->performBlock([&] { current = Queue::current(); });
    EXPECT_EQ(current, delegate->newSocketQueue);
}

TEST_F(TcpAccept, DisconnectClosesTheListenersAndAcceptedSocketsGoOn) {
    const uint16_t port = listen("localhost");
    const int fd = client(AF_INET, port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(delegate->waitForCount(Event::Accept, 1));
    auto accepted = acceptedSockets().at(0);

    listener->disconnect();
    EXPECT_TRUE(listener->isDisconnected());
    EXPECT_FALSE(listener->isIPv4());
    EXPECT_FALSE(listener->isIPv6());
    ASSERT_TRUE(delegate->waitForCount(Event::Disconnect, 1));
    EXPECT_FALSE(delegate->of(Event::Disconnect).at(0).error);
    // Both listening descriptors are gone.
    EXPECT_TRUE(eventually([&] { return connectClient(AF_INET, port) == -1 && errno == ECONNREFUSED; }));
    EXPECT_TRUE(eventually([&] { return connectClient(AF_INET6, port) == -1 && errno == ECONNREFUSED; }));

    EXPECT_TRUE(accepted->isConnected());
    accepted->writeDataWithTimeoutTag(bytes("still here\n"), -1, 0);
    EXPECT_EQ(readClient(fd, 11), "still here\n");
    // The listener can listen again.
    listen("127.0.0.1");
    EXPECT_FALSE(listener->isDisconnected());
}

TEST_F(TcpAccept, EveryDescriptorIsGivenBack) {
    const auto descriptors = watchDescriptors();
    {
        // A port that is taken: the bind fails and leaves nothing open.
        Peer taken;
        ASSERT_TRUE(taken.ok());
        Error err;
        EXPECT_FALSE(listener->acceptOnInterfacePortError("127.0.0.1", taken.port(), &err));
        EXPECT_EQ(err.domain, platform::kPosixErrorDomain);
        EXPECT_EQ(err.code, EADDRINUSE);
        EXPECT_EQ(err.failureReason, "Error in bind() function");
    }

    const uint16_t port = listen("localhost");
    ASSERT_GE(client(AF_INET, port), 0);
    ASSERT_GE(client(AF_INET6, port), 0);
    ASSERT_TRUE(delegate->waitForCount(Event::Accept, 2));

    // With the delegate queue gone there is nobody to hand a connection to: it is closed.
    listener->synchronouslySetDelegateQueue(nullptr);
    const int orphan = client(AF_INET, port);
    ASSERT_GE(orphan, 0);
    EXPECT_TRUE(clientSeesEOF(orphan));

    listener->disconnect();
    listener.reset();
    delegateQueue->sync([] {});
    for (const Event& e : delegate->of(Event::Accept)) e.newSocket->disconnect();
    delegate = std::make_shared<Recorder>();  // drops the accepted sockets
    for (int fd : clients) ::close(fd);
    clients.clear();
    EXPECT_TRUE(eventually([&] { return descriptors.opened().empty(); }))
        << "left open: " << testsupport::DescriptorWatch::describe(descriptors.opened());
}

// The watch the descriptor tests rest on: it reports a socket opened inside its span and left
// open, also one that takes the number of a descriptor closed inside the span, and counts
// nothing for a descriptor that was open when it began and is closed meanwhile.
TEST(DescriptorWatch, ReportsWhatWasOpenedInsideItsSpanAndIsStillOpen) {
    const int gone = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int replaced = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(gone, 0);
    ASSERT_GE(replaced, 0);
    const auto descriptors = watchDescriptors();
    EXPECT_TRUE(descriptors.opened().empty()) << testsupport::DescriptorWatch::describe(descriptors.opened());

    ::close(gone);  // open when the watch began, closed inside the span: nothing to report
    EXPECT_TRUE(descriptors.opened().empty()) << testsupport::DescriptorWatch::describe(descriptors.opened());

    // A new socket under the number of one that was open when the watch began (dup3 closes that
    // one and puts the new one there in one step).
    const int fresh = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fresh, 0);
    ASSERT_EQ(::dup3(fresh, replaced, O_CLOEXEC), replaced);
    ::close(fresh);
    auto opened = descriptors.opened();
    ASSERT_EQ(opened.size(), 1u) << testsupport::DescriptorWatch::describe(opened);
    EXPECT_EQ(opened.begin()->rfind(std::to_string(replaced) + " -> socket:[", 0), 0u) << *opened.begin();

    // A socket opened inside the span and left open, beside it.
    const int left = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(left, 0);
    opened = descriptors.opened();
    EXPECT_EQ(opened.size(), 2u) << testsupport::DescriptorWatch::describe(opened);
    EXPECT_TRUE(std::any_of(opened.begin(), opened.end(), [&](const std::string& d) {
        return d.rfind(std::to_string(left) + " -> socket:[", 0) == 0;
    })) << testsupport::DescriptorWatch::describe(opened);
    ::close(left);
    ::close(replaced);
    EXPECT_TRUE(descriptors.opened().empty()) << testsupport::DescriptorWatch::describe(descriptors.opened());
}

TEST_F(TcpAccept, RunningOutOfDescriptorsRestsInsteadOfSpinning) {
    AcceptLog log;
    log.failuresLeft = 3;
    listener->setSystemCalls(log.calls());
    const uint16_t port = listen("127.0.0.1");

    const auto start = std::chrono::steady_clock::now();
    ASSERT_GE(client(AF_INET, port), 0);
    // The connection is accepted once descriptors are there again, after three rests.
    ASSERT_TRUE(delegate->waitForCount(Event::Accept, 1));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);
    const auto results = log.snapshot();
    ASSERT_GE(results.size(), 4u);
    EXPECT_LE(results.size(), 5u);  // three failures, the connection, "no more"
    EXPECT_EQ(results[0], -EMFILE);
    EXPECT_EQ(results[2], -EMFILE);
    EXPECT_GE(results[3], 0);

    // Closing during a rest still closes the listening descriptor.
    log.failuresLeft = 1000;
    log.failWith = ENFILE;
    const size_t calls = log.snapshot().size();
    ASSERT_GE(client(AF_INET, port), 0);
    ASSERT_TRUE(eventually([&] { return log.snapshot().size() > calls; }));
    listener->disconnect();
    EXPECT_TRUE(eventually([&] { return connectClient(AF_INET, port) == -1 && errno == ECONNREFUSED; }));
    std::this_thread::sleep_for(150ms);  // past the rest: nothing tries again
    const size_t afterClose = log.snapshot().size();
    EXPECT_LE(afterClose, calls + 1);
}

}  // namespace
