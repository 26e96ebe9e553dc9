#pragma once
// A main executor for tests: the test's thread is the main thread and runs the loop by hand.
// By default timers follow the real monotonic clock; with a manual clock, advance() moves time
// and fires what came due, so no test waits out a timer.

#include "platform/MainExecutor.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <thread>

namespace platform {

class TestMainLoop : public MainExecutor {
public:
    // Makes itself the current executor; the constructing thread is the main thread.
    explicit TestMainLoop(bool manualClock = false);
    ~TestMainLoop() override;

    void post(Job job) override;
    bool isMainThread() const override;
    TimerId scheduleAfter(std::chrono::nanoseconds delay, Job job) override;
    void cancelTimer(TimerId id) override;
    Clock::time_point now() const override;

    // Runs posted jobs and due timers until predicate holds or timeout passes (real time).
    // Returns whether the predicate held.
    bool runUntil(const std::function<bool()>& predicate,
                  std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Runs everything that is ready now, without waiting; returns the number of jobs run.
    int drain();
    // Runs the loop for a stretch of real time.
    void runFor(std::chrono::milliseconds duration);

    // Manual clock only: moves time forward step by step, firing timers in deadline order.
    void advance(std::chrono::nanoseconds by);

private:
    bool runOneReady();  // main thread; true when a job or timer ran

    const bool manual_;
    const std::thread::id mainThread_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    struct Timer {
        Clock::time_point due;
        Job job;
    };
    std::map<TimerId, Timer> timers_;
    TimerId nextTimer_ = 1;
    Clock::time_point manualNow_;
};

}  // namespace platform
