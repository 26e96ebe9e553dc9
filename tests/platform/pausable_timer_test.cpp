#include "platform/PausableTimer.h"
#include "platform/testing/TestMainLoop.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using platform::PausableTimer;
using platform::TestMainLoop;

namespace {

struct TimerFixture : ::testing::Test {
    TestMainLoop loop{true};  // manual clock
    int fires = 0;
};

}  // namespace

TEST_F(TimerFixture, ScheduledTimerFirstFiresAfterOneInterval) {
    PausableTimer timer(loop, 200ms, [&] { ++fires; });
    loop.advance(199ms);
    EXPECT_EQ(fires, 0);
    loop.advance(1ms);
    EXPECT_EQ(fires, 1);
    loop.advance(1s);
    EXPECT_EQ(fires, 6);
}

TEST_F(TimerFixture, BeginFiresAtOnceThenEveryInterval) {
    PausableTimer timer(loop, 8s, [&] { ++fires; }, PausableTimer::Mode::Default, /*startPaused=*/true);
    loop.advance(60s);
    EXPECT_EQ(fires, 0) << "a paused timer never fires";

    timer.begin();
    loop.drain();
    EXPECT_EQ(fires, 1) << "begin fires on the next turn";
    loop.advance(8s);
    EXPECT_EQ(fires, 2);
    loop.advance(16s);
    EXPECT_EQ(fires, 4);
}

TEST_F(TimerFixture, StopPausesAndBeginResumes) {
    PausableTimer timer(loop, 1s, [&] { ++fires; });
    loop.advance(2s);
    ASSERT_EQ(fires, 2);

    timer.stop();
    EXPECT_TRUE(timer.isPaused());
    loop.advance(10s);
    EXPECT_EQ(fires, 2) << "no fire after stop";

    timer.begin();
    loop.drain();
    EXPECT_EQ(fires, 3);
    loop.advance(1s);
    EXPECT_EQ(fires, 4);
}

TEST_F(TimerFixture, ActionMayStopItsOwnTimer) {
    PausableTimer* self = nullptr;
    PausableTimer timer(loop, 1s, [&] {
        ++fires;
        self->stop();
    });
    self = &timer;
    loop.advance(5s);
    EXPECT_EQ(fires, 1);
}

TEST_F(TimerFixture, DefaultModeWaitsForModalRunCommonModeDoesNot) {
    int common = 0;
    PausableTimer defaultTimer(loop, 1s, [&] { ++fires; });
    PausableTimer commonTimer(loop, 1s, [&] { ++common; }, PausableTimer::Mode::Common);

    loop.beginModal();
    loop.advance(3s);
    EXPECT_EQ(common, 3);
    EXPECT_EQ(fires, 0);

    loop.endModal();
    loop.drain();
    EXPECT_EQ(fires, 1) << "the held fire runs once when the modal run ends";
    loop.advance(1s);
    EXPECT_EQ(fires, 2);
}

TEST_F(TimerFixture, StopDuringModalRunDropsTheHeldFire) {
    PausableTimer timer(loop, 1s, [&] { ++fires; });
    loop.beginModal();
    loop.advance(1s);
    timer.stop();
    loop.endModal();
    loop.advance(5s);
    EXPECT_EQ(fires, 0);
}

TEST_F(TimerFixture, DestroyedTimerNeverFires) {
    {
        PausableTimer timer(loop, 1s, [&] { ++fires; });
        timer.begin();
    }
    loop.advance(3s);
    EXPECT_EQ(fires, 0);
}
