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

#include <QStringList>
#include <QTimer>

#include <memory>
#include <optional>
#include <string>

class QApplication;

// How the program was started: its own command-line options.
//   --demo                  demo mode: the program runs beside the simulated mixer (scripts/run
//                           --demo) and opens no serial port at all, so a real mixer on a USB
//                           serial adapter never receives what the demo sends
//   --firmware-folder DIR   demo mode only: the firmware manifest and the four board images are
//                           read from DIR/lib in place of the program's resources
//   --connect-when-found    demo mode only: presses Connect once the search has found a mixer,
//                           for the demo's test, where nobody is there to press it
struct LaunchOptions {
    bool demo = false;
    std::string firmwareFolder;
    bool connectWhenFound = false;
};

// Reads the options from the program's arguments (the first is the program; Qt's own were taken
// by QApplication). Nothing, with the reason in error, for an unknown option, a folder missing
// its value, an option of demo mode without --demo, or a firmware folder for a program without
// the firmware window.
std::optional<LaunchOptions> parseLaunchOptions(const QStringList& arguments, const ProgramConstants& program,
                                                std::string* error);

class UtilityLaunch {
public:
    // program: the constants of the program being started, given to its store (GCData).
    explicit UtilityLaunch(const ProgramConstants& program = kUtilityConstants, const LaunchOptions& options = {});
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

    // A program's main(): reads the options of app's arguments (a usage line and 2 when they are
    // wrong), then launches the program and runs it.
    static int run(QApplication& app, const ProgramConstants& program);

private:
    platform::QtMainExecutor executor_;
    platform::QtUiServices ui_;
    StartMainWindow window_;
    SaveLoadWindow presetWindow_;
    std::unique_ptr<FirmwareUpdateWindow> firmware_;
    AppDelegate delegate_;
    // Presses Connect once a mixer was found (--connect-when-found).
    QTimer connectWhenFound_;
};
