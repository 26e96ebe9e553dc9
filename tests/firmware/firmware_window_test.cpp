// The firmware window's logic without a window: set-up from the manifest and the images, lamps,
// closing, the web page, the status line and percentages, and the clicks and reports that must
// not start or change a run.

#include "FirmwareFixture.h"

#include "util/PresetWindow.h"

using namespace firmwaretest;

namespace {

class FakePresetWindow : public util::PresetWindow {
public:
    std::vector<std::string> log;
    void LockGUI(bool enable) override { log.push_back(enable ? "LockGUI YES" : "LockGUI NO"); }
    void UpdatePresetList() override {}
    void syncStatusLCD() override {}
    void setFalse() override {}
    platform::ModalWindow& window() override { return modal; }
    void setDelegate(util::WindowDelegate*) override {}
    bool memoryTransferUnderWay() const override { return transferring; }
    RecordingModal modal;
    bool transferring = false;
};

void post(int code, int pos) {
    Duziz::sendMsg(code, pos, kMessageBusName);
}

// A link whose frames are recorded instead of sent, in the connection state a test sets.
class FirmwareWindow : public FirmwareTest {
protected:
    void recordingLink() {
        start(false);
        link->setTransport(&transport);
        link->setConnectionState(&connection);
        mainVctl = link.get();
        gc.isconnected = true;
    }
    linktest::RecordingTransport transport;
    linktest::FakeConnection connection;
};

}  // namespace

TEST_F(FirmwareWindow, SetUpShowsTheManifestAndRegistersTheWindow) {
    CFirmwareUpdate& w = makeWindow();
    EXPECT_EQ(fmUpdateVctl, &w);
    EXPECT_TRUE(fw.background);
    EXPECT_EQ(fw.programTitle, "Program");
    EXPECT_TRUE(fw.noticeHidden);
    EXPECT_TRUE(fw.barReset);
    EXPECT_EQ(fw.countdownTitle, "Equipment is rebooting,please wait...");
    EXPECT_EQ(fw.productUrl, "www.varnel.example");
    EXPECT_EQ(w.updateLock, 0);
    for (int board = 0; board < 4; ++board) {
        EXPECT_EQ(core.mb_firmware_noGUI[board], 2);
        EXPECT_EQ(core.dSegement[board], static_cast<int>((kImageSizes[board] + 1023) / 1024));
    }
    window.reset();
    EXPECT_EQ(fmUpdateVctl, nullptr);

    // Made as the program makes it, the countdown lasts 30 seconds.
    CFirmwareUpdate plain(fw, gc, core);
    plain.awakeFromNib();
    EXPECT_EQ(fw.countdownSeconds, 30);
}

