// The firmware window's run: the Program click, the start of each board, the device link's
// reports, progress, results, the pause between boards and the countdown while the mixer reboots.

#include "firmware/CFirmwareUpdate.h"

#include "link/StartMainView.h"
#include "platform/MainExecutor.h"
#include "platform/Trace.h"
#include "util/Duziz.h"
#include "util/Userprofile.h"

#include <algorithm>
#include <cstdio>

namespace {

using Lamp = FirmwareUpdateView::Lamp;
using Color = FirmwareUpdateView::TextColor;

// The lamp of each board.
constexpr Lamp kBoardLamps[kFirmwareBoards] = {Lamp::mcuLCD1, Lamp::mcuLCD2, Lamp::dspLCD1, Lamp::dspLCD2};

// What XCoreData::loadFromLocalFiles reports for an image file that was read.
constexpr uint8_t kImageRead = 2;

bool isBoard(int board) {
    return board >= 0 && board < kFirmwareBoards;
}

std::string lostMessage(int board) {
    return std::string("Firmware ") + NAME_FIRWARE_STR[board] + " has lost";
}

}  // namespace

// ---- Starting ----------------------------------------------------------------------------------

void CFirmwareUpdate::beginToProgramBtnClick() {
    if (isFileError) {
        PopMessage("Error: firmware data file cannot be found");
        return;
    }
    resetProgram_to_Rebegin();
    const int first = checkWhichFirwareBegin();
    if (getWarningBeforeUpdatingChoose() != 1 || first < 0) return;
    // A board without blocks would stop the run half way, with the boards before it already
    // erased and programmed: every image is checked before anything goes out.
    for (int board = 0; board < kFirmwareBoards; ++board) {
        if (!hasBlocks(board)) {
            ShowMessage(lostMessage(board));
            return;
        }
    }
    gc_.setCurrentProgramItem(first);
    running_ = true;
    begin_programWith_chooseType(first);
}

void CFirmwareUpdate::resetProgram_to_Rebegin() {
    boardEnded();
    for (int board = 0; board < kFirmwareBoards; ++board) {
        core_.updateStatusRecord[board] = 0;
        core_.upReadyCheck[board] = 1;
        boardFailures_[board] = 0;
    }
    view_.setProgressMax(core_.dSegement[0]);
    gc_.setCurrentProgramItem(0);
    view_.setNoticeHidden(true);
    view_.setProgress(0);
    view_.setStatusText("");
}

int CFirmwareUpdate::checkWhichFirwareBegin() const {
    for (int board = 0; board < kFirmwareBoards; ++board)
        if (core_.updateStatusRecord[board] != 1) return board;
    return -1;
}

long CFirmwareUpdate::getWarningBeforeUpdatingChoose() {
    return chooseMsgDlg(WARNING_UPDATE_STR);
}

void CFirmwareUpdate::begin_programWith_chooseType(int t) {
    // Boards are 0-3; the GUI images (4) are never programmed from this window.
    if (!isBoard(t)) return;
    gc_.setCurrentProgramItem(t);
    if (!hasBlocks(t)) {
        ShowMessage(lostMessage(t));
        runStopped();
        return;
    }
    if (updateLock || !linkCanSend()) {
        ShowMessage("Please connect the Remote Device first!");
        if (!updateLock) runStopped();
        return;
    }
    platform::trace("check type is :%d  its' readycheck is :%d  with recoredupdate is :%d", t, core_.upReadyCheck[t],
                    core_.updateStatusRecord[t]);
    if (core_.upReadyCheck[t] != 1 || core_.updateStatusRecord[t] == 1) {
        runStopped();
        return;
    }
    view_.setProgress(0);
    view_.setProgressMax(core_.dSegement[t]);
    setLcdActive(t);
    // The board is in work before its first frame leaves: every acknowledgement finds it so.
    updateLock = 1;
    locakInteface(true);
    if (gc_.currentProgramItem() == 0) mainVctl->sendCMD_Begin_enterProgram();
    sleeper_->sleep(0.08);
    mainVctl->sendCMD_isReady(gc_.currentProgramItem());
    boardStartedAt_ = platform::MainExecutor::current().now();
    if (replyWatchdog_) replyWatchdog_->setFireAfter(replyTimeout_);
}

