// The countdown view on a manual clock: the texts it shows, when its block runs, stopping and
// restarting, ticking during modal runs, and timers that fire a little early or late.

#include "ui/TimerView.h"

#include "platform/testing/TestMainLoop.h"

#include <gtest/gtest.h>

#include <QLineEdit>

#include <memory>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

// A main loop whose timers fire `skew` after (positive) or before (negative) their time, as a
// real event loop's timers may; a timer too short to fire that early fires on time.
class SkewedLoop : public platform::TestMainLoop {
public:
    explicit SkewedLoop(std::chrono::milliseconds skew) : TestMainLoop(true), skew_(skew) {}
    TimerId scheduleAfter(std::chrono::nanoseconds delay, Job job) override {
        if (skew_ >= 0ms || delay > -skew_) delay += skew_;
        return TestMainLoop::scheduleAfter(delay, std::move(job));
    }

private:
    std::chrono::milliseconds skew_;
};

const std::string kTitle = "Equipment is rebooting,please wait...";

// A countdown on its own loop that records every text it shows and every run of its block, each
// with the time since the fixture started, in milliseconds.
struct Countdown {
    explicit Countdown(std::chrono::milliseconds skew = 0ms) : loop(skew), start(loop.now()) {
        view = std::make_unique<TimerView>(QRect(0, 0, 400, 40));
        view->setLbTitle(kTitle);
        QObject::connect(view->LabelTitile(), &QLineEdit::textChanged, [this](const QString& text) {
            texts.push_back({elapsed(), text.toStdString().substr(kTitle.size())});
        });
        view->setH_afterCounstDownGo([this] { blocks.push_back(elapsed()); });
    }
    long elapsed() const { return static_cast<long>((loop.now() - start) / 1ms); }
    bool labelShown() const { return !view->LabelTitile()->isHidden(); }

    struct Text {
        long at;
        std::string number;
        bool operator==(const Text&) const = default;
    };

    SkewedLoop loop;
    platform::MainExecutor::Clock::time_point start;
    std::unique_ptr<TimerView> view;
    std::vector<Text> texts;
    std::vector<long> blocks;
};

void PrintTo(const Countdown::Text& t, std::ostream* out) { *out << t.number << "@" << t.at; }

}  // namespace

TEST(TimerView, StartsPausedAndHiddenShowingSeventeenSeconds) {
    platform::TestMainLoop loop(true);
    TimerView view(QRect(10, 20, 300, 40));
    EXPECT_TRUE(view.LabelTitile()->isHidden());
    EXPECT_EQ(view.LabelTitile()->geometry(), QRect(0, 0, 300, 40));
    EXPECT_TRUE(view.LabelTitile()->isReadOnly());
    EXPECT_EQ(view.LabelTitile()->text(), "Hellow Iam counst down 17");
    EXPECT_FALSE(view.isCounting());
    loop.advance(60s);
    EXPECT_TRUE(view.LabelTitile()->isHidden());
    EXPECT_EQ(view.LabelTitile()->text(), "Hellow Iam counst down 17");
}

TEST(TimerView, LengthIsShownWithAtLeastTwoDigitsWithoutStartingOrShowing) {
    struct Case {
        int seconds;
        const char* number;
    };
    for (const Case& c : {Case{5, "05"}, Case{0, "00"}, Case{30, "30"}, Case{120, "120"}}) {
        Countdown countdown;
        countdown.view->setGaimTime(c.seconds);
        EXPECT_EQ(countdown.view->LabelTitile()->text().toStdString(), kTitle + c.number);
        EXPECT_FALSE(countdown.labelShown());
        EXPECT_FALSE(countdown.view->isCounting());
    }
}

