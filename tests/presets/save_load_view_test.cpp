// The preset window's logic without Qt: the list and the type selector, the bus messages against
// the controls, the watchdog on a manual clock, the backup display, the operations down to the
// frames they send, and what a lost or half-present link leaves on screen.

#include "PresetsTestSupport.h"
#include "ui/DirazuzeControl.h"

#include <gtest/gtest-spi.h>

#include <QObject>

#include <filesystem>
#include <functional>
#include <optional>

namespace presettest {
namespace {

using linktest::Bytes;
using linktest::makeFrame;
using linktest::writeFile;

constexpr util::LampColor kGreen = {0.0, 1.0, 0.0, 1.0};
constexpr util::LampColor kWhite = {1.0, 1.0, 1.0, 1.0};
constexpr util::LampColor kOrange = {1.0, 0.5, 0.0, 1.0};

class SaveLoadViewTest : public PresetWindowTest {
protected:
    // Restore presses Restore for a file of the mixer's own memory at path; otherwise Backup,
    // confirmed, into path.
    void startTransfer(sim::SimMixer& mixer, bool restore, const std::string& path) {
        if (restore) {
            writeFile(path, mixer.memoryImage());
            ui.answerOpen(path);
            logic.memExportClick();
        } else {
            ui.answerAlert(0);
            ui.answerSave(path);
            logic.memImportClick();
        }
    }
};

TEST_F(SaveLoadViewTest, BuildsTheSceneListWithItsBoxesLampAndPausedWatchdog) {
    EXPECT_EQ(saveLoadView, &logic);
    ASSERT_EQ(controls.rows.size(), 24u);
    EXPECT_EQ(controls.rows.front().substr(0, 4), "001.");
    EXPECT_EQ(controls.rows.back().substr(0, 4), "024.");
    EXPECT_EQ(controls.rows.front(), gc->gPresetName(0, 3));
    EXPECT_EQ(controls.scrolls, 1);  // once, after the last row
    EXPECT_EQ(controls.status, "status log");
    EXPECT_EQ(controls.statusColor, kWhite);
    ASSERT_EQ(controls.chItems.size(), 33u);
    EXPECT_EQ(controls.chItems.front(), "CH01");
    EXPECT_EQ(controls.chItems[20], "Tape");
    EXPECT_EQ(controls.chItems.back(), "MAIN");
    ASSERT_EQ(controls.auxItems.size(), 11u);
    EXPECT_EQ(controls.auxItems.front(), "MAIN");
    EXPECT_EQ(controls.auxItems.back(), "FX2");
    EXPECT_EQ(controls.chIndex, 0);
    EXPECT_EQ(controls.auxIndex, 0);
    EXPECT_FALSE(controls.lamp.lighted);
    EXPECT_EQ(controls.lamp.lit, util::LampColor::greenColor());
    EXPECT_EQ(controls.lamp.unlit, util::LampColor::grayColor());
    EXPECT_TRUE(controls.memoryHidden);
    EXPECT_TRUE(controls.holderHidden);
    EXPECT_EQ(logic.citemindex, -1);
    EXPECT_EQ(logic.nc, 0);
    ASSERT_NE(logic.watchdog(), nullptr);
    EXPECT_TRUE(logic.watchdog()->isPaused());
    EXPECT_EQ(logic.watchdog()->mode(), platform::PausableTimer::Mode::Common);
    advance(100s);
    EXPECT_EQ(controls.status, "status log");
}

TEST_F(SaveLoadViewTest, TheTypeSelectorChoosesTheListAndTheBoxesAndClearsTheSelection) {
    struct Case {
        int tag;
        size_t rows;
        unsigned char type;
        bool chbox, auxbox;
        int index;
    };
    const Case cases[] = {{0, 24, 3, false, false, 0},
                          {1, 48, 0, true, false, 1},
                          {2, 104, 2, false, false, 2},
                          {3, 104, 2, false, false, 2},
                          {4, 48, 1, false, true, 3}};
    gc->setPresetName(2, 103, "Last effect");
    for (const auto& c : cases) {
        SCOPED_TRACE("tag " + std::to_string(c.tag));
        logic.tableViewShouldSelectRow(5);
        controls.tag = c.tag;
        logic.radioGroupCLick();
        EXPECT_EQ(logic.index_mode(), c.index);
        ASSERT_EQ(controls.rows.size(), c.rows);
        EXPECT_EQ(controls.rows.back(), gc->gPresetName(static_cast<int>(c.rows) - 1, c.type));
        EXPECT_EQ(controls.isEnabled(Control::chbox), c.chbox);
        EXPECT_EQ(controls.isEnabled(Control::auxbox), c.auxbox);
        EXPECT_EQ(logic.citemindex, -1);
    }
    EXPECT_EQ(controls.rows.size(), 48u);
    controls.tag = 2;
    logic.segmenControlChangeValue();
    EXPECT_EQ(controls.status, "Preset type has changed to : DFX  !");
    EXPECT_EQ(controls.rows.back(), "104.Last effect     ");
    // Nothing but the user's press or key sets the selection; a row outside the list is no row.
    logic.tableViewShouldSelectRow(7);
    logic.UpdatePresetList();
    EXPECT_EQ(logic.citemindex, 7);
    logic.removeValue_from_selectIndex(104);
    logic.removeValue_from_selectIndex(-1);
    EXPECT_EQ(controls.rows.size(), 104u);
    logic.removeValue_from_selectIndex(0);
    EXPECT_EQ(controls.rows.front().substr(0, 4), "002.");
}

// Every code on the bus, from an idle or a busy window: the controls, the spinner, the watchdog,
// the status line and the selection.
TEST_F(SaveLoadViewTest, MessagesDriveTheControlsSpinnerWatchdogAndStatusLine) {
    struct Case {
        const char* name;
        bool startBusy;
        int code, pos;
        bool enabled, spinning;
        bool watchdog;  // a backup or restore waits for its next packet without the spinner
        const char* status;  // "" = unchanged ("status log", white)
        util::LampColor color;
    };
    const Case cases[] = {
        {"lists loaded", true, 256, 0, true, false, false, "Preset List Loaded!", kGreen},
        {"backup packet", false, 257, 1, true, false, true, "Exporting  all memory data  to files ,please wait!",
         kWhite},
        {"backup done", false, 257, 30, true, false, false, "Backup of all Presets sucessfully saved to computer!",
         kGreen},
        {"name stored, busy", false, 258, 0, false, true, true, "", kWhite},
        {"idle", true, 259, 0, true, false, false, "", kWhite},
        // The save panel opens next: the text waits for the file.
        {"preset received", true, 260, 2, true, false, false, "", kWhite},
        {"preset saved to its file", false, 274, 2, true, false, false, "Preset successfully saved to computer!",
         kGreen},
        {"preset written", true, 261, 1, true, false, false, "Preset loaded successfully!", kGreen},
        {"restore packet", true, 262, 5, false, false, true,
         "Importing all memory parameters  from local ,please wait!", kWhite},
        {"disconnected while idle", false, 263, 0, true, false, false, "", kWhite},
        {"a firmware code", true, 264, 1, false, true, true, "", kWhite},
        {"an unknown code", true, 999, 0, false, true, true, "", kWhite},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        logic.setMemoryStatus(30);  // no backup or restore under way
        logic.setBar(false);
        logic.setStatusFieldTitle("status log", false);
        if (c.startBusy) logic.setBar(true);
        logic.tableViewShouldSelectRow(3);
        post(c.code, c.pos);
        EXPECT_EQ(controls.allButtonsEnabled(c.enabled), true);
        EXPECT_EQ(controls.spinner.visible, c.spinning);
        EXPECT_EQ(controls.spinner.animating, c.spinning);
        EXPECT_EQ(timerRunning(), c.watchdog);
        EXPECT_EQ(controls.status, *c.status ? c.status : "status log");
        EXPECT_EQ(controls.statusColor, c.color);
        EXPECT_EQ(logic.citemindex, -1);
    }
    EXPECT_TRUE(sent().empty());
}

TEST_F(SaveLoadViewTest, TheListArrivingRefillsTheListAndTheLastRestorePacketReadsItAgain) {
    gc->setPresetName(3, 0, "Opening night");
    post(MSG_PRESET_LIST_LOADED);
    EXPECT_EQ(controls.rows.front(), "001.Opening night   ");

    post(MSG_RESTORE_PACKET, 30);
    EXPECT_EQ(controls.status,
              "Import all memory data over ,begin to synchronize presetlist from device ,waiting.....!");
    EXPECT_EQ(controls.statusColor, kGreen);
    EXPECT_EQ(sent(), std::vector<Bytes>{linktest::hex("01 20 03 0B 00 01 00 01 18 01 40")});
    EXPECT_TRUE(logic.isBusy());
    EXPECT_TRUE(controls.allButtonsEnabled(false));
    post(MSG_PRESET_LIST_LOADED);
    EXPECT_EQ(controls.status, "Preset List Loaded!");
    EXPECT_FALSE(logic.isBusy());
    EXPECT_TRUE(controls.allButtonsEnabled(true));
}

TEST_F(SaveLoadViewTest, TheWatchdogFailsARequestLeftUnansweredForFortySeconds) {
    struct Case {
        const char* name;
        std::function<void()> at10s, at30s;
        bool failsAt40s, failsAt70s;
    };
    auto nothing = [] {};
    const Case cases[] = {
        {"no answer", nothing, nothing, true, true},
        {"an answer at 10 s", [] { post(MSG_PRESET_WRITTEN, 1); }, nothing, false, false},
        {"258 at 30 s restarts the 40 s", nothing, [] { post(MSG_PRESET_BUSY); }, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // A finished operation's green is still on the line when the request goes unanswered.
        logic.setStatusFieldTitle("Preset List Loaded!", true);
        logic.setBar(true);
        advance(0s);
        EXPECT_EQ(logic.nc, 1);  // the tick at once
        advance(10s);
        c.at10s();
        advance(20s);
        c.at30s();
        advance(9900ms);
        EXPECT_NE(controls.status, "Current process failed!");
        advance(100ms);
        EXPECT_EQ(controls.status == "Current process failed!", c.failsAt40s);
        advance(30s);
        const bool failed = controls.status == "Current process failed!";
        EXPECT_EQ(failed, c.failsAt70s);
        if (failed) {
            EXPECT_EQ(logic.nc, 1);
            EXPECT_FALSE(timerRunning());
            EXPECT_FALSE(controls.spinner.visible);
            EXPECT_TRUE(controls.allButtonsEnabled(true));
            EXPECT_EQ(controls.statusColor, saveload::kStatusFailedColor);
        } else {
            EXPECT_EQ(logic.nc, 0);
        }
        advance(200s);
        EXPECT_EQ(logic.nc, failed ? 1 : 0);
    }
}

TEST_F(SaveLoadViewTest, TheBackupDisplayShowsEachPacketAndTheLastEndsIt) {
    struct Case {
        int packet;
        const char* text;
        bool hidden;
    };
    const Case cases[] = {{0, "Complete: 0%...", false},   {1, "Complete: 3%...", false},
                          {2, "Complete: 7%...", false},   {3, "Complete: 10%...", false},
                          {17, "Complete: 57%...", false}, {20, "Complete: 67%...", false},
                          {29, "Complete: 97%...", false}, {30, "Complete: 100%...", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.packet);
        logic.LockGUI(false);
        logic.setMemoryStatus(c.packet);
        EXPECT_EQ(controls.memoryText, c.text);
        EXPECT_EQ(controls.memoryColor, kOrange);
        EXPECT_EQ(controls.memoryHidden, c.hidden);
        EXPECT_EQ(controls.holderHidden, c.hidden);
        EXPECT_EQ(controls.progress, c.packet);
        EXPECT_EQ(controls.animating, c.packet != 30);  // started at 0, stopped at 30
        EXPECT_TRUE(controls.allButtonsEnabled(c.packet == 30));
    }
    logic.setTypelabe(1);
    logic.setTypelabe(2);
    EXPECT_EQ(controls.from, "Computer");
    EXPECT_EQ(controls.to, "Mixer");
}

// Each operation as the user starts it: the type cell and the boxes it reads, the frame the link
// sends for it, and whether the window waits for the answer.
TEST_F(SaveLoadViewTest, OperationsSendTheirFramesAndGoBusy) {
    auto presetFile = [this](int type, uint8_t index) {
        Bytes file = makeFrame(static_cast<size_t>(LEN_FILE_PRESET[type]), 0x32, static_cast<uint8_t>(type + 1), 0x5A);
        file[10] = index;
        const std::string path = dir / ("preset." + std::string(PresetFilter[type]));
        writeFile(path, file);
        return path;
    };
    struct Case {
        const char* name;
        int tag, ch, aux, row;
        std::function<void()> script;
        std::function<void()> action;
        std::string head;  // bytes 8-10 of the frame sent, "" = nothing sent
        bool busy;
    };
    auto load = [this] { logic.loadPresetClick(); };
    auto save = [this] { logic.saveBtnClick(); };
    auto remove = [this] { logic.deletePresetClick(); };
    auto none = [] {};
    const Case cases[] = {
        {"load a scene", 0, 4, 0, 6, none, load, "32 04 07", true},
        {"load a DSP preset names its channel in no frame byte", 1, 4, 0, 0, none, load, "32 01 01", true},
        {"load the second DFX unit's preset", 3, 0, 0, 103, none, load, "32 03 68", true},
        {"save a DSP preset to channel CH03", 1, 2, 7, 9, [&] { ui.answerOpen(presetFile(0, 0x11)); }, save,
         "23 01 03", true},
        {"save a DFX preset to the first unit", 2, 5, 5, -1, [&] { ui.answerOpen(presetFile(2, 0x11)); }, save,
         "23 03 01", true},
        {"save a DFX preset to the second unit", 3, 5, 5, -1, [&] { ui.answerOpen(presetFile(2, 0x11)); }, save,
         "23 03 02", true},
        {"save a GEQ preset to the bus box's bus", 4, 9, 5, -1, [&] { ui.answerOpen(presetFile(1, 0x11)); }, save,
         "23 02 06", true},
        {"save a scene keeps the file's index", 0, 9, 5, -1, [&] { ui.answerOpen(presetFile(3, 0x0C)); }, save,
         "23 04 0C", true},
        {"save with the panel cancelled", 1, 2, 0, -1, [&] { ui.answerOpen(std::nullopt); }, save, "", false},
        {"delete after Yes", 4, 0, 3, 2, [&] { ui.answerAlert(0); }, remove, "17 02 02", true},
        {"delete after No", 4, 0, 3, 2, [&] { ui.answerAlert(1); }, remove, "", false},
        {"delete with no row selected asks nothing", 4, 0, 3, -1, none, remove, "", false},
        {"recall", 2, 0, 0, -1, none, [this] { logic.RecallAllPreset(); }, "18 01 40", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        logic.setBar(false);
        controls.tag = c.tag;
        logic.radioGroupCLick();
        controls.chIndex = c.ch;
        controls.auxIndex = c.aux;
        if (c.row >= 0) logic.tableViewShouldSelectRow(c.row);
        c.script();
        c.action();
        const auto frames = sent();
        if (c.head.empty()) {
            EXPECT_TRUE(frames.empty());
        } else {
            ASSERT_EQ(frames.size(), 1u);
            char head[16];
            std::snprintf(head, sizeof head, "%02X %02X %02X", frames[0][8], frames[0][9], frames[0][10]);
            EXPECT_EQ(head, c.head);
        }
        EXPECT_EQ(logic.isBusy(), c.busy);
        EXPECT_EQ(controls.spinner.visible, c.busy);
        EXPECT_TRUE(controls.allButtonsEnabled(!c.busy));
    }
    auto alerts = ui.callsOf("alert");
    ASSERT_EQ(alerts.size(), 2u);
    EXPECT_EQ(alerts[0].title, "Warning!");
    EXPECT_EQ(alerts[0].message, "Delete selected preset ?");
    EXPECT_EQ(alerts[0].options, (std::vector<std::string>{"Yes", "No"}));
    ASSERT_FALSE(ui.callsOf("open").empty());
    EXPECT_EQ(ui.callsOf("open").front().options, std::vector<std::string>{"sDsp"});
}

TEST_F(SaveLoadViewTest, WithoutASelectionOrAMixerNothingIsSentAndNothingWaits) {
    // Any message clears the selection: a load right after the list arrived selects nothing.
    logic.setStatusFieldTitle("Preset List Loaded!", true);
    logic.tableViewShouldSelectRow(3);
    post(MSG_PRESET_IDLE);
    logic.loadPresetClick();
    EXPECT_EQ(controls.status, "No item selected ");
    EXPECT_EQ(controls.statusColor, kGreen);
    EXPECT_TRUE(sent().empty());
    EXPECT_FALSE(logic.isBusy());

    // An unanswered confirmation is never a Yes.
    logic.tableViewShouldSelectRow(3);
    EXPECT_NONFATAL_FAILURE(logic.deletePresetClick(), "unscripted alert");
    EXPECT_TRUE(sent().empty());

    gc->isconnected = false;
    logic.tableViewShouldSelectRow(3);
    logic.loadPresetClick();
    logic.RecallAllPreset();
    ui.answerAlert(0);
    logic.deletePresetClick();
    EXPECT_TRUE(sent().empty());
    EXPECT_FALSE(logic.isBusy());
    EXPECT_FALSE(timerRunning());
    EXPECT_TRUE(controls.allButtonsEnabled(true));
    // Without a main window nothing is asked of the mixer either.
    gc->isconnected = true;
    mainVctl = nullptr;
    logic.RecallAllPreset();
    EXPECT_FALSE(logic.isBusy());
}

TEST_F(SaveLoadViewTest, ADoubleClickOnARowRunsTheNamePanelForItsPreset) {
    logic.tablvieDoubleClick(-1);
    EXPECT_EQ(controls.panel.shown, 0);
    EXPECT_TRUE(ui.callsOf("modal").empty());

    controls.tag = 4;
    logic.radioGroupCLick();
    controls.chIndex = 6;
    logic.tableViewShouldSelectRow(1);
    controls.panel.text = "left over";
    ui.onModal([this](platform::ModalWindow& window) {
        EXPECT_EQ(&window, &controls.panel);
        EXPECT_EQ(controls.panel.presetindex, 9);
        EXPECT_EQ(controls.panel.smodeindex, 1);
        EXPECT_EQ(controls.panel.chindex, 6);
        EXPECT_EQ(controls.panel.text, "");
        controls.panel.text = "  Vocal GEQ ";
        EXPECT_TRUE(controls.panel.btnOKConfirmClick());
        return PresetNamePanel::kModalStop;
    });
    logic.tablvieDoubleClick(9);
    EXPECT_EQ(controls.panel.shown, 1);
    EXPECT_EQ(controls.panel.closed, 1);
    EXPECT_EQ(ui.callsOf("stopModal").size(), 1u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(gc->m_GEQPreset[9]), 16), "Vocal GEQ       ");
    const auto frames = sent();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], linktest::concat({linktest::hex("01 20 03 1D 00 01 00 01 16 02 07 09"),
                                           Bytes(gc->m_GEQPreset[9], gc->m_GEQPreset[9] + 16), {0x40}}));
    // The name is pending at the mixer: 258 made the window busy (and cleared the selection).
    EXPECT_EQ(bus.count(MSG_PRESET_BUSY), 1u);
    EXPECT_TRUE(logic.isBusy());
    EXPECT_EQ(logic.citemindex, -1);
}

TEST_F(SaveLoadViewTest, TheBackupAsksConfirmsAndLocksWithoutSpinner) {
    const std::string path = dir / "all.mprt";
    struct Case {
        const char* name;
        std::function<void()> script;
        bool sends;
    };
    const Case cases[] = {
        {"No to the confirmation", [&] { ui.answerAlert(1); }, false},
        {"the save panel cancelled", [&] {
             ui.answerAlert(0);
             ui.answerSave(std::nullopt);
         },
         false},
        {"confirmed with a file", [&] {
             ui.answerAlert(0);
             ui.answerSave(path);
         },
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t asked = ui.callsOf("alert").size();
        c.script();
        logic.memImportClick();
        const auto alerts = ui.callsOf("alert");
        ASSERT_EQ(alerts.size(), asked + 1);
        EXPECT_EQ(alerts.back().message, "Are you sure that you want to save all presets to a computer file?");
        EXPECT_EQ(alerts.back().options, (std::vector<std::string>{"OK", "No"}));
        EXPECT_EQ(gc->memoryFilePath, c.sends ? path : "");
        EXPECT_EQ(controls.from, c.sends ? "Mixer" : "");
        EXPECT_EQ(controls.to, c.sends ? "Computer" : "");
        EXPECT_EQ(sent().size(), c.sends ? 1u : 0u);
        EXPECT_TRUE(controls.allButtonsEnabled(!c.sends));
        EXPECT_FALSE(controls.spinner.visible);
        // The watchdog waits for the first packet.
        EXPECT_EQ(timerRunning(), c.sends);
    }
    const auto saves = ui.callsOf("save");
    ASSERT_EQ(saves.size(), 2u);
    EXPECT_EQ(saves[0].title, "");
    EXPECT_EQ(saves[0].message, "");
    EXPECT_EQ(saves[0].options, std::vector<std::string>{"mprt"});
}

// What is under way when the link is lost or the backup fails, and what stays on screen. The
// link reports a failed backup with its alert and 259 whether the window is shown or not; the
// window switcher's 259 comes while the link may still collect the backup.
TEST_F(SaveLoadViewTest, ALostLinkOrAFailedBackupEndsWhatWasUnderWay) {
    struct Case {
        const char* name;
        std::function<void()> start;
        std::function<void()> end;
        bool linkLost;
        bool fails;  // "Current process failed!", controls enabled, spinner and display ended
    };
    auto busyThenDisconnected = [this] {
        logic.setBar(true);
        gc->isconnected = false;  // the link clears it before it posts 263
    };
    auto backupAt5 = [this] {
        ui.answerAlert(0);
        ui.answerSave(dir / "b.mprt");
        logic.memImportClick();
        post(MSG_BACKUP_PACKET, 5);
    };
    auto restoreAt3 = [this] {
        post(MSG_RESTORE_PACKET, 3);
        gc->isconnected = false;
    };
    auto disconnected = [] { post(MSG_DISCONNECTED); };
    // Packet 30 follows packet 1 of the backup: the link cannot save it.
    auto lastPacketOfAnIncompleteBackup = [this] {
        link->converToData(linktest::with(makeFrame(4612, 0x2F, 4), 10, 1));
        link->converToData(linktest::with(makeFrame(4612, 0x2F, 5), 10, 30));
    };
    const Case cases[] = {
        {"busy, link lost", busyThenDisconnected, disconnected, true, true},
        {"idle, link lost: only the lamp goes off", [] {}, disconnected, true, false},
        {"backup at packet 5, link lost", backupAt5, disconnected, true, true},
        {"backup requested, no packet yet, link lost", [this] {
             ui.answerAlert(0);
             ui.answerSave(dir / "c.mprt");
             logic.memImportClick();
         },
         disconnected, true, true},
        {"restore at packet 3, link lost", restoreAt3, disconnected, true, true},
        {"backup at packet 5 fails at the link", backupAt5, lastPacketOfAnIncompleteBackup, false, true},
        {"the switcher's 259 while the link collects the backup", backupAt5, [] { post(MSG_PRESET_IDLE); }, false,
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        gc->isconnected = true;
        post(MSG_PRESET_LIST_LOADED);
        controls.lamp.lighted = true;
        c.start();
        const bool displayShown = !controls.memoryHidden;
        const std::string statusBefore = controls.status;
        c.end();
        EXPECT_EQ(controls.lamp.lighted, !c.linkLost);
        EXPECT_EQ(controls.status == "Current process failed!", c.fails);
        if (c.fails) {
            EXPECT_FALSE(logic.isBusy());
            EXPECT_FALSE(controls.spinner.visible);
            EXPECT_FALSE(timerRunning());
            EXPECT_TRUE(controls.allButtonsEnabled(true));
            EXPECT_TRUE(controls.memoryHidden);
            EXPECT_TRUE(controls.holderHidden);
            EXPECT_FALSE(controls.animating);
        } else {
            EXPECT_EQ(controls.status, statusBefore);
            EXPECT_EQ(!controls.memoryHidden, displayShown);
        }
        sent();
    }
}

// A backup or restore whose mixer falls silent: 40 s after the last packet (or, for a restore,
// the last acknowledgement) the window says the process failed, enables its controls and hides
// the progress; what the mixer sends afterwards writes no file and is sent nothing.
TEST_F(SaveLoadViewTest, ABackupOrRestoreThatHearsNothingForFortySecondsFails) {
    struct Case {
        const char* name;
        bool restore;
        int replies;  // before the mixer falls silent
        int shown;    // the last packet the window showed
    };
    const Case cases[] = {
        {"backup, silent after packet 5", false, 5, 5},
        {"backup, silent from the start", false, 0, 0},
        {"restore, silent after the third acknowledgement", true, 3, 3},
        {"restore, silent from the start", true, 0, 0},
    };
    const std::string backup = dir / "all.mprt";
    const std::string restore = dir / "restore.mprt";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        logic.setStatusFieldTitle("status log", false);
        sim::SimMixer mixer;
        attach(mixer);
        mixer.holdRepliesAfter(c.replies);
        bus.messages.clear();
        const int code = c.restore ? MSG_RESTORE_PACKET : MSG_BACKUP_PACKET;
        startTransfer(mixer, c.restore, c.restore ? restore : backup);
        pump(mixer);
        ASSERT_EQ(bus.count(code), static_cast<size_t>(c.shown));
        EXPECT_TRUE(controls.allButtonsEnabled(false));
        // A restore waits for its first acknowledgement with the spinner, a backup never shows it.
        EXPECT_EQ(controls.spinner.visible, c.restore && c.shown == 0);
        advance(0s);
        advance(40s - 100ms);
        EXPECT_NE(controls.status, "Current process failed!");
        EXPECT_EQ(logic.writingToMixer(), c.restore ? "A backup is being restored into the mixer." : "");
        advance(100ms);
        EXPECT_EQ(controls.status, "Current process failed!");
        EXPECT_TRUE(controls.allButtonsEnabled(true));
        EXPECT_FALSE(controls.spinner.visible);
        EXPECT_FALSE(timerRunning());
        EXPECT_TRUE(controls.memoryHidden);
        EXPECT_TRUE(controls.holderHidden);
        EXPECT_FALSE(controls.animating);
        EXPECT_EQ(logic.writingToMixer(), "");

        // The mixer goes on after all.
        const size_t frames = transport.all().size();
        const size_t alertsBefore = ui.callsOf("alert").size();
        feed(mixer.takeHeldReplies());
        pump(mixer);
        EXPECT_EQ(bus.count(code), static_cast<size_t>(c.shown)) << "nothing more is reported";
        EXPECT_EQ(transport.all().size(), frames) << "nothing more is sent";
        EXPECT_FALSE(std::filesystem::exists(backup));
        EXPECT_EQ(ui.callsOf("alert").size(), alertsBefore);
        EXPECT_EQ(controls.status, "Current process failed!");
        EXPECT_TRUE(controls.memoryHidden);
        transport.mixer = nullptr;
    }
}

// Each packet gives the next one the watchdog's whole time.
TEST_F(SaveLoadViewTest, ABackupPacketArrivingLateGivesTheNextItsWholeTime) {
    sim::SimMixer mixer;
    attach(mixer);
    mixer.holdRepliesAfter(5);
    ui.answerAlert(0);
    ui.answerSave(dir / "all.mprt");
    logic.memImportClick();
    pump(mixer);
    advance(30s);
    const Bytes held = mixer.takeHeldReplies();
    feed(Bytes(held.begin(), held.begin() + static_cast<long>(kSceneFrameLength)));  // packet 6
    ASSERT_EQ(bus.positions(MSG_BACKUP_PACKET).back(), 6);
    advance(40s - 100ms);
    EXPECT_EQ(controls.memoryText, "Complete: 20%...");
    EXPECT_FALSE(controls.memoryHidden);
    advance(100ms);
    EXPECT_EQ(controls.status, "Current process failed!");
    EXPECT_TRUE(controls.memoryHidden);
    transport.mixer = nullptr;
}

// The window closed during its backup or restore and opened again with the Preset button: it
// shows the transfer as it was, locked (no second transfer can start over it), and the mixer is
// asked for nothing in its midst; another window closing (the about or the firmware window)
// unlocks nothing either. The transfer's own end unlocks the window: the mixer going on to the
// last packet, or the watchdog.
TEST_F(SaveLoadViewTest, ReopenedDuringABackupOrRestoreTheWindowStaysLockedUntilTheTransferEnds) {
    struct Case {
        const char* name;
        bool restore;
        int replies;  // before the mixer falls silent
        bool mixerGoesOn;  // else the watchdog ends the transfer
    };
    const Case cases[] = {
        {"backup at packet 5, the mixer goes on", false, 5, true},
        {"backup at packet 5, the watchdog", false, 5, false},
        {"restore at the third acknowledgement, the mixer goes on", true, 3, true},
        {"restore before its first acknowledgement, the watchdog", true, 0, false},
    };
    DirazuzeControl switcher;
    QObject presetButton;
    setPageControlTag(&presetButton, DirazuzeControl::kPresetPage);
    const std::string backup = dir / "all.mprt";
    const std::string restore = dir / "restore.mprt";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::SimMixer mixer;
        attach(mixer);
        mixer.holdRepliesAfter(c.replies);
        startTransfer(mixer, c.restore, c.restore ? restore : backup);
        pump(mixer);
        advance(0s);
        ASSERT_TRUE(logic.memoryTransferUnderWay());
        const auto locked = controls.enabled;
        ASSERT_EQ(locked, decltype(locked){}) << "every control locked";
        const std::string status = controls.status, memoryText = controls.memoryText;
        const bool memoryHidden = controls.memoryHidden, holderHidden = controls.holderHidden;
        const double progress = controls.progress;
        const std::string writing = logic.writingToMixer();
        const size_t frames = transport.all().size();
        bus.messages.clear();

        auto expectTransferShownLocked = [&] {
            EXPECT_EQ(controls.enabled, locked);
            EXPECT_EQ(controls.status, status);
            EXPECT_EQ(controls.memoryText, memoryText);
            EXPECT_EQ(controls.memoryHidden, memoryHidden);
            EXPECT_EQ(controls.holderHidden, holderHidden);
            EXPECT_EQ(controls.progress, progress);
            EXPECT_TRUE(logic.memoryTransferUnderWay());
            EXPECT_EQ(logic.writingToMixer(), writing);
            EXPECT_EQ(transport.all().size(), frames) << "nothing asked of the mixer";
            EXPECT_TRUE(bus.messages.empty());
        };
        bool shown = false;
        ui.onModal([&](platform::ModalWindow&) {
            shown = true;
            expectTransferShownLocked();
            return 0;
        });
        switcher.changePageControlClick(&presetButton);
        EXPECT_TRUE(shown);
        link->windowWillClose();
        expectTransferShownLocked();

        if (c.mixerGoesOn) {
            mixer.holdRepliesAfter(-1);
            feed(mixer.takeHeldReplies());
            pump(mixer);
            EXPECT_EQ(controls.status, c.restore ? "Preset List Loaded!" : "Backup of all Presets sucessfully saved to computer!");
        } else {
            advance(40s);
            EXPECT_EQ(controls.status, "Current process failed!");
        }
        EXPECT_FALSE(logic.memoryTransferUnderWay());
        EXPECT_FALSE(logic.isBusy());
        EXPECT_TRUE(controls.allButtonsEnabled(true));
        transport.mixer = nullptr;
    }
}

// Load to Computer: the link's 260 ends the busy state before the save panel opens; the green
// text comes only with the written file. A cancelled panel leaves the status line as it was when
// Load was clicked; a failed write says in an alert that the preset was not saved, and why.
TEST_F(SaveLoadViewTest, LoadToComputerShowsSuccessOnlyOnceTheFileIsWritten) {
    struct Case {
        const char* name;
        std::optional<std::string> file;
        bool written;
    };
    const Case cases[] = {
        {"the file written", std::string(dir / "kick.sDsp"), true},
        {"the save panel cancelled", std::nullopt, false},
        {"a folder that does not exist", std::string(dir / "no/such/folder/kick.sDsp"), false},
    };
    sim::SimMixer mixer;
    attach(mixer);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ui.clearCalls();
        logic.setStatusFieldTitle("Preset List Loaded!", true);
        controls.tag = 1;
        logic.radioGroupCLick();
        logic.tableViewShouldSelectRow(4);
        ui.answerSave(c.file);
        logic.loadPresetClick();
        EXPECT_TRUE(logic.isBusy());
        pump(mixer);
        EXPECT_FALSE(logic.isBusy());
        EXPECT_FALSE(controls.spinner.visible);
        EXPECT_TRUE(controls.allButtonsEnabled(true));
        EXPECT_EQ(controls.status, c.written ? "Preset successfully saved to computer!" : "Preset List Loaded!");
        EXPECT_EQ(controls.statusColor, kGreen);
        if (c.written) {
            EXPECT_EQ(linktest::readFile(*c.file), mixer.presets[0][4]);
            EXPECT_TRUE(ui.callsOf("alert").empty());
        } else if (c.file) {
            EXPECT_FALSE(std::filesystem::exists(*c.file));
            const auto alerts = ui.callsOf("alert");
            ASSERT_EQ(alerts.size(), 1u);
            EXPECT_EQ(alerts[0].title, "Warning!");
            EXPECT_EQ(alerts[0].message, "The preset was not saved to the file. No such file or directory");
        } else {
            EXPECT_TRUE(ui.callsOf("alert").empty());
        }
    }
    transport.mixer = nullptr;
}