bool CFirmwareUpdate::hasBlocks(int board) const {
    return isBoard(board) && core_.mb_firmware_noGUI[board] == kImageRead && core_.dSegement[board] > 0;
}

bool CFirmwareUpdate::linkCanSend() {
    // The senders' own test: a serial adapter that answered but is not switched on with Connect
    // shows as connected, yet nothing would be sent and no acknowledgement would ever come.
    return mainVctl && mainVctl->isRealConnect();
}

void CFirmwareUpdate::runStopped() {
    running_ = false;
    locakInteface(false);
}

std::string CFirmwareUpdate::writingToMixer() const {
    return running_ ? "A firmware update is being written into the mixer." : std::string();
}

void CFirmwareUpdate::boardEnded() {
    updateLock = 0;
    if (replyWatchdog_) replyWatchdog_->stop();
    // No board in work until the next one starts: the link drops what the mixer still sends for
    // this one (a repeated acknowledgement would send a block into a mixer that is rebooting, or
    // done, and repaint the bar; a late one would drive the blocks of a new run) and sends
    // nothing more for it.
    gc_.setCurrentProgramItem(-1);
    if (mainVctl) mainVctl->abandonBoardTransfer();
}

void CFirmwareUpdate::failRun(int board) {
    boardEnded();
    if (isBoard(board)) core_.updateStatusRecord[board] = 2;
    setActives(kFailed);
    view_.setProgress(0);
    runStopped();
}

void CFirmwareUpdate::replyWatchdogFired() {
    if (!updateLock) {
        replyWatchdog_->stop();
        return;
    }
    // The board's start or the mixer's last answer for it, whichever came later.
    const auto now = platform::MainExecutor::current().now();
    const auto last = std::max(boardStartedAt_, core_.lastBoardReply);
    if (now - last < replyTimeout_) {
        replyWatchdog_->setFireAfter(last + replyTimeout_ - now);
        return;
    }
    const int board = gc_.currentProgramItem();
    platform::trace("board %d: no answer from the mixer; the run stops", board);
    failRun(board);
}

// ---- The link's reports ------------------------------------------------------------------------

void CFirmwareUpdate::MsgProcess(const platform::Notification& note) {
    const auto* profile = std::any_cast<UserprofilePtr>(&note.object);
    if (!profile || !*profile) return;
    const int code = (*profile)->cmdType;
    const int pos = (*profile)->mpos;
    // A result counts only for the board in work: a stale or repeated acknowledgement must not
    // mark another board done or restart the one in work in the middle of its transfer.
    const bool boardInWork = updateLock && pos == gc_.currentProgramItem();
    switch (code) {
    case MSG_DISCONNECTED:
        if (util::StatusLamp* lamp = view_.lamp(Lamp::statusLCD)) lamp->setIsLighted(false);
        // No acknowledgement can come over a lost link: the board has failed and the run stops,
        // so that Connect and Program can start it again.
        if (updateLock) failRun(gc_.currentProgramItem());
        return;
    case MSG_BOARD_FAILED:
        if (boardInWork) reflesh_failure_End(pos);
        return;
    case MSG_BOARD_DONE:
        if (boardInWork) reflesh_sucess_end(pos);
        return;
    case MSG_BLOCK_SENT:
        // Progress of the board in work only: none is shown over a pause, a countdown or a
        // run's end.
        if (updateLock) setProgress(pos);
        return;
    default:
        return;
    }
}

void CFirmwareUpdate::setProgress(int block) {
    view_.setProgress(block);
    const int fullScale = view_.progressMax();
    const double part = Duziz::round(fullScale > 0 ? static_cast<double>(block) / fullScale : 0.0, 2);
    // Through single precision: 0.57 x 100 is 56.99999999999999 in double precision and 57 here.
    const int percent = static_cast<int>(static_cast<float>(part * 100));
    char text[48];
    std::snprintf(text, sizeof text, "Update Complete:%d%%...", percent);
    view_.setStatusText(text);
}

// ---- Results -----------------------------------------------------------------------------------

