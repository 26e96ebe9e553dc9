#pragma once
// The threads that run serial-queue drains and global-queue jobs. Threads are made on demand:
// an item never waits behind a job that blocks, because an item that finds no idle thread gets a
// new one. Idle threads leave after a while. The pool lives for the whole process.
//
// A thread that runs out of items first watches the pool for a few microseconds before it goes
// to sleep (at most kMaxSpinners at a time). Socket traffic arrives in quick chains (a request,
// its send, the reply's read, the delegate call), and a thread that is still watching takes the
// next item of the chain at once, where waking a sleeping thread costs tens of microseconds.

#include "platform/dispatch/Dispatch.h"

#include <atomic>
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

    void submit(Priority priority, WorkItem item);

    // Threads alive now (for tests and traces).
    int threadCount() const;

    // Whether items wait for a thread: a long drain then steps aside for them.
    bool hasWaitingItems() const { return queued_.load(std::memory_order_relaxed) > 0; }

    // Counts submitted items: the reactor keeps looking for events while this moves, because
    // work in flight (a request being written, say) is what brings the next descriptor event.
    uint64_t submissions() const { return submissions_.load(std::memory_order_relaxed); }

private:
    WorkerPool() = default;
    void workerMain();
    bool popLocked(WorkItem& out);
    void runUnlocked(std::unique_lock<std::mutex>& lock, WorkItem& item);
    void watchForItems() const;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<WorkItem> items_[3];  // by priority, High first
    int threads_ = 0;
    int waiting_ = 0;  // threads blocked in wake_
    int claims_ = 0;   // wake-ups sent and not yet taken by a waiting thread
    int spinning_ = 0;     // threads watching queued_ before they sleep
    int spinClaims_ = 0;   // items left for a watching thread to take (never above spinning_)
    std::atomic<int> queued_{0};  // items in items_, changed under mutex_
    std::atomic<uint64_t> submissions_{0};
};

}  // namespace platform::dispatch::detail
