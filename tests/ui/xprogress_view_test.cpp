// The flat progress bar: its geometry per full scale, the position and its percentage text, and
// what it draws.

#include "ui/XProgressView.h"

#include "UiTestSupport.h"

#include <gtest/gtest.h>

#include <QLineEdit>

using uitest::countPixels;

TEST(XProgressView, FullScaleSetsTheStepTheSpareWidthAndWhereTheFillStarts) {
    struct Case {
        int maxNum;
        int expectedMax;
        double step, gSpace, x;
    };
    const Case cases[] = {
        {100, 100, 2.0, 4.0, 3.0},
        // Cut to hundredths: 200 / 3 = 66.666... gives 66.66, leaving 4.02.
        {3, 3, 66.66, 4.02, 3.01},
        {7, 7, 28.57, 4.01, 3.005},
        {0, 100, 2.0, 4.0, 3.0},
        {-5, 100, 2.0, 4.0, 3.0},
        // More units than pixels: each unit is a hundredth or less, cut to whole hundredths.
        {30000, 30000, 0.0, 204.0, 103.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.maxNum);
        XProgressView bar(QRect(10, 10, 204, 20));
        bar.setMaxNum(c.maxNum);
        EXPECT_EQ(bar.MaxNum(), c.expectedMax);
        EXPECT_DOUBLE_EQ(bar.maxpan(), 200.0);
        EXPECT_NEAR(bar.step(), c.step, 1e-9);
        EXPECT_NEAR(bar.gSpace(), c.gSpace, 1e-9);
        EXPECT_NEAR(bar.posRect().x(), c.x, 1e-9);
        EXPECT_DOUBLE_EQ(bar.posRect().y(), 1.0);
        EXPECT_DOUBLE_EQ(bar.posRect().height(), 18.0);
        EXPECT_DOUBLE_EQ(bar.posRect().width(), 0.0);
    }
}

TEST(XProgressView, PositionIsClampedAndShownAsAPercentageOfTheFullScale) {
    struct Case {
        int maxNum, position;
        int stored;
        double width;
        const char* text;
    };
    const Case cases[] = {
        {100, 50, 50, 100.0, "50%"},
        {100, -3, 0, 0.0, "0%"},
        {100, 110, 100, 200.0, "100%"},
        {100, 0, 0, 0.0, "0%"},
        {3, 1, 1, 66.66, "33%"},
        {3, 2, 2, 133.32, "67%"},
        // 0.57 x 100 is 56.99999... in double precision; single precision makes it 57.
        {100, 57, 57, 114.0, "57%"},
        {30, 10, 10, 66.6, "33%"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.position << " of " << c.maxNum);
        XProgressView bar(QRect(0, 0, 204, 20));
        bar.setMaxNum(c.maxNum);
        bar.updateProgress(c.position);
        EXPECT_EQ(bar.mPosition(), c.stored);
        EXPECT_NEAR(bar.posRect().width(), c.width, 1e-9);
        EXPECT_EQ(bar.simpLabel()->text().toStdString(), c.text);
    }
}

TEST(XProgressView, GeometryFollowsOnlyTheFullScaleNotAResize) {
    XProgressView bar(QRect(0, 0, 204, 20));
    bar.updateProgress(50);
    EXPECT_EQ(bar.simpLabel()->text().toStdString(), "50%");
    EXPECT_DOUBLE_EQ(bar.posRect().width(), 0.0) << "nothing is filled before the first setMaxNum";

    bar.setMaxNum(100);
    EXPECT_DOUBLE_EQ(bar.posRect().width(), 100.0) << "the stored position takes the new step";
    bar.resize(404, 20);
    bar.updateProgress(100);
    EXPECT_DOUBLE_EQ(bar.step(), 2.0);
    EXPECT_DOUBLE_EQ(bar.posRect().width(), 200.0);
    bar.setMaxNum(100);
    EXPECT_DOUBLE_EQ(bar.step(), 4.0);
    EXPECT_DOUBLE_EQ(bar.posRect().width(), 400.0);

    // The plain setter stores any value and leaves the fill alone.
    bar.setMPosition(250);
    EXPECT_EQ(bar.mPosition(), 250);
    EXPECT_DOUBLE_EQ(bar.posRect().width(), 400.0);
}

TEST(XProgressView, DrawsBackgroundFillAndABlackBorderWithTheLabelInTheMiddle) {
    XProgressView bar(QRect(0, 0, 204, 24));
    EXPECT_EQ(bar.simpLabel()->geometry(), QRect(62, 2, 80, 20));
    EXPECT_EQ(bar.simpLabel()->alignment() & Qt::AlignHCenter, Qt::AlignHCenter);
    bar.setBackGroundColor(Qt::blue);
    bar.setDrawColor(Qt::red);

    // Before the first setMaxNum a position fills nothing.
    bar.updateProgress(60);
    QImage shot = bar.grab().toImage();
    EXPECT_EQ(countPixels(shot, [](QColor c) { return c == QColor(Qt::red); }), 0);

    bar.setMaxNum(100);
    bar.updateProgress(25);  // 50 pixels from x = 3
    shot = bar.grab().toImage();
    const int y = 4;  // above the label
    EXPECT_EQ(shot.pixelColor(3, y), QColor(Qt::red));
    EXPECT_EQ(shot.pixelColor(52, y), QColor(Qt::red));
    EXPECT_EQ(shot.pixelColor(53, y), QColor(Qt::blue));
    EXPECT_EQ(shot.pixelColor(200, y), QColor(Qt::blue));
    for (QPoint border : {QPoint(0, 0), QPoint(1, 12), QPoint(202, 12), QPoint(203, 12), QPoint(100, 0),
                          QPoint(100, 1), QPoint(100, 22), QPoint(100, 23)})
        EXPECT_EQ(shot.pixelColor(border), QColor(Qt::black)) << border.x() << "," << border.y();
    EXPECT_EQ(shot.pixelColor(2, y), QColor(Qt::blue)) << "the full bar is centred, one pixel in from the border";
}
