#pragma once
// The threads that run serial-queue drains and global-queue jobs. Threads are made on demand:
// an item never waits behind a job that blocks, because an item that finds no idle thread gets a
// new one. Idle threads leave after a while. The pool lives for the whole process.

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

private:
    WorkerPool() = default;
    void workerMain();
    bool popLocked(WorkItem& out);

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<WorkItem> items_[3];  // by priority, High first
    int threads_ = 0;
    int waiting_ = 0;  // threads blocked in wake_
    int claims_ = 0;   // wake-ups sent and not yet taken by a waiting thread
    std::atomic<int> queued_{0};  // items in items_, changed under mutex_
};

}  // namespace platform::dispatch::detail
