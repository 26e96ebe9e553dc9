// The preset window against the simulated mixer over loopback TCP, opened by the window switcher
// as the Preset button does: the lists, a preset to a file and back into another channel, a
// rename, a delete, the whole-memory backup and restore, and requests that never get their answer.

#include "presets/SaveLoadWindow.h"

#include "link/MainWindowFixture.h"
#include "simfront/SimFronts.h"
#include "support/TestFiles.h"
#include "ui/CRProgressIndicator.h"
#include "support/QuitQuestion.h"
#include "ui/DirazuzeControl.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTableView>
#include <QTest>

#include <filesystem>
#include <functional>
#include <numeric>
#include <optional>

namespace {

using namespace std::chrono_literals;
using platform::Bytes;
using testsupport::readFile;
using testsupport::writeFile;

constexpr auto kWatchdog = 1s;

class PresetWindowEndToEnd : public mainwindowtest::MainWindowTest {
protected:
    PresetWindowEndToEnd() {
        settings.tcpPort = tcp.port();
        start();
        window.awakeFromNib();
    }

    // The search finds the mixer, Connect opens the link, and the lists arrive.
    void connect() {
        ASSERT_TRUE(tcp.ok() && udp.ok());
        ASSERT_TRUE(runUntil([&] { return link->connectType() == kConnectTypeTcp; })) << "no mixer found";
        link->switchLighted();
        ASSERT_TRUE(runUntil([&] { return bus.count(MSG_PRESET_LIST_LOADED) == 1; }));
    }

    // Presses the Preset button (the switcher's tag 1) and runs body while the window is shown.
    void openAndRun(const std::function<void()>& body) {
        QObject presetButton;
        setPageControlTag(&presetButton, DirazuzeControl::kPresetPage);
        bool ran = false;
        ui.onModal([&](platform::ModalWindow& shown) {
            EXPECT_EQ(&shown, static_cast<platform::ModalWindow*>(&window));
            EXPECT_TRUE(window.isVisible());
            body();
            ran = true;
            return PresetNamePanel::kModalStop;
        });
        switcher.changePageControlClick(&presetButton);
        EXPECT_TRUE(ran);
        EXPECT_FALSE(window.isVisible());
    }

    // Waits for the list that the switcher asked for when it opened the window.
    void listsOnOpen() {
        ASSERT_TRUE(runUntil([&] { return bus.count(MSG_PRESET_LIST_LOADED) == 2; }));
        EXPECT_EQ(status(), "Preset List Loaded!");
    }

    void click(QAbstractButton* button) { QTest::mouseClick(button, Qt::LeftButton); }
    void chooseType(int tag) { click(window.radioGroup()->button(tag)); }
    QPoint rowCentre(int row) const {
        return window.table()->visualRect(window.myContentArray()->index(row, 0)).center();
    }
    void press(int row) { QTest::mouseClick(window.table()->viewport(), Qt::LeftButton, {}, rowCentre(row)); }
    std::string rowText(int row) const { return window.myContentArray()->item(row)->text().toStdString(); }
    std::string status() const { return window.statusField()->text().toStdString(); }
    bool waitStatus(const std::string& text, std::chrono::milliseconds timeout = 10s) {
        return runUntil([&] { return status() == text; }, timeout);
    }
    // Load to Computer of row of the type in cell tag, the mixer holding its answers back, until the
    // watchdog gives the Load up.
    void loadGivenUp(int tag, int row) {
        listsOnOpen();
        chooseType(tag);
        mixer.with([](sim::SimMixer& m) { m.holdRepliesAfter(0); });
        press(row);
        click(window.loadBtn());
        ASSERT_TRUE(waitStatus("Current process failed!"));
    }
    bool controlsEnabled() const {
        for (QWidget* w : std::initializer_list<QWidget*>{window.memImptBtn(), window.memExBtn(), window.savebtn(),
                                                          window.deleteBtn(), window.recallBtn(), window.loadBtn(),
                                                          window.radioGroup()->button(0)})
            if (!w->isEnabled()) return false;
        return true;
    }
    size_t framesReceived() {
        return mixer.with([](sim::SimMixer& m) { return m.received.size(); });
    }
    // Restore presses Restore for a file of the mixer's own memory at path; otherwise Backup,
    // confirmed, into path.
    void startTransfer(bool restore, const std::string& path) {
        if (restore) {
            writeFile(path, mixer.with([](sim::SimMixer& m) { return m.memoryImage(); }));
            ui.answerOpen(path);
            click(window.memExBtn());
        } else {
            ui.answerAlert(0);
            ui.answerSave(path);
            click(window.memImptBtn());
        }
    }
    static std::string name16(const uint8_t* bytes) { return std::string(reinterpret_cast<const char*>(bytes), 16); }

