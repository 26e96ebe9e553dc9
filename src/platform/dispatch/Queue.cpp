// Serial, global and main queues; queue-specific values and targets.

#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/Internal.h"
#include "platform/dispatch/WorkerPool.h"

#include "platform/MainExecutor.h"
#include "platform/Trace.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace platform::dispatch {

namespace detail {

namespace {
thread_local Frame* t_top = nullptr;
thread_local DeferredPosts* t_deferred = nullptr;

// A serial queue runs this many jobs in one turn of a pool thread, then goes on only while no
// other item waits for a thread (and, when it runs inside a job of its target, not at all). It
// steps aside after any job that left work kept for its thread.
constexpr int kDrainBatch = 64;

bool onMainThread() { return MainExecutor::hasCurrent() && MainExecutor::current().isMainThread(); }

// Blocks the caller until signal() ran; safe to destroy once wait() returned.
class Completion {
public:
    void signal() {
        std::lock_guard lock(mutex_);
        done_ = true;
        cv_.notify_one();  // under the lock: the waiter cannot return and destroy us before this
    }
    void wait() {
        // Work this thread keeps for itself, or holds back, may be what it is about to wait for.
        DeferredPosts::flush();
        WorkerPool::instance().handOnKeptItem();
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [this] { return done_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
};

// sync() onto q waits until q's jobs run; they cannot run while this thread holds q (or a queue
// that q's jobs are run inside), so such a call would wait forever.
void refuseSyncDeadlock(const Queue* q) {
    std::shared_ptr<Queue> cur = const_cast<Queue*>(q)->shared_from_this();
    while (cur && !cur->isGlobal()) {
        for (Frame* f = Frame::top(); f; f = f->previous()) {
            if (f->queue() == cur.get())
                fatal("dispatch: sync() onto a queue that this thread is running a job of would wait forever");
        }
        if (cur->isMain() && onMainThread())
            fatal("dispatch: sync() onto the main queue from the main thread would wait forever");
        cur = cur->target();
    }
}

class GlobalQueue final : public Queue {
public:
    GlobalQueue(std::string label, Priority priority) : Queue(std::move(label), Kind::Global), priority_(priority) {}

    void async(Job job) override {
        if (DeferredPosts::take(*this, job)) return;
        WorkerPool::instance().submitJob(priority_, WorkItem{nullptr, this, std::move(job)});
    }

    // A concurrent queue has no order to keep: the job runs on the caller's thread.
    void sync(const Job& job) override {
        Frame frame(this);
        job();
    }

private:
    const Priority priority_;
};

class MainQueue final : public Queue {
public:
    MainQueue() : Queue("main", Kind::Main) {}

    void async(Job job) override {
        const bool posted = MainExecutor::postToCurrent([this, job = std::move(job)] {
            Frame frame(this);
            job();
        });
        // Not posted: the program is shutting down (or a test has ended); nothing would run it.
        if (!posted) trace("dispatch: main queue job dropped, no main executor");
    }

    void sync(const Job& job) override {
        refuseSyncDeadlock(this);
        DeferredPosts::flush();  // jobs posted before this one run before it
        Completion done;
        const bool posted = MainExecutor::postToCurrent([this, &job, &done] {
            {
                Frame frame(this);
                job();
            }
            done.signal();
        });
        if (!posted) fatal("dispatch: sync() onto the main queue with no main executor would wait forever");
        done.wait();
    }
};

}  // namespace

DeferredPosts::DeferredPosts(Queue* running) : running_(running), previous_(t_deferred) {
    t_deferred = this;
}

DeferredPosts::~DeferredPosts() {
    t_deferred = previous_;
    handOn(held_);
}

bool DeferredPosts::holdTurn(SerialQueue& queue) {
    // The running queue's own turn, given when the run ends, is what releases it.
    DeferredPosts* d = t_deferred;
    if (!d || &queue == d->running_) return false;
    d->held_.push_back(Held{&queue, {}});
    return true;
}

bool DeferredPosts::take(Queue& queue, Job& job) {
    DeferredPosts* d = t_deferred;
    if (!d) return false;
    d->held_.push_back(Held{&queue, std::move(job)});
    return true;
}

void DeferredPosts::flush() {
    DeferredPosts* d = t_deferred;
    if (!d || d->held_.empty()) return;
    auto held = std::move(d->held_);
    d->held_.clear();
    t_deferred = nullptr;  // handed on now, not held again
    handOn(held);
    t_deferred = d;
}

void DeferredPosts::handOn(std::vector<Held>& held) {
    for (Held& h : held) {
        if (h.job)
            h.queue->async(std::move(h.job));
        else
            static_cast<SerialQueue*>(h.queue)->schedule();
    }
}

Frame::Frame(Queue* queue) : queue_(queue), previous_(t_top) { t_top = this; }
Frame::~Frame() { t_top = previous_; }
Frame* Frame::top() { return t_top; }

void postLayerWork(Queue& queue, Job job) {
    if (queue.isGlobal()) {
        WorkerPool::instance().submitLayerWork(WorkItem{nullptr, &queue, std::move(job)});
    } else {
        queue.async(std::move(job));
    }
}

void runItem(WorkItem& item) {
    if (item.drain) {
        item.drain->drain();
        return;
    }
    Frame frame(item.frameQueue);
    item.job();
}

SerialQueue::SerialQueue(std::string label) : Queue(std::move(label), Kind::Serial) {}
SerialQueue::~SerialQueue() = default;

void SerialQueue::async(Job job) {
    bool idle;
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
        idle = !keepAlive_;
        if (idle) keepAlive_ = std::static_pointer_cast<SerialQueue>(shared_from_this());
    }
    if (idle) schedule();
}

void SerialQueue::schedule() {
    std::shared_ptr<Queue> onto = target();
    if (onto && !onto->isGlobal()) {
        onto->async([this] { drain(); });
    } else if (!DeferredPosts::holdTurn(*this)) {
        WorkerPool::instance().submitLayerWork(WorkItem{this, nullptr, {}});
    }
}

void SerialQueue::drain() {
    std::shared_ptr<SerialQueue> release;  // destroyed last, after the frame is gone
    {
        Frame frame(this);
        const bool onPoolThread = frame.previous() == nullptr;
        for (int n = 0;; ++n) {
            // Work this thread keeps (the delegate's turn, say) runs now, and this queue's
            // remaining jobs after it; a batch is done once others wait for a thread.
            if (n > 0 && WorkerPool::keepsItem()) break;
            if (n >= kDrainBatch && (!onPoolThread || WorkerPool::instance().hasWaitingItems())) break;
            // The jobs are taken a batch at a time: one lock for all that are queued now, and the
            // threads that queue more seldom meet the drain at the lock.
            if (taken_.empty()) {
                std::lock_guard lock(mutex_);
                if (jobs_.empty()) {
                    release = std::move(keepAlive_);
                    break;
                }
                taken_.swap(jobs_);
            }
            Job job = std::move(taken_.front());
            taken_.pop_front();
            job();
        }
    }
    if (release) return;
    {
        std::lock_guard lock(mutex_);
        // Jobs taken and not run go back to the head of the queue, ahead of those queued since.
        if (!taken_.empty()) {
            for (Job& job : jobs_) taken_.push_back(std::move(job));
            jobs_.clear();
            jobs_.swap(taken_);
        }
        if (jobs_.empty()) release = std::move(keepAlive_);
    }
    if (!release) schedule();  // more jobs: another turn, behind what else waits
}

bool SerialQueue::runHereIfIdle(const Job& job) {
    if (target()) return false;
    {
        std::lock_guard lock(mutex_);
        // Busy also while this thread holds back the turn of jobs it posted here (DeferredPosts):
        // the job then waits behind them.
        if (keepAlive_) return false;
        // Idle and nothing earlier to wait for: the job runs here while this thread holds the
        // queue; jobs posted meanwhile wait behind it.
        keepAlive_ = std::static_pointer_cast<SerialQueue>(shared_from_this());
    }
    {
        Frame frame(this);
        job();
    }
    std::shared_ptr<SerialQueue> release;
    {
        std::lock_guard lock(mutex_);
        if (jobs_.empty()) release = std::move(keepAlive_);
    }
    if (!release) schedule();  // jobs posted meanwhile
    return true;
}

void SerialQueue::sync(const Job& job) {
    refuseSyncDeadlock(this);
    if (runHereIfIdle(job)) return;
    Completion done;
    async([&job, &done] {
        job();
        done.signal();
    });
    done.wait();
}

}  // namespace detail

using detail::Frame;

bool runHereIfIdle(const std::shared_ptr<Queue>& queue, const Job& job) {
    return !queue->isGlobal() && !queue->isMain() && static_cast<detail::SerialQueue&>(*queue).runHereIfIdle(job);
}

// Queue-specific values are read on every socket call (is the caller on the socket's queue?) and
// set a few times in a queue's life. Readers take no lock: the first few keys live in slots of
// atomics, written under the mutex (value first, then the key, which never changes slot again);
// further keys and the target are kept under the mutex, and flags tell readers whether to look.
struct Queue::Specifics {
    struct Slot {
        std::atomic<const void*> key{nullptr};
        std::atomic<void*> value{nullptr};
    };
    static constexpr int kSlots = 4;
    Slot slots[kSlots];
    mutable std::mutex mutex;
    std::vector<std::pair<const void*, void*>> overflow;
    std::atomic<bool> hasOverflow{false};
    std::shared_ptr<Queue> target;
    std::atomic<bool> hasTarget{false};
};

Queue::Queue(std::string label, Kind kind)
    : label_(std::move(label)), kind_(kind), specifics_(std::make_unique<Specifics>()) {}

Queue::~Queue() = default;

std::shared_ptr<Queue> Queue::createSerial(std::string label) {
    return std::make_shared<detail::SerialQueue>(std::move(label));
}

std::shared_ptr<Queue> Queue::global(Priority priority) {
    // Never destroyed: jobs may still run on them while the process exits.
    static auto* queues = new std::shared_ptr<Queue>[3]{
        std::make_shared<detail::GlobalQueue>("global.low", Priority::Low),
        std::make_shared<detail::GlobalQueue>("global.default", Priority::Default),
        std::make_shared<detail::GlobalQueue>("global.high", Priority::High),
    };
    switch (priority) {
        case Priority::Low: return queues[0];
        case Priority::Default: return queues[1];
        case Priority::High: return queues[2];
    }
    return queues[1];
}

std::shared_ptr<Queue> Queue::main() {
    static auto* queue = new std::shared_ptr<Queue>(std::make_shared<detail::MainQueue>());
    return *queue;
}

void Queue::setSpecific(const void* key, void* value) {
    Specifics& sp = *specifics_;
    std::lock_guard lock(sp.mutex);
    for (Specifics::Slot& slot : sp.slots) {
        if (slot.key.load(std::memory_order_relaxed) == key) {
            slot.value.store(value, std::memory_order_release);
            return;
        }
    }
    auto it = std::find_if(sp.overflow.begin(), sp.overflow.end(), [key](const auto& kv) { return kv.first == key; });
    if (it != sp.overflow.end()) {
        if (value) {
            it->second = value;
        } else {
            sp.overflow.erase(it);
        }
    } else if (value) {
        for (Specifics::Slot& slot : sp.slots) {
            if (slot.key.load(std::memory_order_relaxed) == nullptr) {
                slot.value.store(value, std::memory_order_relaxed);
                slot.key.store(key, std::memory_order_release);
                return;
            }
        }
        sp.overflow.emplace_back(key, value);
    }
    sp.hasOverflow.store(!sp.overflow.empty(), std::memory_order_release);
}

void* Queue::specific(const void* key) const {
    const Specifics& sp = *specifics_;
    for (const Specifics::Slot& slot : sp.slots) {
        if (slot.key.load(std::memory_order_acquire) == key) return slot.value.load(std::memory_order_acquire);
    }
    if (!sp.hasOverflow.load(std::memory_order_acquire)) return nullptr;
    std::lock_guard lock(sp.mutex);
    for (const auto& [k, v] : sp.overflow) {
        if (k == key) return v;
    }
    return nullptr;
}

void* Queue::getSpecific(const void* key) {
    // The queue of the job running now lives at least as long as the job: no reference is taken.
    Queue* q = nullptr;
    if (Frame* frame = Frame::top()) {
        q = frame->queue();
    } else if (detail::onMainThread()) {
        static Queue* const mainQueue = main().get();
        q = mainQueue;
    }
    if (!q) return nullptr;
    if (void* value = q->specific(key)) return value;
    if (!q->specifics_->hasTarget.load(std::memory_order_acquire)) return nullptr;
    for (std::shared_ptr<Queue> t = q->target(); t; t = t->target()) {
        if (void* value = t->specific(key)) return value;
    }
    return nullptr;
}

void Queue::setTarget(std::shared_ptr<Queue> target) {
    if (kind_ != Kind::Serial) fatal("dispatch: setTarget() is for serial queues only");
    for (auto q = target; q; q = q->target()) {
        if (q.get() == this) fatal("dispatch: setTarget() would make a queue run inside itself");
    }
    std::lock_guard lock(specifics_->mutex);
    specifics_->hasTarget.store(target != nullptr, std::memory_order_release);
    specifics_->target = std::move(target);
}

std::shared_ptr<Queue> Queue::target() const {
    std::lock_guard lock(specifics_->mutex);
    return specifics_->target;
}

std::shared_ptr<Queue> Queue::current() {
    if (Frame* frame = Frame::top()) return frame->queue()->shared_from_this();
    // The main thread counts as running the main queue, as it does for the programs' event loop.
    if (detail::onMainThread()) return main();
    return nullptr;
}

}  // namespace platform::dispatch
