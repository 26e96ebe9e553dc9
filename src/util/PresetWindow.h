#pragma once
// The preset window as the window switcher and the main window reach it: its busy lock, its list,
// its connection lamp, its channel boxes and the window itself. The preset window implements it
// and registers itself in saveLoadView while it lives.

#include "platform/UiServices.h"

namespace util {

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
};

}  // namespace util

// The preset window while it exists; null until it registers itself.
extern util::PresetWindow* saveLoadView;
