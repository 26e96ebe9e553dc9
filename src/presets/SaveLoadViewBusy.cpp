// The preset window's busy state, its watchdog, the bus messages and the backup and restore
// display.

#include "presets/SaveLoadView.h"

#include "link/StartMainView.h"
#include "platform/Trace.h"
#include "util/Duziz.h"

#include <cstdio>

void SaveLoadView::LockGUI(bool enable) {
    for (int control = 0; control < SaveLoadControls::kControlCount; ++control)
        view_.setControlEnabled(static_cast<SaveLoadControls::Control>(control), enable);
}

void SaveLoadView::setBar(bool busy) {
    // Only a request to a connected mixer goes busy. Leaving never depends on the link: a link
    // lost during a request must not leave the controls locked behind a turning spinner.
    if (busy && !gc_.isconnected) return;
    Duziz::setSpinBarStatus(busy, view_.indcator());
    // A backup or restore keeps its watchdog when a request's busy state ends.
    if (busy)
        setTimeBegin();
    else if (transfer_ == Transfer::None)
        setTimerInvalid();
    if (!busy)
        request_ = Request::None;
    else if (request_ == Request::None)
        request_ = Request::Any;
    if (!busy) writingPreset_ = false;
    LockGUI(!busy);
}

void SaveLoadView::waitFor(Request request) {
    setBar(true);
    LockGUI(false);
    if (isBusy()) request_ = request;
}

bool SaveLoadView::refusedWhileBusy() {
    const char* why = nullptr;
    if (transfer_ != Transfer::None)
        why = "Wait until the transfer under way has ended.";
    else if (isBusy() && request_ != Request::Delete)
        why = "Wait for the mixer's answer to the request under way.";
    if (!why) return false;
    platform::trace("preset window busy: %s", why);
    setStatusFieldTitle(why, false);
    return true;
}

void SaveLoadView::giveUpRequest() {
    if (!mainVctl) return;
    switch (request_) {
    case Request::Load: mainVctl->abandonPresetRequest(RequestLedger::Preset::Data); return;
    case Request::Write:
    case Request::Rename: mainVctl->abandonPresetRequest(RequestLedger::Preset::Stored); return;
    case Request::Recall: mainVctl->abandonPresetRequest(RequestLedger::Preset::List); return;
    default: return;
    }
}

void SaveLoadView::setTimeBegin() {
    nc = 0;
    Duziz::timerBegin(m_timer.get());
}

void SaveLoadView::setTimerInvalid() {
    Duziz::timerStop(m_timer.get());
    nc = 0;
}

// The first tick comes as the busy state or a transfer's wait begins; the second, one interval
// later, finds the request unanswered or the transfer's next packet still missing.
void SaveLoadView::setAnimate() {
    if (nc > 0) failInProgress();
    ++nc;
}

void SaveLoadView::failInProgress() {
    const bool transferring = transfer_ != Transfer::None;
    transfer_ = Transfer::None;
    giveUpRequest();
    setBar(false);
    if (transferring) {
        // A mixer that goes on later must not complete a backup file or be sent the rest of a
        // restore that the window has reported failed.
        if (mainVctl) mainVctl->abandonMemoryTransfer();
        view_.setMemoryStatusHidden(true);
        view_.setProgressHolderHidden(true);
        view_.setProgressAnimating(false);
    }
    // In the colour of a failure: the line may still carry a finished operation's green.
    view_.setStatusColor(saveload::kStatusFailedColor);
    view_.setStatusText(gc_.program().watchdogText);
}

void SaveLoadView::transferGoesOn(Transfer transfer) {
    transfer_ = transfer;
    setTimeBegin();
}

std::string SaveLoadView::writingToMixer() const {
    if (transfer_ == Transfer::Restore) return gc_.program().restoreWritingText;
    if (writingPreset_) return "A preset is being written into the mixer.";
    return {};
}