TEST(TimerView, CountsDownOnceASecondAndRunsTheBlockOnceWhenTheLengthHasPassed) {
    using Texts = std::vector<Countdown::Text>;
    struct Case {
        const char* name;
        std::chrono::milliseconds skew;
        Texts texts;
        long blockAt;
    };
    const Case cases[] = {
        // The first tick comes at once and sees the full length.
        {"on time", 0ms, {{1000, "02"}, {2000, "01"}}, 3000},
        // An early tick waits for its time: 00 would show with a sliver left and the block
        // would run a second late.
        {"timers fire early", -1ms, {{1000, "02"}, {2000, "01"}}, 3000},
        // A late timer shows each number once, 00 at the last tick, and its lateness does not
        // add up from tick to tick.
        {"timers fire late", 4ms, {{4, "02"}, {1004, "01"}, {2004, "00"}}, 3004},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Countdown countdown(c.skew);
        countdown.view->setGaimTime(3);
        countdown.texts.clear();
        countdown.view->setTimeBegin();
        EXPECT_TRUE(countdown.labelShown());
        countdown.loop.advance(2500ms);
        EXPECT_TRUE(countdown.labelShown());
        EXPECT_TRUE(countdown.blocks.empty());
        countdown.loop.advance(10s);
        EXPECT_EQ(countdown.texts, c.texts);
        EXPECT_EQ(countdown.blocks, std::vector<long>{c.blockAt});
        EXPECT_FALSE(countdown.labelShown());
        EXPECT_FALSE(countdown.view->isCounting());
    }
}

TEST(TimerView, ZeroLengthEndsAtTheFirstTickAndNoBlockOnlyPausesAndHides) {
    Countdown countdown;
    countdown.view->setGaimTime(0);
    countdown.view->setTimeBegin();
    countdown.loop.drain();
    EXPECT_EQ(countdown.blocks, std::vector<long>{0});
    EXPECT_FALSE(countdown.labelShown());

    countdown.view->setH_afterCounstDownGo(nullptr);
    countdown.view->setTimeBegin();
    countdown.loop.advance(5s);
    EXPECT_EQ(countdown.blocks.size(), 1u);
    EXPECT_FALSE(countdown.labelShown());
    EXPECT_FALSE(countdown.view->isCounting());
}

TEST(TimerView, StoppingHidesTheLabelAndTheBlockNeverRuns) {
    Countdown countdown;
    countdown.view->setGaimTime(3);
    countdown.view->setTimeBegin();
    countdown.loop.advance(1500ms);
    countdown.view->setTimerInvalid();
    EXPECT_FALSE(countdown.labelShown());
    const auto texts = countdown.texts;
    countdown.loop.advance(30s);
    EXPECT_TRUE(countdown.blocks.empty());
    EXPECT_EQ(countdown.texts, texts);
    EXPECT_FALSE(countdown.labelShown());
}

TEST(TimerView, BeginningAgainRestartsFromTheFullLength) {
    Countdown countdown;
    countdown.view->setGaimTime(3);
    countdown.view->setTimeBegin();
    countdown.loop.advance(2000ms);
    EXPECT_EQ(countdown.texts.back().number, "01");
    countdown.view->setTimeBegin();
    countdown.loop.drain();
    EXPECT_EQ(countdown.texts.back(), (Countdown::Text{2000, "03"}));
    countdown.loop.advance(10s);
    EXPECT_EQ(countdown.blocks, std::vector<long>{5000});
}

TEST(TimerView, KeepsTickingWhileAWindowRunsModally) {
    Countdown countdown;
    countdown.view->setGaimTime(2);
    countdown.view->setTimeBegin();
    {
        platform::ModalScope modal(countdown.loop);
        countdown.loop.advance(2500ms);
        EXPECT_EQ(countdown.blocks, std::vector<long>{2000});
    }
}

TEST(TimerView, TheBlockMayDestroyTheView) {
    Countdown countdown;
    countdown.view->setGaimTime(1);
    countdown.view->setH_afterCounstDownGo([&] { countdown.view.reset(); });
    countdown.view->setTimeBegin();
    countdown.loop.advance(3s);
    EXPECT_EQ(countdown.view, nullptr);
}
