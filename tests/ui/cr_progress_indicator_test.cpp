// The themed progress bar: the fill rectangle by value, range and mode, the glide, the animation
// thread, and what it draws in the offscreen platform (bezel, fill inside the track's clip, theme
// and inactive colours, light spots and stripes).

#include "ui/CRProgressIndicator.h"

#include "UiTestSupport.h"
#include "platform/Resources.h"
#include "platform/qt/QtMainExecutor.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>

#include <cmath>
#include <limits>
#include <thread>

using namespace std::chrono_literals;
using uitest::near;
using uitest::PaintCounter;

namespace {

constexpr int kW = 562;
constexpr int kH = 20;

class Indicator : public ::testing::Test {
protected:
    // The drawn value reaches the target once the glide of a rise is over.
    static void settle(CRProgressIndicator& bar, double value) {
        bar.setDoubleValue(value);
        ASSERT_TRUE(uitest::spinUntil([&] { return bar.internalDoubleValue() == value; }));
    }

    // Waits until the animation thread has moved the step away from `from`.
    static int nextStep(const CRProgressIndicator& bar, int from) {
        QElapsedTimer clock;
        clock.start();
        while (bar.currentAnimationStep() == from && clock.elapsed() < 5000) std::this_thread::sleep_for(1ms);
        return bar.currentAnimationStep();
    }

    // Starts an animation that takes its first step and then holds it.
    static void animateOneStep(CRProgressIndicator& bar) {
        bar.setFrameInterval(std::chrono::hours(1));
        bar.startAnimation();
        nextStep(bar, 0);
    }

    static QImage shot(CRProgressIndicator& bar) { return bar.grab().toImage(); }

    platform::QtMainExecutor executor_;
};

using Stops = std::vector<std::pair<double, QColor>>;

// The fill colour at row y of a bar kH tall, from its gradient stops (the fill spans rows 1 to
// kH - 3, the stops at their share of that height).
QColor gradientAt(int y, const Stops& stops) {
    const double t = (y + 0.5 - 1.0) / (kH - 3.0);
    for (size_t i = 1; i < stops.size(); ++i) {
        if (t > stops[i].first) continue;
        const auto& [t0, c0] = stops[i - 1];
        const auto& [t1, c1] = stops[i];
        const double s = (t - t0) / (t1 - t0);
        auto mix = [s](float a, float b) { return static_cast<float>(a + (b - a) * s); };
        return QColor::fromRgbF(mix(c0.redF(), c1.redF()), mix(c0.greenF(), c1.greenF()), mix(c0.blueF(), c1.blueF()));
    }
    return stops.back().second;
}

QColor rgb(double r, double g, double b) {
    return QColor::fromRgbF(static_cast<float>(r), static_cast<float>(g), static_cast<float>(b));
}

// The fill's four greys while the window is not active.
Stops inactiveStops() {
    return {{0.0, rgb(0.845, 0.845, 0.845)},
            {0.48, rgb(0.737, 0.737, 0.737)},
            {0.49, rgb(0.665, 0.665, 0.665)},
            {1.0, rgb(0.585, 0.585, 0.585)}};
}

// Inside the track's rounded clip (1, 1, kW - 2, kH - 3, radius 3), judged by pixel centres.
bool insideTrack(int x, int y) {
    const double px = x + 0.5, py = y + 0.5;
    const double left = 1.0, top = 1.0, right = kW - 1.0, bottom = kH - 2.0, r = 3.0;
    if (px < left || px > right || py < top || py > bottom) return false;
    const double cx = std::clamp(px, left + r, right - r), cy = std::clamp(py, top + r, bottom - r);
    return std::hypot(px - cx, py - cy) <= r;
}

}  // namespace

TEST_F(Indicator, FillFollowsTheDrawnValueTheRangeAndTheMode) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        const char* name;
        double min, max, drawn;
        bool indeterminate;
        double width;
    };
    const Case cases[] = {
        {"half of 0 to 100", 0, 100, 50, false, 281},
        {"a third of 0 to 30", 0, 30, 10, false, 187},      // 187.33
        {"rounds half away from zero", 0, 1124, 1, false, 1},  // 0.5
        {"offset range", 10, 20, 15, false, 281},
        {"below the minimum", 10, 20, 5, false, -281},
        {"above the maximum, capped where the clip hides it", 0, 100, 150, false, kW + 2},
        {"huge value", 0, 100, 1e300, false, kW + 2},
        {"huge negative value", 0, 100, -1e300, false, -(kW + 2)},
        {"infinite value", 0, 100, inf, false, kW + 2},
        {"value that is not a number", 0, 100, nan, false, 0},
        {"empty range", 50, 50, 50, false, 0},
        {"reversed range", 100, 0, 50, false, 0},
        {"indeterminate fills the track", 0, 100, 0, true, kW},
        {"indeterminate ignores an empty range", 5, 5, 0, true, kW},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CRProgressIndicator bar(QRect(67, 5, kW, kH));
        bar.setMinValue(c.min);
        bar.setMaxValue(c.max);
        bar.setIndeterminate(c.indeterminate);
        bar.setInternalDoubleValue(c.drawn);
        const QRectF fill = bar.progressBarRect();
        EXPECT_EQ(fill, QRectF(1.0, 1.0, c.width, kH - 3.0));
    }
}