TEST_F(FirmwareWindow, VersionLabelsErrorLineAndProductTypeFollowTheManifest) {
    const std::vector<std::string> full = {"MCU 2.9", "KEY 5.7", "DSP 4.4", "DSP 4.5", "n", "v", "c", "u", "3"};
    auto without = [&](size_t index, std::string value) {
        auto values = full;
        values[index] = std::move(value);
        return values;
    };
    struct Row {
        const char* name;
        std::optional<std::string> file;  // nothing: no manifest
        std::map<Label, std::string> versions;
        std::string error;
        int utype;
    };
    const std::map<Label, std::string> given = {{Label::lbfMcu2, "MCU 2.9"},
                                                {Label::lbfMcu1, "KEY 5.7"},
                                                {Label::lbfDsp1, "DSP 4.4"},
                                                {Label::lbfDsp2, "DSP 4.5"}};
    const std::map<Label, std::string> defaults = {{Label::lbfMcu2, "MCU_Firmware_2_V2.8"},
                                                   {Label::lbfMcu1, "MCU_Firmware_1_V5.6"},
                                                   {Label::lbfDsp1, "DSP_Firmware_2_V4.3"},
                                                   {Label::lbfDsp2, "DSP_Firmware_1_V4.3"}};
    auto emptyDsp2 = given;
    emptyDsp2[Label::lbfDsp1] = "DSP_Firmware_2_V4.3";
    const std::string error = "(Error: firmware data file cannot be found.)";
    const Row rows[] = {
        {"complete", manifest(full), given, "", 3},
        {"an empty entry shows its default", manifest(without(2, "")), emptyDsp2, "", 3},
        {"a product type that is not a number is 0", manifest(without(8, "x3")), given, "", 0},
        {"a product type with a tail", manifest(without(8, " 12 boards")), given, "", 12},
        {"no manifest", std::nullopt, defaults, error, 0},
        {"unparsable", std::string("{\"Firmwares\": ["), defaults, error, 0},
        {"too short", manifest({"MCU 2.9", "KEY 5.7", "DSP 4.4", "DSP 4.5"}), given, error, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string path = resources / (std::string("lib/") + kFirmwareManifestName);
        std::filesystem::remove(path);
        if (row.file) writeManifest(*row.file);
        core.firmware_ver = XCoreData(resources.path()).firmware_ver;
        gc.setUtype(-1);
        fw.versions.clear();
        CFirmwareUpdate& w = makeWindow();
        EXPECT_EQ(fw.versions, row.versions);
        EXPECT_EQ(fw.errorText, row.error);
        EXPECT_EQ(w.isFileError, !row.error.empty());
        EXPECT_EQ(gc.utype(), row.utype);
    }
}

TEST_F(FirmwareWindow, LampsAreOffAfterSetUpAndTheConnectionLampFollowsOpeningAndTheLink) {
    gc.isconnected = true;
    makeWindow();
    for (Lamp lamp : {Lamp::statusLCD, Lamp::mcuLCD1, Lamp::mcuLCD2, Lamp::dspLCD1, Lamp::dspLCD2}) {
        EXPECT_FALSE(fw.lamps[lamp].lighted);
        EXPECT_EQ(fw.lamps[lamp].lit, util::LampColor::greenColor());
        EXPECT_EQ(fw.lamps[lamp].unlit, util::LampColor::grayColor());
    }
    // Opening the window (the switcher) shows the link; a lost link turns the lamp off at once.
    window->syncStatusLCD();
    EXPECT_TRUE(fw.lamps[Lamp::statusLCD].lighted);
    post(MSG_DISCONNECTED, 0);
    EXPECT_FALSE(fw.lamps[Lamp::statusLCD].lighted);
    gc.isconnected = false;
    window->syncStatusLCD();
    EXPECT_FALSE(fw.lamps[Lamp::statusLCD].lighted);
}

TEST_F(FirmwareWindow, ClosingUnlocksThePresetWindowThenEndsTheModalRunOrHidesTheWindow) {
    makeWindow();
    FakePresetWindow presets;
    saveLoadView = &presets;
    window->windowWillClose();
    EXPECT_EQ(presets.log, std::vector<std::string>{"LockGUI YES"});
    auto stops = ui.callsOf("stopModal");
    ASSERT_EQ(stops.size(), 1u);
    EXPECT_EQ(stops[0].code, -1000);
    EXPECT_EQ(fw.orderedOut, 0);

    ui.answerHidden(true);
    window->windowWillClose();
    EXPECT_EQ(fw.orderedOut, 1);
    EXPECT_EQ(ui.callsOf("stopModal").size(), 1u);
    saveLoadView = nullptr;

    // Without a preset window only the run ends.
    window->windowWillClose();
    EXPECT_EQ(ui.callsOf("stopModal").size(), 2u);
    EXPECT_EQ(presets.log.size(), 2u);

    // A backup or restore of the preset window keeps its lock: its own end unlocks the window.
    saveLoadView = &presets;
    presets.transferring = true;
    window->windowWillClose();
    saveLoadView = nullptr;
    EXPECT_EQ(ui.callsOf("stopModal").size(), 3u);
    EXPECT_EQ(presets.log.size(), 2u);
}

TEST_F(FirmwareWindow, TheWebAddressButtonOpensTheManifestsAddress) {
    makeWindow();
    window->ProductURLClick();
    const auto opened = ui.callsOf("openUrl");
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].message, "www.varnel.example");

    core.firmware_ver[7] = std::string();
    window->ProductURLClick();
    EXPECT_EQ(ui.callsOf("openUrl").size(), 1u);
}

