#pragma once
// The read, write and timer source behind Source.

#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/Reactor.h"

#include <atomic>
#include <mutex>

namespace platform::dispatch::detail {

class SourceImpl final : public Source {
public:
    SourceImpl(Type type, int fd, std::shared_ptr<Queue> queue);
    ~SourceImpl() override;

    void setEventHandler(Job handler) override;
    void setCancelHandler(Job handler) override;
    void setBriefHandler(bool brief) override { brief_.store(brief, std::memory_order_relaxed); }
    void resume() override;
    void suspend() override;
    void cancel() override;
    bool isCancelled() const override;
    size_t getData() const override;
    void setTimer(std::chrono::nanoseconds delay) override;
    Type type() const override { return type_; }
    int descriptor() const override { return fd_; }

    // Descriptor sources: registers with the reactor (disarmed). Called once, right after creation.
    void attach();

    // Called by the reactor, without its lock held.
    void post();                           // descriptor ready: the reactor marked us firing
    void timerFired(uint64_t generation);  // a deadline of this arming came

private:
    using SharedJob = std::shared_ptr<Job>;

    void deliverDescriptorEvent();
    void deliverTimer();
    void postTimerLocked();
    void maybeScheduleCancelLocked();
    void runCancel();
    size_t measureData() const;
    bool isReady(size_t data) const;  // descriptor sources, at handler time
    bool wantsEventsLocked() const { return !cancelled_ && suspendCount_ == 0 && handler_ != nullptr; }

    const Type type_;
    const int fd_;
    const std::shared_ptr<Queue> queue_;

    mutable std::mutex mutex_;
    SharedJob handler_;
    SharedJob cancelHandler_;
    int suspendCount_ = 1;  // sources are created suspended
    bool cancelled_ = false;
    bool cancelScheduled_ = false;
    bool running_ = false;  // the event handler is executing now
    bool registered_ = false;

    // Timers.
    uint64_t timerGeneration_ = 0;
    size_t pendingFires_ = 0;
    bool timerPosted_ = false;  // a delivery is queued or running
    bool hasTimerKey_ = false;
    Reactor::TimerKey timerKey_{};

    std::atomic<size_t> data_{0};
    std::atomic<bool> brief_{false};
};

}  // namespace platform::dispatch::detail
