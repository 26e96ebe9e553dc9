#pragma once
// What the TCP benchmarks share: the exchanges (bulk: 1 GiB in 64 KiB writes to a reading thread;
// round trips: a 64-byte frame answered by an echoing thread), the loopback server thread, the
// clocks (wall and CPU) and the samples from which the medians are printed.

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tcpbench {

constexpr size_t kChunk = 64 * 1024;
constexpr size_t kTotal = size_t(1) << 30;
constexpr int kRoundTrips = 2000;
constexpr size_t kFrame = 64;

inline double seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

inline double cpuSeconds(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}
// CPU time of the whole process (every thread of the library measured) and of the calling thread.
inline double processCpu() { return cpuSeconds(CLOCK_PROCESS_CPUTIME_ID); }
inline double threadCpu() { return cpuSeconds(CLOCK_THREAD_CPUTIME_ID); }

// Samples by row name ("bulk cpu/asio", ...); the medians are printed after the table.
inline std::map<std::string, std::vector<double>>& samples() {
    static std::map<std::string, std::vector<double>> all;
    return all;
}
inline void record(const std::string& row, double value) { samples()[row].push_back(value); }
// The middle of a row's samples (a rare stall, such as a lost SYN, leaves it alone); 0 when none.
inline double median(const std::string& row) {
    auto it = samples().find(row);
    if (it == samples().end() || it->second.empty()) return 0;
    std::vector<double> v = it->second;
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

// A loopback listener on 127.0.0.1 whose one connection is served by a thread.
class Server {
public:
    Server() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listener_, 64);
        socklen_t len = sizeof a;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~Server() {
        if (thread_.joinable()) thread_.join();
        ::close(listener_);
    }
    uint16_t port() const { return port_; }

    // Reads and discards total bytes; the CPU time it spent is sinkCpu() once joined.
    void sink(size_t total) {
        thread_ = std::thread([this, total] {
            const double start = threadCpu();
            const int fd = ::accept(listener_, nullptr, nullptr);
            std::vector<uint8_t> buf(kChunk);
            size_t got = 0;
            while (got < total) {
                const ssize_t n = ::read(fd, buf.data(), buf.size());
                if (n <= 0) break;
                got += static_cast<size_t>(n);
            }
            ::close(fd);
            sinkCpu_ = threadCpu() - start;
        });
    }
    // Answers each frame of kFrame bytes with one of its own, until the peer closes.
    void echo() {
        thread_ = std::thread([this] {
            const int fd = ::accept(listener_, nullptr, nullptr);
            int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            uint8_t frame[kFrame];
            for (;;) {
                size_t got = 0;
                while (got < kFrame) {
                    const ssize_t n = ::read(fd, frame + got, kFrame - got);
                    if (n <= 0) {
                        ::close(fd);
                        return;
                    }
                    got += static_cast<size_t>(n);
                }
                if (::send(fd, frame, kFrame, MSG_NOSIGNAL) != static_cast<ssize_t>(kFrame)) break;
            }
            ::close(fd);
        });
    }
    // Runs body on the server's thread (it accepts the connection itself through listener()).
    template <class Body>
    void serve(Body body) {
        thread_ = std::thread(std::move(body));
    }
    int listener() const { return listener_; }
    void join() { thread_.join(); }
    double sinkCpu() const { return sinkCpu_; }

private:
    int listener_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
    double sinkCpu_ = 0;
};

// One bulk run's figures: wall seconds until the sink has every byte, the client side's CPU
// seconds (the process's less the sink thread's) and the whole process's. The kernel charges part
// of a loopback transfer's receive work to whichever side runs when it is done, so the whole
// process's CPU is the steadier figure; both are printed.
struct Bulk {
    std::chrono::steady_clock::time_point wallStart = std::chrono::steady_clock::now();
    double cpuStart = processCpu();

    void end(const Server& server, const std::string& who) const {
        const double wall = seconds(std::chrono::steady_clock::now() - wallStart);
        const double total = processCpu() - cpuStart;
        record("bulk wall/" + who, wall);
        record("bulk cpu/" + who, total - server.sinkCpu());
        record("bulk total cpu/" + who, total);
    }
};

}  // namespace tcpbench