TEST_F(FirmwareWindow, PercentagesGoThroughSinglePrecision) {
    makeWindow();
    struct Row {
        int block, full;
        const char* text;
    } rows[] = {{57, 100, "Update Complete:57%..."},
                {1, 3, "Update Complete:33%..."},
                {2, 3, "Update Complete:67%..."},
                {0, 9, "Update Complete:0%..."},
                {100, 100, "Update Complete:100%..."}};
    for (const Row& row : rows) {
        fw.setProgressMax(row.full);
        window->setProgress(row.block);
        EXPECT_EQ(fw.statusText, row.text);
        EXPECT_EQ(fw.progress, row.block);
    }
}

TEST_F(FirmwareWindow, StatusLineStates) {
    makeWindow();
    struct Row {
        int state;
        const char* text;
        Color color;
        bool hidden;
    } rows[] = {
        {0, "Your Firmware Update is failed~!", Color::red, true},
        {1, "Your Firmware Update is failed~!", Color::red, false},
        {2, "Firmware update complete", Color::orange, false},
        {3, "Equipment is not ready~!", Color::red, false},
        {4, "Your Firmware Update Is Complete.\nPlease turn off your mixer & turn back on for regular use.!",
         Color::orange, false},
    };
    for (const Row& row : rows) {
        window->setActives(row.state);
        EXPECT_EQ(fw.statusText, row.text);
        EXPECT_EQ(fw.statusColor, row.color);
        EXPECT_EQ(fw.statusHidden, row.hidden);
    }
    window->setActives(5);
    EXPECT_EQ(fw.statusTexts.size(), 5u);
}

// Each refusal shows its one alert, sends nothing, leaves nothing in work and Program enabled.
TEST_F(FirmwareWindow, ProgramRefusals) {
    struct Row {
        const char* name;
        std::function<void()> arrange;  // before set-up
        std::function<void()> afterSetUp;
        bool asks;  // the confirmation comes first
        const char* title;
        const char* message;
    };
    auto image = [this](int board, size_t size) {
        return [this, board, size] { writeImage(board, imageBytes(board, size)); };
    };
    auto none = [] {};
    const Row rows[] = {
        {"manifest unreadable", [this] { writeManifest("{"); }, none, false, "Warning!",
         "Error: firmware data file cannot be found"},
        {"not connected", none, [this] { gc.isconnected = false; }, true, "Warning",
         "Please connect the Remote Device first!"},
        {"no main window", none, [] { mainVctl = nullptr; }, true, "Warning",
         "Please connect the Remote Device first!"},
        // The adapter answered (connected) but is not switched on, so nothing would be sent.
        {"serial adapter not switched on", none,
         [this] {
             connection.type = kConnectTypeSerial;
             connection.serialOpen = false;
         },
         true, "Warning", "Please connect the Remote Device first!"},
        // Every board is checked before anything is sent, and an image without blocks is none.
        {"keyboard image missing",
         [this] { std::filesystem::remove(resources / (std::string("lib/") + Firmware_BIN[1])); }, none, true,
         "Warning", "Firmware Keybord Firmware: has lost"},
        {"second DSP image unreadable (over 1 MiB)", image(3, 1024 * 1024 + 1), none, true, "Warning",
         "Firmware DSP Firmware2: has lost"},
        {"first DSP image empty", image(2, 0), none, true, "Warning", "Firmware DSP Firmware1: has lost"},
        {"main-board image empty", image(0, 0), none, true, "Warning", "Firmware System Firmware: has lost"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        for (int board = 0; board < 4; ++board) writeImage(board, imageBytes(board, kImageSizes[board]));
        writeManifest(manifest({"a", "b", "c", "d", "e", "f", "g", "h", "0"}));
        connection = {};
        row.arrange();
        recordingLink();
        makeWindow();
        row.afterSetUp();
        window->syncStatusLCD();
        ui.clearCalls();
        transport.clear();
        fw.programHistory.clear();
        if (row.asks) ui.answerAlert(0);
        window->beginToProgramBtnClick();

        const auto alerts = ui.callsOf("alert");
        ASSERT_EQ(alerts.size(), row.asks ? 2u : 1u);
        if (row.asks) EXPECT_EQ(alerts[0].options, (std::vector<std::string>{"OK", "No"}));
        EXPECT_EQ(alerts.back().title, row.title);
        EXPECT_EQ(alerts.back().message, row.message);
        EXPECT_TRUE(transport.all().empty());
        EXPECT_EQ(window->updateLock, 0);
        EXPECT_TRUE(fw.programEnabled);
        EXPECT_EQ(fw.litBoards(), std::vector<int>{});
        window.reset();
        link.reset();
    }
}

TEST_F(FirmwareWindow, NoLeavesTheResultsClearedAndSendsNothing) {
    recordingLink();
    makeWindow();
    const uint8_t before[4] = {1, 2, 1, 0};
    std::copy(std::begin(before), std::end(before), core.updateStatusRecord);
    fw.setStatusText("Update Complete:50%...");
    fw.setProgress(7);
    ui.answerAlert(1);
    window->beginToProgramBtnClick();

    const auto alerts = ui.callsOf("alert");
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].title, "Warning!");
    EXPECT_EQ(alerts[0].message, WARNING_UPDATE_STR);
    for (int board = 0; board < 4; ++board) {
        EXPECT_EQ(core.updateStatusRecord[board], 0);
        EXPECT_EQ(core.upReadyCheck[board], 1);
    }
    EXPECT_EQ(fw.progress, 0);
    EXPECT_EQ(fw.statusText, "");
    EXPECT_TRUE(transport.all().empty());
    EXPECT_TRUE(fw.programEnabled);
}

