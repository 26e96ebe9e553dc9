// The name panel's OK and Cancel steps.

#include "presets/PresetNamePanel.h"

#include "link/StartMainView.h"
#include "platform/Trace.h"
#include "util/Duziz.h"
#include "util/Userprofile.h"

std::string PresetNamePanel::getInputText() const { return StartMainView::trimmed(inputText()); }

bool PresetNamePanel::btnOKConfirmClick() {
    const std::string name = getInputText();
    if (name.empty() || presetindex < 0) {
        platform::trace("input name cannot be empty ...");
        return false;
    }
    // The store keeps whole characters within the slot's 16 bytes, padded with spaces.
    gc_.setPresetName(smodeindex, presetindex, name.c_str());
    if (mainVctl) {
        mainVctl->sendCMD_savePresetNameToD(smodeindex, presetindex, chindex);
        if (gc_.isconnected) Duziz::sendMsg(MSG_PRESET_BUSY, 0, kMessageBusName);
    }
    if (gc_.program().namePanelOkEndsRun)
        platform::UiServices::shared().stopModal(kModalStop);
    else
        orderOut();
    return true;
}

void PresetNamePanel::btnCancelClick() {
    platform::UiServices::shared().stopModal(kModalStop);
    orderOut();
}
