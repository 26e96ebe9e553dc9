#pragma once
// The window switcher: the page buttons of the main window open the preset window (tag 1) and
// the firmware window (tag 2); any other tag does nothing. It keeps no state of its own and
// reaches the windows through saveLoadView and fmUpdateVctl, the main window through mainVctl.
// A page whose window has not registered itself does nothing either.
//
// Main thread only; a page's modal run nests the event loop inside the click.

class QObject;

class DirazuzeControl {
public:
    // The tags the page buttons carry.
    enum PageControlTag { kPresetPage = 1, kFirmwarePage = 2 };

    // Stores itself in midateControl.
    DirazuzeControl();
    ~DirazuzeControl();
    DirazuzeControl(const DirazuzeControl&) = delete;
    DirazuzeControl& operator=(const DirazuzeControl&) = delete;

    // Opens the page named by the sender's tag (its "tag" property).
    //   1: posts MSG_PRESET_IDLE, refills the preset window's list, syncs its lamp, asks the mixer
    //      for the preset lists, sets the channel boxes and runs the window modally; returns
    //      when the window has closed.
    //   2: syncs the firmware window's lamp and shows the window: modally, or, while the
    //      application is hidden, only brought to the front.
    void changePageControlClick(const QObject* sender);
    // Whether the page of this tag has a window to open.
    static bool hasPage(int tag);
    void windowWillClose() {}
};

// Gives a control the tag that changePageControlClick reads.
void setPageControlTag(QObject* control, int tag);

// The window switcher while it exists.
extern DirazuzeControl* midateControl;
