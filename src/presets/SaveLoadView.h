#pragma once
// The preset window's logic: the list of one preset type as the store last read it from the mixer,
// the operations on its presets (load to the computer, save to the mixer, delete, rename, recall),
// the whole-memory backup and restore, and the one busy state that spans every request: spinner,
// locked controls and a 40 s watchdog. Requests go to the mixer through the main window's senders
// (mainVctl); their outcome comes back only as messages on the bus, which MsgProcess turns into
// the window's reaction. The controls are reached through SaveLoadControls, so the whole window
// runs without Qt in tests; SaveLoadWindow is the Qt window. What the two programs do differently
// comes from the store's ProgramConstants: Varnel Preset Conversion lists no presets, backs up
// the old layout only while the mixer reports old firmware and writes it back converted once the
// mixer reports the new one.
//
//     SaveLoadView logic(controls, GCData::shareGCData());
//     logic.awakeFromNib();           // registers saveLoadView, hears the bus, fills the list
//     logic.radioGroupCLick();        // the user chose another type
//     logic.tableViewShouldSelectRow(4);
//     logic.loadPresetClick();        // asks the mixer for preset 5; busy until 260 or 40 s
//
// Main thread only; no locks.

#include "link/GCData.h"
#include "platform/NotificationCenter.h"
#include "platform/PausableTimer.h"
#include "platform/UiServices.h"
#include "util/PresetWindow.h"
#include "util/StatusLamp.h"
#include "util/Userprofile.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

class PresetNamePanel;

// The colours the window shows in both programs; what differs between them (the first status
// text, the failure text, the colour of a finished operation, the texts at packet 30, the backup's
// file type, the code that ends the window's modal run) comes from the store's program table.
namespace saveload {
// The status line's colour for every text but a finished operation's.
inline constexpr util::LampColor kStatusPlainColor = {1.0, 1.0, 1.0, 1.0};
// The colour of a request or transfer that failed without an answer: never the colour of the
// operation that finished before it.
inline constexpr util::LampColor kStatusFailedColor = {1.0, 0.3, 0.3, 1.0};
// The colour of the backup and restore percentage.
inline constexpr util::LampColor kMemoryStatusColor = {1.0, 0.5, 0.0, 1.0};
}  // namespace saveload

// The preset window's controls as its logic drives them; the Qt window implements it, tests record.
class SaveLoadControls {
public:
    // The controls group, in the order in which LockGUI enables them. The list is not part of it.
    enum class Control { radioGroup, chbox, auxbox, memImptBtn, memExBtn, savebtn, deleteBtn, recallBtn, loadBtn };
    static constexpr int kControlCount = 9;

    virtual ~SaveLoadControls();

    // Lays the picture "body_off" under the controls and shows the titles of the buttons, the
    // boxes, the type selector and the direction labels in white.
    virtual void prepareControls() = 0;
    virtual void setControlEnabled(Control control, bool enabled) = 0;

    // The status line: its text, and the colour of its text.
    virtual void setStatusText(const std::string& text) = 0;
    virtual void setStatusColor(util::LampColor color) = 0;
    // The backup and restore display: the percentage label, the progress bar (range 0 to 30)
    // and the view that holds the bar.
    virtual void setMemoryStatusText(const std::string& text, util::LampColor color) = 0;
    virtual void setMemoryStatusHidden(bool hidden) = 0;
    virtual void setProgressValue(double value) = 0;
    virtual void setProgressAnimating(bool animating) = 0;
    virtual void setProgressHolderHidden(bool hidden) = 0;
    // The direction labels of the backup pane: where the presets come from and where they go.
    virtual void setDirectionLabels(const std::string& from, const std::string& to) = 0;
    // The connection lamp and the busy spinner (either may be null).
    virtual util::StatusLamp* statusLCD() = 0;
    virtual platform::Spinner* indcator() = 0;

