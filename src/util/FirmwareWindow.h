#pragma once
// The firmware window as the window switcher reaches it: its connection lamp and the window
// itself. The firmware window implements it and registers itself in fmUpdateVctl while it lives.

#include "platform/UiServices.h"

namespace util {

class FirmwareWindow {
public:
    virtual ~FirmwareWindow();

    // Lights the connection lamp while the mixer is connected.
    virtual void syncStatusLCD() = 0;
    virtual platform::ModalWindow& window() = 0;
};

}  // namespace util

// The firmware window while it exists; null until it registers itself.
extern util::FirmwareWindow* fmUpdateVctl;