void CFirmwareUpdate::reflesh_sucess_end(int board) {
    if (board == 3)
        setActives(kComplete);
    else
        view_.setStatusText("");
    view_.setProgress(view_.progressMax());
    boardEnded();
    if (isBoard(board)) core_.updateStatusRecord[board] = 1;
    // Program stays disabled until the run ends: a second run started during the pause or the
    // reboot would talk to a mixer that is not ready for it.
    platform::trace("reflesh_sucess_end with tindex is : %d.....", board);
    if (isMCUFinish_continue_reboot(board)) {
        view_.startCountdown();
        return;
    }
    sleeper_->sleep(2.0);
    const int next = checkWhichFirwareBegin();
    if (next >= 0) {
        view_.setNoticeHidden(true);
        gc_.setCurrentProgramItem(next);
        locakInteface(true);
        begin_programWith_chooseType(next);
    } else {
        view_.setNoticeHidden(!isFirmwareUpdate_Sucess());
        runStopped();
    }
}

void CFirmwareUpdate::reflesh_failure_End(int board) {
    setActives(kFailed);
    view_.setProgress(0);
    boardEnded();
    if (isBoard(board)) core_.updateStatusRecord[board] = 2;
    platform::trace("reflesh failuer................");
    // A board that keeps failing would be started again for ever: its third failure ends the
    // run, before any countdown.
    if (isBoard(board) && ++boardFailures_[board] >= kBoardTries) {
        runStopped();
        return;
    }
    if (isMCUFinish_continue_reboot(board)) {
        view_.startCountdown();
        return;
    }
    // The failed board comes first again: it is started again at once.
    const int next = checkWhichFirwareBegin();
    if (next >= 0) {
        gc_.setCurrentProgramItem(next);
        begin_programWith_chooseType(next);
    } else {
        runStopped();
    }
}

bool CFirmwareUpdate::isMCUFinish_continue_reboot(int board) const {
    return board == 0 && core_.updateStatusRecord[0] != 0 &&
           (core_.upReadyCheck[1] == 1 || core_.upReadyCheck[2] == 1 || core_.upReadyCheck[3] == 1);
}

bool CFirmwareUpdate::isFirmwareUpdate_Sucess() const {
    for (uint8_t result : core_.updateStatusRecord)
        if (result == 1) return true;
    return false;
}

void CFirmwareUpdate::afterCountDown() {
    const int next = checkWhichFirwareBegin();
    if (next >= 0) {
        gc_.setCurrentProgramItem(next);
        locakInteface(true);
        begin_programWith_chooseType(gc_.currentProgramItem());
    } else {
        runStopped();
    }
    platform::trace("begin jinru to choose to programnow......................%d", next);
}

// ---- Controls ----------------------------------------------------------------------------------

void CFirmwareUpdate::locakInteface(bool lock) {
    view_.setProgramEnabled(!lock);
}

void CFirmwareUpdate::setLcdActive(int board) {
    for (Lamp lamp : kBoardLamps)
        if (util::StatusLamp* l = view_.lamp(lamp)) l->setIsLighted(false);
    if (!isBoard(board)) return;
    if (util::StatusLamp* l = view_.lamp(kBoardLamps[board])) l->setIsLighted(true);
}

void CFirmwareUpdate::setActives(int state) {
    switch (state) {
    case kFailedHidden:
    case kFailed:
        view_.setStatusText(INF_DEV_UP_FAILER);
        view_.setStatusColor(Color::red);
        view_.setStatusHidden(state == kFailedHidden);
        return;
    case kComplete:
        view_.setStatusText("Firmware update complete");
        view_.setStatusColor(Color::orange);
        view_.setStatusHidden(false);
        return;
    case kNotReady:
        view_.setStatusText(INF_DEV_NO_READY);
        view_.setStatusColor(Color::red);
        view_.setStatusHidden(false);
        return;
    case kCompleteTurnOff:
        view_.setStatusText(INV_DEV_SUCESS);
        view_.setStatusColor(Color::orange);
        view_.setStatusHidden(false);
        platform::trace("refleset label sucesss finially...........................................................");
        return;
    default:
        return;
    }
}

void CFirmwareUpdate::Firmware_checkBox_choose_Click(int tag, int state) {
    if (isBoard(tag)) core_.upReadyCheck[tag] = static_cast<uint8_t>(state);
}
