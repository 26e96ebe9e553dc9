#pragma once
// A repeating timer on the main executor that is made once and then only paused and resumed:
// stop() moves its fire date to the distant future, begin() moves it to now, so that it fires
// on the next turn of the loop and then every interval. It is never invalidated while it lives.
// A timer in the common modes also fires during modal runs; one in the default mode that comes
// due during a modal run fires when the run ends.

#include "platform/MainExecutor.h"

#include <functional>
#include <memory>

namespace platform {

class PausableTimer {
public:
    enum class Mode { Default, Common };

    // Starts scheduled, first firing after one interval, unless startPaused.
    PausableTimer(MainExecutor& executor, std::chrono::nanoseconds interval, std::function<void()> action,
                  Mode mode = Mode::Default, bool startPaused = false);
    ~PausableTimer();
    PausableTimer(const PausableTimer&) = delete;
    PausableTimer& operator=(const PausableTimer&) = delete;

    void begin();  // fire date = now
    void stop();   // fire date = distant future
    // Fire date relative to now; a negative or zero delay means "now".
    void setFireAfter(std::chrono::nanoseconds delay);
    bool isPaused() const;
    std::chrono::nanoseconds interval() const;
    Mode mode() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace platform