void SaveLoadView::MsgProcess(const Userprofile& profile) {
    // A row still highlighted after any message no longer counts as selected.
    citemindex = -1;
    const int pos = profile.mpos;
    switch (profile.cmdType) {
    case MSG_PRESET_LIST_LOADED:
        if (gc_.program().presetLibrary) UpdatePresetList();
        // A list read the window did not ask for (Connect's, the switcher's) ends no other
        // request, and nothing during a transfer.
        if (transfer_ != Transfer::None || (isBusy() && !answers(Request::Recall))) return;
        setBar(false);
        LockGUI(true);
        setStatusFieldTitle("Preset List Loaded!", true);
        return;
    case MSG_BACKUP_PACKET:
        if (pos != kMemoryPacketCount) transferGoesOn(Transfer::Backup);
        setMemoryStatus(pos);
        if (pos != kMemoryPacketCount)
            setStatusFieldTitle("Exporting  all memory data  to files ,please wait!", false);
        else
            setStatusFieldTitle(gc_.program().backupDoneText, true);
        return;
    case MSG_PRESET_BUSY:
        // The name panel sent a name: the mixer answers it as a stored preset.
        waitFor(Request::Rename);
        return;
    case MSG_PRESET_IDLE: {
        // The link's 259 after its "Warning!" that the backup failed: nothing more will come,
        // whether the window is shown or not. A 259 while the link still collects the backup
        // ends nothing (the window switcher posts none while a transfer is under way).
        const bool backupFailed = transfer_ == Transfer::Backup && !(mainVctl && mainVctl->isMemoryExportUnderWay());
        // The window was opened again: what it waited for is given up.
        giveUpRequest();
        setBar(false);
        LockGUI(true);
        if (backupFailed) failInProgress();
        return;
    }
    case MSG_PRESET_RECEIVED:
        // The save panel opens next: the text waits until the file is written (274), and a
        // cancelled panel or a failed write leaves the status line as it was.
        if (!answers(Request::Load)) return;
        setBar(false);
        LockGUI(true);
        return;
    case MSG_PRESET_SAVED:
        setStatusFieldTitle("Preset successfully saved to computer!", true);
        return;
    case MSG_PRESET_WRITTEN:
        if (!answers(Request::Write) && !answers(Request::Rename)) return;
        setBar(false);
        LockGUI(true);
        setStatusFieldTitle("Preset loaded successfully!", true);
        return;
    case MSG_RESTORE_PACKET:
        setBar(false);
        setMemoryStatus(pos);
        if (pos != kMemoryPacketCount) {
            transferGoesOn(Transfer::Restore);
            LockGUI(false);
            setStatusFieldTitle("Importing all memory parameters  from local ,please wait!", false);
        } else {
            setStatusFieldTitle(gc_.program().restoreDoneText, true);
            // The restored memory holds other presets: their lists are read again.
            if (gc_.program().presetLibrary) RecallAllPreset();
        }
        return;
    case MSG_DISCONNECTED:
        if (util::StatusLamp* lamp = view_.statusLCD()) lamp->setIsLighted(false);
        // No answer can come over a lost link: what was under way has failed.
        if (isBusy() || transfer_ != Transfer::None) failInProgress();
        return;
    default: return;
    }
}

void SaveLoadView::setMemoryStatus(int n) {
    const double share = Duziz::round(n / 30.0, 2);
    // Through a float, so that 0.57 x 100 (56.99999...) shows as 57.
    const int percent = static_cast<int>(static_cast<float>(share * 100.0));
    char text[40];
    std::snprintf(text, sizeof text, "Complete: %d%%...", percent);
    view_.setMemoryStatusText(text, saveload::kMemoryStatusColor);
    view_.setMemoryStatusHidden(n == kMemoryPacketCount);
    setProgress(n);
    if (n == kMemoryPacketCount) {
        LockGUI(true);
        transfer_ = Transfer::None;
        if (!isBusy()) setTimerInvalid();
    }
}

void SaveLoadView::setProgress(int n) {
    if (n == 0) view_.setProgressAnimating(true);
    if (n == kMemoryPacketCount) view_.setProgressAnimating(false);
    view_.setProgressValue(n);
    view_.setProgressHolderHidden(n == kMemoryPacketCount);
}

void SaveLoadView::setTypelabe(int direction) {
    if (direction == 0)
        view_.setDirectionLabels("Mixer", "Computer");
    else if (direction == 1)
        view_.setDirectionLabels("Computer", "Mixer");
}
