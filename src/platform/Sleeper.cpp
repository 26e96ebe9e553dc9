#include "platform/Sleeper.h"

#include <chrono>
#include <thread>

namespace platform {

Sleeper::~Sleeper() = default;

namespace {
class RealSleeper : public Sleeper {
public:
    void sleep(double seconds) override {
        if (seconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    }
};
}  // namespace

Sleeper& Sleeper::real() {
    static RealSleeper sleeper;
    return sleeper;
}

void RecordingSleeper::sleep(double seconds) {
    std::lock_guard lock(mutex_);
    sleeps_.push_back(seconds);
}

std::vector<double> RecordingSleeper::sleeps() const {
    std::lock_guard lock(mutex_);
    return sleeps_;
}

void RecordingSleeper::clear() {
    std::lock_guard lock(mutex_);
    sleeps_.clear();
}

}  // namespace platform