    // The tag (0-4) of the type selector's chosen cell.
    virtual int selectedTag() const = 0;
    // Replaces the items of chbox or auxbox and chooses the first; the index of the chosen item.
    virtual void fillBox(Control box, const std::vector<std::string>& items) = 0;
    virtual int boxIndex(Control box) const = 0;

    // The list. A row appended is highlighted, as each row the list takes in; the highlight is
    // not a selection of the user's (that reaches the logic through tableViewShouldSelectRow).
    virtual void clearRows() = 0;
    virtual void addRow(const std::string& label) = 0;
    virtual void removeRow(int row) = 0;
    virtual int rowCount() const = 0;
    // Shows the first rows.
    virtual void scrollToTop() = 0;

    // The preset-name panel, and the window itself.
    virtual PresetNamePanel& alertPanel() = 0;
    virtual platform::ModalWindow& modalWindow() = 0;
};

class SaveLoadView : public util::PresetWindow {
public:
    explicit SaveLoadView(SaveLoadControls& controls, GCData& store = GCData::shareGCData(),
                          std::chrono::nanoseconds watchdogInterval = std::chrono::seconds(40));
    ~SaveLoadView() override;
    SaveLoadView(const SaveLoadView&) = delete;
    SaveLoadView& operator=(const SaveLoadView&) = delete;

    GCData& store() { return gc_; }
    SaveLoadControls& controls() { return view_; }

    // ---- The window and its list ------------------------------------------------------------
    // Registers the window in saveLoadView, observes the bus, builds the window's state (the
    // paused watchdog; with the preset library the first list and the boxes) and writes the
    // program's first status text. Needs a main executor.
    void awakeFromNib();
    void initNStablview_parameters();
    void createInteface() {}
    // The window is closing: tells the delegate, or without one ends the modal run that shows
    // it with the program's code.
    void windowWillClose();

    // util::PresetWindow.
    void LockGUI(bool enable) override;
    void UpdatePresetList() override;
    void syncStatusLCD() override;
    void setFalse() override;
    platform::ModalWindow& window() override { return view_.modalWindow(); }
    void setDelegate(util::WindowDelegate* delegate) override { delegate_ = delegate; }
    // A preset written into the mixer and not yet answered, or a restore (Varnel Preset
    // Conversion: the converted write-back) before its last packet.
    std::string writingToMixer() const override;
    // From the backup's or restore's first request (Varnel Preset Conversion: the old-layout
    // backup, the converted write-back) to its end.
    bool memoryTransferUnderWay() const override { return transfer_ != Transfer::None; }

    // Refills the list with the labels of a preset type (0-3); another type changes nothing.
    void fetchPresets_caseMode(int type);
    void addNewStringValue_to_tableView(const std::string& label, bool scroll);
    // Shows the top of the list.
    void scrollToBottom();
    void clearTableView();
    // Removes a row; an index outside the rows does nothing.
    void removeValue_from_selectIndex(int index);
    void clearAllRowClic();
    void test();
    void addAllItemToTableView() {}
    void showChannel_preset_forTest() {}

    // The type selector: its action, and the type index of its chosen tag (0, 1, 2, 2, 3).
    void radioGroupCLick();
    int index_mode() const;
    // 1 fills chbox with the channels, 4 fills auxbox with the buses; others do nothing.
    void fillChBox(int which);
    void segmenControlChangeValue();

    // The list's delegate: a row the user pressed or keyed onto becomes citemindex.
    bool tableViewShouldSelectRow(int row);
    bool tableViewShouldEditTableColumnRow(int, int) const { return false; }

