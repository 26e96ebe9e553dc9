// The firmware window in the offscreen platform beside the main window, against the simulated
// mixer on loopback TCP: opened by the Firmware button, a whole run from the Program button with
// the real countdown (length 0), progress bar, lamps and status line, and closing.

#include "firmware/FirmwareUpdateWindow.h"
#include "link/MainWindowFixture.h"
#include "platform/Sleeper.h"
#include "platform/qt/QtMainExecutor.h"
#include "platform/testing/ScriptedUiServices.h"
#include "simfront/SimFronts.h"
#include "support/LoopbackLink.h"
#include "support/QtSpin.h"
#include "support/TestFiles.h"
#include "ui/StartMainWindow.h"
#include "ui/TimerView.h"
#include "ui/XLCDView.h"
#include "ui/XProgressView.h"

#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using Lamp = FirmwareUpdateView::Lamp;
using Label = FirmwareUpdateView::VersionLabel;

std::vector<uint8_t> image(size_t size, uint8_t seed) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 13 + seed);
    return bytes;
}

}  // namespace

TEST(FirmwareUpdateWindowTest, TheFirmwareButtonOpensTheWindowAndProgramRunsTheFourBoards) {
    testsupport::TempDir dir;
    const size_t sizes[4] = {2048, 1500, 3072, 1024};
    for (int board = 0; board < 4; ++board)
        testsupport::writeFile(dir / (std::string("lib/") + Firmware_BIN[board]),
                               image(sizes[board], static_cast<uint8_t>(board)));
    const std::string manifest = R"({"Firmwares": [{"MCU_VER2": "M2"}, {"MCU_VER1": "M1"}, {"DSP_VER2": "D2"},
        {"DSP_VER1": "D1"}, {"App_Name": "n"}, {"App_Ver": "v"}, {"compName": "c"}, {"URL": "www.varnel.example"},
        {"Utype": "0"}]})";
    testsupport::writeFile(dir / "lib/PE4471093357.json", std::vector<uint8_t>(manifest.begin(), manifest.end()));

    platform::QtMainExecutor executor;
    platform::ScriptedUiServices ui;
    platform::RecordingSleeper linkSleeper, windowSleeper;
    mainwindowtest::fakeRegistry();
    sim::LockedMixer mixer;
    sim::TcpFront tcp(mixer, "127.0.0.1", 0);
    const LinkSettings settings = testsupport::loopbackLinkSettings(tcp.port());
    sim::UdpFront udp({settings.probePort, "127.0.0.1", 32, 0ms});

    GCData gc;
    XCoreData core(dir.path());
    StartMainWindow main(gc, core, settings);
    main.link().setSleeper(&linkSleeper);
    main.awakeFromNib();
    FirmwareUpdateWindow firmware(gc, core);
    firmware.logic().setSleeper(&windowSleeper);
    firmware.logic().setRebootSeconds(0);
    firmware.awakeFromNib();
    main.updatePageButtons();
    EXPECT_TRUE(main.enterUpdateBtn()->isEnabled());

    // The crossed version labels, and the coded frames counted from the bottom edge.
    EXPECT_EQ(firmware.versionLabel(Label::lbfMcu2)->text(), "M2");
    EXPECT_EQ(firmware.versionLabel(Label::lbfMcu1)->text(), "M1");
    EXPECT_EQ(firmware.versionLabel(Label::lbfDsp1)->text(), "D2");
    EXPECT_EQ(firmware.versionLabel(Label::lbfDsp2)->text(), "D1");
    // The countdown covers its frame and may widen within the window.
    const QRect countdown = firmware.bigNotingLabel()->geometry();
    EXPECT_TRUE(countdown.contains(QRect(253, 400 - 251 - 50, 700, 50))) << countdown.x() << " " << countdown.width();
    EXPECT_EQ(countdown.height(), 50);
    EXPECT_TRUE(firmware.rect().contains(countdown));
    EXPECT_EQ(firmware.noticeLabel()->geometry(), QRect(215, 400 - 83 - 45, 380, 45));
    // The error line from its origin, 26 up from the bottom edge, as high as its font's line.
    const QRect error = firmware.errolLabel()->geometry();
    EXPECT_EQ(error.x(), firmware.versionLabel(Label::lbfMcu1)->x());
    EXPECT_EQ(error.bottom(), 400 - 26 - 1);
    EXPECT_EQ(error.width(), 550);
    EXPECT_EQ(error.height(), std::max(23, QFontMetrics(firmware.errolLabel()->font()).height()));
    for (QWidget* child : firmware.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (child == firmware.bigNotingLabel() || child->geometry() == firmware.rect()) continue;
        EXPECT_FALSE(child->geometry().intersects(firmware.bigNotingLabel()->geometry()))
            << child->metaObject()->className() << " lies under the countdown";
    }
    EXPECT_EQ(firmware.programGoBtn()->text(), "Program");
    EXPECT_EQ(firmware.programGoBtn()->palette().color(QPalette::ButtonText), QColor(Qt::white));
    EXPECT_EQ(firmware.productUrlBtn()->text(), "www.varnel.example");

    ASSERT_TRUE(testsupport::spinUntil([&] { return main.link().connectType() == kConnectTypeTcp; }));
    main.connectBtn()->click();
    ASSERT_TRUE(testsupport::spinUntil([&] { return gc.isconnected; }));
    EXPECT_FALSE(firmware.lampView(Lamp::statusLCD)->isLighted());

    // The switcher opens the window; while it runs modally the user programs and closes it.
    bool shown = false, lampLit = false, ended = false;
    ui.answerAlert(0);
    ui.onModal([&](platform::ModalWindow&) {
        shown = firmware.isVisible();
        lampLit = firmware.lampView(Lamp::statusLCD)->isLighted();
        firmware.programGoBtn()->click();
        ended = testsupport::spinUntil([&] {
            return firmware.logic().checkWhichFirwareBegin() == -1 && firmware.programGoBtn()->isEnabled();
        });
        firmware.close();
        return 0;
    });
    main.enterUpdateBtn()->click();
    EXPECT_TRUE(shown);
    EXPECT_TRUE(lampLit);
    ASSERT_TRUE(ended);
    const auto stops = ui.callsOf("stopModal");
    ASSERT_EQ(stops.size(), 1u);
    EXPECT_EQ(stops[0].code, -1000);
    EXPECT_FALSE(firmware.isVisible());

    for (int board = 0; board < 4; ++board) {
        auto expected = image(sizes[board], static_cast<uint8_t>(board));
        expected.resize((expected.size() + 1023) / 1024 * 1024, 0xFF);
        EXPECT_EQ(mixer.with([board](sim::SimMixer& m) { return m.firmware[static_cast<size_t>(board)]; }), expected)
            << "board " << board;
    }
    EXPECT_EQ(windowSleeper.sleeps(), (std::vector<double>{0.08, 0.08, 2.0, 0.08, 2.0, 0.08, 2.0}));
    EXPECT_EQ(firmware.lbstatusUpdate()->text(), "Firmware update complete");
    EXPECT_EQ(firmware.lbstatusUpdate()->palette().color(QPalette::WindowText), QColor(255, 128, 0));
    EXPECT_TRUE(firmware.noticeLabel()->isVisibleTo(&firmware));
    EXPECT_TRUE(firmware.bigNotingLabel()->LabelTitile()->isHidden());
    EXPECT_EQ(firmware.progressBar()->mPosition(), firmware.progressBar()->MaxNum());
    EXPECT_EQ(firmware.progressBar()->MaxNum(), 1);
    for (Lamp lamp : {Lamp::mcuLCD1, Lamp::mcuLCD2, Lamp::dspLCD1})
        EXPECT_FALSE(firmware.lampView(lamp)->isLighted());
    EXPECT_TRUE(firmware.lampView(Lamp::dspLCD2)->isLighted());
}
