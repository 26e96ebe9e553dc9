// The main window and the about window of both programs as a user reads them, offscreen: every text
// they can show fits its place, every button title reads in each state, nothing lies over the
// panel picture's screws and slots, and the about window opens centred on the main window.

#include "ui/StartMainWindow.h"

#include "UiTestSupport.h"
#include "link/GCData.h"
#include "link/XCoreData.h"
#include "platform/testing/ScriptedUiServices.h"
#include "support/WindowLook.h"
#include "ui/VerWindow.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <memory>

namespace {

// A program's main window with its look prepared, and its about window filled from the program's
// own manifest, as the launch leaves them.
struct MainWindows {
    explicit MainWindows(const ProgramConstants& program)
        : store(program),
          core(programResourcesDir(program)),
          window(store, core) {
        window.prepareControls();
        const auto entries = readManifestEntries(core);
        auto entry = [&](size_t i) { return entries.at(i).value_or(std::string()); };
        window.setAboutTexts(entry(4), entry(5), entry(6), entry(7));
    }
    VerWindow& about() { return *window.aboutWindow(); }

    GCData store;
    XCoreData core;
    StartMainWindow window;
};

struct Program {
    const char* name;
    const ProgramConstants& constants;
};
const Program kPrograms[] = {{"Varnel Utility", kUtilityConstants}, {"Varnel Preset Conversion", kConversionConstants}};

}  // namespace

TEST(MainWindowLook, EveryTextTheWindowsCanShowFitsItsPlace) {
    for (const Program& program : kPrograms) {
        SCOPED_TRACE(program.name);
        MainWindows w(program.constants);
        VerWindow& about = w.about();
        struct Row {
            const char* label;
            QWidget* widget;
            std::vector<QString> texts;
        };
        const std::vector<Row> table = {
            {"device field",
             w.window.deviceField(),
             {"", "127.0.0.1", "192.168.100.200", "fe80::21b:21ff:fe3a:9c4d%enx00e04c6815f2",
              "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255", "/dev/ttyUSB0", "/dev/ttyUSB15",
              "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"}},
            {"Connect", w.window.connectBtn(), {"Connect", "Disconnect"}},
            {"refresh", w.window.refleshBtn(), {w.window.refleshBtn()->text()}},
            {"Preset", w.window.enterSaveLoadBtn(), {w.window.enterSaveLoadBtn()->text()}},
            {"Firmware", w.window.enterUpdateBtn(), {w.window.enterUpdateBtn()->text()}},
            {"About", w.window.aboutBtn(), {w.window.aboutBtn()->text()}},
            {"busy label", w.window.lbsync(), {w.window.lbsync()->text()}},
            {"product name", about.lb_Product_name(), {about.lb_Product_name()->text()}},
            {"version", about.lb_Product_version(), {about.lb_Product_version()->text()}},
            {"company", about.lb_Product_company(), {about.lb_Product_company()->text()}},
            {"web address", about.lb_Product_URL(), {about.lb_Product_URL()->text(), "www.varnel.example"}},
        };
        for (const Row& row : table) {
            for (const QString& text : row.texts)
                EXPECT_TRUE(look::fitsWhole(row.widget, text)) << row.label << ": " << text.toStdString();
        }
        // The manifest's texts may be of any length: one too long for its line shows its start and
        // ends with an ellipsis, never cut inside a letter.
        const std::vector<Row> longTexts = {
            {"product name",
             about.lb_Product_name(),
             {"Varnel Utility for the K42 Digital Mixing Console, Service Edition",
              "VarnelUtilityForTheK42DigitalMixingConsoleServiceEdition"}},
            {"version", about.lb_Product_version(), {"Version:3.6.3 build 20261211 release candidate 4 (signed images)"}},
            {"company",
             about.lb_Product_company(),
             {"Varnel Professional Audio Equipment Manufacturing Company Limited, Shenzhen"}},
            {"web address",
             about.lb_Product_URL(),
             {"https://www.varnel.example/support/downloads/firmware/k42/utility/latest/index.html"}},
        };
        for (const Row& row : longTexts) {
            for (const QString& text : row.texts)
                EXPECT_TRUE(look::elidesAtItsEnd(row.widget, text)) << row.label << ": " << text.toStdString();
        }
        // The captions show their fixed texts whole as well.
        for (QLabel* label : w.window.findChildren<QLabel*>()) {
            if (label->pixmap().isNull()) {
                EXPECT_TRUE(look::fitsWhole(label, label->text())) << label->text().toStdString();
            }
        }
    }
}

TEST(MainWindowLook, EveryButtonTitleReadsEnabledUnderTheMouseAndDisabled) {
    for (const Program& program : kPrograms) {
        SCOPED_TRACE(program.name);
        MainWindows w(program.constants);
        // The shipped manifests give no web address; a manifest that does shows its link.
        w.window.setAboutTexts("Varnel Utility", "Version:3.6.3", "Varnel", "www.varnel.example");
        for (QWidget* window : {static_cast<QWidget*>(&w.window), static_cast<QWidget*>(&w.about())}) {
            EXPECT_EQ(look::unreadableButtons(window), std::vector<std::string>{});
        }
        // The about texts read against the picture too.
        for (QLabel* text :
             {w.about().lb_Product_name(), w.about().lb_Product_version(), w.about().lb_Product_company()}) {
            const QString shown = text->text();
            EXPECT_GE(look::textContrast(&w.about(), text, [&](bool on) { text->setText(on ? shown : QString()); }),
                      4.5)
                << shown.toStdString();
        }
    }
}

TEST(MainWindowLook, NothingLiesOverThePanelsScrewsOrSlots) {
    for (const Program& program : kPrograms) {
        SCOPED_TRACE(program.name);
        MainWindows w(program.constants);
        w.window.setDeviceLabel("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
        w.window.setBusyLabelHidden(false);
        w.window.pbar()->setSpinnerVisible(true);
        EXPECT_EQ(look::controlsOverPanelFeatures(&w.window), std::vector<std::string>{});
        EXPECT_EQ(look::controlsOverPanelFeatures(&w.about()), std::vector<std::string>{});
    }
}

TEST(MainWindowLook, TheAboutWindowOpensCentredOnAndAboveTheMainWindow) {
    platform::ScriptedUiServices ui;
    MainWindows w(kUtilityConstants);
    w.window.move(150, 110);
    w.window.show();
    QRect shown;
    ui.onModal([&](platform::ModalWindow&) {
        shown = w.about().geometry();
        return -60006;
    });
    w.window.link().AboutVersionClick();
    const QRect main = w.window.geometry();
    EXPECT_TRUE(main.contains(shown)) << shown.x() << "," << shown.y() << " in " << main.x() << "," << main.y();
    EXPECT_LE((shown.center() - main.center()).manhattanLength(), 1);
    // Above it: a dialog of the main window, which the desktop keeps over its owner.
    EXPECT_EQ(w.about().parentWidget(), &w.window);
    EXPECT_TRUE(w.about().isWindow());
}
