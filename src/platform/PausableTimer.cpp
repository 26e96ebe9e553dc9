#include "platform/PausableTimer.h"

namespace platform {

struct PausableTimer::State : std::enable_shared_from_this<State> {
    MainExecutor& executor;
    std::chrono::nanoseconds interval;
    std::function<void()> action;
    Mode mode;
    bool paused = true;
    MainExecutor::TimerId pending = 0;
    uint64_t generation = 0;  // bumps on every reschedule; stale fires are dropped

    State(MainExecutor& e, std::chrono::nanoseconds i, std::function<void()> a, Mode m)
        : executor(e), interval(i), action(std::move(a)), mode(m) {}

    void cancelPending() {
        if (pending) executor.cancelTimer(pending);
        pending = 0;
        ++generation;
    }

    void scheduleAfter(std::chrono::nanoseconds delay) {
        cancelPending();
        paused = false;
        std::weak_ptr<State> weak = shared_from_this();
        const uint64_t gen = generation;
        pending = executor.scheduleAfter(delay, [weak, gen] {
            if (auto self = weak.lock()) self->fire(gen);
        });
    }

    void fire(uint64_t gen) {
        if (gen != generation || paused) return;
        pending = 0;
        if (mode == Mode::Default && executor.inModalRun()) {
            // Held back until the modal run ends; a stop or reschedule meanwhile wins.
            std::weak_ptr<State> weak = shared_from_this();
            executor.runWhenNotModal([weak, gen] {
                if (auto self = weak.lock()) self->fire(gen);
            });
            return;
        }
        // Schedule the next fire before running the action, so that the action may stop or
        // re-begin the timer itself.
        scheduleAfter(interval);
        auto keep = shared_from_this();
        action();
    }
};

PausableTimer::PausableTimer(MainExecutor& executor, std::chrono::nanoseconds interval,
                             std::function<void()> action, Mode mode, bool startPaused)
    : state_(std::make_shared<State>(executor, interval, std::move(action), mode)) {
    if (!startPaused) state_->scheduleAfter(interval);
}

PausableTimer::~PausableTimer() {
    state_->paused = true;
    state_->cancelPending();
}

void PausableTimer::begin() { state_->scheduleAfter(std::chrono::nanoseconds(0)); }

void PausableTimer::stop() {
    state_->cancelPending();
    state_->paused = true;
}

void PausableTimer::setFireAfter(std::chrono::nanoseconds delay) {
    state_->scheduleAfter(delay.count() > 0 ? delay : std::chrono::nanoseconds(0));
}

bool PausableTimer::isPaused() const { return state_->paused; }
std::chrono::nanoseconds PausableTimer::interval() const { return state_->interval; }
PausableTimer::Mode PausableTimer::mode() const { return state_->mode; }

}  // namespace platform