    testsupport::TempDir files;
    sim::LockedMixer mixer;
    sim::TcpFront tcp{mixer, "127.0.0.1", 0};
    sim::UdpFront udp{{settings.probePort, "127.0.0.1", 32, 0ms}};
    SaveLoadWindow window{gc, kWatchdog};
    DirazuzeControl switcher;
};

TEST_F(PresetWindowEndToEnd, PresetsGoToAFileBackIntoAChannelAndAreRenamedAndDeleted) {
    connect();
    openAndRun([&] {
        listsOnOpen();
        EXPECT_TRUE(window.statusLCD()->isLighted());
        const auto names = mixer.with([](sim::SimMixer& m) { return m.names; });
        ASSERT_EQ(window.myContentArray()->rowCount(), 24);
        EXPECT_EQ(rowText(0), "001." + std::string(names[3][0].begin(), names[3][0].end()));
        EXPECT_EQ(rowText(23), "024." + std::string(names[3][23].begin(), names[3][23].end()));

        // Dsp Channel preset 5 to a file: the mixer's frame, byte for byte.
        const std::string file = files / "kick.sDsp";
        chooseType(1);
        press(4);
        ui.answerSave(file);
        click(window.loadBtn());
        EXPECT_TRUE(window.logic().isBusy());
        ASSERT_TRUE(waitStatus("Preset successfully saved to computer!"));
        ASSERT_TRUE(runUntil([&] { return std::filesystem::exists(file); }));
        const Bytes preset = mixer.with([](sim::SimMixer& m) { return m.presets[0][4]; });
        EXPECT_EQ(readFile(file), preset);
        EXPECT_FALSE(window.logic().isBusy());
        EXPECT_TRUE(controlsEnabled());

        // That file into channel CH03.
        window.chbox()->setCurrentIndex(2);
        ui.answerOpen(file);
        click(window.savebtn());
        ASSERT_TRUE(waitStatus("Preset loaded successfully!"));
        Bytes written = preset;
        written[8] = 0x23;
        written[10] = 3;
        const auto received = mixer.with([](sim::SimMixer& m) { return m.received.back(); });
        EXPECT_EQ(received, written);
        EXPECT_EQ(mixer.with([](sim::SimMixer& m) { return m.presets[0][2][10]; }), 3);
        EXPECT_FALSE(window.logic().isBusy());

        // A rename through the name panel: the mixer's answer (0x33) ends the busy state.
        ui.onModal([&](platform::ModalWindow&) {
            for (const QChar ch : QStringLiteral("Kick In")) {
                QKeyEvent key(QEvent::KeyPress, 0, Qt::NoModifier, QString(ch));
                QApplication::sendEvent(window.alertPanel().inputEd(), &key);
            }
            QTest::keyClick(window.alertPanel().inputEd(), Qt::Key_Return);
            return PresetNamePanel::kModalStop;
        });
        const size_t written261 = bus.count(MSG_PRESET_WRITTEN);
        QTest::mouseDClick(window.table()->viewport(), Qt::LeftButton, {}, rowCentre(7));
        EXPECT_TRUE(window.logic().isBusy());
        ASSERT_TRUE(runUntil([&] { return bus.count(MSG_PRESET_WRITTEN) == written261 + 1; }));
        EXPECT_FALSE(window.logic().isBusy());
        EXPECT_EQ(name16(mixer.with([](sim::SimMixer& m) { return m.names[0][7]; }).data()), "Kick In         ");
        EXPECT_EQ(name16(gc.m_DSPPreset[7]), "Kick In         ");

        // A delete: the mixer answers nothing, so the watchdog ends the busy state; Recall then
        // shows the emptied slot.
        press(9);
        ui.answerAlert(0);
        click(window.deleteBtn());
        EXPECT_TRUE(window.logic().isBusy());
        ASSERT_TRUE(waitStatus("Current process failed!"));
        EXPECT_TRUE(controlsEnabled());
        click(window.recallBtn());
        ASSERT_TRUE(waitStatus("Preset List Loaded!"));
        EXPECT_EQ(rowText(9), "010.------empty-----");
        EXPECT_EQ(rowText(7), "008.Kick In         ");
    });
}

TEST_F(PresetWindowEndToEnd, TheWholeMemoryIsBackedUpAndRestored) {
    connect();
    openAndRun([&] {
        listsOnOpen();
        std::vector<std::string> shown;
        auto progress = platform::NotificationCenter::defaultCenter().addObserver(
            kMessageBusName, [&](const platform::Notification& note) {
                const auto* p = std::any_cast<UserprofilePtr>(&note.object);
                if (p && *p && (*p)->cmdType == MSG_BACKUP_PACKET)
                    shown.push_back(window.memStsLb()->text().toStdString());
            });

        const std::string backup = files / "all.mprt";
        ui.answerAlert(0);
        ui.answerSave(backup);
        click(window.memImptBtn());
        EXPECT_FALSE(controlsEnabled());
        EXPECT_EQ(window.fromLb()->text(), "Mixer");
        EXPECT_EQ(window.toLb()->text(), "Computer");
        ASSERT_TRUE(waitStatus("Backup of all Presets sucessfully saved to computer!"));
        const Bytes image = mixer.with([](sim::SimMixer& m) { return m.memoryImage(); });
        const Bytes file = readFile(backup);
        EXPECT_EQ(file.size(), 128960u);
        EXPECT_EQ(file, image);
        ASSERT_EQ(shown.size(), 30u);
        EXPECT_EQ(shown.front(), "Complete: 3%...");
        EXPECT_EQ(shown[16], "Complete: 57%...");
        EXPECT_EQ(shown.back(), "Complete: 100%...");
        EXPECT_TRUE(controlsEnabled());
        EXPECT_TRUE(window.memStsLb()->isHidden());
        EXPECT_TRUE(window.pbar_bkview()->isHidden());

        // A changed backup goes back into the mixer; the lists are read again at the end.
        Bytes changed = file;
        changed[memoryPacketOffset(3) + 100] ^= 0x5A;
        changed[memoryPacketOffset(29) + 50] ^= 0xA5;
        const std::string restore = files / "changed.mprt";
        writeFile(restore, changed);
        const size_t lists = bus.count(MSG_PRESET_LIST_LOADED);
        ui.answerOpen(restore);
        click(window.memExBtn());
        EXPECT_EQ(window.fromLb()->text(), "Computer");
        EXPECT_EQ(window.toLb()->text(), "Mixer");
        ASSERT_TRUE(runUntil([&] { return bus.count(MSG_PRESET_LIST_LOADED) == lists + 1; }));
        EXPECT_EQ(status(), "Preset List Loaded!");
        EXPECT_EQ(bus.count(MSG_RESTORE_PACKET), 30u);
        EXPECT_EQ(mixer.with([](sim::SimMixer& m) { return m.memoryImage(); }), changed);
        EXPECT_TRUE(controlsEnabled());
        EXPECT_FALSE(window.logic().isBusy());

        // A file one byte short: refused with the link's warning, nothing sent, nothing locked.
        const std::string shortFile = files / "short.mprt";
        writeFile(shortFile, Bytes(changed.begin(), changed.end() - 1));
        const size_t before = framesReceived();
        ui.answerOpen(shortFile);
        click(window.memExBtn());
        EXPECT_TRUE(controlsEnabled());
        EXPECT_FALSE(window.logic().isBusy());
        EXPECT_FALSE(window.indcator()->isVisible());
        loop.runFor(100ms);
        EXPECT_EQ(framesReceived(), before);
        EXPECT_EQ(ui.callsOf("alert").back().title, "Warning!");
    });
}

TEST_F(PresetWindowEndToEnd, ASilentMixerFailsTheRequestWhenTheWatchdogRunsOut) {
    connect();
    openAndRun([&] {
        listsOnOpen();
        mixer.with([](sim::SimMixer& m) { m.setSilent(true); });
        click(window.recallBtn());
        EXPECT_TRUE(window.logic().isBusy());
        EXPECT_TRUE(window.indcator()->isVisible());
        EXPECT_TRUE(window.indcator()->isAnimating());
        EXPECT_FALSE(controlsEnabled());
        ASSERT_TRUE(waitStatus("Current process failed!"));
        EXPECT_FALSE(window.logic().isBusy());
        EXPECT_FALSE(window.indcator()->isVisible());
        EXPECT_FALSE(window.indcator()->isAnimating());
        EXPECT_TRUE(controlsEnabled());
    });
}

// Load to Computer against the mixer: the green text only for a written file; a cancelled
// save panel leaves the status line as it was, a failed write says so in an alert.
TEST_F(PresetWindowEndToEnd, LoadToComputerSaysSavedOnlyForAWrittenFile) {
    connect();
    openAndRun([&] {
        listsOnOpen();
        chooseType(1);
        struct Case {
            const char* name;
            std::optional<std::string> file;
            bool written;
        };
        const Case cases[] = {
            {"cancelled", std::nullopt, false},
            {"into a folder that does not exist", std::string(files / "gone/kick.sDsp"), false},
            {"written", std::string(files / "kick.sDsp"), true},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            const size_t panels = ui.callsOf("save").size();
            const size_t alerts = ui.callsOf("alert").size();
            press(4);
            ui.answerSave(c.file);
            click(window.loadBtn());
            ASSERT_TRUE(runUntil([&] { return ui.callsOf("save").size() == panels + 1; }));
            EXPECT_FALSE(window.logic().isBusy());
            EXPECT_TRUE(controlsEnabled());
            EXPECT_EQ(status(), c.written ? "Preset successfully saved to computer!" : "Preset List Loaded!");
            EXPECT_EQ(c.file && std::filesystem::exists(*c.file), c.written);
            const bool failedWrite = c.file && !c.written;
            ASSERT_EQ(ui.callsOf("alert").size(), alerts + (failedWrite ? 1 : 0));
            if (failedWrite)
                EXPECT_EQ(ui.callsOf("alert").back().message,
                          "The preset was not saved to the file. No such file or directory");
        }
    });
}

// A mixer that falls silent in the middle of a backup or a restore: the window's watchdog ends the
// transfer as failed; what the mixer sends afterwards writes no file and is sent nothing.
struct Silence {
    const char* name;
    bool restore;
    int replies;  // before the mixer falls silent
};

class TransferFallsSilent : public PresetWindowEndToEnd, public ::testing::WithParamInterface<Silence> {};

TEST_P(TransferFallsSilent, FailsAtTheWatchdogAndIgnoresWhatComesLate) {
    const Silence& c = GetParam();
    connect();
    openAndRun([&] {
        listsOnOpen();
        const std::string path = files / "memory.mprt";
        const int code = c.restore ? MSG_RESTORE_PACKET : MSG_BACKUP_PACKET;
        mixer.with([&](sim::SimMixer& m) { m.holdRepliesAfter(c.replies); });
        startTransfer(c.restore, path);
        ASSERT_TRUE(runUntil([&] { return bus.count(code) == static_cast<size_t>(c.replies); }));
        EXPECT_FALSE(window.memStsLb()->isHidden());
        EXPECT_FALSE(controlsEnabled());
        ASSERT_TRUE(waitStatus("Current process failed!"));
        EXPECT_TRUE(window.memStsLb()->isHidden());
        EXPECT_TRUE(window.pbar_bkview()->isHidden());
        EXPECT_FALSE(window.progresBar()->isAnimating());
        EXPECT_FALSE(window.indcator()->isVisible());
        EXPECT_TRUE(controlsEnabled());

        const Bytes late = mixer.with([](sim::SimMixer& m) { return m.takeHeldReplies(); });
        ASSERT_FALSE(late.empty());
        const size_t frames = framesReceived();
        const size_t alerts = ui.callsOf("alert").size();
        tcp.send(late);
        loop.runFor(300ms);
        EXPECT_EQ(bus.count(code), static_cast<size_t>(c.replies));
        EXPECT_EQ(framesReceived(), frames);
        EXPECT_EQ(ui.callsOf("alert").size(), alerts);
        EXPECT_EQ(status(), "Current process failed!");
        EXPECT_TRUE(window.memStsLb()->isHidden());
        if (!c.restore) EXPECT_FALSE(std::filesystem::exists(path));
    });
}

INSTANTIATE_TEST_SUITE_P(Transfers, TransferFallsSilent,
                         ::testing::Values(Silence{"BackupAfterFivePackets", false, 5},
                                           Silence{"RestoreAfterFourAcknowledgements", true, 4}),
                         [](const auto& param) { return std::string(param.param.name); });

// The mixer falls silent in the middle of a backup or a restore for longer than the watchdog, the
// user starts the transfer again while it is still silent, and then the mixer answers everything
// it held back: the answers of the given-up transfer drive nothing, and the new one is exactly
// what it would have been alone.
class TransferResumedLate : public PresetWindowEndToEnd, public ::testing::WithParamInterface<bool> {};

TEST_P(TransferResumedLate, TheGivenUpTransfersAnswersDriveNothingInTheNextOne) {
    const bool restore = GetParam();
    connect();
    openAndRun([&] {
        listsOnOpen();
        const int code = restore ? MSG_RESTORE_PACKET : MSG_BACKUP_PACKET;
        const std::string first = files / "first.mprt";
        const std::string second = files / "second.mprt";
        mixer.with([&](sim::SimMixer& m) { m.holdRepliesAfter(10); });
        startTransfer(restore, first);
        ASSERT_TRUE(runUntil([&] { return bus.count(code) == 10; }));
        ASSERT_TRUE(waitStatus("Current process failed!"));

        // The second restore writes other contents than the first.
        Bytes written = mixer.with([](sim::SimMixer& m) { return m.memoryImage(); });
        for (int packet = 1; packet <= 30; ++packet) written[memoryPacketOffset(packet) + 20] ^= 0x3C;
        const size_t mark = framesReceived();
        bus.codes.clear();
        if (restore) {
            writeFile(second, written);
            ui.answerOpen(second);
            click(window.memExBtn());
        } else {
            startTransfer(false, second);
        }
        ASSERT_TRUE(runUntil([&] { return framesReceived() > mark; })) << "the new transfer's first request";
        EXPECT_FALSE(controlsEnabled());
        tcp.send(mixer.with([](sim::SimMixer& m) {
            m.holdRepliesAfter(-1);
            return m.takeHeldReplies();
        }));

        if (restore) {
            ASSERT_TRUE(runUntil([&] { return bus.count(MSG_PRESET_LIST_LOADED) == 1; }));
            EXPECT_EQ(status(), "Preset List Loaded!");
            EXPECT_EQ(mixer.with([](sim::SimMixer& m) { return m.memoryImage(); }), written);
            // The mixer was sent packets 1 to 30 once each, in order, and no other frame but the
            // list requests of the re-read at the end.
            std::vector<int> sent;
            mixer.with([&](sim::SimMixer& m) {
                for (size_t i = mark; i < m.received.size(); ++i)
                    if (m.received[i].size() > 10 && m.received[i][8] == 0x31) sent.push_back(m.received[i][10]);
            });
            std::vector<int> oneTo30(30);
            std::iota(oneTo30.begin(), oneTo30.end(), 1);
            EXPECT_EQ(sent, oneTo30);
        } else {
            ASSERT_TRUE(waitStatus("Backup of all Presets sucessfully saved to computer!"));
            EXPECT_EQ(readFile(second), mixer.with([](sim::SimMixer& m) { return m.memoryImage(); }));
            EXPECT_FALSE(std::filesystem::exists(first));
        }
        EXPECT_EQ(bus.count(code), 30u) << "progress of the new transfer alone";
        EXPECT_TRUE(controlsEnabled());
        for (const auto& alert : ui.callsOf("alert"))
            EXPECT_EQ(alert.message.find("failed"), std::string::npos) << alert.message;
        EXPECT_TRUE(mixer.with([](sim::SimMixer& m) { return m.rejected.empty(); }));
    });
}

INSTANTIATE_TEST_SUITE_P(Transfers, TransferResumedLate, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Restore" : "Backup"; });

// The window closed during a restore into a mixer that fell silent, and opened again with the
// Preset button: the restore is shown as it was, locked, so no second transfer starts over it,
// and the mixer is asked for no lists in its midst; the watchdog still ends it.
TEST_F(PresetWindowEndToEnd, OpenedAgainDuringARestoreTheWindowStaysLockedUntilTheRestoreEnds) {
    connect();
    const std::string path = files / "memory.mprt";
    openAndRun([&] {
        listsOnOpen();
        mixer.with([](sim::SimMixer& m) { m.holdRepliesAfter(4); });
        startTransfer(true, path);
        ASSERT_TRUE(runUntil([&] { return bus.count(MSG_RESTORE_PACKET) == 4; }));
    });
    auto listRequests = [&] { return mixer.with([](sim::SimMixer& m) { return m.receivedCount(0x18); }); };
    const size_t requests = listRequests();
    const size_t lists = bus.count(MSG_PRESET_LIST_LOADED);
    openAndRun([&] {
        EXPECT_FALSE(window.memImptBtn()->isEnabled());
        EXPECT_FALSE(window.memExBtn()->isEnabled());
        EXPECT_FALSE(controlsEnabled());
        EXPECT_FALSE(window.chbox()->isEnabled());
        EXPECT_FALSE(window.memStsLb()->isHidden());
        EXPECT_EQ(window.memStsLb()->text(), "Complete: 13%...");
        EXPECT_EQ(status(), "Importing all memory parameters  from local ,please wait!");
        // Pressing Backup or Restore starts nothing: no dialog is unscripted here.
        click(window.memImptBtn());
        click(window.memExBtn());
        EXPECT_EQ(ui.callsOf("open").size(), 1u);
        EXPECT_TRUE(ui.callsOf("save").empty());
        EXPECT_EQ(window.logic().writingToMixer(), "A backup is being restored into the mixer.");
        ASSERT_TRUE(waitStatus("Current process failed!"));
        EXPECT_TRUE(controlsEnabled());
        EXPECT_TRUE(window.memStsLb()->isHidden());
    });
    EXPECT_EQ(listRequests(), requests);
    EXPECT_EQ(bus.count(MSG_PRESET_LIST_LOADED), lists);
}

// A backup that fails while the window is closed: its progress is gone when the window is shown
// again.
TEST_F(PresetWindowEndToEnd, ABackupThatFailsWhileTheWindowIsClosedLeavesNoProgressBehind) {
    connect();
    const std::string path = files / "memory.mprt";
    mixer.with([](sim::SimMixer& m) { m.dropExportPacket(7); });
    tcp.setPieces(1024, 5ms);
    openAndRun([&] {
        listsOnOpen();
        startTransfer(false, path);
        ASSERT_TRUE(runUntil([&] { return bus.count(MSG_BACKUP_PACKET) >= 1; }));
        EXPECT_FALSE(window.memStsLb()->isHidden());
    });
    ASSERT_TRUE(runUntil([&] {
        const auto alerts = ui.callsOf("alert");
        return !alerts.empty() && alerts.back().message.rfind("The memory backup failed", 0) == 0;
    }));
    EXPECT_FALSE(std::filesystem::exists(path));
    openAndRun([&] {
        EXPECT_TRUE(window.memStsLb()->isHidden());
        EXPECT_TRUE(window.pbar_bkview()->isHidden());
        EXPECT_NE(status(), "Exporting  all memory data  to files ,please wait!");
        EXPECT_TRUE(controlsEnabled());
    });
}

// Quitting while a restore writes into the mixer asks first; "Don't Quit" is the default.
TEST_F(PresetWindowEndToEnd, QuittingWhileARestoreWritesIntoTheMixerAsksFirst) {
    connect();
    openAndRun([&] {
        listsOnOpen();
        AppDelegate delegate([] { return AppDelegate::ManifestEntries(9); });
        testsupport::expectQuitUnasked(delegate, ui);
        mixer.with([](sim::SimMixer& m) { m.holdRepliesAfter(4); });
        startTransfer(true, files / "memory.mprt");
        ASSERT_TRUE(runUntil([&] { return bus.count(MSG_RESTORE_PACKET) == 4; }));
        testsupport::expectQuitRefused(delegate, ui, "A backup is being restored into the mixer.");

        // Once the restore has failed nothing is being written: quitting asks nothing.
        ASSERT_TRUE(waitStatus("Current process failed!"));
        testsupport::expectQuitUnasked(delegate, ui);
    });
}

// A transfer that can no longer finish: the window ends its display and says so.
struct Interruption {
    const char* name;
    bool restore;
    int dropPacket;  // an export packet the mixer leaves out; 0 = the link is dropped instead
};

class TransferInterrupted : public PresetWindowEndToEnd, public ::testing::WithParamInterface<Interruption> {};

TEST_P(TransferInterrupted, EndsTheTransferDisplayAndReportsTheFailure) {
    const Interruption& c = GetParam();
    connect();
    openAndRun([&] {
        listsOnOpen();
        const std::string path = files / "memory.mprt";
        if (c.dropPacket) mixer.with([&](sim::SimMixer& m) { m.dropExportPacket(c.dropPacket); });
        // Slow replies, so that the link drops while packets are still to come.
        tcp.setPieces(1024, 5ms);
        startTransfer(c.restore, path);
        if (!c.dropPacket) {
            const int code = c.restore ? MSG_RESTORE_PACKET : MSG_BACKUP_PACKET;
            ASSERT_TRUE(runUntil([&] { return bus.count(code) >= 1; }));
            EXPECT_FALSE(window.memStsLb()->isHidden());
            tcp.dropClient();
        }
        ASSERT_TRUE(waitStatus("Current process failed!"));
        EXPECT_TRUE(window.memStsLb()->isHidden());
        EXPECT_TRUE(window.pbar_bkview()->isHidden());
        EXPECT_FALSE(window.progresBar()->isAnimating());
        EXPECT_TRUE(controlsEnabled());
        EXPECT_FALSE(window.logic().isBusy());
        EXPECT_EQ(window.statusLCD()->isLighted(), c.dropPacket != 0);
        if (!c.restore) EXPECT_FALSE(std::filesystem::exists(path));
    });
}

INSTANTIATE_TEST_SUITE_P(Transfers, TransferInterrupted,
                         ::testing::Values(Interruption{"LinkDroppedMidBackup", false, 0},
                                           Interruption{"LinkDroppedMidRestore", true, 0},
                                           Interruption{"ExportPacketLost", false, 7}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Answers that come late ------------------------------------------------------------------

// Requests of the mixer's own kind: how many it received of a command.
size_t receivedOf(sim::LockedMixer& mixer, uint8_t command) {
    return mixer.with([command](sim::SimMixer& m) { return m.receivedCount(command); });
}

// The mixer falls silent, holding its answers back, and answers everything it held when released.
void holdAnswers(sim::LockedMixer& mixer) {
    mixer.with([](sim::SimMixer& m) { m.holdRepliesAfter(0); });
}
void release(sim::LockedMixer& mixer, sim::TcpFront& tcp) {
    tcp.send(mixer.with([](sim::SimMixer& m) {
        m.holdRepliesAfter(-1);
        return m.takeHeldReplies();
    }));
}

// Load to Computer of one preset goes unanswered until the watchdog gives it up; the user loads
// another; then the mixer answers both. The one save panel, opened for the second preset, saves
// the second preset.
struct TwoLoads {
    const char* name;
    int tag;  // the type selector's cell
    int first, second;  // rows
};

class ALoadGivenUp : public PresetWindowEndToEnd, public ::testing::WithParamInterface<TwoLoads> {};

TEST_P(ALoadGivenUp, AnswersIntoNobodysFile) {
    const TwoLoads& c = GetParam();
    connect();
    openAndRun([&] {
        ASSERT_NO_FATAL_FAILURE(loadGivenUp(c.tag, c.first));
        const int type = CHCType[window.logic().index_mode()];

        const std::string file = files / (std::string("second.") + PresetFilter[type]);
        ui.answerSave(file);
        press(c.second);
        click(window.loadBtn());
        ASSERT_TRUE(runUntil([&] { return receivedOf(mixer, 0x32) == 2; }));
        release(mixer, tcp);
        ASSERT_TRUE(waitStatus("Preset successfully saved to computer!"));
        EXPECT_EQ(readFile(file), mixer.with([&](sim::SimMixer& m) {
                      return m.presets[static_cast<size_t>(type)][static_cast<size_t>(c.second)];
                  }));
        EXPECT_EQ(ui.callsOf("save").size(), 1u);
        EXPECT_FALSE(window.logic().isBusy());
        EXPECT_TRUE(controlsEnabled());
    });
}

INSTANTIATE_TEST_SUITE_P(Presets, ALoadGivenUp,
                         ::testing::Values(TwoLoads{"DspChannelPresets5Then8", 1, 4, 7},
                                           TwoLoads{"Scenes3Then7", 0, 2, 6}),
                         [](const auto& param) { return std::string(param.param.name); });

// A Load given up whose answer never comes: the next Load's answer is taken for the one owed, so
// that Load fails at its watchdog; the one after it is answered and saved.
TEST_F(PresetWindowEndToEnd, AnAnswerLostCostsTheNextLoadAloneAndNoFile) {
    connect();
    openAndRun([&] {
        ASSERT_NO_FATAL_FAILURE(loadGivenUp(1, 4));
        mixer.with([](sim::SimMixer& m) {
            m.holdRepliesAfter(-1);
            m.takeHeldReplies();  // lost
        });

        press(5);
        click(window.loadBtn());
        EXPECT_TRUE(window.logic().isBusy());
        ASSERT_TRUE(runUntil([&] { return !window.logic().isBusy(); }));
        EXPECT_EQ(status(), "Current process failed!");
        EXPECT_EQ(receivedOf(mixer, 0x32), 2u) << "the mixer answered the second Load";

        const std::string file = files / "third.sDsp";
        ui.answerSave(file);
        press(6);
        click(window.loadBtn());
        ASSERT_TRUE(waitStatus("Preset successfully saved to computer!"));
        EXPECT_EQ(readFile(file), mixer.with([](sim::SimMixer& m) { return m.presets[0][6]; }));
        EXPECT_EQ(ui.callsOf("save").size(), 1u);
    });
}

// A preset write goes unanswered until the watchdog gives it up; the user writes another preset,
// of another type or of the same, whose frame never reaches the mixer; then the mixer reports the
// first write stored. That late report is no answer for the second write: no success is shown,
// the window still waits, and quitting still asks first.
class AWriteGivenUp : public PresetWindowEndToEnd, public ::testing::WithParamInterface<bool> {};

TEST_P(AWriteGivenUp, ShowsNoLaterWriteAsDone) {
    const bool sameType = GetParam();
    connect();
    openAndRun([&] {
        listsOnOpen();
        AppDelegate delegate([] { return AppDelegate::ManifestEntries(9); });
        const std::string dspFile = files / "kick.sDsp";
        const std::string geqFile = files / "main.sGEQ";
        writeFile(dspFile, mixer.with([](sim::SimMixer& m) { return m.presets[0][3]; }));
        writeFile(geqFile, mixer.with([](sim::SimMixer& m) { return m.presets[1][2]; }));

        holdAnswers(mixer);
        chooseType(1);
        ui.answerOpen(dspFile);
        click(window.savebtn());
        ASSERT_TRUE(waitStatus("Current process failed!"));

        mixer.with([](sim::SimMixer& m) { m.loseNext(0x23); });
        if (!sameType) chooseType(4);
        ui.answerOpen(sameType ? dspFile : geqFile);
        click(window.savebtn());
        EXPECT_TRUE(window.logic().isBusy());
        EXPECT_EQ(receivedOf(mixer, 0x23), 1u) << "the second write's frame was lost";

        // The late report, then the answer to a list read asked after it, in the stream's order.
        const size_t lists = bus.count(MSG_PRESET_LIST_LOADED);
        release(mixer, tcp);
        link->sendCMD_ReadPresetList(3);
        ASSERT_TRUE(runUntil([&] { return bus.count(MSG_PRESET_LIST_LOADED) == lists + 1; }));
        EXPECT_EQ(bus.count(MSG_PRESET_WRITTEN), 0u);
        EXPECT_NE(status(), "Preset loaded successfully!");
        EXPECT_TRUE(window.logic().isBusy()) << "a list read the window did not ask for ends nothing";
        EXPECT_FALSE(controlsEnabled());
        testsupport::expectQuitRefused(delegate, ui, "A preset is being written into the mixer.");

        // The second write's frame never came: the watchdog ends it as failed.
        ASSERT_TRUE(runUntil([&] { return !window.logic().isBusy(); }));
        EXPECT_EQ(status(), "Current process failed!");
        testsupport::expectQuitUnasked(delegate, ui);
    });
}

INSTANTIATE_TEST_SUITE_P(Presets, AWriteGivenUp, ::testing::Values(false, true),
                         [](const auto& param) { return param.param ? "SameType" : "OtherType"; });

// The mixer froze on the scene list asked for when the link came up, the user opened the preset
// window and started a restore, and then the mixer answered everything. The lists it sends during
// the restore unlock nothing, a backup cannot start over it, and the mixer ends with the file's
// memory; the lists are read again once the restore has ended.
TEST_F(PresetWindowEndToEnd, ListsArrivingDuringARestoreLeaveItLocked) {
    ASSERT_TRUE(tcp.ok() && udp.ok());
    mixer.with([](sim::SimMixer& m) { m.holdRepliesAfter(3); });  // the DSP, GEQ and DFX lists
    ASSERT_TRUE(runUntil([&] { return link->connectType() == kConnectTypeTcp; })) << "no mixer found";
    link->switchLighted();
    ASSERT_TRUE(runUntil([&] { return receivedOf(mixer, 0x18) == 4; }));
    EXPECT_EQ(bus.count(MSG_PRESET_LIST_LOADED), 0u);

    openAndRun([&] {
        ASSERT_TRUE(runUntil([&] { return receivedOf(mixer, 0x18) == 5; })) << "the window asks for the lists";
        EXPECT_TRUE(controlsEnabled());
        Bytes memory = mixer.with([](sim::SimMixer& m) { return m.memoryImage(); });
        for (int packet = 1; packet <= 30; ++packet) memory[memoryPacketOffset(packet) + 30] ^= 0x5A;
        const std::string file = files / "restore.mprt";
        writeFile(file, memory);
        ui.answerOpen(file);
        click(window.memExBtn());
        ASSERT_TRUE(runUntil([&] { return receivedOf(mixer, 0x31) == 1; }));

        // Each list loaded while the restore runs: the controls, and a Backup pressed then.
        struct Seen {
            bool enabled;
            std::string status;
        };
        std::vector<Seen> duringRestore;
        auto lists = platform::NotificationCenter::defaultCenter().addObserver(
            kMessageBusName, [&](const platform::Notification& note) {
                const auto* p = std::any_cast<UserprofilePtr>(&note.object);
                if (!p || !*p || (*p)->cmdType != MSG_PRESET_LIST_LOADED || bus.count(MSG_RESTORE_PACKET) >= 30) return;
                const bool enabled = controlsEnabled();
                window.logic().memImportClick();
                duringRestore.push_back({enabled, status()});
            });
        release(mixer, tcp);
        ASSERT_TRUE(runUntil([&] { return bus.count(MSG_RESTORE_PACKET) == 30 && !window.logic().isBusy(); }));

        ASSERT_EQ(duringRestore.size(), 1u) << "the window's own list read, answered during the restore";
        EXPECT_FALSE(duringRestore[0].enabled);
        EXPECT_EQ(duringRestore[0].status, "Wait until the transfer under way has ended.");
        EXPECT_TRUE(ui.callsOf("alert").empty()) << "no backup was started";
        EXPECT_TRUE(ui.callsOf("save").empty());
        EXPECT_EQ(mixer.with([](sim::SimMixer& m) { return m.memoryImage(); }), memory);
        std::vector<int> sent;
        mixer.with([&](sim::SimMixer& m) {
            for (const Bytes& f : m.received)
                if (f.size() > 10 && f[8] == 0x31) sent.push_back(f[10]);
        });
        std::vector<int> oneTo30(30);
        std::iota(oneTo30.begin(), oneTo30.end(), 1);
        EXPECT_EQ(sent, oneTo30);
        EXPECT_EQ(status(), "Preset List Loaded!");
        EXPECT_TRUE(controlsEnabled());
    });
}

// A Load given up, and a backup started while the mixer is still silent: the Load's late answer
// opens no save panel, and the backup file is the mixer's memory.
TEST_F(PresetWindowEndToEnd, ALateLoadAnswerDuringABackupOpensNoPanel) {
    connect();
    openAndRun([&] {
        ASSERT_NO_FATAL_FAILURE(loadGivenUp(1, 4));

        const std::string backup = files / "all.mprt";
        startTransfer(false, backup);
        ASSERT_TRUE(runUntil([&] { return receivedOf(mixer, 0x2F) == 1; }));
        release(mixer, tcp);
        ASSERT_TRUE(waitStatus("Backup of all Presets sucessfully saved to computer!"));
        EXPECT_EQ(readFile(backup), mixer.with([](sim::SimMixer& m) { return m.memoryImage(); }));
        EXPECT_EQ(ui.callsOf("save").size(), 1u) << "the backup's own panel alone";
        EXPECT_TRUE(controlsEnabled());
    });
}

}  // namespace
