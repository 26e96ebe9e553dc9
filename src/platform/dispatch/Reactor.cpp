#include "platform/dispatch/Reactor.h"

#include "platform/dispatch/Internal.h"
#include "platform/dispatch/SourceImpl.h"
#include "platform/dispatch/WorkerPool.h"

#include "platform/Trace.h"

#include <cerrno>
#include <cstring>
#include <pthread.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <thread>
#include <unistd.h>

namespace platform::dispatch::detail {

namespace {
// epoll tags: the timerfd has tag 0; a descriptor has its entry's generation (never 0) in the
// high half and its number in the low half, so that an event fetched for a registration that
// has since been dropped, and perhaps re-made for a reused number, is recognised as stale.
constexpr uint64_t kTimerTag = 0;

// How long the reactor keeps looking without blocking after it delivered events.
constexpr auto kPollAfterEvents = std::chrono::microseconds(50);

uint64_t tagOf(uint32_t generation, int fd) { return (uint64_t(generation) << 32) | uint32_t(fd); }

constexpr uint32_t kReadReady = EPOLLIN | EPOLLPRI | EPOLLRDHUP | EPOLLHUP | EPOLLERR;
constexpr uint32_t kWriteReady = EPOLLOUT | EPOLLHUP | EPOLLERR;
}  // namespace

Reactor& Reactor::instance() {
    // Never destroyed: its thread runs until the process exits.
    static Reactor* reactor = new Reactor();
    return *reactor;
}

Reactor::Clock::time_point Reactor::deadlineAfter(std::chrono::nanoseconds delay) {
    const Clock::time_point now = Clock::now();
    const auto room = Clock::time_point::max() - now - std::chrono::hours(24);
    return delay >= room ? now + room : now + delay;
}

Reactor::Reactor() {
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0) fatal("dispatch: epoll_create1 failed");
    timerfd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (timerfd_ < 0) fatal("dispatch: timerfd_create failed");
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kTimerTag;
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, timerfd_, &ev) != 0) fatal("dispatch: cannot watch the timerfd");
    try {
        std::thread([this] { run(); }).detach();
    } catch (const std::system_error&) {
        fatal("dispatch: cannot start the reactor thread");
    }
}

void Reactor::run() {
    pthread_setname_np(pthread_self(), "varnel-reactor");
    epoll_event events[64];
    std::vector<std::shared_ptr<SourceImpl>> fire;
    // After events, the reactor looks again without blocking for a short while: traffic comes in
    // quick exchanges, and a descriptor that becomes ready while the reactor is not asleep costs
    // the writer no wake-up and the reader no wake-up latency.
    Clock::time_point pollUntil{};
    uint64_t submissionsSeen = 0;
    for (;;) {
        Clock::time_point now = Clock::now();
        if (now >= pollUntil && pollUntil != Clock::time_point{}) {
            // The look goes on for another while only if the pool was handed work during the last
            // one: a reply to a request in flight is then likely. Idle, the reactor blocks.
            const uint64_t submissions = WorkerPool::instance().submissions();
            pollUntil = submissions != submissionsSeen ? now + kPollAfterEvents : Clock::time_point{};
            submissionsSeen = submissions;
        }
        // With no descriptor armed or in delivery no event can come but a timer's: looking would
        // be for nothing.
        const bool polling = now < pollUntil && watched_.load(std::memory_order_relaxed) > 0;
        const int n = epoll_wait(epoll_, events, 64, polling ? 0 : -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            fatal("dispatch: epoll_wait failed");
        }
        if (n == 0) {
            sched_yield();  // on a busy machine the threads that do the work get the processor
            continue;
        }
        bool descriptorEvents = false;
        for (int i = 0; i < n; ++i) {
            if (events[i].data.u64 == kTimerTag) {
                fireDueTimers();
            } else {
                handleDescriptor(events[i].data.u64, events[i].events, fire);
                descriptorEvents = true;
            }
        }
        for (auto& source : fire) source->post();
        fire.clear();  // a source whose last owner let go is destroyed here, outside the lock
        // A timer tells nothing of the traffic to come; descriptor events do.
        if (!descriptorEvents) continue;
        pollUntil = Clock::now() + kPollAfterEvents;
        submissionsSeen = WorkerPool::instance().submissions();
    }
}