TEST_F(Indicator, SpotsAndStripesCountOnePer34PixelsAndTwoMore) {
    struct Case {
        double width;
        int count;
    };
    for (const Case& c : {Case{562, 19}, Case{564, 19}, Case{0, 2}, Case{17, 3}, Case{16, 2}, Case{-564, -15}}) {
        EXPECT_EQ(CRProgressIndicator::particleCount(c.width), c.count) << c.width;
    }
}

TEST_F(Indicator, ARiseGlidesALaterSettingEndsTheGlideAndAFallJumps) {
    CRProgressIndicator bar(QRect(0, 0, kW, kH));
    QElapsedTimer clock;
    clock.start();
    bar.setDoubleValue(10);
    EXPECT_EQ(bar.doubleValue(), 10);
    EXPECT_LT(bar.internalDoubleValue(), 10);
    ASSERT_TRUE(uitest::spinUntil([&] { return bar.internalDoubleValue() == 10; }));
    EXPECT_GE(clock.elapsed(), 250) << "the glide lasts 0.3 s";

    // A rise during a glide goes on from the value drawn at that moment.
    bar.setDoubleValue(20);
    uitest::spinUntil([&] { return bar.internalDoubleValue() > 12; });
    const double drawn = bar.internalDoubleValue();
    ASSERT_LT(drawn, 20);
    bar.setDoubleValue(30);
    EXPECT_GE(bar.internalDoubleValue(), drawn);
    EXPECT_LT(bar.internalDoubleValue(), 30);
    ASSERT_TRUE(uitest::spinUntil([&] { return bar.internalDoubleValue() == 30; }));

    // A fall during a glide jumps, and the glide does not come back.
    bar.setDoubleValue(40);
    uitest::spinFor(50);
    bar.setDoubleValue(5);
    EXPECT_EQ(bar.doubleValue(), 5);
    EXPECT_EQ(bar.internalDoubleValue(), 5);
    uitest::spinFor(400);
    EXPECT_EQ(bar.internalDoubleValue(), 5);

    // Indeterminate: no glide.
    bar.setIndeterminate(true);
    bar.setDoubleValue(50);
    EXPECT_EQ(bar.internalDoubleValue(), 50);
}

TEST_F(Indicator, OneAnimationThreadAtATimeStepping1To34AndResumingAfterAStop) {
    CRProgressIndicator bar(QRect(0, 0, kW, kH));
    // Each thread takes one step and then waits: every start shows as exactly one step.
    bar.setFrameInterval(1h);
    bar.stopAnimation();  // not animating: nothing happens
    EXPECT_FALSE(bar.isAnimating());
    EXPECT_EQ(bar.currentAnimationStep(), 0);

    std::vector<int> steps;
    for (int run = 0; run < 36; ++run) {
        const int before = bar.currentAnimationStep();
        bar.startAnimation();
        bar.startAnimation();  // already animating: no second thread
        EXPECT_TRUE(bar.isAnimating());
        steps.push_back(nextStep(bar, before));
        // A stop right after a start ends that thread; the next start joins it.
        bar.stopAnimation();
        EXPECT_FALSE(bar.isAnimating());
    }
    std::vector<int> expected;
    for (int run = 0; run < 36; ++run) expected.push_back(run % 34 + 1);
    EXPECT_EQ(steps, expected);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(bar.currentAnimationStep(), 2) << "no thread ran on after its stop";
}

TEST_F(Indicator, AnimatingRedrawsEvery20MsUntilStoppedOrDestroyed) {
    QWidget window;
    window.resize(kW + 20, 40);
    auto* bar = new CRProgressIndicator(QRect(10, 10, kW, kH), &window);
    PaintCounter counter;
    bar->installEventFilter(&counter);
    window.show();
    settle(*bar, 15);
    uitest::spinFor(50);

    int before = counter.paints;
    bar->startAnimation();
    EXPECT_TRUE(uitest::spinUntil([&] { return counter.paints - before >= 4 && bar->currentAnimationStep() > 1; }))
        << counter.paints - before << " redraws, step " << bar->currentAnimationStep();

    bar->stopAnimation();
    uitest::spinFor(60);
    before = counter.paints;
    const int step = bar->currentAnimationStep();
    uitest::spinFor(200);
    EXPECT_LE(counter.paints - before, 1) << "no timed redraws after the stop";
    EXPECT_EQ(bar->currentAnimationStep(), step);

    // Destroyed while animating: the thread is joined, and redraw requests still queued find
    // the indicator gone.
    bar->startAnimation();
    uitest::spinFor(60);
    std::this_thread::sleep_for(60ms);  // let requests pile up in the queue
    delete bar;
    uitest::spinFor(100);
}

