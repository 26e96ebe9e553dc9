#include "platform/PausableTimer.h"
#include "platform/qt/QtMainExecutor.h"
#include "platform/qt/QtUiServices.h"
#include "support/QtSpin.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QTimer>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

using testsupport::spinUntil;

TEST(QtMainExecutor, JobsFromAnyThreadRunInOrderOnTheGuiThread) {
    platform::QtMainExecutor executor;
    std::vector<int> order;
    bool offMain = false;
    std::thread worker([&] {
        for (int i = 0; i < 50; ++i)
            executor.post([&, i] {
                offMain = offMain || !executor.isMainThread();
                order.push_back(i);
            });
    });
    worker.join();
    ASSERT_TRUE(spinUntil([&] { return order.size() == 50; }));
    EXPECT_FALSE(offMain);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(order[i], i);
}

TEST(QtMainExecutor, TimersFireUnlessCancelledAlsoWhenScheduledFromAnotherThread) {
    platform::QtMainExecutor executor;
    bool fired = false, cancelledFired = false, fromWorker = false;
    auto cancelled = executor.scheduleAfter(20ms, [&] { cancelledFired = true; });
    executor.scheduleAfter(30ms, [&] { fired = true; });
    executor.cancelTimer(cancelled);
    std::thread([&] { executor.scheduleAfter(0ms, [&] { fromWorker = true; }); }).join();
    ASSERT_TRUE(spinUntil([&] { return fired && fromWorker; }));
    EXPECT_FALSE(cancelledFired);
}

TEST(QtUiServices, RunModalEndsWithTheStopCodeAndHoldsDefaultModeTimers) {
    platform::QtMainExecutor executor;
    platform::QtUiServices ui;
    struct Window : platform::ModalWindow {
        void makeKeyWindow() override {}
        void closeWindow() override {}
    } window;
    int defaultFires = 0, commonFires = 0;
    platform::PausableTimer defaultTimer(executor, 5ms, [&] { ++defaultFires; });
    platform::PausableTimer commonTimer(executor, 5ms, [&] { ++commonFires; },
                                        platform::PausableTimer::Mode::Common);
    QTimer::singleShot(100, [&] { ui.stopModal(-60006); });
    EXPECT_EQ(ui.runModal(window), -60006);
    EXPECT_EQ(defaultFires, 0) << "default-mode timers wait for the modal run to end";
    EXPECT_GT(commonFires, 0);
    EXPECT_TRUE(spinUntil([&] { return defaultFires > 0; }));
}

// Closed without a button, an alert answers the button it names for that, by default the last.
TEST(QtUiServices, AnAlertClosedWithoutAButtonAnswersItsCloseAnswerByDefaultTheLast) {
    platform::QtUiServices ui;
    constexpr int kLast = platform::UiServices::kLastButton;
    struct Case {
        std::vector<std::string> buttons;
        int closeAnswer;
        int answer;
    };
    const Case cases[] = {
        {{"Yes", "No"}, kLast, 1},
        {{"OK", "No"}, kLast, 1},
        {{"OK"}, kLast, 0},
        {{"Don't Quit", "Quit"}, 0, 0},
        {{"Yes", "No"}, 2, 1},  // names no button
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.buttons.front() + " " + std::to_string(c.closeAnswer));
        QTimer::singleShot(50, [] {
            if (auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget())) box->reject();
        });
        const int answer = c.closeAnswer == kLast ? ui.alert("Warning!", "Delete selected preset ?", c.buttons)
                                                  : ui.alert("Warning!", "Delete selected preset ?", c.buttons,
                                                             c.closeAnswer);
        EXPECT_EQ(answer, c.answer);
    }
}
