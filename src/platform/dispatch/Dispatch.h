#pragma once
// Dispatch queues, sources and timers: the execution layer of the sockets.
//
// - Serial queues run one job at a time in FIFO order on a worker thread; a queue lives while it
//   has pending jobs or references, and dropping the last reference inside its own job is safe.
// - sync() runs after all earlier jobs and blocks the caller; "the current queue" is then that
//   queue (getSpecific works inside). sync() onto the queue already current aborts.
// - Global queues (three priorities) tolerate blocking jobs; threads are made on demand. However
//   many jobs block, serial queues, timers and sources keep running.
// - The main queue runs jobs on platform::MainExecutor::current().
// - Sources are created suspended; suspend/resume is counted; events are delivered only at count 0.
//   Read/write sources are level-triggered on one epoll reactor: at most one handler invocation in
//   flight per source; after a handler the source fires again while the descriptor is ready.
// - After cancel() the event handler never runs again; the cancel handler runs exactly once on the
//   target queue once the source is resumed; the layer never closes a descriptor.
// - Timers are one-shot on the monotonic clock and re-armable; a zero delay fires on the next turn.
//
// Handlers should capture weak references to their owners; a source releases its handlers after
// its cancel handler has run.
//
// Details of this implementation (the interface as agreed, plus runHereIfIdle() and
// Source::setBriefHandler(), which only spare thread hand-offs):
// - Serial queues run on a shared pool of threads made on demand; global queues use the same pool.
//   sync() on an idle serial queue without a target runs the job on the caller's thread.
// - At most 512 global-queue jobs run at once; more wait until one ends. The layer's own work
//   (serial-queue drains, timer fires and source deliveries, on any queue) never waits behind
//   them: it gets a thread of its own when none is idle.
// - Hand-offs are kept cheap by looking before sleeping: a pool thread that runs out of work, and
//   the reactor after it delivered events, keep looking for up to 50 us (yielding the processor
//   between looks, at most two pool threads at once) before they block, so that the next hop of
//   an exchange needs no thread wake-up. The reactor looks for another 50 us each time the pool
//   was handed work during the last look, while it watches a descriptor: a reply to a request in
//   flight then finds it awake. An idle program spends nothing once that has passed.
// - A serial queue's turn that a pool thread starts while it runs the layer's work (a queue's
//   jobs, a delivery, a timer fire), when no other thread is looking for work, is kept for that
//   thread: it runs it as soon as what it runs now returns (a drain steps aside after its current
//   job), so that a chain of hops (socket queue, delegate queue, socket queue) runs on one thread
//   without a wake-up. A turn it keeps waits at most 50 us while the thread stays in one piece of
//   work, however long that work runs and however many turns it keeps: it then goes to another
//   thread; a thread about to wait in sync() hands its turns on at once. Jobs of the global
//   queues keep nothing. Idle threads stop looking for work before they sleep while such looks
//   mostly find none (a steady bulk transfer), and take it up again when they find some.
// - The main thread counts as running the main queue even outside a main-queue job (current() and
//   getSpecific() answer for it), so sync() onto the main queue from the main thread aborts.
//   A main-queue job posted when no MainExecutor is set (the program is ending) is dropped.
// - sync() aborts also when the queue, or a queue it targets, is one this thread is running.
// - setTarget() is for serial queues; a target may be serial, main or global (global = none).
// - resume() of a source that is not suspended aborts. A source dropped without cancel() stops
//   delivering; its cancel handler then never runs.
// - Read getData() is 0 for a listening socket (no FIONREAD there) and for a peer that closed.
// - Epoll registrations are one-shot: a report silences the descriptor, and listening again after
//   the handler is one system call (none when nothing listens afterwards).
// - runHereIfIdle() and brief handlers (setBriefHandler) run a job on the calling thread, or the
//   reactor's, when its serial queue is idle: the job still runs as one of the queue's, in order,
//   and a socket's request or readiness reaches it without waking another thread. A job that a
//   brief handler posts joins its queue at once, ahead of whatever any thread posts there later;
//   only the thread that runs it is woken once the handler's queue is released (so that it finds
//   that queue idle), and until then its queue counts as busy.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform::dispatch {

