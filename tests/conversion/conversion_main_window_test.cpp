// Varnel Preset Conversion's main window, offscreen: the Preset button without a Firmware button,
// and the program's own manifest naming it in the window title and the about window.

#include "ui/StartMainWindow.h"

#include "link/GCData.h"
#include "link/XCoreData.h"
#include "platform/testing/ScriptedUiServices.h"
#include "ui/VerWindow.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>

namespace {

TEST(ConversionMainWindow, ShowsNoFirmwareButtonAndIsNamedByItsOwnManifest) {
    platform::ScriptedUiServices ui;
    GCData store(kConversionConstants);
    XCoreData core(std::string(VARNEL_SOURCE_DIR) + "/resources/" + kConversionConstants.manifestFolder);
    StartMainWindow window(store, core);
    window.show();
    EXPECT_TRUE(window.enterSaveLoadBtn()->isVisible());
    EXPECT_FALSE(window.enterUpdateBtn()->isVisible());

    AppDelegate delegate([&] { return readManifestEntries(core); });
    delegate.setWindow(&window);
    delegate.applicationDidFinishLaunching();
    EXPECT_EQ(window.windowTitle().toStdString(), "Varnel Preset Conversion Version:3.6.3");

    ui.onModal([](platform::ModalWindow&) { return -60006; });
    window.link().AboutVersionClick();
    EXPECT_EQ(window.aboutWindow()->lb_Product_name()->text().toStdString(), "Varnel Preset Conversion");

    // Varnel Utility's window keeps both buttons.
    GCData utilityStore;
    StartMainWindow utility(utilityStore, core);
    utility.show();
    EXPECT_TRUE(utility.enterUpdateBtn()->isVisible());
}

}  // namespace
