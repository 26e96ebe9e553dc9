#pragma once
// Declarations shared by the queue, pool, reactor and source files of the dispatch layer.

#include "platform/Fatal.h"
#include "platform/dispatch/Dispatch.h"

#include <deque>
#include <mutex>
#include <vector>

namespace platform::dispatch::detail {

struct WorkItem;
class SerialQueue;

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

// While one lives on a thread, what that thread posts to serial and global queues gets no thread
// until the run of `running` ends (or until the thread is about to wait): a brief handler run on
// the reactor's thread hands its reports on as its own queue is released, so that the thread
// they wake finds that queue idle when it answers. Nothing it posts loses its place meanwhile: a
// job posted to a serial queue joins that queue at once, and the queue counts as busy from then
// on (what any thread posts to it later goes behind, and runs no sooner); only the queue's turn
// waits here. Jobs of global queues, which keep no order, wait here whole.
class DeferredPosts {
public:
    explicit DeferredPosts(Queue* running);
    ~DeferredPosts();
    DeferredPosts(const DeferredPosts&) = delete;
    DeferredPosts& operator=(const DeferredPosts&) = delete;

    // Keeps the turn of queue (a serial queue whose jobs now wait for one) when the calling
    // thread holds back its posts; false otherwise.
    static bool holdTurn(SerialQueue& queue);
    // Takes job for a global queue when the calling thread holds back its posts; false otherwise.
    static bool take(Queue& queue, Job& job);
    // Hands on what the calling thread held back so far.
    static void flush();

private:
    struct Held {
        Queue* queue;  // a serial queue's turn (kept alive by its jobs) or a global queue
        Job job;       // empty for a turn
    };
    static void handOn(std::vector<Held>& held);

    Queue* running_;
    DeferredPosts* previous_;
    std::vector<Held> held_;
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
    // Gives the queue, which has jobs waiting, its turn on a pool thread or in its target.
    void schedule();

    // Runs job here, as a job of this queue, when the queue is idle and has no target; false
    // (job untouched) otherwise.
    bool runHereIfIdle(const Job& job);

private:
    std::mutex mutex_;
    std::deque<Job> jobs_;
    std::deque<Job> taken_;  // jobs the drain has taken out of jobs_ and not run yet (drain only)
    // Set while a drain is scheduled or running, or its turn is held (see DeferredPosts): keeps
    // the queue alive until its jobs have run, so that its owners may drop it at any time, from
    // inside its own jobs too.
    std::shared_ptr<SerialQueue> keepAlive_;
};

}  // namespace platform::dispatch::detail
