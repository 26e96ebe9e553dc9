#pragma once
// The one epoll thread behind every read and write source and every timer.
//
// Each descriptor has one epoll registration whose interest is the union of the armed sources on
// it (epoll refuses a second registration of the same descriptor). A source is armed while it
// wants events; when its event comes the reactor disarms it and marks it firing, and the source
// reports back when its handler has finished, re-arming itself if it is still live. Epoll is
// level-triggered, so a descriptor that is still ready fires again at once: at most one handler
// invocation per source is in flight, and readiness is never lost.
//
// Registrations are one-shot: the kernel stops reporting a descriptor once it reported it, so an
// event costs no system call to silence it (only to listen again, and none when nothing listens
// afterwards); a silenced descriptor stays registered until it is listened to again or removed.
//
// Timers are kept in deadline order; one timerfd on CLOCK_MONOTONIC is set no later than the
// earliest (a removed timer may leave it set early: it then fires once for nothing). Nothing ever
// has to wake the reactor thread: epoll_ctl from any thread takes effect in an epoll_wait under
// way, and the thread that brings the earliest deadline forward sets the timerfd itself.
//
// Locking: the reactor's mutex is the innermost lock of the layer. Sources call in while holding
// their own mutex; the reactor never calls a source while holding its mutex.

#include "platform/dispatch/Dispatch.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace platform::dispatch::detail {

class SourceImpl;

class Reactor {
public:
    using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC on Linux
    using TimerKey = std::pair<Clock::time_point, uint64_t>;

    static Reactor& instance();

    // now + delay, held below the clock's end so that a huge delay cannot overflow.
    static Clock::time_point deadlineAfter(std::chrono::nanoseconds delay);

    // Descriptor sources. add() registers a disarmed source; remove() forgets it.
    void add(SourceImpl* source, const std::shared_ptr<SourceImpl>& strong, int fd, bool read);
    void remove(SourceImpl* source, int fd);
    void arm(SourceImpl* source, int fd);     // no effect while the source is firing
    void disarm(SourceImpl* source, int fd);  // no effect on a firing source
    void finishFiring(SourceImpl* source, int fd, bool rearm);

    // Timers. A source timer calls source->timerFired(generation) when due; a job timer posts the
    // job to the queue; a callback timer runs its callback on the reactor thread, which must
    // return at once (it takes only the worker pool's lock).
    TimerKey addTimer(Clock::time_point due, const std::shared_ptr<SourceImpl>& source, uint64_t generation);
    void addJobTimer(Clock::time_point due, std::shared_ptr<Queue> queue, Job job);
    TimerKey addCallbackTimer(Clock::time_point due, Job callback);
    void removeTimer(const TimerKey& key);

private:
    Reactor();
    void run();
    void handleDescriptor(uint64_t tag, uint32_t events, std::vector<std::shared_ptr<SourceImpl>>& fire);
    void fireDueTimers();

    struct Registration {
        SourceImpl* source;
        std::weak_ptr<SourceImpl> weak;
        bool read;
        bool armed = false;
        bool firing = false;
    };
    struct Entry {
        uint32_t generation = 0;
        uint32_t interest = 0;  // events registered with epoll now
        bool inEpoll = false;
        bool enabled = false;   // registered and not silenced by a one-shot report
        bool watching = false;  // a source on it is armed or in delivery (counted in watched_)
        std::vector<Registration> registrations;
    };
    struct Timer {
        std::weak_ptr<SourceImpl> source;
        uint64_t generation = 0;
        std::shared_ptr<Queue> queue;  // null with a job: a callback timer
        Job job;
    };

    Registration* findLocked(SourceImpl* source, int fd, Entry** entryOut);
    void updateLocked(int fd, Entry& entry);
    void setWatchingLocked(Entry& entry, bool watching);
    // The timerfd is set no later than the earliest timer: set again when a timer comes earlier
    // than it is set for, and after it fired; never for a removal.
    void armTimerfdByLocked(Clock::time_point due);
    void setTimerfdLocked(Clock::time_point due);

    int epoll_ = -1;
    int timerfd_ = -1;
    std::mutex mutex_;
    std::unordered_map<int, Entry> entries_;
    uint32_t nextGeneration_ = 1;
    std::map<TimerKey, Timer> timers_;
    uint64_t nextTimerId_ = 1;
    Clock::time_point timerfdDue_ = Clock::time_point::max();  // what the timerfd is set for
    std::atomic<int> watched_{0};  // descriptors with a source armed or in delivery
};

}  // namespace platform::dispatch::detail
