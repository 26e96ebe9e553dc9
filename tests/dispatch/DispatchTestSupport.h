#pragma once
// Helpers of the dispatch tests: waiting with generous bounds, and repeating a scenario so that
// a race has many chances to show (bounded in count and in time).

#include "platform/dispatch/Dispatch.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace dispatch_test {

// Waits until the queue has run everything queued before this call.
inline void flush(const std::shared_ptr<platform::dispatch::Queue>& queue) { queue->sync([] {}); }

// Gives the reactor and the timers a moment to deliver something that must not arrive. Only ever
// used to check that nothing happens, so a slow machine can make it miss a fault but never fail a
// sound build.
inline void quietPeriod() { std::this_thread::sleep_for(std::chrono::milliseconds(30)); }

// A count that tests wait on; every wait has a bound far above what a loaded machine needs.
class Counter {
public:
    void add(int n = 1) {
        std::lock_guard lock(mutex_);
        value_ += n;
        cv_.notify_all();
    }
    int value() const {
        std::lock_guard lock(mutex_);
        return value_;
    }
    bool waitFor(int atLeast, std::chrono::milliseconds bound = std::chrono::seconds(10)) const {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, bound, [&] { return value_ >= atLeast; });
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    int value_ = 0;
};

// Blocks a serial queue until open() so that fires pile up behind it. The flag is shared with
// the blocking job, which may still read it after the gate's scope has ended.
struct Gate {
    std::shared_ptr<std::atomic<bool>> isOpen = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<std::atomic<bool>> isBlocking = std::make_shared<std::atomic<bool>>(false);
    explicit Gate(const std::shared_ptr<platform::dispatch::Queue>& queue) {
        queue->async([flag = isOpen, blocking = isBlocking] {
            *blocking = true;
            while (!*flag) std::this_thread::yield();
        });
    }
    // Waits until the gate holds the queue: every job queued before it has returned.
    bool waitBlocking(std::chrono::milliseconds bound = std::chrono::seconds(10)) const {
        const auto end = std::chrono::steady_clock::now() + bound;
        while (!*isBlocking) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::yield();
        }
        return true;
    }
    void open() { *isOpen = true; }
};

// Runs body up to rounds times, stopping early once budget has passed.
inline int repeat(int rounds, std::chrono::milliseconds budget, const std::function<void(int)>& body) {
    const auto end = std::chrono::steady_clock::now() + budget;
    int done = 0;
    while (done < rounds && (done == 0 || std::chrono::steady_clock::now() < end)) body(done++);
    return done;
}

}  // namespace dispatch_test
