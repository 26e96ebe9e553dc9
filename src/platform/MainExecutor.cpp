#include "platform/MainExecutor.h"

#include "platform/Fatal.h"

#include <atomic>
#include <mutex>
#include <shared_mutex>

namespace platform {

namespace {
std::atomic<MainExecutor*> g_current{nullptr};
// Held shared while posting through postToCurrent, exclusively while an executor retires.
std::shared_mutex g_retiring;
}  // namespace

MainExecutor::~MainExecutor() { retire(); }

void MainExecutor::retire() {
    std::unique_lock lock(g_retiring);
    MainExecutor* self = this;
    g_current.compare_exchange_strong(self, nullptr);
}

bool MainExecutor::postToCurrent(Job job) {
    std::shared_lock lock(g_retiring);
    MainExecutor* executor = g_current.load();
    if (!executor) return false;
    executor->post(std::move(job));
    return true;
}

void MainExecutor::beginModal() { ++modalDepth_; }

void MainExecutor::endModal() {
    if (modalDepth_ == 0) return;
    if (--modalDepth_ > 0) return;
    std::vector<Job> jobs;
    jobs.swap(afterModal_);
    for (auto& job : jobs) post(std::move(job));
}

void MainExecutor::runWhenNotModal(Job job) {
    if (modalDepth_ == 0) {
        job();
    } else {
        afterModal_.push_back(std::move(job));
    }
}

MainExecutor& MainExecutor::current() {
    MainExecutor* executor = g_current.load();
    if (!executor) fatal("MainExecutor::current(): no main executor has been set");
    return *executor;
}

bool MainExecutor::hasCurrent() { return g_current.load() != nullptr; }

void MainExecutor::setCurrent(MainExecutor* executor) { g_current = executor; }

}  // namespace platform
