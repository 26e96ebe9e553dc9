// Cost of the dispatch layer against plain threads measured in the same run:
//  - an async hop onto a serial queue (one job and its wake-up; and a burst of jobs) against a
//    thread that serves a mutex/condition-variable queue;
//  - the latency from a byte written to a socketpair to the read handler running, against a
//    thread blocked in poll().
// Each pair is printed as a ratio (layer / baseline) after the table; the aim is 1.5 or less.

#include "platform/dispatch/Dispatch.h"

#include <benchmark/benchmark.h>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <poll.h>
#include <set>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using platform::dispatch::Queue;
using platform::dispatch::Source;

namespace {

// The one signal both sides of every comparison use to tell the benchmark thread "done".
class Signal {
public:
    void raise() {
        std::lock_guard lock(mutex_);
        ++count_;
        cv_.notify_one();
    }
    void waitFor(long count) {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return count_ >= count; });
    }
    void reset() {
        std::lock_guard lock(mutex_);
        count_ = 0;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    long count_ = 0;
};

// Baseline: one thread serving a mutex/condition-variable job queue.
class PlainWorker {
public:
    PlainWorker() : thread_([this] { loop(); }) {}
    ~PlainWorker() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        cv_.notify_one();
        thread_.join();
    }
    void post(std::function<void()> job) {
        {
            std::lock_guard lock(mutex_);
            jobs_.push_back(std::move(job));
        }
        cv_.notify_one();
    }

private:
    void loop() {
        std::unique_lock lock(mutex_);
        for (;;) {
            cv_.wait(lock, [&] { return stop_ || !jobs_.empty(); });
            if (jobs_.empty()) return;
            auto job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            job();
            lock.lock();
        }
    }
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> jobs_;
    bool stop_ = false;
    std::thread thread_;
};

constexpr int kBurst = 1000;

void BM_HopRoundTrip_Queue(benchmark::State& state) {
    auto queue = Queue::createSerial("bench");
    Signal done;
    long n = 0;
    for (auto _ : state) {
        queue->async([&] { done.raise(); });
        done.waitFor(++n);
    }
}

void BM_HopRoundTrip_PlainThread(benchmark::State& state) {
    PlainWorker worker;
    Signal done;
    long n = 0;
    for (auto _ : state) {
        worker.post([&] { done.raise(); });
        done.waitFor(++n);
    }
}

void BM_HopBurst_Queue(benchmark::State& state) {
    auto queue = Queue::createSerial("bench");
    Signal done;
    long n = 0;
    for (auto _ : state) {
        for (int i = 0; i < kBurst - 1; ++i) queue->async([] {});
        queue->async([&] { done.raise(); });
        done.waitFor(++n);
    }
    state.SetItemsProcessed(state.iterations() * kBurst);
}

void BM_HopBurst_PlainThread(benchmark::State& state) {
    PlainWorker worker;
    Signal done;
    long n = 0;
    for (auto _ : state) {
        for (int i = 0; i < kBurst - 1; ++i) worker.post([] {});
        worker.post([&] { done.raise(); });
        done.waitFor(++n);
    }
    state.SetItemsProcessed(state.iterations() * kBurst);
}

struct Pair {
    int a = -1, b = -1;
    Pair() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) == 0) {
            a = fds[0];
            b = fds[1];
        }
    }
    ~Pair() {
        close(a);
        close(b);
    }
};

void BM_ReadLatency_Source(benchmark::State& state) {
    Pair pair;
    auto queue = Queue::createSerial("bench");
    auto source = Source::makeRead(pair.a, queue);
    Signal done;
    source->setEventHandler([&] {
        char c;
        while (read(pair.a, &c, 1) == 1) done.raise();
    });
    source->resume();
    long n = 0;
    for (auto _ : state) {
        char c = 'x';
        if (write(pair.b, &c, 1) != 1) state.SkipWithError("write failed");
        done.waitFor(++n);
    }
    source->cancel();
    queue->sync([] {});
}

void BM_ReadLatency_PollThread(benchmark::State& state) {
    Pair pair;
    Signal done;
    int stop[2];
    if (pipe(stop) != 0) state.SkipWithError("pipe failed");
    std::thread reader([&] {
        pollfd fds[2] = {{pair.a, POLLIN, 0}, {stop[0], POLLIN, 0}};
        for (;;) {
            poll(fds, 2, -1);
            if (fds[1].revents) return;
            char c;
            while (read(pair.a, &c, 1) == 1) done.raise();
        }
    });
    long n = 0;
    for (auto _ : state) {
        char c = 'x';
        if (write(pair.b, &c, 1) != 1) state.SkipWithError("write failed");
        done.waitFor(++n);
    }
    if (write(stop[1], "q", 1) != 1) state.SkipWithError("write failed");
    reader.join();
    close(stop[0]);
    close(stop[1]);
}

BENCHMARK(BM_HopRoundTrip_Queue)->UseRealTime();
BENCHMARK(BM_HopRoundTrip_PlainThread)->UseRealTime();
BENCHMARK(BM_HopBurst_Queue)->UseRealTime();
BENCHMARK(BM_HopBurst_PlainThread)->UseRealTime();
BENCHMARK(BM_ReadLatency_Source)->UseRealTime();
BENCHMARK(BM_ReadLatency_PollThread)->UseRealTime();

// Prints the table as usual and keeps each benchmark's real time per iteration for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        // With repetitions the median stands for the benchmark; else the single run.
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                times[run.run_name.str()] = run.GetAdjustedRealTime();
                medians.insert(run.run_name.str());
            } else if (run.run_type == Run::RT_Iteration && !medians.count(run.run_name.str())) {
                times[run.run_name.str()] = run.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
    std::set<std::string> medians;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const std::pair<const char*, const char*> pairs[] = {
        {"BM_HopRoundTrip_Queue/real_time", "BM_HopRoundTrip_PlainThread/real_time"},
        {"BM_HopBurst_Queue/real_time", "BM_HopBurst_PlainThread/real_time"},
        {"BM_ReadLatency_Source/real_time", "BM_ReadLatency_PollThread/real_time"},
    };
    printf("\nratio (dispatch layer / plain baseline; aim <= 1.5)\n");
    for (const auto& [mine, base] : pairs) {
        auto m = reporter.times.find(mine);
        auto b = reporter.times.find(base);
        if (m == reporter.times.end() || b == reporter.times.end() || b->second <= 0) continue;
        printf("  %-32s %6.2f\n", mine, m->second / b->second);
    }
    benchmark::Shutdown();
    return 0;
}