// What the quit question hears of: a preset written into the mixer until its answer or the
// watchdog, a restore until its last packet; a backup writes nothing into the mixer.
TEST_F(SaveLoadViewTest, TheQuitQuestionHearsOfAPresetWriteAndARestoreUntilTheyEnd) {
    sim::SimMixer mixer;
    attach(mixer);
    const std::string preset = dir / "p.sGEQ";
    writeFile(preset, mixer.presets[1][0]);
    const std::string memory = dir / "m.mprt";
    writeFile(memory, mixer.memoryImage());
    const std::string presetWrite = "A preset is being written into the mixer.";

    controls.tag = 4;
    logic.radioGroupCLick();
    EXPECT_EQ(logic.writingToMixer(), "");
    ui.answerOpen(preset);
    logic.saveBtnClick();
    EXPECT_EQ(logic.writingToMixer(), presetWrite);
    pump(mixer);  // 261
    EXPECT_EQ(logic.writingToMixer(), "");

    mixer.setSilent(true);
    ui.answerOpen(preset);
    logic.saveBtnClick();
    EXPECT_EQ(logic.writingToMixer(), presetWrite);
    advance(0s);
    advance(40s);
    EXPECT_EQ(controls.status, "Current process failed!");
    EXPECT_EQ(logic.writingToMixer(), "");
    mixer.setSilent(false);

    mixer.holdRepliesAfter(29);
    ui.answerOpen(memory);
    logic.memExportClick();
    EXPECT_EQ(logic.writingToMixer(), "A backup is being restored into the mixer.");
    pump(mixer);
    EXPECT_EQ(bus.positions(MSG_RESTORE_PACKET).back(), 29);
    EXPECT_EQ(logic.writingToMixer(), "A backup is being restored into the mixer.");
    feed(mixer.takeHeldReplies());
    EXPECT_EQ(bus.positions(MSG_RESTORE_PACKET).back(), 30);
    EXPECT_EQ(logic.writingToMixer(), "");

    ui.answerAlert(0);
    ui.answerSave(dir / "b.mprt");
    logic.memImportClick();
    EXPECT_EQ(logic.writingToMixer(), "");
    transport.mixer = nullptr;
}

