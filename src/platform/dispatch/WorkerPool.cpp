#include "platform/dispatch/WorkerPool.h"

#include "platform/dispatch/Internal.h"
#include "platform/dispatch/Reactor.h"

#include <algorithm>
#include <chrono>
#include <pthread.h>
#include <sched.h>
#include <thread>

namespace platform::dispatch::detail {

namespace {
// A thread with nothing to do for this long leaves the pool.
constexpr auto kIdleLifetime = std::chrono::seconds(5);
// Past this many global-queue jobs running at once, new ones wait for one to end.
constexpr size_t kMaxJobThreads = 512;
// How long an idle thread watches for a new item before it sleeps, and how many watch at once:
// short and few, so that an idle program burns next to nothing.
constexpr auto kSpinFor = std::chrono::microseconds(50);
constexpr int kMaxSpinners = 2;
// How long an item kept for a busy pool thread may wait for that thread before another takes it.
constexpr auto kKeepFor = std::chrono::microseconds(50);

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

// The item a pool thread keeps for itself. Its owner takes it back without the pool's lock only
// through runKeptItems(); everything else about it is guarded by the pool's mutex.
struct WorkerPool::Keeper {
    bool hasItem = false;  // under the pool's mutex
    WorkItem item;         // under the pool's mutex
    Reactor::TimerKey timer{};  // the owner's: the hand-on timer of the item kept now
};

namespace {
// Set on pool threads while they run layer work (not a global-queue job): work they post is kept.
thread_local bool t_inLayerWork = false;
thread_local std::shared_ptr<WorkerPool::Keeper> t_keeper;
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

void WorkerPool::submitJob(Priority priority, WorkItem item) {
    std::unique_lock lock(mutex_);
    jobs_[slot(priority)].push_back(std::move(item));
    ++queuedJobs_;
    submissions_.fetch_add(1, std::memory_order_relaxed);
    updateRunnableLocked();
    // Over the cap (counting the jobs queued ahead of it) it waits: the thread of a running job
    // takes it when that job ends.
    if (size_t(runningJobs_) + queuedJobs_ > kMaxJobThreads) return;
    provideThreadFor(lock);
}

void WorkerPool::submitLayerWork(WorkItem item) {
    if (t_inLayerWork && keepForThisThread(item)) return;
    std::unique_lock lock(mutex_);
    layerWork_.push_back(std::move(item));
    submissions_.fetch_add(1, std::memory_order_relaxed);
    updateRunnableLocked();
    provideThreadFor(lock);
}

bool WorkerPool::keepForThisThread(WorkItem& item) {
    Keeper& keeper = *t_keeper;
    {
        std::lock_guard lock(mutex_);
        if (keeper.hasItem) return false;  // one at a time: the next goes to any thread
        keeper.item = std::move(item);
        keeper.hasItem = true;
        submissions_.fetch_add(1, std::memory_order_relaxed);
    }
    keeper.timer = Reactor::instance().addCallbackTimer(Reactor::deadlineAfter(kKeepFor),
                                                        [k = t_keeper] { WorkerPool::instance().handOn(*k); });
    return true;
}

void WorkerPool::handOn(Keeper& keeper) {
    std::unique_lock lock(mutex_);
    if (!keeper.hasItem) return;  // its owner has taken it meanwhile
    keeper.hasItem = false;
    layerWork_.push_back(std::move(keeper.item));
    keeper.item = WorkItem{};
    updateRunnableLocked();
    provideThreadFor(lock);
}

void WorkerPool::handOnKeptItem() {
    if (!t_keeper) return;
    Reactor::instance().removeTimer(t_keeper->timer);
    handOn(*t_keeper);
}

bool WorkerPool::keepsItem() {
    if (!t_keeper) return false;
    std::lock_guard lock(instance().mutex_);
    return t_keeper->hasItem;
}

void WorkerPool::runKeptItems() {
    Keeper& keeper = *t_keeper;
    for (;;) {
        WorkItem next;
        {
            std::lock_guard lock(mutex_);
            if (!keeper.hasItem) return;
            keeper.hasItem = false;
            next = std::move(keeper.item);
            keeper.item = WorkItem{};
        }
        Reactor::instance().removeTimer(keeper.timer);
        runItem(next);  // may keep the next link of the chain
    }
}

void WorkerPool::provideThreadFor(std::unique_lock<std::mutex>& lock) {
    if (spinning_ > spinClaims_) {
        ++spinClaims_;  // a watching thread takes it: no wake-up needed
        return;
    }
    if (waiting_ > claims_) {
        ++claims_;
        lock.unlock();
        wake_.notify_one();
        return;
    }
    ++threads_;
    lock.unlock();
    try {
        std::thread([this] { workerMain(); }).detach();
    } catch (const std::system_error&) {
        fatal("dispatch: cannot start a worker thread");
    }
}

void WorkerPool::updateRunnableLocked() {
    const size_t jobRoom = size_t(runningJobs_) < kMaxJobThreads ? kMaxJobThreads - size_t(runningJobs_) : 0;
    runnable_.store(layerWork_.size() + std::min(queuedJobs_, jobRoom), std::memory_order_relaxed);
}

bool WorkerPool::popLocked(WorkItem& out, bool& isJob) {
    if (!layerWork_.empty()) {
        out = std::move(layerWork_.front());
        layerWork_.pop_front();
        isJob = false;
        updateRunnableLocked();
        return true;
    }
    if (size_t(runningJobs_) >= kMaxJobThreads) return false;
    for (auto& jobs : jobs_) {
        if (!jobs.empty()) {
            out = std::move(jobs.front());
            jobs.pop_front();
            --queuedJobs_;
            ++runningJobs_;
            isJob = true;
            updateRunnableLocked();
            return true;
        }
    }
    return false;
}

void WorkerPool::runUnlocked(std::unique_lock<std::mutex>& lock, WorkItem& item, bool isJob) {
    lock.unlock();
    t_inLayerWork = !isJob;
    runItem(item);
    item = WorkItem{};  // release the job's captures before taking the lock again
    if (!isJob) runKeptItems();
    t_inLayerWork = false;
    lock.lock();
    if (isJob) {
        --runningJobs_;  // a job waiting past the cap may start now: this thread looks next
        updateRunnableLocked();
    }
}

void WorkerPool::watchForItems() const {
    // Yields between looks: on a busy machine the threads that do the work get the processor.
    const auto until = std::chrono::steady_clock::now() + kSpinFor;
    for (;;) {
        for (int i = 0; i < 16; ++i) {
            if (runnable_.load(std::memory_order_relaxed) > 0) return;
            cpuRelax();
        }
        if (std::chrono::steady_clock::now() >= until) return;
        sched_yield();
    }
}

void WorkerPool::workerMain() {
    pthread_setname_np(pthread_self(), "varnel-worker");
    t_keeper = std::make_shared<Keeper>();
    std::unique_lock lock(mutex_);
    for (;;) {
        WorkItem item;
        bool isJob = false;
        if (popLocked(item, isJob)) {
            runUnlocked(lock, item, isJob);
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
            const bool got = popLocked(item, isJob);
            if (got && spinClaims_ > 0) --spinClaims_;
            if (spinClaims_ > spinning_) spinClaims_ = spinning_;
            if (got) {
                runUnlocked(lock, item, isJob);
                continue;
            }
        }
        ++waiting_;
        const bool woken = wake_.wait_for(lock, kIdleLifetime) == std::cv_status::no_timeout;
        --waiting_;
        if (claims_ > 0) --claims_;
        if (!woken && runnable_.load(std::memory_order_relaxed) == 0) {
            --threads_;
            return;
        }
    }
}

}  // namespace platform::dispatch::detail
