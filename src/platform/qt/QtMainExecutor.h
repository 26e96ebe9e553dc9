#pragma once
// The main executor of the programs: jobs and timers run on the Qt GUI thread.

#include "platform/MainExecutor.h"

#include <QObject>
#include <mutex>
#include <unordered_set>

namespace platform {

class QtMainExecutor : public MainExecutor {
public:
    // Construct on the GUI thread after the QApplication; makes itself the current executor.
    QtMainExecutor();
    ~QtMainExecutor() override;

    void post(Job job) override;
    bool isMainThread() const override;
    TimerId scheduleAfter(std::chrono::nanoseconds delay, Job job) override;
    void cancelTimer(TimerId id) override;

private:
    QObject context_;  // lives on the GUI thread; queued calls are delivered to it in order
    std::mutex mutex_;
    std::unordered_set<TimerId> live_;
    TimerId next_ = 1;
};

}  // namespace platform
