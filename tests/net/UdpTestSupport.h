#pragma once
// What the UDP socket tests share: a delegate that records every report, a plain blocking UDP
// peer on 127.0.0.1, a failing send system call, and the fixture that makes sockets.

#include <gtest/gtest.h>

#include <any>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "SocketAddresses.h"
#include "net/AsyncUdpSocket.h"
#include "net/detail/UdpRequests.h"
#include "platform/Trace.h"

namespace udptest {

using namespace std::chrono_literals;
using net::detail::AsyncUdpSocketSystemCalls;
using platform::Bytes;
using platform::Error;
using platform::dispatch::Queue;

inline constexpr const char* kSendReason = "Error in send() function.";

inline Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

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
    void udpSocketDidSendDataWithTag(const SocketPtr&, int64_t tag) override {
        add({Event::Sent, tag, {}, {}, {}, {}});
    }
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
inline AsyncUdpSocketSystemCalls failingSends(int err, std::shared_ptr<std::atomic<int>> failures) {
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

}  // namespace udptest
