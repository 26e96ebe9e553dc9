#include "platform/testing/TestMainLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using platform::MainExecutor;
using platform::TestMainLoop;

TEST(TestMainLoop, RunsJobsFromOtherThreadsInOrderOnTheMainThread) {
    TestMainLoop loop;
    std::vector<int> order;
    std::atomic<bool> offMain{false};
    std::thread worker([&] {
        for (int i = 0; i < 100; ++i)
            loop.post([&, i] {
                if (!loop.isMainThread()) offMain = true;
                order.push_back(i);
            });
    });
    worker.join();
    ASSERT_TRUE(loop.runUntil([&] { return order.size() == 100; }));
    EXPECT_FALSE(offMain);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
    EXPECT_EQ(&MainExecutor::current(), &loop);
}

TEST(TestMainLoop, TimersFireInDeadlineOrderAndCancelledOnesNever) {
    TestMainLoop loop(true);
    std::vector<int> order;
    loop.scheduleAfter(30ms, [&] { order.push_back(3); });
    auto cancelled = loop.scheduleAfter(20ms, [&] { order.push_back(2); });
    loop.scheduleAfter(10ms, [&] { order.push_back(1); });
    loop.scheduleAfter(0ms, [&] { order.push_back(0); });
    loop.cancelTimer(cancelled);
    loop.advance(100ms);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 3}));
}

TEST(TestMainLoop, RealClockTimerFiresWithinRunUntil) {
    TestMainLoop loop;
    bool fired = false;
    loop.scheduleAfter(10ms, [&] { fired = true; });
    EXPECT_TRUE(loop.runUntil([&] { return fired; }, 2s));
}

TEST(TestMainLoop, RunWhenNotModalWaitsForTheOutermostRun) {
    TestMainLoop loop;
    int ran = 0;
    loop.runWhenNotModal([&] { ++ran; });
    EXPECT_EQ(ran, 1);
    loop.beginModal();
    loop.beginModal();
    loop.runWhenNotModal([&] { ++ran; });
    loop.endModal();
    loop.drain();
    EXPECT_EQ(ran, 1);
    loop.endModal();
    loop.drain();
    EXPECT_EQ(ran, 2);
}
