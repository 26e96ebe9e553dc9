#pragma once
// Declarations shared by the queue, pool, reactor and source files of the dispatch layer.

#include "platform/Fatal.h"
#include "platform/dispatch/Dispatch.h"

#include <deque>
#include <mutex>
#include <vector>

namespace platform::dispatch::detail {

struct WorkItem;

// Marks the calling thread as running a job of queue for the scope's lifetime. Frames nest: a
// serial queue drained inside a job of its target pushes a frame on top of the target's.
class Frame {
public:
    explicit Frame(Queue* queue);
    ~Frame();
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;

    static Frame* top();
    Queue* queue() const { return queue_; }
    Frame* previous() const { return previous_; }

private:
    Queue* queue_;
    Frame* previous_;
};

void runItem(WorkItem& item);

// While one lives on a thread, jobs that thread posts to queues other than `running` (other than
// the main queue and the queues that target running) wait in it and are posted, in order, when
// the run of running ends (or before the thread waits in sync()). A brief handler run on the
// reactor's thread hands its reports on this way as its own queue is released, so that the
// thread they wake finds that queue idle when it answers.
class DeferredPosts {
public:
    explicit DeferredPosts(Queue* running);
    ~DeferredPosts();
    DeferredPosts(const DeferredPosts&) = delete;
    DeferredPosts& operator=(const DeferredPosts&) = delete;

    // Takes job when the calling thread defers posts to queue; false otherwise.
    static bool take(Queue& queue, Job& job);
    // Posts what the calling thread deferred so far.
    static void flush();
    // The same, when the calling thread defers for a handler of running (whose queue it holds).
    static void flushFor(const Queue& running);

private:
    Queue* running_;
    DeferredPosts* previous_;
    std::vector<std::pair<std::shared_ptr<Queue>, Job>> jobs_;
};

// Posts the layer's own work onto queue: a timer fire, a source delivery, a cancel handler. On a
// global queue it takes a thread at once, as a serial queue's drain does, however many jobs
// block there.
void postLayerWork(Queue& queue, Job job);

class SerialQueue final : public Queue {
public:
    explicit SerialQueue(std::string label);
    ~SerialQueue() override;

    void async(Job job) override;
    void sync(const Job& job) override;

    // Runs a batch of jobs as this queue; called by a pool thread or inside a job of the target.
    void drain();

    // Runs job here, as a job of this queue, when the queue is idle and has no target; false
    // (job untouched) otherwise.
    bool runHereIfIdle(const Job& job);

private:
    void schedule();

    std::mutex mutex_;
    std::deque<Job> jobs_;
    std::deque<Job> taken_;  // jobs the drain has taken out of jobs_ and not run yet (drain only)
    // Set while a drain is scheduled or running: keeps the queue alive until its jobs have run,
    // so that its owners may drop it at any time, from inside its own jobs too.
    std::shared_ptr<SerialQueue> keepAlive_;
};

}  // namespace platform::dispatch::detail
