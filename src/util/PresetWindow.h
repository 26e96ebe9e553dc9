#pragma once
// The preset window as the window switcher and the main window reach it: its busy lock, its list,
// its connection lamp, its channel boxes, the window itself and who hears that it closes. The
// preset window implements it and registers itself in saveLoadView while it lives.

#include "platform/UiServices.h"

#include <string>

namespace util {

// Told that a window is closing, in place of the window ending its own modal run.
class WindowDelegate {
public:
    virtual ~WindowDelegate();
    virtual void windowWillClose() = 0;
};

class PresetWindow {
public:
    virtual ~PresetWindow();

    // true enables every control of the window, false disables them.
    virtual void LockGUI(bool enable) = 0;
    // Refills the list of the selected preset type from the stored names.
    virtual void UpdatePresetList() = 0;
    // Lights the connection lamp while the mixer is connected.
    virtual void syncStatusLCD() = 0;
    // Enables the channel boxes that the selected preset type uses and disables the others.
    virtual void setFalse() = 0;
    virtual platform::ModalWindow& window() = 0;
    // From now on the window's close goes to delegate (null: the window ends its modal run itself).
    virtual void setDelegate(WindowDelegate* delegate) = 0;
    // What the window is writing into the mixer now, as a sentence for the quit question; empty
    // while it writes nothing (quitting then leaves no memory half-written).
    virtual std::string writingToMixer() const { return {}; }
    // A whole-memory backup or restore is under way: its own end (the last packet, a failure,
    // the watchdog, a lost link) enables the controls, and nothing else unlocks them meanwhile.
    virtual bool memoryTransferUnderWay() const { return false; }
};

}  // namespace util

// The preset window while it exists; null until it registers itself.
extern util::PresetWindow* saveLoadView;
