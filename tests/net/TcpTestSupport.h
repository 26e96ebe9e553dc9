#pragma once
// What the TCP socket tests share: a delegate that records every report, a plain blocking peer
// on 127.0.0.1 and a few helpers.

#include "net/AsyncTcpSocket.h"
#include "support/DescriptorWatch.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace nettest {

using namespace std::chrono_literals;
using platform::Bytes;
using platform::Error;
using platform::dispatch::Queue;

inline Bytes bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline std::string text(const Bytes& b) { return std::string(b.begin(), b.end()); }

// ---- the delegate: records every report, optionally acts on it ----

struct Event {
    enum Kind {
        Connect, Read, ReadPartial, Write, WritePartial, ReadTimeout, WriteTimeout, CloseReadStream, Disconnect,
        Accept, Secure,
    };
    Event(Kind k) : kind(k) {}
    Kind kind;
    bool hasSocket = true;
    std::string host;
    uint16_t port = 0;
    Bytes data;
    long tag = 0;
    unsigned long length = 0;
    double elapsed = 0;
    std::optional<Error> error;
    std::shared_ptr<AsyncTcpSocket> newSocket;  // Accept: the new socket, kept by the recorder
};

class Recorder : public AsyncTcpSocketDelegate {
public:
    explicit Recorder(unsigned caps = ~0u) : caps_(caps) {}
    unsigned capabilities() const override { return caps_; }

    // Runs on the delegate queue after each event is recorded.
    std::function<void(const SocketPtr&, const Event&)> onEvent;
    // Answers to the timeout questions, in order; 0 when they run out.
    std::vector<double> readExtensions, writeExtensions;
    std::function<void()> beforeTimeoutAnswer;

    // The queue asked for by each accepted connection's socket (null: the socket makes its own).
    QueuePtr newSocketQueue;

    QueuePtr newSocketQueueForConnectionFromAddressOnSocket(const Bytes&, const SocketPtr&) override {
        return newSocketQueue;
    }
    void socketDidAcceptNewSocket(const SocketPtr& s, const SocketPtr& newSocket) override {
        Event e{Event::Accept};
        e.newSocket = newSocket;
        record(s, e);
    }
    void socketDidSecure(const SocketPtr& s) override { record(s, Event{Event::Secure}); }
    void socketDidConnectToHostPort(const SocketPtr& s, const std::string& host, uint16_t port) override {
        Event e{Event::Connect};
        e.host = host;
        e.port = port;
        record(s, e);
    }
    void socketDidReadDataWithTag(const SocketPtr& s, const Bytes& data, long tag) override {
        Event e{Event::Read};
        e.data = data;
        e.tag = tag;
        record(s, e);
    }
    void socketDidReadPartialDataOfLengthTag(const SocketPtr& s, unsigned long length, long tag) override {
        Event e{Event::ReadPartial};
        e.length = length;
        e.tag = tag;
        record(s, e);
    }
    void socketDidWriteDataWithTag(const SocketPtr& s, long tag) override {
        Event e{Event::Write};
        e.tag = tag;
        record(s, e);
    }
    void socketDidWritePartialDataOfLengthTag(const SocketPtr& s, unsigned long length, long tag) override {
        Event e{Event::WritePartial};
        e.length = length;
        e.tag = tag;
        record(s, e);
    }
    double socketShouldTimeoutReadWithTagElapsedBytesDone(const SocketPtr& s, long tag, double elapsed,
                                                          unsigned long done) override {
        return answer(s, Event::ReadTimeout, tag, elapsed, done, readExtensions);
    }
    double socketShouldTimeoutWriteWithTagElapsedBytesDone(const SocketPtr& s, long tag, double elapsed,
                                                           unsigned long done) override {
        return answer(s, Event::WriteTimeout, tag, elapsed, done, writeExtensions);
    }
    void socketDidCloseReadStream(const SocketPtr& s) override { record(s, Event{Event::CloseReadStream}); }
    void socketDidDisconnectWithError(const SocketPtr& s, const Error* err) override {
        Event e{Event::Disconnect};
        if (err) e.error = *err;
        record(s, e);
    }

    bool waitFor(const std::function<bool(const std::vector<Event>&)>& predicate,
                 std::chrono::milliseconds timeout = 10s) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return predicate(events_); });
    }
    bool waitForCount(Event::Kind kind, size_t n = 1, std::chrono::milliseconds timeout = 10s) {
        return waitFor([&](const std::vector<Event>& ev) { return count(ev, kind) >= n; }, timeout);
    }
    std::vector<Event> events() {
        std::lock_guard lock(mutex_);
        return events_;
    }
    std::vector<Event> of(Event::Kind kind) {
        std::vector<Event> out;
        for (const Event& e : events())
            if (e.kind == kind) out.push_back(e);
        return out;
    }
    static size_t count(const std::vector<Event>& ev, Event::Kind kind) {
        size_t n = 0;
        for (const Event& e : ev) n += e.kind == kind;
        return n;
    }

