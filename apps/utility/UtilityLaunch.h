#pragma once
// Varnel Utility's start-up, in the order the program runs it: the main executor and the dialogs,
// the main window with its device link (awakeFromNib), then the application delegate's launch
// (manifest, window title). The program's main() and the start-up benchmark both run it, so the
// benchmark measures exactly what the program does. Construct after the QApplication.
// The preset window is made and registered right after the main window, so the Preset button
// opens it and it hears the message bus from the start.

#include "platform/qt/QtMainExecutor.h"
#include "platform/qt/QtUiServices.h"
#include "presets/SaveLoadWindow.h"
#include "ui/AppDelegate.h"
#include "ui/StartMainWindow.h"

class UtilityLaunch {
public:
    UtilityLaunch();
    UtilityLaunch(const UtilityLaunch&) = delete;
    UtilityLaunch& operator=(const UtilityLaunch&) = delete;

    StartMainWindow& window() { return window_; }
    AppDelegate& delegate() { return delegate_; }
    SaveLoadWindow& presetWindow() { return presetWindow_; }

private:
    platform::QtMainExecutor executor_;
    platform::QtUiServices ui_;
    StartMainWindow window_;
    SaveLoadWindow presetWindow_;
    AppDelegate delegate_;
};
