// Varnel Preset Conversion's preset window without Qt: its set-up without a list, the status
// colours, the buttons that reach no preset, the memory buttons judged by the mixer's MCU version,
// its messages, the name panel that only hides, and the switcher that asks for the version,
// runs the window and ends the run when the window closes.

#include "presets/PresetsTestSupport.h"
#include "ui/DirazuzeControl.h"
#include "util/FirmwareWindow.h"

#include <QObject>

#include <optional>

namespace presettest {
namespace {

using linktest::Bytes;
using linktest::hex;

constexpr util::LampColor kOrange = {1.0, 0.5, 0.0, 1.0};
constexpr util::LampColor kWhite = saveload::kStatusPlainColor;
const Bytes kVersionRequest = hex("01 20 03 0A 00 01 00 01 2C 40");

class ConversionWindowTest : public PresetWindowTest {
protected:
    ConversionWindowTest() : PresetWindowTest(kConversionConstants) {}

    // Commands of the frames sent, and clears them.
    std::vector<int> sentCommands() {
        std::vector<int> commands;
        for (const Bytes& f : sent()) commands.push_back(f.size() > 8 ? f[8] : -1);
        return commands;
    }
    void disconnect() {
        gc->isconnected = false;
        connection.networkOpen = false;
    }
    // A mixer connected or not, that last reported the version; no dialog seen yet.
    void mixerState(bool connected, uint8_t version) {
        ui.clearCalls();
        gc->isconnected = connected;
        connection.networkOpen = connected;
        gc->m_mcuVer = version;
    }
};

TEST_F(ConversionWindowTest, SetUpShowsAnEmptyStatusNoListAndUnfilledBoxes) {
    EXPECT_EQ(saveLoadView, &logic);
    EXPECT_EQ(controls.status, "");
    EXPECT_EQ(controls.statusColor, kWhite);
    EXPECT_TRUE(controls.rows.empty());
    EXPECT_TRUE(controls.chItems.empty());
    EXPECT_TRUE(controls.auxItems.empty());
    EXPECT_TRUE(logic.watchdog()->isPaused());
    EXPECT_TRUE(sent().empty());
}

TEST_F(ConversionWindowTest, OkTextsAreOrangeOthersWhite) {
    struct Case {
        bool ok;
        util::LampColor color;
    };
    for (const Case c : {Case{true, kOrange}, Case{false, kWhite}}) {
        logic.setStatusFieldTitle("text", c.ok);
        EXPECT_EQ(controls.statusColor, c.color);
        EXPECT_EQ(controls.status, "text");
    }
}

TEST_F(ConversionWindowTest, TheTypeSelectorOnlyClearsTheSelection) {
    controls.tag = 4;
    controls.enabled[static_cast<size_t>(Control::chbox)] = true;
    controls.enabled[static_cast<size_t>(Control::auxbox)] = false;
    logic.tableViewShouldSelectRow(3);
    logic.radioGroupCLick();
    EXPECT_EQ(logic.citemindex, -1);
    EXPECT_TRUE(controls.rows.empty());
    EXPECT_TRUE(controls.isEnabled(Control::chbox)) << "the boxes keep their state";
    EXPECT_FALSE(controls.isEnabled(Control::auxbox));

    controls.tag = 1;
    logic.tableViewShouldSelectRow(3);
    logic.segmenControlChangeValue();
    EXPECT_EQ(controls.status, "Preset type has changed to : Dsp Channel  !");
    EXPECT_EQ(controls.statusColor, kWhite);
    EXPECT_EQ(logic.citemindex, -1);
    EXPECT_TRUE(controls.rows.empty());
    EXPECT_TRUE(sent().empty());
}

TEST_F(ConversionWindowTest, RecallAndSaveGoBusySendNothingAndFailAtTheWatchdog) {
    const std::string file = dir / "one.sDsp";
    linktest::writeFile(file, linktest::makeFrame(70, 0x32, 1));
    struct Case {
        const char* name;
        std::function<void()> press;
    };
    const Case cases[] = {
        {"recall", [&] { logic.RecallAllPreset(); }},
        {"save a preset file",
         [&] {
             controls.tag = 1;
             ui.answerOpen(file);
             logic.saveBtnClick();
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.press();
        EXPECT_TRUE(logic.isBusy());
        EXPECT_TRUE(controls.spinner.visible);
        EXPECT_TRUE(controls.allButtonsEnabled(false));
        EXPECT_TRUE(sent().empty());
        advance(40s);
        EXPECT_EQ(controls.status, "Current process failer!");
        EXPECT_FALSE(logic.isBusy());
        EXPECT_TRUE(controls.allButtonsEnabled(true));
        EXPECT_TRUE(sent().empty());
    }

    // Load finds nothing selected, whatever was pressed before.
    logic.loadPresetClick();
    EXPECT_EQ(controls.status, "No item selected ");
    // Disconnected, recall does not even go busy.
    disconnect();
    logic.RecallAllPreset();
    EXPECT_FALSE(logic.isBusy());
    EXPECT_TRUE(sent().empty());
}

// The backup button: connected, and the mixer's scenes still old (or not reported yet).
TEST_F(ConversionWindowTest, TheBackupButtonRunsOnlyForAnOldOrUnreportedMixer) {
    struct Case {
        const char* name;
        bool connected;
        uint8_t version;
        const char* refusal;  // null: the backup runs
    };
    const Case cases[] = {
        {"not reported yet", true, 0, nullptr},
        {"old firmware", true, 63, nullptr},
        {"new firmware", true, 64, "No need to convert presets."},
        {"not connected", false, 63, "Not connected to device."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mixerState(c.connected, c.version);
        const std::string path = dir / (std::string(c.name) + ".moldPts");
        if (!c.refusal) {
            ui.answerAlert(0);
            ui.answerSave(path);
        }
        logic.memImportClick();
        const auto alerts = ui.callsOf("alert");
        ASSERT_EQ(alerts.size(), 1u);
        if (c.refusal) {
            EXPECT_EQ(alerts[0].message, c.refusal);
            EXPECT_TRUE(ui.callsOf("save").empty());
            EXPECT_TRUE(sent().empty());
            EXPECT_TRUE(controls.allButtonsEnabled(true));
            continue;
        }
        EXPECT_EQ(alerts[0].message, "Are you sure that you want to back up all presets to a computer file?");
        EXPECT_EQ(alerts[0].options, (std::vector<std::string>{"OK", "No"}));
        ASSERT_EQ(ui.callsOf("save").size(), 1u);
        EXPECT_EQ(ui.callsOf("save")[0].options, std::vector<std::string>{"moldPts"});
        EXPECT_EQ(gc->memoryFilePath, path);
        EXPECT_EQ(sentCommands(), std::vector<int>{0x2F});
        EXPECT_TRUE(controls.allButtonsEnabled(false));
        EXPECT_FALSE(logic.isBusy()) << "the packets show the progress; no watchdog";
        // A second backup waits until this one has ended.
        logic.memImportClick();
        EXPECT_EQ(ui.callsOf("alert").size(), 1u);
        EXPECT_EQ(controls.status, "Wait until the transfer under way has ended.");
        post(MSG_BACKUP_PACKET, 30);
    }
}

// The restore button: connected and a reported version of 64 or above; otherwise the version is
// asked for again so that the next press judges by what the mixer runs now.
TEST_F(ConversionWindowTest, TheRestoreButtonRunsOnlyForAMixerReportingTheNewFirmware) {
    struct Case {
        const char* name;
        bool connected;
        uint8_t version;
        const char* refusal;  // null: the open panel is shown
        bool asksVersion;
    };
    const Case cases[] = {
        {"not reported yet", true, 0, "Device is busy!", true},
        {"old firmware", true, 63, "Please update the firmware first!", true},
        {"new firmware", true, 64, nullptr, false},
        {"not connected", false, 64, "Not connected to device.", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mixerState(c.connected, c.version);
        if (!c.refusal) ui.answerOpen(std::nullopt);
        logic.memExportClick();
        const auto alerts = ui.callsOf("alert");
        const auto frames = sent();
        if (c.refusal) {
            ASSERT_EQ(alerts.size(), 1u);
            EXPECT_EQ(alerts[0].message, c.refusal);
            EXPECT_TRUE(ui.callsOf("open").empty());
            EXPECT_EQ(frames, c.asksVersion ? std::vector<Bytes>{kVersionRequest} : std::vector<Bytes>{});
        } else {
            EXPECT_TRUE(alerts.empty());
            ASSERT_EQ(ui.callsOf("open").size(), 1u);
            EXPECT_EQ(ui.callsOf("open")[0].options, std::vector<std::string>{"moldPts"});
            EXPECT_TRUE(frames.empty());
            EXPECT_EQ(controls.from, "Computer");
        }
        // A cancelled panel leaves the window as it was.
        EXPECT_FALSE(logic.isBusy());
        EXPECT_TRUE(controls.allButtonsEnabled(true));
    }
}

TEST_F(ConversionWindowTest, MessagesShowTheConversionsTextsAndRequestNothing) {
    struct Case {
        int code, pos;
        const char* status;
        util::LampColor color;
        bool locked;
        bool busyBefore;  // a request was pending (a backup's packets come without one)
    };
    const Case cases[] = {
        {MSG_PRESET_LIST_LOADED, 0, "Preset List Loaded!", kOrange, false, true},
        {MSG_BACKUP_PACKET, 1, "Exporting  all memory data  to files ,please wait!", kWhite, false, false},
        {MSG_BACKUP_PACKET, 30, "Backup of all presets saved to computer", kOrange, false, false},
        // A preset received changes no text until it is written to its file.
        {MSG_PRESET_RECEIVED, 0, "Backup of all presets saved to computer", kOrange, false, true},
        {MSG_PRESET_SAVED, 0, "Preset successfully saved to computer!", kOrange, false, false},
        {MSG_PRESET_WRITTEN, 0, "Preset loaded successfully!", kOrange, false, true},
        {MSG_RESTORE_PACKET, 1, "Importing all memory parameters  from local ,please wait!", kWhite, true, true},
        {MSG_RESTORE_PACKET, 29, "Importing all memory parameters  from local ,please wait!", kWhite, true, false},
        {MSG_RESTORE_PACKET, 30, "Preset Conversion Complete", kOrange, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.code) + " " + std::to_string(c.pos));
        if (c.busyBefore) logic.setBar(true);
        post(c.code, c.pos);
        EXPECT_EQ(controls.status, c.status);
        EXPECT_EQ(controls.statusColor, c.color);
        EXPECT_FALSE(logic.isBusy());
        EXPECT_TRUE(controls.allButtonsEnabled(!c.locked));
        EXPECT_TRUE(controls.rows.empty());
        EXPECT_TRUE(sent().empty()) << "nothing is asked afterwards";
    }
    // After packet 30 the window stays idle: no list request made it busy again.
    advance(80s);
    EXPECT_EQ(controls.status, "Preset Conversion Complete");
}

TEST_F(ConversionWindowTest, NamePanelOkHidesThePanelWithoutEndingAModalRun) {
    RecordingPanel& panel = controls.panel;
    panel.text = "  Vocals  ";
    panel.presetindex = 2;
    panel.smodeindex = 0;
    EXPECT_TRUE(panel.btnOKConfirmClick());
    EXPECT_EQ(panel.hidden, 1);
    EXPECT_TRUE(ui.callsOf("stopModal").empty());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(gc->m_DSPPreset[2]), 16), "Vocals          ");
    EXPECT_EQ(sentCommands(), std::vector<int>{0x16});
    EXPECT_TRUE(logic.isBusy());

    panel.text = "   ";
    EXPECT_FALSE(panel.btnOKConfirmClick());
    EXPECT_EQ(panel.hidden, 1);
}

// The Preset button of Varnel Preset Conversion's main window.
class ConversionSwitcherTest : public ConversionWindowTest {
protected:
    void open(std::function<int()> body) {
        QObject presetButton;
        setPageControlTag(&presetButton, DirazuzeControl::kPresetPage);
        ui.onModal([&](platform::ModalWindow& shown) {
            EXPECT_EQ(&shown, &controls.modal);
            return body();
        });
        switcher.changePageControlClick(&presetButton);
    }

    DirazuzeControl switcher{kConversionConstants};
};

TEST_F(ConversionSwitcherTest, OpeningGoesIdleAsksForTheVersionAndRunsTheWindowLast) {
    logic.setBar(true);
    controls.enabled[static_cast<size_t>(Control::auxbox)] = true;
    std::optional<size_t> framesAtIdle;
    auto idle = platform::NotificationCenter::defaultCenter().addObserver(
        kMessageBusName, [&](const platform::Notification& note) {
            const auto* p = std::any_cast<UserprofilePtr>(&note.object);
            if (p && *p && (*p)->cmdType == MSG_PRESET_IDLE) framesAtIdle = transport.all().size();
        });
    bool ran = false;
    open([&] {
        ran = true;
        EXPECT_EQ(framesAtIdle, std::optional<size_t>(0)) << "259 is posted before the version request";
        EXPECT_FALSE(logic.isBusy());
        EXPECT_TRUE(controls.lamp.lighted);
        EXPECT_EQ(controls.modal.shown, 1);
        EXPECT_EQ(transport.all(), std::vector<Bytes>{kVersionRequest});
        return 0;
    });
    EXPECT_TRUE(ran);
    EXPECT_TRUE(controls.rows.empty()) << "no list refill";
    EXPECT_TRUE(controls.isEnabled(Control::auxbox)) << "the boxes are not set by type";
    EXPECT_EQ(controls.modal.closed, 1);

    // Not connected: the same steps, nothing sent.
    disconnect();
    sent();
    open([] { return 0; });
    EXPECT_TRUE(sent().empty());
    EXPECT_FALSE(controls.lamp.lighted);
}

// Opened again while the old-layout backup or the converted write-back runs: the window shows
// it locked until its last packet; only the version is asked, whose answer unlocks nothing.
TEST_F(ConversionSwitcherTest, OpenedDuringABackupOrWriteBackTheWindowStaysLockedUntilItsEnd) {
    struct Case {
        const char* name;
        int code;
        const char* status;
    };
    const Case cases[] = {
        {"backup at packet 5", MSG_BACKUP_PACKET, "Exporting  all memory data  to files ,please wait!"},
        {"write-back at packet 3", MSG_RESTORE_PACKET, "Importing all memory parameters  from local ,please wait!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.code == MSG_BACKUP_PACKET) {
            mixerState(true, 63);
            ui.answerAlert(0);
            ui.answerSave(std::string(dir / "old.moldPts"));
            logic.memImportClick();
            post(c.code, 5);
        } else {
            mixerState(true, 64);
            post(c.code, 3);
        }
        sent();
        bus.messages.clear();
        open([&] {
            EXPECT_TRUE(controls.allButtonsEnabled(false));
            EXPECT_FALSE(controls.isEnabled(Control::chbox));
            EXPECT_FALSE(controls.isEnabled(Control::auxbox));
            EXPECT_EQ(controls.status, c.status);
            EXPECT_FALSE(controls.memoryHidden);
            EXPECT_EQ(transport.all(), std::vector<Bytes>{kVersionRequest});
            return 0;
        });
        EXPECT_EQ(bus.count(MSG_PRESET_IDLE), 0u);
        // The version's answer changes nothing on screen.
        link->converToData(hex("01 20 03 0E 00 01 00 01 2C 00 00 00 40 40"));
        EXPECT_TRUE(controls.allButtonsEnabled(false));
        post(c.code, 30);
        EXPECT_TRUE(controls.allButtonsEnabled(true));
        EXPECT_FALSE(logic.memoryTransferUnderWay());
    }
}

TEST_F(ConversionSwitcherTest, ClosingTheWindowEndsItsRunWithTheSwitchersCode) {
    open([&] {
        logic.windowWillClose();
        return -60006;
    });
    const auto stops = ui.callsOf("stopModal");
    ASSERT_EQ(stops.size(), 1u);
    EXPECT_EQ(stops[0].code, -60006);

    // The tag of the firmware page opens nothing in this program, even with a firmware window.
    struct FirmwareWindow : util::FirmwareWindow {
        mainwindowtest::RecordingModal modal;
        int synced = 0;
        void syncStatusLCD() override { ++synced; }
        platform::ModalWindow& window() override { return modal; }
    } firmware;
    fmUpdateVctl = &firmware;
    QObject firmwareButton;
    setPageControlTag(&firmwareButton, DirazuzeControl::kFirmwarePage);
    ui.clearCalls();
    switcher.changePageControlClick(&firmwareButton);
    fmUpdateVctl = nullptr;
    EXPECT_TRUE(ui.calls().empty());
    EXPECT_EQ(firmware.synced + firmware.modal.shown, 0);
}

}  // namespace
}  // namespace presettest
