#include "ui/XLCDView.h"
#include "ui/XoemTextField.h"

#include "UiTestSupport.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>

using uitest::near;
using uitest::PaintCounter;

namespace {

QColor centreOf(QWidget& w) {
    const QImage shot = w.grab().toImage();
    return shot.pixelColor(shot.width() / 2, shot.height() / 2);
}

}  // namespace

TEST(XLCDView, StartsUnlitBlackWithAGreenLitColourAndAGreyBorder) {
    XLCDView lamp(QRect(0, 0, 40, 20), nullptr);
    EXPECT_FALSE(lamp.isLighted());
    EXPECT_EQ(lamp.ColorOfunLighted(), QColor(Qt::black));
    EXPECT_EQ(lamp.ColorOfLighted(), QColor(Qt::green));
    const QImage shot = lamp.grab().toImage();
    EXPECT_EQ(shot.pixelColor(20, 10), QColor(Qt::black));
    EXPECT_EQ(shot.pixelColor(0, 0), QColor(100, 100, 100));
    EXPECT_EQ(shot.pixelColor(39, 19), QColor(100, 100, 100));
}

TEST(XLCDView, ShowsTheColourOfItsStateThroughTheLampInterface) {
    struct Case {
        bool lighted;
        util::LampColor lit, unlit;
        QColor shown;
    };
    const Case cases[] = {
        {false, util::LampColor::greenColor(), util::LampColor::grayColor(), QColor::fromRgbF(0.5f, 0.5f, 0.5f)},
        {true, util::LampColor::greenColor(), util::LampColor::grayColor(), QColor(Qt::green)},
        {true, {1.0, 0.0, 0.0, 1.0}, util::LampColor::blackColor(), QColor(Qt::red)},
        {false, {1.0, 0.0, 0.0, 1.0}, {0.0, 0.0, 1.0, 1.0}, QColor(Qt::blue)},
    };
    for (const auto& c : cases) {
        XLCDView view(QRect(0, 0, 40, 20), nullptr);
        util::StatusLamp& lamp = view;
        lamp.setColorOfLighted(c.lit);
        lamp.setColorOfunLighted(c.unlit);
        lamp.setIsLighted(c.lighted);
        EXPECT_EQ(lamp.isLighted(), c.lighted);
        EXPECT_TRUE(near(centreOf(view), c.shown, 1)) << centreOf(view).name().toStdString();
    }
}

TEST(XLCDView, NewColoursShowOnlyAtTheNextRedrawAndSwitchingAlwaysRedraws) {
    XLCDView lamp(QRect(0, 0, 40, 20), nullptr);
    PaintCounter counter;
    lamp.installEventFilter(&counter);
    lamp.show();
    ASSERT_TRUE(uitest::spinUntil([&] { return counter.paints > 0; }));

    int before = counter.paints;
    lamp.setIsLighted(true);
    ASSERT_TRUE(uitest::spinUntil([&] { return counter.paints > before; }));
    EXPECT_EQ(lamp.activeColor(), QColor(Qt::green));

    before = counter.paints;
    lamp.setColorOfLighted(QColor(Qt::red));
    lamp.setColorOfunLighted(util::LampColor::grayColor());
    uitest::spinFor(100);
    EXPECT_EQ(counter.paints, before) << "setting a colour asks for no redraw";
    EXPECT_EQ(lamp.activeColor(), QColor(Qt::green));

    lamp.setIsLighted(true);  // same state: still redrawn
    ASSERT_TRUE(uitest::spinUntil([&] { return counter.paints > before; }));
    EXPECT_EQ(lamp.activeColor(), QColor(Qt::red));
}

TEST(XoemTextField, SwitchesBetweenPlainLabelAndEditBoxKeepingTheText) {
    QLineEdit field("Varnel");
    const QColor standardBase = QApplication::palette(&field).color(QPalette::Base);

    setAsLabel(&field);
    EXPECT_FALSE(field.hasFrame());
    EXPECT_TRUE(field.isReadOnly());
    EXPECT_EQ(field.palette().color(QPalette::Base).alpha(), 0) << "draws no background";
    EXPECT_EQ(field.text(), "Varnel");

    setAsEdit(&field);
    EXPECT_TRUE(field.hasFrame());
    EXPECT_FALSE(field.isReadOnly());
    EXPECT_EQ(field.palette().color(QPalette::Base), standardBase);
    EXPECT_EQ(field.text(), "Varnel");
}
