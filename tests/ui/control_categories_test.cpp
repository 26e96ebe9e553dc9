#include "ui/ControlCategories.h"

#include "UiTestSupport.h"
#include "platform/Resources.h"

#include <gtest/gtest.h>

#include <QButtonGroup>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QWidget>

#include <memory>

using uitest::countPixels;
using uitest::near;

namespace {

// An 8x8 picture with a different colour in each quadrant, served as the resource "quad".
class QuadPicture : public ::testing::Test {
protected:
    void SetUp() override {
        QImage quad(8, 8, QImage::Format_RGB32);
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 8; ++x)
                quad.setPixelColor(x, y, y < 4 ? (x < 4 ? Qt::red : Qt::green) : (x < 4 ? Qt::blue : Qt::white));
        ASSERT_TRUE(quad.save(QString::fromStdString(dir_ / "quad.png")));
        platform::setResourcesFolder(dir_.path());
    }
    void TearDown() override { platform::setResourcesFolder(""); }

    uitest::TempDir dir_;
};

QLabel* imageViewOf(QWidget& view) {
    return view.children().isEmpty() ? nullptr : qobject_cast<QLabel*>(view.children().front());
}

}  // namespace

TEST_F(QuadPicture, BackgroundIsStretchedOverTheViewsFrameAndLiesBelowItsControls) {
    struct Case {
        const char* name;
        QRect frame;       // the view's frame in its parent; no parent for a window
        bool window;
        QRect imageFrame;  // expected frame of the image view inside the view
    };
    const Case cases[] = {
        {"content view at the origin", QRect(0, 0, 200, 100), false, QRect(0, 0, 200, 100)},
        {"view at (30, 20) sees the picture shifted", QRect(30, 20, 200, 100), false, QRect(30, 20, 200, 100)},
        {"window covers itself whatever its screen position", QRect(40, 30, 200, 100), true, QRect(0, 0, 200, 100)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QWidget parent;
        parent.resize(300, 200);
        std::unique_ptr<QWidget> owned(c.window ? new QWidget : nullptr);
        QWidget* view = c.window ? owned.get() : new QWidget(&parent);
        view->setGeometry(c.frame);
        auto* button = new QPushButton("Connect", view);
        button->setGeometry(2, 2, 30, 16);

        loadBackGroundImage(view, "quad");

        QLabel* image = imageViewOf(*view);
        ASSERT_NE(image, nullptr) << "the image view is the lowest child";
        EXPECT_EQ(image->geometry(), c.imageFrame);
        EXPECT_LT(view->children().indexOf(image), view->children().indexOf(button));
        EXPECT_EQ(button->geometry(), QRect(2, 2, 30, 16));

        // Each quadrant of the picture fills a quarter of the image view: both axes stretched.
        const QImage shot = view->grab().toImage();
        const QRect& r = c.imageFrame;
        const struct {
            double fx, fy;
            QColor color;
        } samples[] = {{0.25, 0.25, Qt::red}, {0.75, 0.25, Qt::green}, {0.25, 0.75, Qt::blue}, {0.75, 0.75, Qt::white}};
        for (const auto& s : samples) {
            const QPoint p(r.x() + int(r.width() * s.fx), r.y() + int(r.height() * s.fy));
            ASSERT_TRUE(shot.rect().contains(p));
            EXPECT_TRUE(near(shot.pixelColor(p), s.color, 40))
                << "at " << p.x() << "," << p.y() << " got " << shot.pixelColor(p).name().toStdString();
        }

        // The image view keeps its first frame when the view grows.
        view->resize(400, 300);
        EXPECT_EQ(image->geometry(), c.imageFrame);
    }
}

TEST_F(QuadPicture, EachCallAddsAnImageViewAndAMissingPictureDrawsNothing) {
    QWidget view;
    view.resize(120, 80);
    auto* label = new QLabel("Device", &view);
    label->setGeometry(10, 10, 80, 20);

    loadBackGroundImage(&view, "quad");
    loadBackGroundImage(&view, "no_such_picture");

    const auto images = view.findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly);
    ASSERT_EQ(images.size(), 3);
    auto* missing = qobject_cast<QLabel*>(view.children().at(0));
    auto* quad = qobject_cast<QLabel*>(view.children().at(1));
    ASSERT_TRUE(missing && quad);
    EXPECT_TRUE(missing->pixmap().isNull());
    EXPECT_FALSE(quad->pixmap().isNull());
    EXPECT_EQ(view.children().at(2), label);
    EXPECT_EQ(label->text(), "Device");
    EXPECT_EQ(label->geometry(), QRect(10, 10, 80, 20));
}

