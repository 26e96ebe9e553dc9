// The firmware window as a user reads it, offscreen: every text it can show fits its place (the
// reboot countdown with its seconds at its 30 points, every status state, every percentage, the
// versions and the manifest error), the Program button and the web address read in each state,
// and nothing lies over the panel picture's screws and slots.

#include "firmware/FirmwareUpdateWindow.h"

#include "platform/Resources.h"
#include "platform/qt/QtMainExecutor.h"
#include "platform/testing/ScriptedUiServices.h"
#include "support/TestFiles.h"
#include "support/WindowLook.h"
#include "ui/TimerView.h"
#include "ui/XProgressView.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <string>
#include <vector>

namespace {

// The firmware window with the shipped manifest (or none), shown offscreen.
struct FirmwareWindow {
    explicit FirmwareWindow(const std::string& resources) : core(resources), window(store, core) {
        window.awakeFromNib();
        window.show();
    }
    platform::QtMainExecutor executor;
    platform::ScriptedUiServices ui;
    GCData store;
    XCoreData core;
    FirmwareUpdateWindow window;
};

}  // namespace

TEST(FirmwareWindowLook, EveryTextTheWindowCanShowFitsItsPlace) {
    testsupport::TempDir empty;
    FirmwareWindow shipped(platform::resourcesFolder());
    FirmwareWindow missing(empty.path());
    FirmwareUpdateWindow& w = shipped.window;
    using Label = FirmwareUpdateView::VersionLabel;

    // The countdown shows its text with the seconds whole, at 30 points: from the full length down.
    TimerView* countdown = w.bigNotingLabel();
    QLineEdit* countdownText = countdown->LabelTitile();
    EXPECT_EQ(countdown->lbTitle(), INF_REBOOT);
    EXPECT_EQ(countdownText->font().pointSize(), 30);
    EXPECT_TRUE(countdownText->font().bold());
    for (int seconds : {30, 29, 10, 9, 0}) {
        countdown->showTime(seconds);
        EXPECT_TRUE(look::fitsWhole(countdownText, countdownText->text())) << countdownText->text().toStdString();
        EXPECT_TRUE(countdownText->text().endsWith(QString::asprintf("%.2d", seconds)));
    }

    // Every state of the status line, and every percentage of a board.
    QLabel* status = w.lbstatusUpdate();
    for (int state = CFirmwareUpdate::kFailedHidden; state <= CFirmwareUpdate::kCompleteTurnOff; ++state) {
        w.logic().setActives(state);
        EXPECT_TRUE(look::fitsWhole(status, status->text())) << status->text().toStdString();
    }
    w.setProgressMax(1000);
    for (int block = 0; block <= 1000; block += 7) {
        w.logic().setProgress(block);
        EXPECT_TRUE(look::fitsWhole(status, status->text())) << status->text().toStdString();
    }

    struct Row {
        const char* label;
        QWidget* widget;
        std::vector<QString> texts;
    };
    std::vector<Row> table = {
        {"error line", missing.window.errolLabel(), {missing.window.errolLabel()->text()}},
        {"Program", w.programGoBtn(), {w.programGoBtn()->text()}},
        {"web address", w.productUrlBtn(), {w.productUrlBtn()->text(), "www.varnel.example"}},
    };
    // The versions: the shipped manifest's, or the defaults.
    for (Label version : {Label::lbfMcu1, Label::lbfMcu2, Label::lbfDsp1, Label::lbfDsp2}) {
        std::vector<QString> texts = {w.versionLabel(version)->text()};
        for (const char* text : DEFUALT_NAME_FIRWARE_STR) texts.push_back(QString::fromUtf8(text));
        table.push_back({"version", w.versionLabel(version), texts});
    }
    EXPECT_FALSE(missing.window.errolLabel()->text().isEmpty());
    for (QLabel* caption : w.findChildren<QLabel*>()) {
        if (caption->pixmap().isNull() && caption != status) table.push_back({"caption", caption, {caption->text()}});
    }
    for (const Row& row : table) {
        for (const QString& text : row.texts)
            EXPECT_TRUE(look::fitsWhole(row.widget, text)) << row.label << ": " << text.toStdString();
    }
}

// A longer title than the window was made for still shows whole, in a smaller font.
TEST(FirmwareWindowLook, TheCountdownShrinksItsFontOnlyForATextThatCannotFitOtherwise) {
    FirmwareWindow shipped(platform::resourcesFolder());
    TimerView* countdown = shipped.window.bigNotingLabel();
    QLineEdit* text = countdown->LabelTitile();
    countdown->setLbTitle("Equipment is rebooting and reloading its scenes,please wait...");
    countdown->showTime(30);
    EXPECT_LT(text->font().pointSize(), 30);
    EXPECT_TRUE(look::fitsWhole(text, text->text()));
    countdown->setLbTitle(INF_REBOOT);
    EXPECT_EQ(text->font().pointSize(), 30);
}

TEST(FirmwareWindowLook, TheProgramButtonAndTheWebAddressRead) {
    FirmwareWindow shipped(platform::resourcesFolder());
    FirmwareUpdateWindow& w = shipped.window;
    w.setProductUrl("www.varnel.example");
    EXPECT_EQ(look::unreadableButtons(&w), std::vector<std::string>{});
    EXPECT_EQ(dynamic_cast<PanelButton*>(w.productUrlBtn())->look(), PanelButton::Look::Link);
    // The board names and versions, white on the picture.
    for (QLabel* label : w.findChildren<QLabel*>()) {
        if (!label->pixmap().isNull() || label->text().isEmpty() || label == w.lbstatusUpdate()) continue;
        const QString text = label->text();
        EXPECT_GE(look::textContrast(&w, label, [&](bool on) { label->setText(on ? text : QString()); }), 4.5)
            << text.toStdString();
    }
}

TEST(FirmwareWindowLook, NothingLiesOverThePanelsScrewsOrSlots) {
    testsupport::TempDir empty;
    FirmwareWindow missing(empty.path());
    FirmwareUpdateWindow& w = missing.window;
    // Everything shown at once: the web address, the countdown, the notice, two status lines and
    // the manifest error.
    w.setProductUrl("www.varnel.example");
    w.startCountdown();
    w.setNoticeHidden(false);
    w.logic().setActives(CFirmwareUpdate::kCompleteTurnOff);
    ASSERT_FALSE(w.errolLabel()->text().isEmpty());
    ASSERT_TRUE(w.bigNotingLabel()->LabelTitile()->isVisibleTo(&w));
    EXPECT_EQ(look::controlsOverPanelFeatures(&w), std::vector<std::string>{});
}