void Reactor::handleDescriptor(uint64_t tag, uint32_t events, std::vector<std::shared_ptr<SourceImpl>>& fire) {
    const int fd = int(uint32_t(tag));
    std::lock_guard lock(mutex_);
    auto it = entries_.find(fd);
    if (it == entries_.end() || it->second.generation != uint32_t(tag >> 32)) return;
    Entry& entry = it->second;
    // The report silenced the registration: no change of it has come since (its tag is current).
    entry.enabled = false;
    for (Registration& r : entry.registrations) {
        if (!r.armed || !(events & (r.read ? kReadReady : kWriteReady))) continue;
        r.armed = false;
        if (auto strong = r.weak.lock()) {
            r.firing = true;
            fire.push_back(std::move(strong));
        }
    }
    updateLocked(fd, entry);
}

Reactor::Registration* Reactor::findLocked(SourceImpl* source, int fd, Entry** entryOut) {
    auto it = entries_.find(fd);
    if (it == entries_.end()) return nullptr;
    for (Registration& r : it->second.registrations) {
        if (r.source == source) {
            *entryOut = &it->second;
            return &r;
        }
    }
    return nullptr;
}

void Reactor::updateLocked(int fd, Entry& entry) {
    uint32_t want = 0;
    bool watching = false;
    for (const Registration& r : entry.registrations) {
        if (r.armed) want |= r.read ? EPOLLIN : EPOLLOUT;
        watching = watching || r.armed || r.firing;
    }
    setWatchingLocked(entry, watching);
    if (want == 0) {
        // A silenced registration reports nothing: it stays as it is, ready to listen again
        // with one call. A live one is removed rather than left with an empty mask: epoll
        // reports hang-ups and errors even then.
        if (!entry.enabled) return;
        epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
        entry.inEpoll = false;
        entry.enabled = false;
        entry.interest = 0;
        return;
    }
    if (entry.enabled && want == entry.interest) return;
    // A new tag for every change: an event fetched before it is stale (it may describe readiness
    // that someone has since consumed), and epoll reports again whatever is still ready.
    entry.generation = nextGeneration_++;
    if (nextGeneration_ == 0) nextGeneration_ = 1;
    epoll_event ev{};
    ev.events = want | EPOLLONESHOT;
    ev.data.u64 = tagOf(entry.generation, fd);
    int rc = epoll_ctl(epoll_, entry.inEpoll ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev);
    // The descriptor may have been closed and its number reused behind our back: retry the
    // other way before giving up.
    if (rc != 0 && errno == ENOENT) rc = epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev);
    if (rc != 0 && errno == EEXIST) rc = epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &ev);
    if (rc != 0) {
        trace("dispatch: cannot watch descriptor %d: %s", fd, strerror(errno));
        entry.inEpoll = false;
        entry.enabled = false;
        entry.interest = 0;
        return;
    }
    entry.inEpoll = true;
    entry.enabled = true;
    entry.interest = want;
}

void Reactor::setWatchingLocked(Entry& entry, bool watching) {
    if (entry.watching != watching) watched_.fetch_add(watching ? 1 : -1, std::memory_order_relaxed);
    entry.watching = watching;
}

void Reactor::add(SourceImpl* source, const std::shared_ptr<SourceImpl>& strong, int fd, bool read) {
    std::lock_guard lock(mutex_);
    auto [it, inserted] = entries_.try_emplace(fd);
    if (inserted) {
        it->second.generation = nextGeneration_++;
        if (nextGeneration_ == 0) nextGeneration_ = 1;
    }
    it->second.registrations.push_back(Registration{source, strong, read});
}

void Reactor::remove(SourceImpl* source, int fd) {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(fd);
    if (it == entries_.end()) return;
    auto& regs = it->second.registrations;
    for (auto r = regs.begin(); r != regs.end(); ++r) {
        if (r->source == source) {
            regs.erase(r);
            break;
        }
    }
    if (regs.empty()) {
        if (it->second.inEpoll) epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
        setWatchingLocked(it->second, false);
        entries_.erase(it);
    } else {
        updateLocked(fd, it->second);
    }
}

void Reactor::arm(SourceImpl* source, int fd) {
    std::lock_guard lock(mutex_);
    Entry* entry = nullptr;
    Registration* r = findLocked(source, fd, &entry);
    if (!r || r->firing || r->armed) return;
    r->armed = true;
    updateLocked(fd, *entry);
}