private:
    void record(const SocketPtr& s, Event e) {
        e.hasSocket = s != nullptr;
        // The hook is taken before the event is published: a test that waits for this event may
        // set a new hook as soon as it sees it.
        std::function<void(const SocketPtr&, const Event&)> hook;
        {
            std::lock_guard lock(mutex_);
            hook = onEvent;
            events_.push_back(e);
        }
        cv_.notify_all();
        if (hook) hook(s, e);
    }
    double answer(const SocketPtr& s, Event::Kind kind, long tag, double elapsed, unsigned long done,
                  std::vector<double>& answers) {
        Event e{kind};
        e.tag = tag;
        e.elapsed = elapsed;
        e.length = done;
        if (beforeTimeoutAnswer) beforeTimeoutAnswer();
        double result = 0;
        {
            std::lock_guard lock(mutex_);
            if (!answers.empty()) {
                result = answers.front();
                answers.erase(answers.begin());
            }
        }
        record(s, e);
        return result;
    }

    const unsigned caps_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Event> events_;
};

// ---- a plain blocking peer on 127.0.0.1 ----

class Peer {
public:
    explicit Peer(int backlog = 16, int family = AF_INET) {
        listener_ = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (family == AF_INET) {
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ok_ = ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        } else {
            ::setsockopt(listener_, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
            sockaddr_in6 a{};
            a.sin6_family = AF_INET6;
            a.sin6_addr = in6addr_loopback;
            ok_ = ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        }
        ok_ = ok_ && ::listen(listener_, backlog) == 0;
        sockaddr_storage s{};
        socklen_t len = sizeof s;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&s), &len);
        port_ = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&s)->sin_port
                                        : reinterpret_cast<sockaddr_in6*>(&s)->sin6_port);
    }
    ~Peer() {
        closeConnection();
        ::close(listener_);
    }
    bool ok() const { return ok_; }
    uint16_t port() const { return port_; }
    int listener() const { return listener_; }

    bool accept(std::chrono::milliseconds timeout = 10s) {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return false;
        conn_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        return conn_ >= 0;
    }
    void send(const std::string& s) { sendBytes(bytes(s)); }
    void sendBytes(const Bytes& b) {
        size_t done = 0;
        while (done < b.size()) {
            const ssize_t n = ::send(conn_, b.data() + done, b.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return;
            done += static_cast<size_t>(n);
        }
    }
    // Reads exactly n bytes (less at end of stream, or once nothing came for the time-out: a long
    // transfer goes on as long as bytes keep coming, however slowly a loaded machine moves them).
    Bytes read(size_t n, std::chrono::milliseconds timeout = 10s) {
        Bytes out;
        while (out.size() < n) {
            pollfd p{conn_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) break;
            uint8_t buf[65536];
            const ssize_t got = ::recv(conn_, buf, std::min(sizeof buf, n - out.size()), 0);
            if (got <= 0) break;
            out.insert(out.end(), buf, buf + got);
        }
        return out;
    }
    // True when the connection reaches end of stream within the time-out.
    bool readsEOF(std::chrono::milliseconds timeout = 10s) {
        pollfd p{conn_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return false;
        uint8_t b;
        return ::recv(conn_, &b, 1, 0) == 0;
    }
    void shutdownWrite() { ::shutdown(conn_, SHUT_WR); }
    void closeConnection() {
        if (conn_ >= 0) ::close(conn_);
        conn_ = -1;
    }
    int connection() const { return conn_; }

private:
    int listener_ = -1;
    int conn_ = -1;
    bool ok_ = false;
    uint16_t port_ = 0;
};

// Watches the descriptors a test opens. The dispatch layer's own descriptors are opened on first
// use, so it is brought up before the watch begins.
inline testsupport::DescriptorWatch watchDescriptors() {
    static const bool dispatchUp = [] {
        auto timer = platform::dispatch::Source::makeTimer(Queue::createSerial("test.warmup"));
        timer->setTimer(std::chrono::hours(1));
        timer->cancel();
        timer->resume();
        return true;
    }();
    (void)dispatchUp;
    return testsupport::DescriptorWatch();
}

inline bool eventually(const std::function<bool()>& predicate, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}


}  // namespace nettest
