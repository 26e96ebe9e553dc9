// One-shot timers and after(): firing, re-arming, dropped fires, suspension and cancel.

#include "platform/dispatch/Dispatch.h"

#include "dispatch/DispatchTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using dispatch_test::Counter;
using dispatch_test::Gate;
using dispatch_test::flush;
using dispatch_test::quietPeriod;
using dispatch_test::repeat;
using platform::dispatch::after;
using platform::dispatch::Queue;
using platform::dispatch::Source;

namespace {

TEST(Timer, FiresOnceAfterTheDelayOnItsQueue) {
    auto queue = Queue::createSerial("timer");
    auto timer = Source::makeTimer(queue);
    EXPECT_EQ(timer->type(), Source::Type::Timer);
    EXPECT_EQ(timer->descriptor(), -1);
    Counter fired;
    std::atomic<bool> onQueue{false};
    std::atomic<size_t> data{0};
    const auto start = std::chrono::steady_clock::now();
    std::atomic<std::chrono::steady_clock::duration> elapsed{};
    timer->setEventHandler([&] {
        elapsed = std::chrono::steady_clock::now() - start;
        onQueue = Queue::current() == queue;
        data = timer->getData();
        fired.add();
    });
    timer->setTimer(15ms);
    timer->resume();
    ASSERT_TRUE(fired.waitFor(1));
    quietPeriod();
    flush(queue);
    EXPECT_EQ(fired.value(), 1);  // one-shot
    EXPECT_GE(elapsed.load(), 15ms);
    EXPECT_TRUE(onQueue);
    EXPECT_EQ(data.load(), 1u);
    timer->cancel();
}

TEST(Timer, ReArmedAfterFiringFiresAgain) {
    auto queue = Queue::createSerial("timer");
    auto timer = Source::makeTimer(queue);
    Counter fired;
    // Re-armed from inside its own handler, as a socket's timeout extension does.
    timer->setEventHandler([&] {
        fired.add();
        if (fired.value() < 5) timer->setTimer(1ms);
    });
    timer->setTimer(1ms);
    timer->resume();
    ASSERT_TRUE(fired.waitFor(5));
    // And re-armed from outside once it has gone quiet.
    timer->setTimer(0ns);
    ASSERT_TRUE(fired.waitFor(6));
    quietPeriod();
    EXPECT_EQ(fired.value(), 6);
    timer->cancel();
    flush(queue);
}

TEST(Timer, ReArmingDropsTheEarlierArming) {
    struct Case {
        const char* name;
        std::chrono::nanoseconds firstDelay;
        bool gateQueue;  // hold the queue so that a fire of the first arming would wait there
        std::chrono::microseconds pauseStep;  // pause before re-arming: round number times this
    };
    const Case cases[] = {
        {"deadline not reached yet", 1h, false, 0us},
        {"fire already queued", 0ns, true, 500us},
        {"deadline passing as it is re-armed", 300us, true, 60us},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        repeat(60, 1s, [&](int round) {
            auto queue = Queue::createSerial("timer");
            auto timer = Source::makeTimer(queue);
            Counter fired;
            std::atomic<std::chrono::steady_clock::time_point> firstRun{};
            timer->setEventHandler([&] {
                if (fired.value() == 0) firstRun = std::chrono::steady_clock::now();
                fired.add();
            });
            timer->resume();
            std::optional<Gate> gate;
            if (c.gateQueue) gate.emplace(queue);
            timer->setTimer(c.firstDelay);
            std::this_thread::sleep_for(c.pauseStep * (round % 10));
            const auto rearmedAt = std::chrono::steady_clock::now();
            timer->setTimer(3ms);
            if (gate) gate->open();
            ASSERT_TRUE(fired.waitFor(1));
            quietPeriod();
            flush(queue);
            EXPECT_EQ(fired.value(), 1);
            EXPECT_GE(firstRun.load() - rearmedAt, 3ms);  // the fire seen is the second arming's
            timer->cancel();
            flush(queue);
        });
    }
}

TEST(Timer, CancelDropsAQueuedFireAndRunsTheCancelHandlerOnce) {
    repeat(100, 1s, [](int) {
        auto queue = Queue::createSerial("timer");
        auto timer = Source::makeTimer(queue);
        Counter fired, cancelled;
        timer->setEventHandler([&] { fired.add(); });
        timer->setCancelHandler([&] { cancelled.add(); });
        timer->resume();
        Gate gate(queue);
        timer->setTimer(0ns);
        std::this_thread::sleep_for(200us);
        timer->cancel();
        timer->setTimer(0ns);  // arming a cancelled timer does nothing
        gate.open();
        ASSERT_TRUE(cancelled.waitFor(1));
        quietPeriod();
        flush(queue);
        EXPECT_EQ(fired.value(), 0);
        EXPECT_EQ(cancelled.value(), 1);
    });
}

TEST(Timer, ZeroDelayFiresOnTheNextTurnOfTheQueue) {
    auto queue = Queue::createSerial("timer");
    auto timer = Source::makeTimer(queue);
    std::vector<std::string> order;  // touched on the queue only
    timer->setEventHandler([&] { order.push_back("timer"); });
    timer->resume();
    queue->sync([&] {
        timer->setTimer(0ns);
        queue->async([&] { order.push_back("queued after arming"); });
        order.push_back("arming job ends");
    });
    flush(queue);
    flush(queue);
    EXPECT_EQ(order, (std::vector<std::string>{"arming job ends", "timer", "queued after arming"}));
    timer->cancel();
    flush(queue);
}

TEST(Timer, FireWhileSuspendedIsHeldUntilResume) {
    auto queue = Queue::createSerial("timer");
    auto timer = Source::makeTimer(queue);
    Counter fired;
    std::atomic<size_t> data{0};
    timer->setEventHandler([&] {
        data = timer->getData();
        fired.add();
    });
    timer->setTimer(1ms);  // armed while still suspended (as created)
    quietPeriod();
    flush(queue);
    EXPECT_EQ(fired.value(), 0);
    timer->resume();
    ASSERT_TRUE(fired.waitFor(1));
    EXPECT_EQ(data.load(), 1u);
    // Suspended again after a fire was queued: deferred, not lost.
    Gate gate(queue);
    timer->setTimer(0ns);
    timer->suspend();
    gate.open();
    quietPeriod();
    flush(queue);
    EXPECT_EQ(fired.value(), 1);
    timer->resume();
    ASSERT_TRUE(fired.waitFor(2));
    timer->cancel();
    flush(queue);
}

// Timers armed one after another, some to fire before ones armed earlier, fire in the order of
// their deadlines. Each deadline lies between the clock read just before and just after its
// arming, plus its delay: the order is checked for every two timers told apart that way. On a
// loaded machine the arming itself can outlast the gaps between the delays; a round in which a
// timer armed later was not surely due before every earlier one with a longer delay is run again.
TEST(Timer, ManyTimersFireInDeadlineOrderOnOneQueue) {
    using Clock = std::chrono::steady_clock;
    const std::chrono::milliseconds delays[] = {40ms, 10ms, 30ms, 20ms, 50ms};
    constexpr size_t kTimers = std::size(delays);
    bool decisive = false;
    for (int round = 0; round < 20 && !decisive; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        auto queue = Queue::createSerial("timers");
        std::vector<size_t> order;  // queue only
        std::vector<std::shared_ptr<Source>> timers;
        Counter fired;
        Clock::time_point earliest[kTimers], latest[kTimers];  // where each deadline lies
        for (size_t i = 0; i < kTimers; ++i) {
            auto t = Source::makeTimer(queue);
            t->setEventHandler([&, i] {
                order.push_back(i);
                fired.add();
            });
            t->resume();
            earliest[i] = Clock::now() + delays[i];
            t->setTimer(delays[i]);
            latest[i] = Clock::now() + delays[i];
            timers.push_back(t);
        }
        ASSERT_TRUE(fired.waitFor(kTimers));
        flush(queue);
        ASSERT_EQ(order.size(), kTimers);
        size_t position[kTimers];
        for (size_t p = 0; p < kTimers; ++p) position[order[p]] = p;
        decisive = true;
        for (size_t i = 0; i < kTimers; ++i) {
            for (size_t j = 0; j < kTimers; ++j) {
                if (latest[i] < earliest[j]) {
                    EXPECT_LT(position[i], position[j]) << delays[i].count() << " ms fired after " << delays[j].count()
                                                        << " ms";
                } else if (j < i && delays[i] < delays[j]) {
                    decisive = false;  // armed later for an earlier deadline, but not surely due first
                }
            }
        }
        for (auto& t : timers) t->cancel();
        flush(queue);
    }
    EXPECT_TRUE(decisive) << "no round armed the timers quickly enough to tell their deadlines apart";
}

// A timer cancelled before its deadline may leave the reactor's clock set for that deadline; the
// timers left still fire at their own.
TEST(Timer, CancellingTheEarliestTimerLeavesTheLaterOnesOnTime) {
    auto queue = Queue::createSerial("timers");
    auto early = Source::makeTimer(queue);
    auto late = Source::makeTimer(queue);
    Counter earlyFired, lateFired;
    std::atomic<std::chrono::steady_clock::time_point> lateAt{};
    early->setEventHandler([&] { earlyFired.add(); });
    late->setEventHandler([&] {
        lateAt = std::chrono::steady_clock::now();
        lateFired.add();
    });
    early->resume();
    late->resume();
    const auto start = std::chrono::steady_clock::now();
    early->setTimer(10ms);
    late->setTimer(40ms);
    early->cancel();
    ASSERT_TRUE(lateFired.waitFor(1));
    EXPECT_GE(lateAt.load() - start, 40ms);
    quietPeriod();
    flush(queue);
    EXPECT_EQ(earlyFired.value(), 0);
    EXPECT_EQ(lateFired.value(), 1);
    late->cancel();
    flush(queue);
}

TEST(After, RunsTheJobOnTheQueueAfterTheDelay) {
    struct Case {
        const char* name;
        std::chrono::nanoseconds delay;
    };
    for (const Case& c : {Case{"zero delay", 0ns}, Case{"negative delay", -5ms}, Case{"short delay", 5ms}}) {
        SCOPED_TRACE(c.name);
        auto queue = Queue::createSerial("after");
        Counter ran;
        std::atomic<bool> onQueue{false};
        const auto start = std::chrono::steady_clock::now();
        std::atomic<std::chrono::steady_clock::duration> elapsed{};
        after(c.delay, queue, [&] {
            elapsed = std::chrono::steady_clock::now() - start;
            onQueue = Queue::current() == queue;
            ran.add();
        });
        ASSERT_TRUE(ran.waitFor(1));
        EXPECT_TRUE(onQueue);
        EXPECT_GE(elapsed.load(), std::max(c.delay, std::chrono::nanoseconds::zero()));
    }
}

}  // namespace