void Reactor::disarm(SourceImpl* source, int fd) {
    std::lock_guard lock(mutex_);
    Entry* entry = nullptr;
    Registration* r = findLocked(source, fd, &entry);
    if (!r || !r->armed) return;
    r->armed = false;
    updateLocked(fd, *entry);
}

void Reactor::finishFiring(SourceImpl* source, int fd, bool rearm) {
    std::lock_guard lock(mutex_);
    Entry* entry = nullptr;
    Registration* r = findLocked(source, fd, &entry);
    if (!r) return;
    r->firing = false;
    r->armed = rearm;
    updateLocked(fd, *entry);
}

Reactor::TimerKey Reactor::addTimer(Clock::time_point due, const std::shared_ptr<SourceImpl>& source, uint64_t generation) {
    std::lock_guard lock(mutex_);
    TimerKey key{due, nextTimerId_++};
    timers_.emplace(key, Timer{source, generation, nullptr, {}});
    armTimerfdByLocked(due);
    return key;
}

void Reactor::addJobTimer(Clock::time_point due, std::shared_ptr<Queue> queue, Job job) {
    std::lock_guard lock(mutex_);
    TimerKey key{due, nextTimerId_++};
    timers_.emplace(key, Timer{{}, 0, std::move(queue), std::move(job)});
    armTimerfdByLocked(due);
}

Reactor::TimerKey Reactor::addCallbackTimer(Clock::time_point due, Job callback) {
    std::lock_guard lock(mutex_);
    TimerKey key{due, nextTimerId_++};
    timers_.emplace(key, Timer{{}, 0, nullptr, std::move(callback)});
    armTimerfdByLocked(due);
    return key;
}

void Reactor::removeTimer(const TimerKey& key) {
    std::lock_guard lock(mutex_);
    // The timerfd is left as it is: if it was set for this timer it fires for nothing once, which
    // costs less than setting it again at every removal (the worker pool sets and removes a short
    // timer whenever a thread keeps work for itself).
    timers_.erase(key);
}

void Reactor::armTimerfdByLocked(Clock::time_point due) {
    if (due < timerfdDue_) setTimerfdLocked(due);
}

void Reactor::setTimerfdLocked(Clock::time_point due) {
    timerfdDue_ = due;
    itimerspec when{};
    if (due != Clock::time_point::max()) {
        // steady_clock counts from the same origin as CLOCK_MONOTONIC; an all-zero value would
        // disarm the timer, so the earliest instant used is 1 ns.
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(due.time_since_epoch()).count();
        if (ns < 1) ns = 1;
        when.it_value.tv_sec = time_t(ns / 1000000000);
        when.it_value.tv_nsec = long(ns % 1000000000);
    }
    if (timerfd_settime(timerfd_, TFD_TIMER_ABSTIME, &when, nullptr) != 0) fatal("dispatch: timerfd_settime failed");
}

void Reactor::fireDueTimers() {
    uint64_t expirations;
    while (read(timerfd_, &expirations, sizeof expirations) < 0 && errno == EINTR) {
    }
    std::vector<Timer> due;
    {
        std::lock_guard lock(mutex_);
        const Clock::time_point now = Clock::now();
        while (!timers_.empty() && timers_.begin()->first.first <= now) {
            due.push_back(std::move(timers_.begin()->second));
            timers_.erase(timers_.begin());
        }
        // The timerfd has expired (it is one-shot), or was set again meanwhile for a timer taken
        // now or still waiting: it is set for the earliest one left. With none left, it may fire
        // once more for nothing.
        if (timers_.empty())
            timerfdDue_ = Clock::time_point::max();
        else
            setTimerfdLocked(timers_.begin()->first.first);
    }
    for (Timer& timer : due) {
        if (timer.queue) {
            postLayerWork(*timer.queue, std::move(timer.job));
        } else if (timer.job) {
            timer.job();
        } else if (auto source = timer.source.lock()) {
            source->timerFired(timer.generation);
        }
    }
}

}  // namespace platform::dispatch::detail

namespace platform::dispatch {

void after(std::chrono::nanoseconds delay, const std::shared_ptr<Queue>& queue, Job job) {
    if (!queue) fatal("dispatch: after() needs a queue");
    if (delay <= std::chrono::nanoseconds::zero()) {
        detail::postLayerWork(*queue, std::move(job));
        return;
    }
    detail::Reactor::instance().addJobTimer(detail::Reactor::deadlineAfter(delay), queue, std::move(job));
}

}  // namespace platform::dispatch