TEST_F(Indicator, NoFillIsDrawnWhileTheTargetIsZeroOrLess) {
    CRProgressIndicator fresh(QRect(0, 0, kW, kH));
    const QImage bezelOnly = shot(fresh);
    // The track shows the bezel's dark trough.
    const QColor trough = bezelOnly.pixelColor(kW / 2, kH / 2);
    EXPECT_LT(std::max({trough.red(), trough.green(), trough.blue()}), 60) << trough.name().toStdString();
    EXPECT_EQ(bezelOnly.pixelColor(kW / 2, 0).alpha(), 255) << "the rim";

    struct Case {
        const char* name;
        std::function<void(CRProgressIndicator&)> setup;
    };
    const Case cases[] = {
        {"back to 0",
         [](CRProgressIndicator& bar) {
             settle(bar, 50);
             bar.setDoubleValue(0);
         }},
        {"negative", [](CRProgressIndicator& bar) { bar.setDoubleValue(-20); }},
        {"drawn value above 0, target 0",
         [](CRProgressIndicator& bar) {
             bar.setDoubleValue(0);
             bar.setInternalDoubleValue(50);
         }},
        {"animating at 0", animateOneStep},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CRProgressIndicator bar(QRect(0, 0, kW, kH));
        c.setup(bar);
        EXPECT_EQ(shot(bar), bezelOnly);
    }
}

TEST_F(Indicator, FillStripesAndSpotsStayInsideTheTrack) {
    CRProgressIndicator fresh(QRect(0, 0, kW, kH));
    const QImage bezelOnly = shot(fresh);
    struct Case {
        const char* name;
        std::function<void(CRProgressIndicator&)> setup;
    };
    const Case cases[] = {
        {"value far above the maximum", [](CRProgressIndicator& bar) { settle(bar, 1000); }},
        {"indeterminate",
         [](CRProgressIndicator& bar) {
             bar.setIndeterminate(true);
             bar.setDoubleValue(5);
         }},
        {"stripes over the bezel at 0",
         [](CRProgressIndicator& bar) {
             bar.setIndeterminate(true);
             animateOneStep(bar);
         }},
        {"spots over a full fill",
         [](CRProgressIndicator& bar) {
             settle(bar, 100);
             animateOneStep(bar);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CRProgressIndicator bar(QRect(0, 0, kW, kH));
        c.setup(bar);
        const QImage image = shot(bar);
        int changedInside = 0, changedOutside = 0;
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x) {
                if (image.pixel(x, y) == bezelOnly.pixel(x, y)) continue;
                if (insideTrack(x, y))
                    ++changedInside;
                else
                    ++changedOutside;
            }
        EXPECT_GT(changedInside, (kW - 2) * (kH - 3) / 3);
        // The clip's rounded corners may blend their edge pixels; nothing further out changes.
        EXPECT_LE(changedOutside, 16);
        for (QPoint p : {QPoint(0, 10), QPoint(kW - 1, 10), QPoint(200, 0), QPoint(200, kH - 1), QPoint(200, kH - 2),
                         QPoint(0, 0), QPoint(kW - 1, kH - 1)})
            EXPECT_EQ(image.pixel(p), bezelOnly.pixel(p)) << p.x() << "," << p.y();
    }
}

TEST_F(Indicator, ThemeColoursWhileTheWindowIsActiveGreysWhileItIsNot) {
    QWidget window;
    window.resize(kW + 20, 40);
    auto* bar = new CRProgressIndicator(QRect(10, 10, kW, kH), &window);
    window.show();
    settle(*bar, 100);

    auto stopsOf = [](std::initializer_list<QColor> colours) {
        const double at[5] = {0.0, 0.48, 0.49, 0.82, 1.0};
        Stops stops;
        for (const QColor& c : colours) stops.push_back({at[stops.size()], c});
        return stops;
    };
    const auto blue = stopsOf({rgb(0.635, 0.766, 0.957), rgb(0.395, 0.647, 0.935), rgb(0.248, 0.582, 0.935),
                               rgb(0.425, 0.700, 0.947), rgb(0.622, 0.842, 0.957)});
    const auto graphite = stopsOf({rgb(0.688, 0.718, 0.765), rgb(0.527, 0.580, 0.646), rgb(0.448, 0.511, 0.598),
                                   rgb(0.493, 0.554, 0.633), rgb(0.729, 0.779, 0.807)});
    const auto green = stopsOf({rgb(0.787, 0.904, 0.765), rgb(0.562, 0.795, 0.518), rgb(0.460, 0.742, 0.404),
                                rgb(0.546, 0.786, 0.501), rgb(0.732, 0.876, 0.701)});
    const auto orange = stopsOf({rgb(0.926, 0.682, 0.535), rgb(0.885, 0.522, 0.320), rgb(0.865, 0.446, 0.225),
                                 rgb(0.885, 0.526, 0.332), rgb(0.936, 0.727, 0.604)});

    struct Case {
        int theme;
        bool active;
        Stops stops;
    };
    const Case cases[] = {
        {0, true, blue},   {0, false, inactiveStops()}, {0, true, blue},   {1, true, graphite}, {2, true, green},
        {2, false, inactiveStops()}, {5, true, orange},  {7, true, blue},   {-1, true, blue},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "theme " << c.theme << (c.active ? " active" : " inactive"));
        // Only a change of theme sets it: the colours must follow a change of activation alone.
        if (bar->theme() != c.theme) bar->setTheme(c.theme);
        EXPECT_EQ(bar->theme(), c.theme);
        QApplication::setActiveWindow(c.active ? &window : nullptr);
        ASSERT_TRUE(uitest::spinUntil([&] { return window.isActiveWindow() == c.active; }));
        const QImage image = shot(*bar);
        // Rows clear of the inner shadow at the top: one above the sharp change, one below.
        for (int y : {4, 13}) {
            const QColor expected = gradientAt(y, c.stops);
            EXPECT_TRUE(near(image.pixelColor(kW / 2, y), expected, 3))
                << "row " << y << ": " << image.pixelColor(kW / 2, y).name().toStdString() << " for "
                << expected.name().toStdString();
        }
    }
    QApplication::setActiveWindow(nullptr);
}

