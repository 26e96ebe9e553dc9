#pragma once
// The start-up of Varnel Utility and of Varnel Preset Conversion, in the order the program runs it:
// the main executor and the dialogs, the main window with its device link (awakeFromNib), then
// the application delegate's launch (manifest, window title). Each program's main() runs it with
// its own constants, and the start-up benchmark runs Varnel Utility's, so the benchmark measures
// exactly what the program does. Construct after the QApplication.
// The preset window and, in a program with a firmware page, the firmware window are made and
// registered right after the main window, so the Preset and Firmware buttons open them and they
// hear the message bus from the start.

#include "firmware/FirmwareUpdateWindow.h"
#include "link/LConstrant.h"
#include "platform/qt/QtMainExecutor.h"
#include "platform/qt/QtUiServices.h"
#include "presets/SaveLoadWindow.h"
#include "ui/AppDelegate.h"
#include "ui/StartMainWindow.h"

#include <memory>

class QApplication;

class UtilityLaunch {
public:
    // program: the constants of the program being started, given to its store (GCData).
    explicit UtilityLaunch(const ProgramConstants& program = kUtilityConstants);
    UtilityLaunch(const UtilityLaunch&) = delete;
    UtilityLaunch& operator=(const UtilityLaunch&) = delete;

    StartMainWindow& window() { return window_; }
    // The firmware window; null in a program without the firmware page.
    FirmwareUpdateWindow* firmwareWindow() { return firmware_.get(); }
    AppDelegate& delegate() { return delegate_; }
    SaveLoadWindow& presetWindow() { return presetWindow_; }

    // Shows the main window and runs the application until it quits: quitting and closing the main
    // window ask the delegate first, and the delegate hears when the application quits or goes
    // inactive.
    int exec(QApplication& app);

private:
    platform::QtMainExecutor executor_;
    platform::QtUiServices ui_;
    StartMainWindow window_;
    SaveLoadWindow presetWindow_;
    std::unique_ptr<FirmwareUpdateWindow> firmware_;
    AppDelegate delegate_;
};
