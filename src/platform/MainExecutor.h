#pragma once
// The main thread's executor: jobs posted from any thread run FIFO on the main (GUI) thread,
// one-shot timers fire there, and it knows whether a modal run is active. The programs use the
// Qt adapter (platform/qt/QtMainExecutor.h); tests use TestMainLoop (platform/testing).

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace platform {

class MainExecutor {
public:
    using Clock = std::chrono::steady_clock;
    using Job = std::function<void()>;
    using TimerId = uint64_t;

    virtual ~MainExecutor();

    // Thread-safe. Jobs run on the main thread in the order they were posted.
    virtual void post(Job job) = 0;
    virtual bool isMainThread() const = 0;

    // One-shot timer on the main thread, after delay (zero: the next turn). Thread-safe.
    virtual TimerId scheduleAfter(std::chrono::nanoseconds delay, Job job) = 0;
    // A timer cancelled before it fired never runs. Unknown or fired ids are ignored.
    virtual void cancelTimer(TimerId id) = 0;
    virtual Clock::time_point now() const { return Clock::now(); }

    // Modal runs nest the event loop. Jobs handed to runWhenNotModal run at once when no modal
    // run is active, otherwise when the outermost one ends (main thread only).
    void beginModal();
    void endModal();
    bool inModalRun() const { return modalDepth_ > 0; }
    void runWhenNotModal(Job job);

    // The executor of this process (set by the program's main or by a test fixture).
    static MainExecutor& current();
    static bool hasCurrent();
    static void setCurrent(MainExecutor* executor);
    // Posts to the current executor, if there is one, without racing its destruction: threads
    // that may outlive the executor (a serial reader woken at exit) post through this. Returns
    // whether the job was posted.
    static bool postToCurrent(Job job);

protected:
    // Called first by the destructor of every executor: from then on nothing posts to it.
    void retire();

private:
    int modalDepth_ = 0;
    std::vector<Job> afterModal_;
};

// RAII for a modal run on the current executor.
class ModalScope {
public:
    explicit ModalScope(MainExecutor& executor) : executor_(executor) { executor_.beginModal(); }
    ~ModalScope() { executor_.endModal(); }
    ModalScope(const ModalScope&) = delete;
    ModalScope& operator=(const ModalScope&) = delete;

private:
    MainExecutor& executor_;
};

}  // namespace platform
