#pragma once
// The firmware window as the window switcher reaches it: its connection lamp and the window
// itself. The firmware window implements it and registers itself in fmUpdateVctl while it lives.

#include "platform/UiServices.h"

#include <string>

namespace util {

class FirmwareWindow {
public:
    virtual ~FirmwareWindow();

    // Lights the connection lamp while the mixer is connected.
    virtual void syncStatusLCD() = 0;
    virtual platform::ModalWindow& window() = 0;
    // What the window is writing into the mixer now, as a sentence for the quit question; empty
    // while it writes nothing.
    virtual std::string writingToMixer() const { return {}; }
};

}  // namespace util

// The firmware window while it exists; null until it registers itself.
extern util::FirmwareWindow* fmUpdateVctl;
