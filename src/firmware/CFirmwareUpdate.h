#pragma once
// The firmware update window's logic: the versions of the shipped images, the connection lamp and
// the four board lamps, the warning before a run, and the run itself, which programs the four
// boards of the mixer one after another (0 main-board MCU, 1 keyboard MCU, 2 first DSP, 3 second
// DSP) with progress, results and a countdown while the mixer reboots after board 0.
//
// The window asks the device link (mainVctl) to enter programming mode and to query a board's
// readiness; the link then sends the image block by block on its own and reports on the message
// bus: a block sent (273), the board done (265), the board failed (264), the link lost (263).
// The window's controls are reached through FirmwareUpdateView, so a whole run works without a
// window in tests.
//
// A run tries a board at most three times; a board that fails its third try, or whose mixer does
// not answer for 40 s while the board is in work, ends the run as failed.
//
// Main thread only; no locks. The waits between boards (0.08 s, 2.0 s) block the main thread
// through an injected platform::Sleeper.

#include "link/GCData.h"
#include "link/XCoreData.h"
#include "platform/NotificationCenter.h"
#include "platform/PausableTimer.h"
#include "platform/Sleeper.h"
#include "platform/UiServices.h"
#include "util/FirmwareWindow.h"
#include "util/StatusLamp.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// The firmware window's controls as its logic drives them; the Qt window implements it.
class FirmwareUpdateView {
public:
    // The version labels and the lamps by their names in the window; the logic decides which
    // board each one shows.
    enum class VersionLabel { lbfMcu1, lbfMcu2, lbfDsp1, lbfDsp2 };
    enum class Lamp { statusLCD, mcuLCD1, mcuLCD2, dspLCD1, dspLCD2 };
    enum class TextColor { white, red, orange };

    virtual ~FirmwareUpdateView();

    // Lays the picture "body_off" under the window's controls.
    virtual void loadBackGround() = 0;
    // The empty notice label, shown at the end of a run that programmed a board.
    virtual void setNoticeHidden(bool hidden) = 0;
    // The Program button: its title (shown in white) and whether it can be pressed.
    virtual void setProgramTitle(const std::string& title) = 0;
    virtual void setProgramEnabled(bool enabled) = 0;
    // The reboot countdown: the text before the seconds, its length and the block it runs at 0;
    // startCountdown counts down from the full length and shows it.
    virtual void prepareCountdown(const std::string& title, int seconds, std::function<void()> done) = 0;
    virtual void startCountdown() = 0;
    // The manifest error line (orange).
    virtual void setErrorText(const std::string& text) = 0;
    // The title of the button that opens the maker's web page (none: no button shown).
    virtual void setProductUrl(const std::string& url) = 0;
    virtual void setVersionText(VersionLabel label, const std::string& text) = 0;
    // The status line.
    virtual void setStatusText(const std::string& text) = 0;
    virtual void setStatusColor(TextColor color) = 0;
    virtual void setStatusHidden(bool hidden) = 0;
    // The progress bar: white background, green fill, running from 0 to its full scale.
    virtual void resetProgressBar() = 0;
    virtual void setProgressMax(int fullScale) = 0;
    virtual int progressMax() const = 0;
    virtual void setProgress(int position) = 0;
    // A lamp (may be null).
    virtual util::StatusLamp* lamp(Lamp which) = 0;
    // The window as the switcher runs it, and hiding it while the application is hidden.
    virtual platform::ModalWindow& modalWindow() = 0;
    virtual void orderOut() = 0;
};

class CFirmwareUpdate : public util::FirmwareWindow {
public:
    // The status line's states (setActives).
    enum StatusState { kFailedHidden = 0, kFailed = 1, kComplete = 2, kNotReady = 3, kCompleteTurnOff = 4 };
    static constexpr int kRebootSeconds = 30;
    // Tries of one board in one run: the first and two repetitions.
    static constexpr int kBoardTries = 3;

    explicit CFirmwareUpdate(FirmwareUpdateView& view, GCData& store = GCData::shareGCData(),
                             XCoreData& core = XCoreData::shareData());
    ~CFirmwareUpdate() override;
    CFirmwareUpdate(const CFirmwareUpdate&) = delete;
    CFirmwareUpdate& operator=(const CFirmwareUpdate&) = delete;

    // The main-thread waits; null = real sleeps.
    void setSleeper(platform::Sleeper* sleeper) { sleeper_ = sleeper ? sleeper : &platform::Sleeper::real(); }
    // The countdown's length in seconds; set before awakeFromNib.
    void setRebootSeconds(int seconds) { rebootSeconds_ = seconds; }
    // How long the mixer may leave the board in work unanswered (40 s); takes effect at the next
    // ready query or acknowledgement.
    void setReplyTimeout(std::chrono::nanoseconds timeout) { replyTimeout_ = timeout; }