// A serial adapter that answered the search but was not switched on with Connect: connected for
// the store, yet the link sends nothing.
TEST_F(SaveLoadViewTest, AnAdapterNotSwitchedOnRefusesTheBackupButALoadWaitsForTheWatchdog) {
    connection.type = kConnectTypeSerial;
    connection.serialOpen = false;
    ASSERT_TRUE(gc->isconnected);
    ASSERT_FALSE(link->isRealConnect());

    logic.memImportClick();
    const auto alerts = ui.callsOf("alert");
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].title, "Warning!");
    EXPECT_EQ(alerts[0].message, "Not connected to device.");
    EXPECT_EQ(alerts[0].options, std::vector<std::string>{"OK"});
    EXPECT_TRUE(controls.allButtonsEnabled(true));
    EXPECT_TRUE(ui.callsOf("save").empty());

    logic.tableViewShouldSelectRow(0);
    logic.loadPresetClick();
    EXPECT_TRUE(sent().empty());
    EXPECT_TRUE(logic.isBusy());
    advance(40s);
    EXPECT_EQ(controls.status, "Current process failed!");
    EXPECT_FALSE(logic.isBusy());
    EXPECT_TRUE(controls.allButtonsEnabled(true));

    // Without a main window there is nothing to back up through either.
    mainVctl = nullptr;
    logic.memImportClick();
    EXPECT_EQ(ui.callsOf("alert").size(), 2u);
}

// The texts, the colour of a finished operation, the backup's file type and the code that ends
// the window's run come from the program's table: Varnel Preset Conversion's store gives its own.
TEST(SaveLoadViewProgram, TakesItsTextsColourFileTypeAndStopCodeFromTheStoresProgram) {
    platform::TestMainLoop loop(true);
    platform::ScriptedUiServices ui;
    GCData store(kConversionConstants);
    RecordingControls controls(store);
    SaveLoadView logic(controls, store, 40s);
    logic.awakeFromNib();
    EXPECT_EQ(controls.status, "");
    logic.setStatusFieldTitle("done", true);
    EXPECT_EQ(controls.statusColor, kOrange);
    store.isconnected = true;
    logic.setBar(true);
    loop.advance(40s);
    EXPECT_EQ(controls.status, "Current process failer!");
    logic.windowWillClose();
    ASSERT_EQ(ui.callsOf("stopModal").size(), 1u);
    EXPECT_EQ(ui.callsOf("stopModal")[0].code, -60006);
}

}  // namespace
}  // namespace presettest