// Results count only for the board in work; other codes change nothing.
TEST_F(FirmwareWindow, StrayResultsAndOtherCodesChangeNothing) {
    recordingLink();
    makeWindow();
    // Idle: a result names no board in work.
    post(MSG_BOARD_DONE, 0);
    post(MSG_BOARD_FAILED, 0);
    EXPECT_EQ(core.updateStatusRecord[0], 0);
    EXPECT_EQ(fw.countdowns, 0);

    ui.answerAlert(0);
    window->beginToProgramBtnClick();
    ASSERT_EQ(window->updateLock, 1);
    const size_t sent = transport.all().size();
    const auto texts = fw.statusTexts;
    const auto sleeps = windowSleeper.sleeps();
    for (int code = 256; code <= 272; ++code)
        if (code != MSG_DISCONNECTED && code != MSG_BOARD_FAILED && code != MSG_BOARD_DONE) post(code, 0);
    post(MSG_BOARD_DONE, 2);
    post(MSG_BOARD_FAILED, 1);
    post(MSG_BOARD_DONE, 7);

    EXPECT_EQ(window->updateLock, 1);
    EXPECT_EQ(gc.currentProgramItem(), 0);
    for (int board = 0; board < 4; ++board) EXPECT_EQ(core.updateStatusRecord[board], 0);
    EXPECT_EQ(fw.statusTexts, texts);
    EXPECT_EQ(windowSleeper.sleeps(), sleeps);
    EXPECT_EQ(transport.all().size(), sent);
    EXPECT_EQ(fw.countdowns, 0);
    EXPECT_FALSE(fw.programEnabled);
    EXPECT_EQ(fw.litBoards(), std::vector<int>{0});

    // The board in work's own result does count.
    post(MSG_BOARD_DONE, 0);
    EXPECT_EQ(core.updateStatusRecord[0], 1);
    EXPECT_EQ(fw.countdowns, 1);
}

TEST_F(FirmwareWindow, TheBoardsCheckBoxesSetTheirFlagsAndAClearedBoardStopsTheRun) {
    recordingLink();
    makeWindow();
    window->resetAllChooseBox();
    window->Firmware_checkBox_choose_Click(2, 0);
    window->Firmware_checkBox_choose_Click(9, 0);
    EXPECT_EQ(core.upReadyCheck[2], 0);
    EXPECT_EQ(core.upReadyCheck[1], 1);
    // A board not chosen starts silently nothing, and the run stops.
    window->begin_programWith_chooseType(2);
    EXPECT_TRUE(transport.all().empty());
    EXPECT_TRUE(ui.callsOf("alert").empty());
    EXPECT_TRUE(fw.programEnabled);
    // Boards outside 0-3 do nothing at all.
    window->begin_programWith_chooseType(4);
    EXPECT_EQ(gc.currentProgramItem(), 2);
}