    // ---- Set-up, versions, lamps, alerts, closing ----------------------------------------------
    // Registers in fmUpdateVctl, observes the message bus, reads the four images, resets the
    // lamps and the bar, hides the notice, makes the countdown and reads the versions.
    void awakeFromNib();
    void createInteface();
    // Reads the manifest (nine keys) into the version labels and the product type.
    void ReadVerFromLocal();
    void cxhAllLightLCD_firmwareLabel();
    // Green when lit, gray when not, switched off. Null is ignored.
    static void resetLCD(util::StatusLamp* lamp);
    // Lights the connection lamp while the mixer is connected (FirmwareWindow).
    void syncStatusLCD() override;
    platform::ModalWindow& window() override { return view_.modalWindow(); }
    // A run from the Program click to its end, the pauses and the countdown included.
    std::string writingToMixer() const override;
    bool isRunning() const { return running_; }
    // Alerts with one "OK" button: titled "Warning!" and "Warning".
    void PopMessage(const std::string& message);
    void ShowMessage(const std::string& message);
    // The window is closing: enables the preset window's controls when it is registered and no
    // backup or restore of it runs, then hides the window while the application is hidden, else
    // ends the modal run. A run goes on.
    void windowWillClose();
    // Opens the manifest's web address (entry 7) in the browser.
    void ProductURLClick();

    // ---- The run --------------------------------------------------------------------------------
    // Program: refused while the manifest could not be read; asks for confirmation, checks that
    // every board has an image with blocks, then starts board 0.
    void beginToProgramBtnClick();
    void resetProgram_to_Rebegin();
    // The first board (0-3) not yet programmed in this run; -1 when all four are.
    int checkWhichFirwareBegin() const;
    // The confirmation alert: 1 for "OK", 0 for "No".
    long getWarningBeforeUpdatingChoose();
    // Starts one board: refused when its image has no blocks or the link cannot send.
    void begin_programWith_chooseType(int board);
    // The device link's reports on the message bus.
    void MsgProcess(const platform::Notification& note);
    // Moves the bar to block n and shows the percentage.
    void setProgress(int block);
    void reflesh_sucess_end(int board);
    void reflesh_failure_End(int board);
    // Whether the mixer reboots before the next board: board 0 has ended and another board is
    // to be programmed.
    bool isMCUFinish_continue_reboot(int board) const;
    bool isFirmwareUpdate_Sucess() const;
    // Disables (true) or enables (false) the Program button.
    void locakInteface(bool lock);
    // Lights the board's lamp and no other.
    void setLcdActive(int board);
    void setActives(int state);
    // A board's check box (tag = board) changed to state (0 off, 1 on).
    void Firmware_checkBox_choose_Click(int tag, int state);
    // Runs when the reboot countdown reaches 0: starts the next board.
    void afterCountDown();
    // The reply watchdog's tick: the board in work has had no answer for the reply timeout.
    void replyWatchdogFired();

    // ---- Kept for completeness; nothing in the program calls them ------------------------------
    void menuWillHighlightItem();
    void sliderChange() {}
    void testClick();
    void viewWillDisappear();
    void saveMemory();
    void setUpdateFinishStatus(bool hidden);
    void cxhCheckBox();
    void resetAllChooseBox();
    void PopMessage_No_firmwareTypeChoose();
    long chooseMsgDlg(const std::string& message);

    // The manifest could not be read at set-up; programming is refused for the whole run.
    bool isFileError = false;
    // A board has been started and has not reported success or failure yet.
    int8_t updateLock = 0;

private:
    // The board's image was read and has at least one block.
    bool hasBlocks(int board) const;
    // The link can send frames now.
    static bool linkCanSend();
    // The run stops here: nothing more is started, and Program can be pressed again.
    void runStopped();
    // The board in work has ended, well or not: the reply watchdog rests, and no board is in
    // work for the link until the next one starts.
    void boardEnded();
    // The board in work failed for good (the link was lost, the mixer fell silent): its result,
    // the failure text and the empty bar, and the run stops.
    void failRun(int board);

    FirmwareUpdateView& view_;
    GCData& gc_;
    XCoreData& core_;
    platform::Sleeper* sleeper_;
    int rebootSeconds_ = kRebootSeconds;
    platform::NotificationCenter::ObserverToken busObserver_;
    // From the Program click that started boards to the run's end.
    bool running_ = false;
    // Failures of each board in this run.
    int boardFailures_[kFirmwareBoards] = {};
    std::chrono::nanoseconds replyTimeout_ = std::chrono::seconds(40);
    // Armed while a board is in work; counts from the board's start or the mixer's last answer
    // for it (XCoreData::lastBoardReply), whichever came later.
    std::unique_ptr<platform::PausableTimer> replyWatchdog_;
    platform::MainExecutor::Clock::time_point boardStartedAt_{};
};