TEST(BackgroundPicture, TheShippedPanelPictureIsFound) {
    QWidget view;
    view.resize(300, 200);
    loadBackGroundImage(&view, "body_off");
    QLabel* image = imageViewOf(view);
    ASSERT_NE(image, nullptr);
    ASSERT_FALSE(image->pixmap().isNull()) << platform::resourcesFolder();
    EXPECT_TRUE(image->hasScaledContents());
}

namespace {

bool isBlue(QColor c) { return c.blue() >= 150 && c.red() <= 90 && c.green() <= 90; }
bool isRed(QColor c) { return c.red() >= 150 && c.green() <= 90 && c.blue() <= 90; }

}  // namespace

TEST(TitleColours, TheLastColourShowsAndTextAndFontStay) {
    struct Case {
        const char* name;
        std::function<QWidget*()> make;
        std::function<void(QWidget*, QColor)> setColor;
        std::function<QString(QWidget*)> text;
        bool titled;
    };
    auto buttonText = [](QWidget* w) { return static_cast<QAbstractButton*>(w)->text(); };
    auto buttonColor = [](QWidget* w, QColor c) { setTextColor(static_cast<QAbstractButton*>(w), c); };
    const Case cases[] = {
        {"push button", [] { return new QPushButton("Connect"); }, buttonColor, buttonText, true},
        {"radio button", [] { return new QRadioButton("Scene"); }, buttonColor, buttonText, true},
        {"button with an empty title", [] { return new QPushButton(""); }, buttonColor, buttonText, false},
        {"group box", [] { return new QGroupBox("Preset type"); },
         [](QWidget* w, QColor c) { setTextColor(static_cast<QGroupBox*>(w), c); },
         [](QWidget* w) { return static_cast<QGroupBox*>(w)->title(); }, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<QWidget> widget(c.make());
        QFont font = widget->font();
        font.setPointSize(16);
        font.setBold(true);
        widget->setFont(font);
        widget->resize(180, 60);
        const QString text = c.text(widget.get());

        c.setColor(widget.get(), Qt::red);
        c.setColor(widget.get(), Qt::blue);

        EXPECT_EQ(c.text(widget.get()), text);
        EXPECT_EQ(widget->font(), font);
        const QImage shot = widget->grab().toImage();
        EXPECT_EQ(countPixels(shot, isRed), 0) << "the first colour is gone";
        if (c.titled)
            EXPECT_GT(countPixels(shot, isBlue), 10);
        else
            EXPECT_EQ(countPixels(shot, isBlue), 0);
    }
}

TEST(TitleColours, AGroupBoxTitleColourDoesNotReachTheControlsInside) {
    QGroupBox box("Channel");
    box.resize(200, 100);
    auto* inside = new QLabel("Preset 001", &box);
    inside->setGeometry(10, 40, 150, 30);
    const QColor before = inside->palette().color(QPalette::WindowText);

    setTextColor(&box, Qt::blue);

    EXPECT_EQ(inside->palette().color(QPalette::WindowText), before);
    EXPECT_EQ(countPixels(inside->grab().toImage(), isBlue), 0);
    EXPECT_GT(countPixels(box.grab(QRect(0, 0, 200, 35)).toImage(), isBlue), 10);
}

TEST(TitleColours, ARadioGroupColoursEveryCellInItsOrder) {
    QWidget panel;
    QButtonGroup group;
    const char* titles[] = {"Scene", "Dsp Channel", "DFX1", "DFX2", "GEQ"};
    for (int tag = 0; tag < 5; ++tag) {
        auto* cell = new QRadioButton(titles[tag], &panel);
        cell->setGeometry(0, tag * 30, 160, 28);
        group.addButton(cell, tag);
    }
    setTexColor(&group, Qt::blue);
    for (int tag = 0; tag < 5; ++tag) {
        SCOPED_TRACE(titles[tag]);
        QAbstractButton* cell = group.button(tag);
        EXPECT_EQ(cell->text(), titles[tag]);
        EXPECT_GT(countPixels(cell->grab().toImage(), isBlue), 10);
    }
}
