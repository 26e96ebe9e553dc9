// The look every window shares, offscreen: the one push button over the panel picture in each of
// its states, the link, where the picture has its screws and slots, and texts that fit their place.

#include "ui/PanelButton.h"
#include "ui/TextFit.h"

#include "UiTestSupport.h"
#include "platform/Resources.h"
#include "support/WindowLook.h"
#include "ui/ControlCategories.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QWidget>

#include <algorithm>

namespace {

// A small window over the panel picture with one button on it.
struct OnPanel {
    explicit OnPanel(PanelButton::Look look)
        : button(new PanelButton(QStringLiteral("Load to Computer"), QRect(40, 30, 180, 32), &window, look)) {
        window.resize(300, 100);
        loadBackGroundImage(&window, "body_off");
    }
    QWidget window;
    PanelButton* button;
};

// The button's look in a state: its title's contrast, and the colour of its face half-way across,
// near the top and near the bottom (the title sits in the middle).
struct Look {
    double title;
    QColor top, bottom;
};

Look lookOf(OnPanel& panel) {
    const QString title = panel.button->text();
    panel.button->setText(QString());
    const QImage face = look::shot(&panel.window, panel.button);
    panel.button->setText(title);
    const int x = face.width() / 2;
    return {look::titleContrast(&panel.window, panel.button), face.pixelColor(x, 4),
            face.pixelColor(x, face.height() - 5)};
}

double luminance(const QColor& c) {
    return look::luminance(c);
}

}  // namespace

TEST(PanelButton, TheTitleReadsOnEveryFaceAndADisabledButtonLooksDisabled) {
    OnPanel panel(PanelButton::Look::Face);
    PanelButton* b = panel.button;
    const Look idle = lookOf(panel);
    b->setAttribute(Qt::WA_UnderMouse, true);
    const Look hover = lookOf(panel);
    b->setDown(true);
    const Look pressed = lookOf(panel);
    b->setDown(false);
    b->setAttribute(Qt::WA_UnderMouse, false);
    b->setEnabled(false);
    const Look disabled = lookOf(panel);

    for (const auto& [name, state] : {std::pair{"idle", idle}, {"hover", hover}, {"pressed", pressed}}) {
        SCOPED_TRACE(name);
        EXPECT_GE(state.title, 4.5);
        // A face, not the panel seen through: the gradient runs from a lighter top to a darker
        // bottom when raised, the other way when pressed.
        EXPECT_NE(state.top, state.bottom);
    }
    EXPECT_GT(luminance(hover.top), luminance(idle.top)) << "the mouse lightens the face";
    EXPECT_LT(luminance(pressed.top), luminance(idle.top)) << "pressing darkens it";
    EXPECT_LT(luminance(pressed.top), luminance(pressed.bottom)) << "pressed in, lit from below";
    // Disabled: a flat face and a title dimmed well below the enabled one, still legible.
    EXPECT_EQ(disabled.top, disabled.bottom);
    EXPECT_LT(disabled.title, idle.title * 0.6);
    EXPECT_GE(disabled.title, 2.5);

    // The title's colour is the button's own: a light title on a light face would not pass.
    QPalette grey = b->palette();
    grey.setColor(QPalette::Active, QPalette::ButtonText, QColor(0x50, 0x58, 0x66));
    b->setPalette(grey);
    b->setEnabled(true);
    EXPECT_LT(look::titleContrast(&panel.window, b), 2.0);
}

TEST(PanelButton, ALinkHasNoFaceAnUnderlinedTitleAndAFaintFaceUnderTheMouse) {
    OnPanel panel(PanelButton::Look::Link);
    PanelButton* link = panel.button;
    link->setText(QStringLiteral("www.varnel.example"));
    EXPECT_GE(look::titleContrast(&panel.window, link), 4.5);
    EXPECT_EQ(link->cursor().shape(), Qt::PointingHandCursor);

    // Without its title the link is the panel itself.
    QWidget bare;
    bare.resize(panel.window.size());
    loadBackGroundImage(&bare, "body_off");
    link->setText(QString());
    EXPECT_EQ(look::shot(&panel.window, link), bare.grab(link->geometry()).toImage());
    // Under the mouse a faint face shows.
    link->setAttribute(Qt::WA_UnderMouse, true);
    EXPECT_NE(look::shot(&panel.window, link), bare.grab(link->geometry()).toImage());
    link->setAttribute(Qt::WA_UnderMouse, false);

    // The underline: a row of title pixels below the letters, as wide as most of the title.
    link->setText(QStringLiteral("www.varnel.example"));
    const QImage with = look::shot(&panel.window, link);
    link->setText(QString());
    const QImage without = look::shot(&panel.window, link);
    int widest = 0;
    for (int y = 0; y < with.height(); ++y) {
        int run = 0, longest = 0;
        for (int x = 0; x < with.width(); ++x) {
            run = with.pixel(x, y) != without.pixel(x, y) ? run + 1 : 0;
            longest = std::max(longest, run);
        }
        widest = std::max(widest, longest);
    }
    EXPECT_GT(widest, 80);
}