using Job = std::function<void()>;

enum class Priority { Low, Default, High };

class Queue : public std::enable_shared_from_this<Queue> {
public:
    virtual ~Queue();

    // A new serial queue with a label (for traces and thread names).
    static std::shared_ptr<Queue> createSerial(std::string label);
    // The shared global queue of a priority; these run jobs concurrently.
    static std::shared_ptr<Queue> global(Priority priority = Priority::Default);
    // The main queue: jobs run on platform::MainExecutor::current().
    static std::shared_ptr<Queue> main();

    virtual void async(Job job) = 0;
    virtual void sync(const Job& job) = 0;

    const std::string& label() const { return label_; }
    bool isGlobal() const { return kind_ == Kind::Global; }
    bool isMain() const { return kind_ == Kind::Main; }

    // Queue-specific values. getSpecific looks at the queue the caller is running on, then at the
    // queues it targets; nullptr when the caller runs on no queue or none holds the key.
    void setSpecific(const void* key, void* value);
    void* specific(const void* key) const;
    static void* getSpecific(const void* key);

    // A serial queue may target another serial queue: its jobs then run on that queue, in order
    // with the target's own jobs, and getSpecific sees the target's values too.
    void setTarget(std::shared_ptr<Queue> target);
    std::shared_ptr<Queue> target() const;

    // The queue the calling thread is running a job of, or null.
    static std::shared_ptr<Queue> current();

protected:
    enum class Kind { Serial, Global, Main };
    Queue(std::string label, Kind kind);

private:
    struct Specifics;
    const std::string label_;
    const Kind kind_;
    std::unique_ptr<Specifics> specifics_;
};

// Runs job on the calling thread, before returning, when queue is an idle serial queue without a
// target (nothing of it queued or running), and answers whether it did (false: the job was neither
// run nor posted). The job runs as a job of the queue, ahead of anything posted after it, sparing
// the hand-off to another thread of queue->async(job). For short jobs that never block (a
// socket's read or write request): the caller must hold nothing the job may need.
bool runHereIfIdle(const std::shared_ptr<Queue>& queue, const Job& job);

// Runs job on queue after delay (zero: as soon as the queue gets to it).
void after(std::chrono::nanoseconds delay, const std::shared_ptr<Queue>& queue, Job job);

class Source : public std::enable_shared_from_this<Source> {
public:
    enum class Type { Read, Write, Timer };

    virtual ~Source();

    // Read or write readiness of a descriptor, delivered on queue. Created suspended.
    static std::shared_ptr<Source> makeRead(int fd, std::shared_ptr<Queue> queue);
    static std::shared_ptr<Source> makeWrite(int fd, std::shared_ptr<Queue> queue);
    // A one-shot timer delivered on queue. Created suspended and unarmed.
    static std::shared_ptr<Source> makeTimer(std::shared_ptr<Queue> queue);

    virtual void setEventHandler(Job handler) = 0;
    virtual void setCancelHandler(Job handler) = 0;

    // Read and write sources whose handler is brief and never blocks or waits for another queue
    // (a socket's own read or write pass): when the source's queue is an idle serial queue
    // without a target, the reactor runs the handler at once on its own thread, as a job of
    // that queue, sparing the hand-off to a pool thread. What the handler posts, and a socket
    // request it makes, keeps its place ahead of what is posted or asked for after it from any
    // thread. Off by default.
    virtual void setBriefHandler(bool brief) = 0;

    virtual void resume() = 0;
    virtual void suspend() = 0;
    virtual void cancel() = 0;
    virtual bool isCancelled() const = 0;

    // Inside a read handler: the bytes waiting on the descriptor (FIONREAD at handler time).
    // Inside a write handler: an estimate of the free space in the send buffer (at least 1).
    // Timers: the number of fires since the handler last ran.
    virtual size_t getData() const = 0;

    // Timers only: arms (or re-arms) the timer to fire once, delay from now on the monotonic
    // clock. A fire already queued for an earlier arming is dropped.
    virtual void setTimer(std::chrono::nanoseconds delay) = 0;

    virtual Type type() const = 0;
    virtual int descriptor() const = 0;  // -1 for timers
};

}  // namespace platform::dispatch
