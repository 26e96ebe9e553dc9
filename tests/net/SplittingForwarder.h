#pragma once
// A TCP forwarder on 127.0.0.1 that cuts what the far side sends into pieces: each piece goes out
// in a send of its own and is followed by a pause that lasts until the receiver has taken it, so
// that a TLS record reaches the receiver in several segments, read one by one.

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace nettest {

class SplittingForwarder {
public:
    // Forwards one connection made to port() to 127.0.0.1:upstreamPort.
    explicit SplittingForwarder(uint16_t upstreamPort) : upstreamPort_(upstreamPort) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok_ = ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(listener_, 1) == 0;
        socklen_t length = sizeof a;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &length);
        port_ = ntohs(a.sin_port);
        if (ok_) thread_ = std::thread([this] { run(); });
    }
    ~SplittingForwarder() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        for (int fd : {listener_, client_, upstream_})
            if (fd >= 0) ::close(fd);
    }
    SplittingForwarder(const SplittingForwarder&) = delete;
    SplittingForwarder& operator=(const SplittingForwarder&) = delete;

    bool ok() const { return ok_; }
    uint16_t port() const { return port_; }

    // From now on the far side's bytes go out in pieces of pieceSize bytes, counted from here;
    // after each piece has reached the receiver, receiverTookIt() waits until the receiver has read
    // it. Before the first call the bytes pass as they come.
    void split(size_t pieceSize, std::function<void()> receiverTookIt) {
        std::lock_guard lock(mutex_);
        pieceSize_ = pieceSize;
        positionInPiece_ = 0;
        receiverTookIt_ = std::move(receiverTookIt);
    }

private:
    void run() {
        pollfd p{listener_, POLLIN, 0};
        while (!stop_ && ::poll(&p, 1, 20) == 0) {}
        if (stop_) return;
        client_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        upstream_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(upstreamPort_);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (client_ < 0 || ::connect(upstream_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return;
        // Each piece leaves at once in a segment of its own.
        int on = 1;
        ::setsockopt(client_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

        bool clientOpen = true, upstreamOpen = true;
        std::vector<uint8_t> buffer(64 * 1024);
        while (!stop_ && (clientOpen || upstreamOpen)) {
            pollfd fds[2] = {{client_, static_cast<short>(clientOpen ? POLLIN : 0), 0},
                             {upstream_, static_cast<short>(upstreamOpen ? POLLIN : 0), 0}};
            if (::poll(fds, 2, 20) <= 0) continue;
            if (fds[0].revents) {
                const ssize_t n = ::recv(client_, buffer.data(), buffer.size(), 0);
                if (n <= 0) {
                    clientOpen = false;
                    ::shutdown(upstream_, SHUT_WR);
                } else {
                    sendAll(upstream_, buffer.data(), static_cast<size_t>(n));
                }
            }
            if (fds[1].revents) {
                const ssize_t n = ::recv(upstream_, buffer.data(), buffer.size(), 0);
                if (n <= 0) {
                    upstreamOpen = false;
                    ::shutdown(client_, SHUT_WR);
                } else {
                    forwardInPieces(buffer.data(), static_cast<size_t>(n));
                }
            }
        }
    }

    void forwardInPieces(const uint8_t* data, size_t length) {
        std::unique_lock lock(mutex_);
        if (pieceSize_ == 0) {
            lock.unlock();
            sendAll(client_, data, length);
            return;
        }
        while (length > 0) {
            const size_t n = std::min(length, pieceSize_ - positionInPiece_);
            sendAll(client_, data, n);
            data += n;
            length -= n;
            positionInPiece_ = (positionInPiece_ + n) % pieceSize_;
            // Once nothing of the piece waits to be sent, loopback has put it into the receiver's
            // queue; then the receiver's own wait.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
            int unsent = 0;
            while (!stop_ && ::ioctl(client_, SIOCOUTQNSD, &unsent) == 0 && unsent > 0 &&
                   std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            if (receiverTookIt_) receiverTookIt_();
        }
    }

    static void sendAll(int fd, const uint8_t* data, size_t length) {
        while (length > 0) {
            const ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
            if (n <= 0) return;
            data += n;
            length -= static_cast<size_t>(n);
        }
    }

    const uint16_t upstreamPort_;
    int listener_ = -1;
    int client_ = -1;
    int upstream_ = -1;
    bool ok_ = false;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    size_t pieceSize_ = 0;
    size_t positionInPiece_ = 0;
    std::function<void()> receiverTookIt_;
    std::thread thread_;
};

}  // namespace nettest
