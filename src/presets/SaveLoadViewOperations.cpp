// The preset window's operations: load a preset to the computer, save one into the mixer, delete,
// rename and recall; and the whole-memory backup and restore.

#include "presets/SaveLoadView.h"

#include "link/StartMainView.h"
#include "platform/Trace.h"
#include "presets/PresetNamePanel.h"

namespace {

// A frame can leave now: there is a main window and its link is really up.
bool canSend() { return mainVctl && mainVctl->isRealConnect(); }

}  // namespace

// ---- Preset operations ------------------------------------------------------------------------

void SaveLoadView::loadPresetClick() {
    if (refusedWhileBusy()) return;
    if (citemindex < 0) {
        view_.setStatusText("No item selected ");
        return;
    }
    if (mainVctl) mainVctl->sendCMD_LoadPresetFromDevice(CHCType[index_mode()], citemindex, chboxIndex());
    if (gc_.isconnected) waitFor(Request::Load);
}

void SaveLoadView::saveBtnClick() { LocalOnLocal(); }

void SaveLoadView::LocalOnLocal() {
    if (refusedWhileBusy()) return;
    const int type = CHCType[index_mode()];
    // The file goes to the chosen channel, bus or effects unit; a scene file keeps its own index.
    int channel = 0;
    switch (type) {
    case 0: channel = chboxIndex(); break;
    case 1: channel = view_.boxIndex(SaveLoadControls::Control::auxbox); break;
    case 2: channel = view_.selectedTag() == 3 ? 1 : 0; break;
    default: channel = 0; break;
    }
    const bool ok = gc_.ReadPresetFileFromLocal(type, channel);
    if (gc_.isconnected && ok) {
        waitFor(Request::Write);
        writingPreset_ = canSend();
        if (mainVctl) mainVctl->sendCMD_LoadPresetFromLocal(type, channel);
    }
}

void SaveLoadView::deletePresetClick() {
    if (refusedWhileBusy()) return;
    const int row = citemindex;
    const int type = CHCType[index_mode()];
    if (row < 0) return;
    // Only "Yes" deletes: a confirmation closed any other way keeps the preset.
    const int answer = platform::UiServices::shared().alert("Warning!", "Delete selected preset ?", {"Yes", "No"});
    if (answer != 0) return;
    if (mainVctl) mainVctl->sendCMD_DeletePreset(type, row);
    if (gc_.isconnected) waitFor(Request::Delete);
}

void SaveLoadView::RecallAllPreset() {
    if (!mainVctl || refusedWhileBusy()) return;
    // The link asks for the other three lists in turn and posts 256 after the last. Without the
    // preset library nothing is asked: the busy state ends only by the watchdog.
    if (gc_.program().presetLibrary) mainVctl->sendCMD_ReadPresetList(0);
    if (gc_.isconnected) waitFor(Request::Recall);
}

void SaveLoadView::tablvieDoubleClick(int row) {
    if (row < 0 || refusedWhileBusy()) return;
    PresetNamePanel& panel = view_.alertPanel();
    panel.presetindex = row;
    panel.smodeindex = CHCType[index_mode()];
    panel.chindex = chboxIndex();
    panel.clearInputEd();
    panel.makeKeyWindow();
    platform::UiServices::shared().runModal(panel);
    panel.closeWindow();
}

void SaveLoadView::selectPopupSelectClick() {
    platform::trace("channel box selected index is :%d", chboxIndex());
}

void SaveLoadView::setStatusFieldTitle(const std::string& title, bool ok) {
    view_.setStatusColor(ok ? gc_.program().okColor : saveload::kStatusPlainColor);
    view_.setStatusText(title);
}

// ---- Whole-memory backup and restore ------------------------------------------------------------

void SaveLoadView::memImportClick() {
    if (refusedWhileBusy()) return;
    // Asked of the link itself: an adapter that answered but was not switched on with Connect
    // counts as connected, yet takes no frame.
    if (!canSend()) {
        ShowMessage("Not connected to device.");
        return;
    }
    // Varnel Preset Conversion backs up only a mixer whose scenes are still in the old layout.
    if (gc_.program().mcuVersion) {
        const MemoryButtonDecision decision = backupButtonDecision(true, gc_.m_mcuVer);
        if (!decision.proceed) {
            ShowMessage(decision.message);
            return;
        }
    }
    if (fgetWarningBeforeUpdatingChoose() != 1) return;
    const auto path = platform::UiServices::shared().savePanel("", {gc_.program().memoryFilter}, "");
    if (!path) return;
    gc_.memoryFilePath = *path;
    setTypelabe(0);
    // The link may have dropped while the panels ran.
    if (!canSend()) {
        ShowMessage("Not connected to device.");
        return;
    }
    // No spinner: the packets show the progress, packet 30 enables the controls. The watchdog
    // gives each packet its whole time.
    LockGUI(false);
    transferGoesOn(Transfer::Backup);
    mainVctl->sendCMD_MemoryExport();
}

void SaveLoadView::memExportClick() {
    if (refusedWhileBusy()) return;
    // Varnel Preset Conversion writes back only into a mixer that reported the new layout's
    // firmware; a version not reported yet, or an old one, is asked for again.
    if (gc_.program().mcuVersion) {
        const MemoryButtonDecision decision = restoreButtonDecision(gc_.isconnected, gc_.m_mcuVer);
        if (!decision.proceed) {
            ShowMessage(decision.message);
            if (decision.askVersion && mainVctl) mainVctl->sendCMD_ReadMCUVersion();
            return;
        }
    }
    setTypelabe(1);
    if (gc_.isconnected) {
        LockGUI(false);
        setBar(true);
    }
    // The link checks the file and sends its first packet; each acknowledgement sends the next.
    if (!gc_.ReadMemoryFileFromLocal()) {
        setBar(false);
        LockGUI(true);
        return;
    }
    if (gc_.isconnected) {
        transfer_ = Transfer::Restore;
        // The first packet has just left: its acknowledgement gets the watchdog's whole time,
        // however long the open panel took.
        setBar(true);
    }
}

int SaveLoadView::fgetWarningBeforeUpdatingChoose() {
    const int answer = platform::UiServices::shared().alert("Warning!", gc_.program().warningExportText, {"OK", "No"});
    return answer == 0 ? 1 : 0;
}

void SaveLoadView::ShowMessage(const std::string& text) {
    platform::UiServices::shared().alert("Warning!", text, {"OK"});
}