// The places tests keep controls away from are where the picture really has its screws and slots:
// every pixel that stands out from its row of brushed metal lies in one of them, and each of them
// holds such pixels.
TEST(PanelPicture, TheScrewsAndSlotsLieWhereTheWindowsKeepClearOf) {
    const QImage picture(QString::fromStdString(platform::resourcesFolder() + "/body_off.png"));
    ASSERT_EQ(picture.size(), QSize(720, 450));
    const auto features = look::pictureFeatures();
    std::vector<int> marked(features.size(), 0);
    int strays = 0;
    QPoint firstStray;
    constexpr int kBevel = 6;
    for (int y = kBevel; y < picture.height() - kBevel; ++y) {
        std::vector<int> row;
        for (int x = kBevel; x < picture.width() - kBevel; ++x) row.push_back(qGray(picture.pixel(x, y)));
        std::vector<int> sorted = row;
        std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
        const int median = sorted[sorted.size() / 2];
        for (int x = kBevel; x < picture.width() - kBevel; ++x) {
            if (std::abs(row[static_cast<size_t>(x - kBevel)] - median) <= 10) continue;
            bool inside = false;
            for (size_t f = 0; f < features.size(); ++f)
                if (features[f].contains(x, y)) {
                    inside = true;
                    ++marked[f];
                }
            if (!inside && strays++ == 0) firstStray = QPoint(x, y);
        }
    }
    EXPECT_EQ(strays, 0) << "the first at " << firstStray.x() << ", " << firstStray.y();
    for (size_t f = 0; f < features.size(); ++f) EXPECT_GT(marked[f], 20) << "feature " << f;
}

// A text too long for its label wraps, and what still does not fit ends with an ellipsis: the
// start is always shown.
TEST(FitLabel, WrapsAtSpacesOrInsideALongWordAndElidesOnlyAtTheEnd) {
    const QString sentence = QStringLiteral("Import all memory data over ,begin to synchronize presetlist from device");
    struct Case {
        const char* name;
        QString text;
        int lines;   // the label's height in lines
        bool whole;  // every word shown
    };
    const Case cases[] = {
        {"a sentence on two lines", sentence, 2, true},
        {"a path without spaces on two lines", QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI"), 2,
         true},
        {"a sentence cut to one line", sentence, 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QWidget window;
        window.resize(320, 200);
        FitLabel label(&window);
        const int lineHeight = QFontMetrics(label.font()).lineSpacing();
        label.setGeometry(0, 0, 300, c.lines * lineHeight + 2);
        label.setAlignment(Qt::AlignLeft | Qt::AlignTop);
        label.setText(c.text);
        const QImage full = label.grab().toImage();
        // The first line starts as the text starts.
        FitLabel start(&window);
        start.setGeometry(label.geometry());
        start.setAlignment(label.alignment());
        start.setText(c.text.left(6));
        const QImage head = start.grab().toImage();
        const int headWidth = QFontMetrics(label.font()).horizontalAdvance(c.text.left(6));
        EXPECT_EQ(full.copy(0, 0, headWidth - 2, lineHeight), head.copy(0, 0, headWidth - 2, lineHeight));
        // Every line has ink; the last line's end is the text's end or an ellipsis.
        for (int line = 0; line < c.lines; ++line) {
            const QImage band = full.copy(0, line * lineHeight, full.width(), lineHeight);
            EXPECT_GT(uitest::countPixels(band, [](QColor p) { return p.alpha() > 0; }), 0) << "line " << line;
        }
        EXPECT_EQ(look::fitsWhole(&label, c.text), c.whole);
    }
}

TEST(FitLabel, FontToFitShrinksOnlyAsFarAsTheWidthNeeds) {
    QFont bold;
    bold.setPointSize(30);
    bold.setBold(true);
    const QString text = QStringLiteral("Equipment is rebooting,please wait...29");
    const int full = QFontMetrics(bold).horizontalAdvance(text);
    struct Case {
        int width;
        int points;  // -1: the largest size that fits
    };
    for (const Case& c : {Case{full, 30}, Case{full + 100, 30}, Case{full - 1, -1}, Case{full / 2, -1}, Case{10, 8}}) {
        SCOPED_TRACE(c.width);
        const QFont fitted = fontToFit(bold, text, c.width);
        EXPECT_TRUE(fitted.bold());
        if (c.points > 0) {
            EXPECT_EQ(fitted.pointSize(), c.points);
            continue;
        }
        EXPECT_LE(QFontMetrics(fitted).horizontalAdvance(text), c.width);
        QFont larger = fitted;
        larger.setPointSize(fitted.pointSize() + 1);
        EXPECT_GT(QFontMetrics(larger).horizontalAdvance(text), c.width);
    }
}
