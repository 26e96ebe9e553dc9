#include "platform/testing/TestMainLoop.h"

namespace platform {

TestMainLoop::TestMainLoop(bool manualClock)
    : manual_(manualClock), mainThread_(std::this_thread::get_id()), manualNow_(Clock::now()) {
    setCurrent(this);
}

TestMainLoop::~TestMainLoop() { retire(); }

void TestMainLoop::post(Job job) {
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    wake_.notify_all();
}

bool TestMainLoop::isMainThread() const { return std::this_thread::get_id() == mainThread_; }

MainExecutor::Clock::time_point TestMainLoop::now() const {
    if (!manual_) return Clock::now();
    std::lock_guard lock(mutex_);
    return manualNow_;
}

MainExecutor::TimerId TestMainLoop::scheduleAfter(std::chrono::nanoseconds delay, Job job) {
    TimerId id;
    {
        std::lock_guard lock(mutex_);
        id = nextTimer_++;
        Clock::time_point base = manual_ ? manualNow_ : Clock::now();
        timers_[id] = Timer{base + delay, std::move(job)};
    }
    wake_.notify_all();
    return id;
}

void TestMainLoop::cancelTimer(TimerId id) {
    std::lock_guard lock(mutex_);
    timers_.erase(id);
}

bool TestMainLoop::runOneReady() {
    Job job;
    {
        std::lock_guard lock(mutex_);
        if (!jobs_.empty()) {
            job = std::move(jobs_.front());
            jobs_.pop_front();
        } else {
            Clock::time_point now = manual_ ? manualNow_ : Clock::now();
            auto due = timers_.end();
            for (auto it = timers_.begin(); it != timers_.end(); ++it) {
                if (it->second.due <= now && (due == timers_.end() || it->second.due < due->second.due)) due = it;
            }
            if (due == timers_.end()) return false;
            job = std::move(due->second.job);
            timers_.erase(due);
        }
    }
    job();
    return true;
}

int TestMainLoop::drain() {
    int count = 0;
    while (runOneReady()) ++count;
    return count;
}

bool TestMainLoop::runUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (predicate()) return true;
        if (runOneReady()) continue;
        if (predicate()) return true;
        if (Clock::now() >= deadline) return false;
        std::unique_lock lock(mutex_);
        auto wakeAt = deadline;
        if (!manual_) {
            for (const auto& [id, timer] : timers_) wakeAt = std::min(wakeAt, timer.due);
        }
        // Short slices as well, since predicates may depend on other threads' state.
        wakeAt = std::min(wakeAt, Clock::now() + std::chrono::milliseconds(5));
        wake_.wait_until(lock, wakeAt, [this] { return !jobs_.empty(); });
    }
}

void TestMainLoop::runFor(std::chrono::milliseconds duration) {
    runUntil([] { return false; }, duration);
}

void TestMainLoop::advance(std::chrono::nanoseconds by) {
    Clock::time_point target;
    {
        std::lock_guard lock(mutex_);
        target = manualNow_ + by;
    }
    drain();
    for (;;) {
        Clock::time_point next = target;
        {
            std::lock_guard lock(mutex_);
            for (const auto& [id, timer] : timers_) next = std::min(next, timer.due);
            if (next > manualNow_) manualNow_ = next;
        }
        drain();
        std::lock_guard lock(mutex_);
        if (manualNow_ >= target) {
            bool due = false;
            for (const auto& [id, timer] : timers_) due = due || timer.due <= manualNow_;
            if (!due && jobs_.empty()) break;
        }
    }
}

}  // namespace platform
