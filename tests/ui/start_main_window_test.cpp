// Varnel Utility's main window in the offscreen platform: start-up with the link, the title from
// the manifest, the about window with the manifest's entries, the busy display.

#include "UiTestSupport.h"

#include "platform/Sleeper.h"
#include "platform/qt/QtMainExecutor.h"
#include "platform/qt/QtUiServices.h"
#include "platform/testing/FakeSerialRegistry.h"
#include "platform/testing/ScriptedUiServices.h"
#include "support/LoopbackLink.h"
#include "ui/AppDelegate.h"
#include "ui/StartMainWindow.h"
#include "ui/VerWindow.h"
#include "ui/XLCDView.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

namespace {

// Loopback ports only, and no serial devices.
LinkSettings loopbackSettings() {
    static auto* registry = [] {
        auto* r = new platform::FakeSerialRegistry();
        platform::SerialRegistry::setShared(r);
        return r;
    }();
    (void)registry;
    return testsupport::loopbackLinkSettings(LinkSettings{}.tcpPort);
}

}  // namespace

TEST(StartMainWindowTest, StartsTitledFromTheManifestAndTheAboutWindowShowsItsEntries) {
    uitest::TempDir dir;
    std::filesystem::create_directories(dir / "lib");
    std::ofstream(dir / "lib/PE4471093357.json") << R"({"Firmwares": [
        {"MCU_VER2": "12"}, {"MCU_VER1": "11"}, {"DSP_VER2": "22"}, {"DSP_VER1": "21"},
        {"App_Name": "Mixer Service"}, {"App_Ver": "Version:1.4.2"}, {"compName": "Varnel Audio"},
        {"URL": "www.varnel.example"}, {"Utype": "1"}]})";

    platform::QtMainExecutor executor;
    platform::QtUiServices ui;
    platform::RecordingSleeper sleeper;
    GCData gc;
    XCoreData core(dir.path());
    StartMainWindow window(gc, core, loopbackSettings());
    window.link().setSleeper(&sleeper);
    window.awakeFromNib();
    AppDelegate delegate([&] { return readManifestEntries(core); }, dir.path());
    delegate.setWindow(&window);
    delegate.applicationDidFinishLaunching();
    window.show();

    EXPECT_EQ(window.windowTitle(), "Mixer Service Version:1.4.2");
    EXPECT_EQ(mainVctl, &window.link());
    EXPECT_EQ(window.connectBtn()->text(), "Connect");
    EXPECT_FALSE(window.enterSaveLoadBtn()->isEnabled());
    EXPECT_FALSE(window.enterUpdateBtn()->isEnabled());
    EXPECT_FALSE(window.connectLamp()->isLighted());
    EXPECT_EQ(window.connectLamp()->ColorOfLighted(), QColor(0, 255, 0));
    EXPECT_TRUE(window.lbsync()->isHidden());
    EXPECT_EQ(window.connectBtn()->palette().color(QPalette::ButtonText), QColor(Qt::white));

    // The about window runs modally until it is closed.
    bool shownWhileRunning = false;
    QTimer::singleShot(50, [&] {
        shownWhileRunning = window.aboutWindow()->isVisible();
        window.aboutWindow()->close();
    });
    window.aboutBtn()->click();
    EXPECT_TRUE(shownWhileRunning);
    EXPECT_FALSE(window.aboutWindow()->isVisible());
    EXPECT_EQ(window.aboutWindow()->lb_Product_name()->text(), "Mixer Service");
    EXPECT_EQ(window.aboutWindow()->lb_Product_version()->text(), "Version:1.4.2");
    EXPECT_EQ(window.aboutWindow()->lb_Product_company()->text(), "Varnel Audio");
    EXPECT_EQ(window.aboutWindow()->lb_Product_URL()->text(), "www.varnel.example");

    // The busy display shows the label and the spinner together.
    window.link().setBar(true);
    EXPECT_FALSE(window.lbsync()->isHidden());
    EXPECT_TRUE(window.spinner()->isVisible());
    window.link().setBar(false);
    EXPECT_TRUE(window.lbsync()->isHidden());
    EXPECT_FALSE(window.spinner()->isVisible());

    // The device field and the Connect button as the search leaves them.
    window.setDeviceLabel("127.0.0.9");
    EXPECT_EQ(window.deviceField()->text(), "127.0.0.9");
    window.setConnectTitle("Disconnect");
    EXPECT_EQ(window.connectBtn()->text(), "Disconnect");
}

// The about window's web address is a link: pressed, it opens the address in the browser; without
// an address there is none.
TEST(StartMainWindowTest, TheAboutWindowsWebAddressOpensInTheBrowser) {
    platform::ScriptedUiServices ui;
    GCData gc;
    XCoreData core;
    StartMainWindow window(gc, core);
    window.setAboutTexts("Mixer Service", "Version:1.4.2", "Varnel Audio", "www.varnel.example");
    QPushButton* link = window.aboutWindow()->lb_Product_URL();
    EXPECT_TRUE(link->isVisibleTo(window.aboutWindow()));
    link->click();
    const auto opened = ui.callsOf("openUrl");
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].message, "www.varnel.example");

    window.setAboutTexts("Mixer Service", "Version:1.4.2", "Varnel Audio", "");
    EXPECT_FALSE(link->isVisibleTo(window.aboutWindow()));
}