TEST_F(Indicator, InnerShadowAndEndLineFrameTheFill) {
    CRProgressIndicator bar(QRect(0, 0, kW, kH));
    settle(bar, 50);  // 281 pixels from x = 1
    const QImage image = shot(bar);
    // The white shadow falls along the top edge of the fill, not along the bottom.
    EXPECT_GT(image.pixelColor(140, 1).lightness(), gradientAt(1, inactiveStops()).lightness() + 8);
    EXPECT_TRUE(near(image.pixelColor(140, kH - 3), gradientAt(kH - 3, inactiveStops()), 3));
    // The end line: one pixel right of the fill, lighter at the bottom than at the top.
    const QColor top = image.pixelColor(282, 2), bottom = image.pixelColor(282, kH - 3);
    EXPECT_EQ(top.red(), top.blue());
    EXPECT_GT(bottom.red(), top.red() + 30);
    CRProgressIndicator fresh(QRect(0, 0, kW, kH));
    EXPECT_EQ(image.pixel(283, 10), shot(fresh).pixel(283, 10)) << "the trough beyond the line";
}

TEST_F(Indicator, SpotsBrightenOnlyTheFill) {
    CRProgressIndicator bar(QRect(0, 0, kW, kH));
    settle(bar, 50);  // 281 pixels from x = 1
    const QImage still = shot(bar);
    animateOneStep(bar);
    const QImage lit = shot(bar);
    bar.stopAnimation();

    int brighter = 0;
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const QColor a = still.pixelColor(x, y), b = lit.pixelColor(x, y);
            if (x >= 282 || y < 1 || y >= kH - 2) {
                ASSERT_EQ(a, b) << x << "," << y;
                continue;
            }
            ASSERT_GE(b.red(), a.red());
            ASSERT_GE(b.green(), a.green());
            ASSERT_GE(b.blue(), a.blue());
            if (b != a) ++brighter;
        }
    EXPECT_GT(brighter, 1000);
    EXPECT_EQ(shot(bar), still) << "the stop's redraw draws no spots";
}

TEST_F(Indicator, WithoutItsPicturesTheBarStillDrawsItsFill) {
    uitest::TempDir empty;
    platform::setResourcesFolder(empty.path());
    CRProgressIndicator bar(QRect(0, 0, kW, kH));
    platform::setResourcesFolder("");
    settle(bar, 100);
    EXPECT_TRUE(near(shot(bar).pixelColor(kW / 2, 13), gradientAt(13, inactiveStops()), 3));
}
