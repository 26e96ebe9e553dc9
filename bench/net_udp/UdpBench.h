#pragma once
// What the UDP benchmarks share: the exchange they all make (windows of kWindow datagrams sent to
// a receiver on loopback whose receive buffer holds a whole window, so that none is dropped), the
// datagram sizes, and the count the receiving side reports to the benchmark thread.

#include <benchmark/benchmark.h>

#include <sys/socket.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace udpbench {

constexpr int kWindow = 512;
constexpr int kReceiveBuffer = 4 << 20;
constexpr int64_t kSizes[] = {64, 1400};
constexpr const char* kRateCounter = "datagrams_per_second";

inline void growReceiveBuffer(int fd) {
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
}

// Datagrams received so far; the benchmark thread waits for a window's worth.
class Received {
public:
    void add() {
        std::lock_guard lock(mutex_);
        if (++count_ >= target_) done_.notify_all();
    }
    void waitFor(int64_t n) {
        std::unique_lock lock(mutex_);
        target_ = n;
        done_.wait(lock, [&] { return count_ >= target_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable done_;
    int64_t count_ = 0;
    int64_t target_ = 0;
};

inline void reportRate(benchmark::State& state, int64_t datagrams) {
    state.counters[kRateCounter] = benchmark::Counter(static_cast<double>(datagrams), benchmark::Counter::kIsRate);
}

}  // namespace udpbench
