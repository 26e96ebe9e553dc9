#pragma once
// The threads that run serial-queue drains and global-queue jobs. Threads are made on demand and
// idle threads leave after a while. The pool lives for the whole process.
//
// Work comes in two kinds, so that blocking jobs can never stop the queues:
// - Jobs posted to global queues may block (name look-ups, waits). An item that finds no idle
//   thread gets a new one, until kMaxJobThreads such jobs run at once; past that, jobs wait for
//   a running one to end.
// - The layer's own work (serial-queue drains, timer and source deliveries) never waits behind a
//   job: it takes an idle thread, or a new one whatever the number of jobs running. There is at
//   most one drain per serial queue and one delivery per source in flight, so this work makes
//   no more threads than there are queues and sources with something to do.
// A drain stuck behind the cap would deadlock jobs that sync onto its queue, and a timer stuck
// there would let connect time-outs wait for whatever blocks the jobs.
//
// A thread that runs out of items first watches the pool for a few microseconds before it goes
// to sleep (at most kMaxSpinners at a time). Socket traffic arrives in quick chains (a request,
// its send, the reply's read, the delegate call), and a thread that is still watching takes the
// next item of the chain at once, where waking a sleeping thread costs tens of microseconds.
//
// The next link of such a chain is often posted by a pool thread that is about to finish: a
// socket queue's job that hands a report to the delegate's queue, a delegate that asks its socket
// for the next read. Layer work that a pool thread posts while it runs layer work, when no thread
// is watching to take it, is therefore kept for that thread, in order: it runs the items as soon
// as its current one ends (a serial queue's drain steps aside after its current job for them),
// on a warm cache, with no other thread woken for them. The hand-off stays bounded: an item waits
// at most kKeepFor while the thread stays in one item, however long that item runs and however
// many it keeps meanwhile (a reactor timer then hands the kept items to other threads), and a
// thread that is about to wait (sync) hands them on first, since they may be what it waits for.
// Jobs of the global queues keep nothing: they may block for long.

#include "platform/dispatch/Dispatch.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace platform::dispatch::detail {

class SerialQueue;

// One unit of work: either "drain this serial queue" or a plain job run as a job of frameQueue.
struct WorkItem {
    SerialQueue* drain = nullptr;
    Queue* frameQueue = nullptr;
    Job job;
};

class WorkerPool {
public:
    static WorkerPool& instance();

    // A job of a global queue: it may block, and waits for a thread past the cap.
    void submitJob(Priority priority, WorkItem item);
    // The layer's own work: it never waits for a job to end.
    void submitLayerWork(WorkItem item);

    // Threads alive now (for tests and traces).
    int threadCount() const;

    // A pool thread about to block hands the items it keeps to other threads.
    void handOnKeptItem();
    // Whether the calling thread keeps items: a drain then steps aside for them.
    static bool keepsItem();

    // Whether items wait that a thread could take now: a long drain then steps aside for them.
    bool hasWaitingItems() const { return runnable_.load(std::memory_order_relaxed) > 0; }

    // Counts submitted items: the reactor keeps looking for events while this moves, because
    // work in flight (a request being written, say) is what brings the next descriptor event.
    uint64_t submissions() const { return submissions_.load(std::memory_order_relaxed); }

    struct Keeper;

private:
    WorkerPool() = default;
    void keepLocked(std::unique_lock<std::mutex>& lock, WorkItem item);
    // The calling thread's keeper only: sets the reactor's timer of an arming, drops the last one.
    void setKeepTimer(Keeper& keeper, uint64_t generation);
    void dropKeepTimer(Keeper& keeper);
    void disarmLocked(Keeper& keeper);
    void keepTimerFired(Keeper& keeper, uint64_t generation);
    void handOnLocked(std::unique_lock<std::mutex>& lock, Keeper& keeper);
    void runKeptItems();
    void provideThreadFor(std::unique_lock<std::mutex>& lock);
    void workerMain();
    bool popLocked(WorkItem& out, bool& isJob);
    void runUnlocked(std::unique_lock<std::mutex>& lock, WorkItem& item, bool isJob);
    void updateRunnableLocked();
    // Watches for up to kSpinFor; true when an item came, for this thread or another.
    bool watchForItems() const;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<WorkItem> layerWork_;  // taken before any job
    std::deque<WorkItem> jobs_[3];    // by priority, High first
    size_t queuedJobs_ = 0;
    int runningJobs_ = 0;
    int threads_ = 0;
    int waiting_ = 0;  // threads blocked in wake_
    int claims_ = 0;   // wake-ups sent and not yet taken by a waiting thread
    int spinning_ = 0;     // threads watching runnable_ before they sleep
    int spinClaims_ = 0;   // items left for a watching thread to take (never above spinning_)
    int spinCredit_ = 8;   // see kSpinCreditMax (its value); no credit: idle threads sleep at once
    unsigned spinProbe_ = 0;  // counts idle turns without credit
    std::atomic<size_t> runnable_{0};  // queued items a thread may take now, changed under mutex_
    std::atomic<uint64_t> submissions_{0};
};

}  // namespace platform::dispatch::detail
