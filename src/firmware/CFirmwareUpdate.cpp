// The firmware window's set-up, versions, lamps, alerts and closing; the run is in
// CFirmwareUpdateRun.cpp.

#include "firmware/CFirmwareUpdate.h"

#include "platform/Trace.h"
#include "util/PresetWindow.h"
#include "util/Userprofile.h"

#include <cctype>
#include <climits>
#include <cstdlib>

FirmwareUpdateView::~FirmwareUpdateView() = default;

namespace {

using Label = FirmwareUpdateView::VersionLabel;
using Lamp = FirmwareUpdateView::Lamp;

// The code with which a plain stop ends a modal run.
constexpr int kModalResponseStop = -1000;

// The version label of each board. The main-board and keyboard MCU labels are crossed: board 0
// shows in lbfMcu2.
constexpr Label verLabels[kFirmwareBoards] = {Label::lbfMcu2, Label::lbfMcu1, Label::lbfDsp1, Label::lbfDsp2};

// The number at the start of a text, as a product type is read from the manifest: white space,
// a sign and digits; 0 when there is none, clamped to the range of an int.
int leadingInt(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    const long long value = std::strtoll(text.c_str() + i, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

}  // namespace

CFirmwareUpdate::CFirmwareUpdate(FirmwareUpdateView& view, GCData& store, XCoreData& core)
    : view_(view), gc_(store), core_(core), sleeper_(&platform::Sleeper::real()) {}

CFirmwareUpdate::~CFirmwareUpdate() {
    platform::trace("firmeare update dealloc");
    busObserver_.reset();
    if (fmUpdateVctl == this) fmUpdateVctl = nullptr;
}

void CFirmwareUpdate::awakeFromNib() {
    platform::trace("Firmwareupdate window diaoyong awakefrom lib begin..........");
    fmUpdateVctl = this;
    view_.loadBackGround();
    busObserver_ = platform::NotificationCenter::defaultCenter().addObserver(
        kMessageBusName, [this](const platform::Notification& note) { MsgProcess(note); });
    core_.readAllFirmware_fromLocal();
    cxhAllLightLCD_firmwareLabel();
    view_.setNoticeHidden(true);
    updateLock = 0;
    // It also fires while the window runs modally, which is how the window is shown.
    replyWatchdog_ = std::make_unique<platform::PausableTimer>(
        platform::MainExecutor::current(), replyTimeout_, [this] { replyWatchdogFired(); },
        platform::PausableTimer::Mode::Common, true);
    createInteface();
    platform::trace("Firmwareupdate window diaoyong awakefrom lib over...........");
}

void CFirmwareUpdate::createInteface() {
    // The view shows the Program title in white.
    view_.setProgramTitle("Program");
    view_.prepareCountdown(INF_REBOOT, rebootSeconds_, [this] { afterCountDown(); });
    view_.setErrorText("");
    ReadVerFromLocal();
    // Entry 7 of the manifest: the maker's web address.
    view_.setProductUrl(core_.firmware_ver[7].value_or(std::string()));
}

void CFirmwareUpdate::ReadVerFromLocal() {
    isFileError = false;
    if (core_.jsonFileRead_forVer(kFirmwareVerCount)) {
        platform::trace("read json is true");
        view_.setErrorText("");
    } else {
        platform::trace("read json  is false");
        view_.setErrorText("(Error: firmware data file cannot be found.)");
        isFileError = true;
    }
    for (int board = 0; board < kFirmwareBoards; ++board) {
        const auto& version = core_.firmware_ver[static_cast<size_t>(board)];
        view_.setVersionText(verLabels[board],
                             version && !version->empty() ? *version : DEFUALT_NAME_FIRWARE_STR[board]);
    }
    const auto& type = core_.firmware_ver[8];
    gc_.setUtype(type ? leadingInt(*type) : 0);
}

void CFirmwareUpdate::cxhAllLightLCD_firmwareLabel() {
    for (Lamp lamp : {Lamp::statusLCD, Lamp::dspLCD1, Lamp::dspLCD2, Lamp::mcuLCD1, Lamp::mcuLCD2})
        resetLCD(view_.lamp(lamp));
    view_.resetProgressBar();
}

void CFirmwareUpdate::resetLCD(util::StatusLamp* lamp) {
    GCData::resetLCD(lamp);
}

void CFirmwareUpdate::syncStatusLCD() {
    if (util::StatusLamp* lamp = view_.lamp(Lamp::statusLCD)) lamp->setIsLighted(gc_.isconnected);
}

void CFirmwareUpdate::PopMessage(const std::string& message) {
    platform::UiServices::shared().alert("Warning!", message, {"OK"});
}

void CFirmwareUpdate::ShowMessage(const std::string& message) {
    platform::UiServices::shared().alert("Warning", message, {"OK"});
}

void CFirmwareUpdate::windowWillClose() {
    // The preset window's controls are enabled again, unless its backup or restore still runs.
    if (saveLoadView && !saveLoadView->memoryTransferUnderWay()) saveLoadView->LockGUI(true);
    auto& ui = platform::UiServices::shared();
    if (ui.isApplicationHidden())
        view_.orderOut();
    else
        ui.stopModal(kModalResponseStop);
}

void CFirmwareUpdate::ProductURLClick() {
    const auto& url = core_.firmware_ver[7];
    if (url && !url->empty()) platform::UiServices::shared().openUrl(*url);
}

// ---- Kept for completeness ---------------------------------------------------------------------

void CFirmwareUpdate::menuWillHighlightItem() {
    platform::trace("menu will highlited.......");
}

void CFirmwareUpdate::testClick() {
    platform::trace("big notingLabel is setting now...................");
}

void CFirmwareUpdate::viewWillDisappear() {
    busObserver_.reset();
}

void CFirmwareUpdate::saveMemory() {
    gc_.SaveMeoryFileToLocal();
}

void CFirmwareUpdate::setUpdateFinishStatus(bool hidden) {
    view_.setStatusHidden(hidden);
}

void CFirmwareUpdate::cxhCheckBox() {
    for (int board = 0; board < kFirmwareBoards; ++board) {
        core_.updateStatusRecord[board] = 0;
        core_.upReadyCheck[board] = 1;
    }
}

void CFirmwareUpdate::resetAllChooseBox() {
    for (uint8_t& chosen : core_.upReadyCheck) chosen = 1;
}

void CFirmwareUpdate::PopMessage_No_firmwareTypeChoose() {
    PopMessage("No firmware choosed!");
}

long CFirmwareUpdate::chooseMsgDlg(const std::string& message) {
    // "OK" answers 1, "No" 0, as the panel's default and alternate buttons do.
    return platform::UiServices::shared().alert("Warning!", message, {"OK", "No"}) == 0 ? 1 : 0;
}