    // ---- Preset operations ------------------------------------------------------------------
    // While a backup or a restore runs, or while the window waits for the answer to a Load, a
    // write, a rename or a Recall, none of these starts anything, whatever the lock shows: the
    // status line says why. A delete waits for no answer; list reads the window did not ask for
    // (the window switcher's, Connect's) are not waited for.
    //
    // Copies the selected preset from the mixer to a file (the link runs the save panel).
    void loadPresetClick();
    // Writes a preset file into the mixer, at the chosen channel, bus or effects unit.
    void saveBtnClick();
    void LocalOnLocal();
    // Deletes the selected preset after "Yes" to the confirmation.
    void deletePresetClick();
    // Reads the four preset lists again; without the preset library only goes busy.
    void RecallAllPreset();
    // Renames the preset of a row (row < 0: nothing) through the name panel.
    void tablvieDoubleClick(int row);
    void selectPopupSelectClick();
    // The status line in the program's "ok" colour or white, with the title.
    void setStatusFieldTitle(const std::string& title, bool ok);

    // ---- Whole-memory backup and restore ----------------------------------------------------
    void memImportClick();
    void memExportClick();
    // The backup confirmation with the program's question: 1 for "OK", 0 for "No".
    int fgetWarningBeforeUpdatingChoose();
    // The "Warning!" alert with one "OK" button.
    void ShowMessage(const std::string& text);

    // ---- Busy state, watchdog, messages -----------------------------------------------------
    // true enters the busy state while the mixer is connected; false always leaves it. The
    // operations note what the busy state waits for: a message ends only the busy state of the
    // request it answers (one entered by setBar alone, any).
    void setBar(bool busy);
    void setTimeBegin();
    void setTimerInvalid();
    // One watchdog tick: the second tick of a busy state, or of a backup or restore that has
    // had no packet since the watchdog last started, fails what is under way.
    void setAnimate();
    void MsgProcess(const Userprofile& profile);
    // The percentage and the bar for packet n of 30.
    void setMemoryStatus(int n);
    void setProgress(int n);
    // 0: from "Mixer" to "Computer"; 1: from "Computer" to "Mixer"; others change nothing.
    void setTypelabe(int direction);

    // The row the user last selected, -1 for none; every message clears it.
    int citemindex = -1;
    // The watchdog's ticks since it was started.
    int nc = 0;
    // The watchdog (null until the window is built).
    const platform::PausableTimer* watchdog() const { return m_timer.get(); }
    bool isBusy() const { return request_ != Request::None; }

private:
    // What of a whole-memory transfer the window shows as under way.
    enum class Transfer { None, Backup, Restore };
    // What the busy state waits for: the answer to a Load, a write, a rename or a Recall; a
    // delete, which nothing answers (it ends at the watchdog); or, entered by setBar alone, any
    // message that ends a busy state.
    enum class Request { None, Any, Load, Write, Rename, Delete, Recall };
    // Goes busy (while the mixer is connected), waiting for the request's answer.
    void waitFor(Request request);
    // A message answering `request` ends the busy state.
    bool answers(Request request) const { return request_ == request || request_ == Request::Any; }
    // While a transfer runs or an answer is awaited, an operation starts nothing and the status
    // line says why.
    bool refusedWhileBusy();
    // The busy state ends without the answer it waited for: the link drops that answer when it
    // comes late, whatever is asked meanwhile.
    void giveUpRequest();
    // The channel a request is about: the channel box for every type.
    int chboxIndex() const { return view_.boxIndex(SaveLoadControls::Control::chbox); }
    // A request ended without its answer: the busy state and a transfer's display end, the
    // controls are enabled, and the status line says the process failed. What the mixer still
    // sends for a backup or restore given up is dropped by the link.
    void failInProgress();
    // A backup or restore packet arrived: the watchdog gives the next one its whole time.
    void transferGoesOn(Transfer transfer);

    SaveLoadControls& view_;
    GCData& gc_;
    std::chrono::nanoseconds watchdogInterval_;
    std::unique_ptr<platform::PausableTimer> m_timer;
    platform::NotificationCenter::ObserverToken busObserver_;
    util::WindowDelegate* delegate_ = nullptr;
    Request request_ = Request::None;
    // A preset file was sent to the mixer and the window is busy until its answer.
    bool writingPreset_ = false;
    Transfer transfer_ = Transfer::None;
};
