#pragma once
// The window switcher: the page buttons of the main window open the preset window (tag 1) and,
// in a program with a firmware page, the firmware window (tag 2); any other tag does nothing. It
// keeps no state but the program's constants and the window it is the delegate of, and reaches
// the windows through saveLoadView and fmUpdateVctl, the main window through mainVctl. A page
// whose window has not registered itself does nothing either.
//
// Main thread only; a page's modal run nests the event loop inside the click.

#include "link/LConstrant.h"
#include "util/PresetWindow.h"

class QObject;

class DirazuzeControl : public util::WindowDelegate {
public:
    // The tags the page buttons carry.
    enum PageControlTag { kPresetPage = 1, kFirmwarePage = 2 };

    // Stores itself in midateControl.
    explicit DirazuzeControl(const ProgramConstants& program = kUtilityConstants);
    ~DirazuzeControl() override;
    DirazuzeControl(const DirazuzeControl&) = delete;
    DirazuzeControl& operator=(const DirazuzeControl&) = delete;

    // Opens the page named by the sender's tag (its "tag" property).
    //   1: posts MSG_PRESET_IDLE, refills the preset window's list, syncs its lamp, asks the mixer
    //      for the preset lists, sets the channel boxes and runs the window modally; returns
    //      when the window has closed. Without the preset library: becomes the window's
    //      delegate, posts MSG_PRESET_IDLE, syncs its lamp, asks the mixer for its MCU version
    //      and runs the window modally. While the window's backup or restore is under way it
    //      posts no MSG_PRESET_IDLE, asks for no lists and leaves the boxes as they are: the
    //      window shows the transfer, locked, until the transfer ends.
    //   2: syncs the firmware window's lamp and shows the window: modally, or, while the
    //      application is hidden, only brought to the front.
    void changePageControlClick(const QObject* sender);
    // Whether the page of this tag has a window to open.
    static bool hasPage(int tag);
    // The preset window it opened is closing: in a program whose switcher ends that window's
    // modal run, ends it with the program's code; otherwise nothing.
    void windowWillClose() override;

private:
    const ProgramConstants& program_;
    // The preset window whose delegate it made itself.
    util::PresetWindow* delegating_ = nullptr;
};

// Gives a control the tag that changePageControlClick reads.
void setPageControlTag(QObject* control, int tag);

// The window switcher while it exists.
extern DirazuzeControl* midateControl;
