#include "platform/dispatch/WorkerPool.h"

#include "platform/dispatch/Internal.h"

#include <chrono>
#include <pthread.h>
#include <sched.h>
#include <thread>

namespace platform::dispatch::detail {

namespace {
// A thread with nothing to do for this long leaves the pool.
constexpr auto kIdleLifetime = std::chrono::seconds(5);
// Past this many threads, new items wait for a busy thread instead of getting their own.
constexpr int kMaxThreads = 512;
// How long an idle thread watches for a new item before it sleeps, and how many watch at once:
// short and few, so that an idle program burns next to nothing.
constexpr auto kSpinFor = std::chrono::microseconds(50);
constexpr int kMaxSpinners = 2;

void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

int slot(Priority priority) {
    switch (priority) {
        case Priority::High: return 0;
        case Priority::Default: return 1;
        case Priority::Low: return 2;
    }
    return 1;
}
}  // namespace

WorkerPool& WorkerPool::instance() {
    // Never destroyed: detached workers may still be waiting on it while the process exits.
    static WorkerPool* pool = new WorkerPool();
    return *pool;
}

int WorkerPool::threadCount() const {
    std::lock_guard lock(mutex_);
    return threads_;
}

void WorkerPool::submit(Priority priority, WorkItem item) {
    bool spawn = false;
    {
        std::lock_guard lock(mutex_);
        items_[slot(priority)].push_back(std::move(item));
        queued_.fetch_add(1, std::memory_order_relaxed);
        submissions_.fetch_add(1, std::memory_order_relaxed);
        if (spinning_ > spinClaims_) {
            ++spinClaims_;  // a watching thread takes it: no wake-up needed
            return;
        }
        if (waiting_ > claims_) {
            ++claims_;
        } else if (threads_ < kMaxThreads) {
            ++threads_;
            spawn = true;
        }
    }
    if (!spawn) {
        wake_.notify_one();
        return;
    }
    try {
        std::thread([this] { workerMain(); }).detach();
    } catch (const std::system_error&) {
        fatal("cannot start a worker thread");
    }
}

bool WorkerPool::popLocked(WorkItem& out) {
    for (auto& items : items_) {
        if (!items.empty()) {
            out = std::move(items.front());
            items.pop_front();
            queued_.fetch_sub(1, std::memory_order_relaxed);
            return true;
        }
    }
    return false;
}

void WorkerPool::runUnlocked(std::unique_lock<std::mutex>& lock, WorkItem& item) {
    lock.unlock();
    runItem(item);
    item = WorkItem{};  // release the job's captures before taking the lock again
    lock.lock();
}

void WorkerPool::watchForItems() const {
    // Yields between looks: on a busy machine the threads that do the work get the processor.
    const auto until = std::chrono::steady_clock::now() + kSpinFor;
    for (;;) {
        for (int i = 0; i < 16; ++i) {
            if (queued_.load(std::memory_order_relaxed) > 0) return;
            cpuRelax();
        }
        if (std::chrono::steady_clock::now() >= until) return;
        sched_yield();
    }
}

void WorkerPool::workerMain() {
    pthread_setname_np(pthread_self(), "varnel-worker");
    std::unique_lock lock(mutex_);
    for (;;) {
        WorkItem item;
        if (popLocked(item)) {
            runUnlocked(lock, item);
            continue;
        }
        if (spinning_ < kMaxSpinners) {
            ++spinning_;
            lock.unlock();
            watchForItems();
            lock.lock();
            --spinning_;
            // Whatever is queued now is taken here or left to the threads still watching (each
            // of which takes an item before it sleeps) or to those already woken for it.
            const bool got = popLocked(item);
            if (got && spinClaims_ > 0) --spinClaims_;
            if (spinClaims_ > spinning_) spinClaims_ = spinning_;
            if (got) {
                runUnlocked(lock, item);
                continue;
            }
        }
        ++waiting_;
        const bool woken = wake_.wait_for(lock, kIdleLifetime) == std::cv_status::no_timeout;
        --waiting_;
        if (claims_ > 0) --claims_;
        bool any = false;
        for (auto& items : items_) any = any || !items.empty();
        if (!woken && !any) {
            --threads_;
            return;
        }
    }
}

}  // namespace platform::dispatch::detail
