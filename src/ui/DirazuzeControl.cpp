#include "ui/DirazuzeControl.h"

#include "link/StartMainView.h"
#include "platform/Trace.h"
#include "platform/UiServices.h"
#include "util/Duziz.h"
#include "util/FirmwareWindow.h"
#include "util/PresetWindow.h"
#include "util/Userprofile.h"

#include <QObject>
#include <QVariant>

DirazuzeControl* midateControl = nullptr;

namespace {
constexpr const char* kTagProperty = "tag";
}  // namespace

DirazuzeControl::DirazuzeControl(const ProgramConstants& program) : program_(program) {
    platform::trace("dirazuzecontrol is init now...........");
    midateControl = this;
}

DirazuzeControl::~DirazuzeControl() {
    if (midateControl == this) midateControl = nullptr;
    // The preset window outliving the switcher must not report its close to it.
    if (saveLoadView && saveLoadView == delegating_) saveLoadView->setDelegate(nullptr);
}

bool DirazuzeControl::hasPage(int tag) {
    switch (tag) {
        case kPresetPage:
            return saveLoadView != nullptr;
        case kFirmwarePage:
            return fmUpdateVctl != nullptr;
        default:
            return false;
    }
}

void DirazuzeControl::changePageControlClick(const QObject* sender) {
    const int tag = sender ? sender->property(kTagProperty).toInt() : 0;
    if (tag == kPresetPage && saveLoadView) {
        util::PresetWindow& page = *saveLoadView;
        if (program_.switcherEndsPresetRun) {
            page.setDelegate(this);
            delegating_ = &page;
        }
        // A backup or restore left running when the window closed keeps its locked controls and
        // its progress: unlocked, a second transfer could start over it, and the lists' answer
        // would end its lock early. Its own end unlocks the window, the watchdog included.
        const bool transferring = page.memoryTransferUnderWay();
        // Delivery is synchronous: the preset window is idle, its controls enabled, from here on.
        if (!transferring) Duziz::sendMsg(MSG_PRESET_IDLE, 0, kMessageBusName);
        if (program_.presetLibrary) page.UpdatePresetList();
        page.syncStatusLCD();
        // Sent only while the mixer is really connected; the answers arrive during the modal run.
        if (program_.presetLibrary && !transferring) {
            if (mainVctl) mainVctl->sendCMD_ReadPresetList(0);
            platform::trace("begin sendcmd ReadpresetList now.....");
            page.setFalse();
        }
        // The memory buttons judge by the version the mixer reports now. Its answer only stores
        // the version, so it is asked during a transfer too.
        if (program_.mcuVersion) {
            if (mainVctl) mainVctl->sendCMD_ReadMCUVersion();
            platform::trace("begin sendcmd mcuver read now.....");
        }
        Duziz::showModal(page.window());
    } else if (tag == kFirmwarePage && program_.firmwarePage && fmUpdateVctl) {
        util::FirmwareWindow& page = *fmUpdateVctl;
        page.syncStatusLCD();
        auto& ui = platform::UiServices::shared();
        if (ui.isApplicationHidden()) {
            // A modal run would keep the hidden application's main window from taking input.
            platform::trace("app is hidden ....");
            page.window().makeKeyWindow();
        } else {
            platform::trace("app is visible ....");
            page.window().makeKeyWindow();
            // The firmware window ends the run itself when it closes.
            ui.runModal(page.window());
        }
    }
}

void DirazuzeControl::windowWillClose() {
    if (program_.switcherEndsPresetRun) platform::UiServices::shared().stopModal(program_.presetRunStopCode);
}

void setPageControlTag(QObject* control, int tag) {
    if (control) control->setProperty(kTagProperty, tag);
}
