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
// Watching pays while it mostly sees an item in time: a wake-up it spares costs the waker and the
// woken thread a good part of a watch, and the item waits for it. The pool keeps a credit: a
// watch that sees an item (or sees the pool handed work another thread took) adds to it, a watch
// in which nothing came takes three times as much. With no credit left threads sleep at once (in
// a steady bulk transfer, say, where one thread carries the chain and the others would only burn
// the processor) but for one idle turn in kProbeEvery, whose watch can earn the credit back.
constexpr int kSpinCreditMax = 8;
constexpr int kSpinMissCost = 3;
constexpr unsigned kProbeEvery = 4;
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

// The items a pool thread keeps for itself, in the order they were posted. The items are guarded
// by the pool's mutex (another thread may take them: the hand-on timer, a wait); the flag lets
// the owner ask without the lock whether it keeps any.
//
// While the thread keeps items its hand-on timer is armed: whoever makes items non-empty arms it
// if it is not, and whoever empties them (the owner taking the last, a hand-on) disarms it, all
// under the pool's mutex. A fire hands on what is kept at that moment, so an item kept after a
// fire arms a timer of its own, however many fired before. Each arming has a generation: a fire
// of an earlier arming (one the owner dropped or set again) does nothing.
struct WorkerPool::Keeper {
    std::deque<WorkItem> items;            // under the pool's mutex
    std::atomic<bool> keeping{false};      // items is not empty
    bool timerArmed = false;               // under the pool's mutex
    uint64_t timerGeneration = 0;          // under the pool's mutex
    // The owner's: the reactor's timer of the last arming (maybe fired since), and when it was set.
    bool hasTimerKey = false;
    Reactor::TimerKey timer{};
    std::chrono::steady_clock::time_point timerSetAt;
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
    std::unique_lock lock(mutex_);
    submissions_.fetch_add(1, std::memory_order_relaxed);
    // A watching thread takes it at once, beside this one; with none watching, this thread
    // keeps it rather than wake one.
    if (t_inLayerWork && spinning_ <= spinClaims_) {
        keepLocked(lock, std::move(item));
        return;
    }
    layerWork_.push_back(std::move(item));
    updateRunnableLocked();
    provideThreadFor(lock);
}

void WorkerPool::keepLocked(std::unique_lock<std::mutex>& lock, WorkItem item) {
    Keeper& keeper = *t_keeper;
    keeper.items.push_back(std::move(item));
    keeper.keeping.store(true, std::memory_order_relaxed);
    // Not armed: nothing was kept, or the timer has fired and handed on what was.
    const bool arm = !keeper.timerArmed;
    uint64_t generation = 0;
    if (arm) {
        keeper.timerArmed = true;
        generation = ++keeper.timerGeneration;
    }
    lock.unlock();
    if (arm) setKeepTimer(keeper, generation);
}

void WorkerPool::setKeepTimer(Keeper& keeper, uint64_t generation) {
    if (keeper.hasTimerKey) Reactor::instance().removeTimer(keeper.timer);  // an arming given up
    keeper.timerSetAt = std::chrono::steady_clock::now();
    keeper.timer = Reactor::instance().addCallbackTimer(
        keeper.timerSetAt + kKeepFor, [k = t_keeper, generation] { WorkerPool::instance().keepTimerFired(*k, generation); });
    keeper.hasTimerKey = true;
}

void WorkerPool::disarmLocked(Keeper& keeper) {
    keeper.timerArmed = false;
    ++keeper.timerGeneration;  // a fire already under way does nothing
}

void WorkerPool::dropKeepTimer(Keeper& keeper) {
    if (!keeper.hasTimerKey) return;
    Reactor::instance().removeTimer(keeper.timer);
    keeper.hasTimerKey = false;
}

void WorkerPool::keepTimerFired(Keeper& keeper, uint64_t generation) {
    std::unique_lock lock(mutex_);
    if (!keeper.timerArmed || keeper.timerGeneration != generation) return;
    keeper.timerArmed = false;
    handOnLocked(lock, keeper);
}

void WorkerPool::handOnLocked(std::unique_lock<std::mutex>& lock, Keeper& keeper) {
    const size_t n = keeper.items.size();  // none when its owner has taken them meanwhile
    for (WorkItem& item : keeper.items) layerWork_.push_back(std::move(item));
    keeper.items.clear();
    keeper.keeping.store(false, std::memory_order_relaxed);
    if (n == 0) return;
    updateRunnableLocked();
    for (size_t i = 0; i < n; ++i) {
        if (!lock.owns_lock()) lock.lock();
        provideThreadFor(lock);
    }
}

void WorkerPool::handOnKeptItem() {
    if (!t_keeper || !t_keeper->keeping.load(std::memory_order_relaxed)) return;
    Keeper& keeper = *t_keeper;
    {
        std::unique_lock lock(mutex_);
        disarmLocked(keeper);
        handOnLocked(lock, keeper);
    }
    dropKeepTimer(keeper);
}

bool WorkerPool::keepsItem() { return t_keeper && t_keeper->keeping.load(std::memory_order_relaxed); }

void WorkerPool::runKeptItems() {
    Keeper& keeper = *t_keeper;
    // Only this thread makes items non-empty: with the flag clear there is nothing to look at.
    while (keeper.keeping.load(std::memory_order_relaxed)) {
        WorkItem next;
        bool drop = false;
        uint64_t rearm = 0;
        {
            std::lock_guard lock(mutex_);
            if (keeper.items.empty()) break;  // handed on meanwhile
            next = std::move(keeper.items.front());
            keeper.items.pop_front();
            const bool more = !keeper.items.empty();
            keeper.keeping.store(more, std::memory_order_relaxed);
            // The timer watches for a thread stuck in one item; while the items move it is set
            // again now and then rather than for each item, each setting being a system call.
            if (!more) {
                disarmLocked(keeper);
                drop = true;
            } else if (std::chrono::steady_clock::now() - keeper.timerSetAt > kKeepFor / 2) {
                rearm = ++keeper.timerGeneration;  // still armed, from now on
            }
        }
        if (drop) dropKeepTimer(keeper);
        if (rearm) setKeepTimer(keeper, rearm);
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

bool WorkerPool::watchForItems() const {
    // Yields between looks: on a busy machine the threads that do the work get the processor.
    const auto until = std::chrono::steady_clock::now() + kSpinFor;
    const uint64_t submitted = submissions_.load(std::memory_order_relaxed);
    for (;;) {
        for (int i = 0; i < 16; ++i) {
            if (runnable_.load(std::memory_order_relaxed) > 0) return true;
            cpuRelax();
        }
        // Items that another watching thread took count too: the pool was not idle.
        if (std::chrono::steady_clock::now() >= until) return submissions_.load(std::memory_order_relaxed) != submitted;
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
        // Out of credit, every few idle turns still watch, so that the credit comes back when
        // items come quickly again.
        if (spinning_ < kMaxSpinners && (spinCredit_ > 0 || ++spinProbe_ % kProbeEvery == 0)) {
            ++spinning_;
            lock.unlock();
            const bool saw = watchForItems();
            lock.lock();
            --spinning_;
            spinCredit_ = saw ? std::min(spinCredit_ + 1, kSpinCreditMax) : std::max(spinCredit_ - kSpinMissCost, 0);
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
