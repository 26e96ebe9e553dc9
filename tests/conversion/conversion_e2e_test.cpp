// Varnel Preset Conversion against the simulated mixer over loopback TCP, offscreen: a mixer with
// the old firmware is connected (its version asked, no preset list), the preset window is opened
// by the switcher, the memory is backed up twice, the firmware is updated, the restore is refused
// until the new version is reported and then writes the memory back converted; Varnel Utility's
// link finally backs the converted memory up.

#include "presets/SaveLoadWindow.h"

#include "link/MainWindowFixture.h"
#include "simfront/SimFronts.h"
#include "support/TestFiles.h"
#include "ui/DirazuzeControl.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <cstring>
#include <functional>
#include <numeric>

namespace {

using namespace std::chrono_literals;
using platform::Bytes;
using testsupport::readFile;

constexpr auto kWatchdog = 1s;

class ConversionEndToEnd : public mainwindowtest::MainWindowTest {
protected:
    ConversionEndToEnd() {
        settings.tcpPort = tcp.port();
        link = std::make_unique<StartMainView>(conversionStore, core, settings);
        link->setView(&view);
        link->setSleeper(&sleeper);
        link->awakeFromNib();
        window.awakeFromNib();
        restorePackets_ = platform::NotificationCenter::defaultCenter().addObserver(
            kMessageBusName, [this](const platform::Notification& note) {
                const auto* p = std::any_cast<UserprofilePtr>(&note.object);
                if (p && *p && (*p)->cmdType == MSG_RESTORE_PACKET) restorePackets.push_back((*p)->mpos);
            });
    }

    // The search finds the mixer and Connect opens the link.
    void connect() {
        ASSERT_TRUE(tcp.ok() && udp.ok());
        ASSERT_TRUE(runUntil([&] { return link->connectType() == kConnectTypeTcp; })) << "no mixer found";
        link->switchLighted();
        ASSERT_TRUE(runUntil([&] { return link->isRealConnect(); }));
    }

    // Presses the Preset button and runs body while the window is shown; body closes it.
    void openAndRun(const std::function<void()>& body) {
        QObject presetButton;
        setPageControlTag(&presetButton, DirazuzeControl::kPresetPage);
        bool ran = false;
        ui.onModal([&](platform::ModalWindow& shown) {
            EXPECT_EQ(&shown, static_cast<platform::ModalWindow*>(&window));
            body();
            ran = true;
            window.close();
            const auto stops = ui.callsOf("stopModal");
            return stops.empty() ? 0 : stops.back().code;
        });
        switcher.changePageControlClick(&presetButton);
        EXPECT_TRUE(ran);
        EXPECT_FALSE(window.isVisible());
    }

    void click(QAbstractButton* button) { QTest::mouseClick(button, Qt::LeftButton); }
    std::string status() const { return window.statusField()->text().toStdString(); }
    QColor statusColor() const { return window.statusField()->palette().color(QPalette::WindowText); }
    size_t received(uint8_t command) {
        return mixer.with([command](sim::SimMixer& m) { return m.receivedCount(command); });
    }
    Bytes memoryImage() {
        return mixer.with([](sim::SimMixer& m) { return m.memoryImage(); });
    }
    std::string lastAlert() const {
        const auto alerts = ui.callsOf("alert");
        return alerts.empty() ? std::string() : alerts.back().message;
    }

    // In the opened preset window: backs the old memory up into path, updates the mixer's
    // firmware and has Restore ask for the new version, then starts the converted write-back of
    // path into a mixer that falls silent after `replies` acknowledgements.
    void writeBackIntoAMixerThatFallsSilent(const std::string& path, int replies) {
        ASSERT_TRUE(runUntil([&] { return received(0x2C) == 2; }));
        ui.answerAlert(0);
        ui.answerSave(path);
        click(window.memImptBtn());
        ASSERT_TRUE(runUntil([&] { return bus.count(MSG_BACKUP_PACKET) == 30; }));

        mixer.with([](sim::SimMixer& m) { m.updateFirmware(); });
        click(window.memExBtn());
        ASSERT_TRUE(runUntil([&] { return conversionStore.m_mcuVer == 64; }));
        mixer.with([&](sim::SimMixer& m) { m.holdRepliesAfter(replies); });
        ui.answerOpen(path);
        click(window.memExBtn());
        ASSERT_TRUE(runUntil([&] { return restorePackets.size() == static_cast<size_t>(replies); }));
    }

    testsupport::TempDir files;
    sim::LockedMixer mixer{11, 0x3F};
    sim::TcpFront tcp{mixer, "127.0.0.1", 0};
    sim::UdpFront udp{{settings.probePort, "127.0.0.1", 32, 0ms}};
    GCData conversionStore{kConversionConstants};
    SaveLoadWindow window{conversionStore, kWatchdog};
    DirazuzeControl switcher{kConversionConstants};
    std::vector<int> restorePackets;

private:
    platform::NotificationCenter::ObserverToken restorePackets_;
};

TEST_F(ConversionEndToEnd, OldMemoryBackedUpTwiceThenWrittenBackConvertedAfterTheFirmwareUpdate) {
    const QColor orange = XLCDView::toQColor(kConversionConstants.okColor);
    EXPECT_EQ(status(), "");
    EXPECT_FALSE(window.tableContainer()->isVisibleTo(&window));
    connect();
    ASSERT_TRUE(runUntil([&] { return conversionStore.m_mcuVer == 0x3F; }));

    openAndRun([&] {
        // The switcher asked again as it opened the window.
        ASSERT_TRUE(runUntil([&] { return received(0x2C) == 2; }));
        EXPECT_TRUE(window.statusLCD()->isLighted());

        // Two backups, each the mixer's whole old-layout memory.
        for (const char* name : {"first.moldPts", "second.moldPts"}) {
            SCOPED_TRACE(name);
            const size_t before = bus.count(MSG_BACKUP_PACKET);
            const std::string path = files / name;
            ui.answerAlert(0);
            ui.answerSave(path);
            click(window.memImptBtn());
            EXPECT_FALSE(window.memExBtn()->isEnabled());
            ASSERT_TRUE(runUntil([&] { return bus.count(MSG_BACKUP_PACKET) == before + 30; }));
            EXPECT_EQ(status(), "Backup of all presets saved to computer");
            EXPECT_EQ(statusColor(), orange);
            const Bytes file = readFile(path);
            EXPECT_EQ(file.size(), 121460u);
            EXPECT_EQ(file, memoryImage());
            EXPECT_TRUE(window.memExBtn()->isEnabled());
        }
        EXPECT_EQ(ui.callsOf("alert").size(), 2u) << "only the two confirmations";

        // The firmware is updated; the first restore is refused by the version last reported,
        // which is asked for again.
        mixer.with([](sim::SimMixer& m) { m.updateFirmware(); });
        const size_t frames = mixer.with([](sim::SimMixer& m) { return m.received.size(); });
        click(window.memExBtn());
        EXPECT_EQ(lastAlert(), "Please update the firmware first!");
        ASSERT_TRUE(runUntil([&] { return conversionStore.m_mcuVer == 64; }));
        EXPECT_EQ(mixer.with([](sim::SimMixer& m) { return m.received.size(); }), frames + 1);

        // The write-back, packet by packet.
        ui.answerOpen(files / "first.moldPts");
        click(window.memExBtn());
        EXPECT_EQ(window.fromLb()->text(), "Computer");
        EXPECT_EQ(window.toLb()->text(), "Mixer");
        ASSERT_TRUE(runUntil([&] { return restorePackets.size() == 30; }));
        std::vector<int> expected(30);
        for (int p = 1; p <= 30; ++p) expected[static_cast<size_t>(p - 1)] = p;
        EXPECT_EQ(restorePackets, expected);
        EXPECT_EQ(status(), "Preset Conversion Complete");
        EXPECT_EQ(statusColor(), orange);
        EXPECT_TRUE(window.memImptBtn()->isEnabled());
        EXPECT_FALSE(window.logic().isBusy());
    });
    ASSERT_EQ(ui.callsOf("stopModal").size(), 1u);
    EXPECT_EQ(ui.callsOf("stopModal")[0].code, -60006);
    EXPECT_EQ(received(0x18), 0u) << "no preset list is ever asked for";

    // The mixer holds the converted scenes and the file's other packets.
    const Bytes backup = readFile(files / "first.moldPts");
    const Bytes image = memoryImage();
    std::string why;
    ASSERT_TRUE(isWholeMemoryBackup(image.data(), image.size(), &why)) << why;
    for (int p = 1; p <= 30; ++p) {
        SCOPED_TRACE(p);
        const MemoryPacketShape shape = memoryPacketShape(p);
        const uint8_t* held = image.data() + memoryPacketOffset(p);
        const uint8_t* old = backup.data() + memoryPacketOffset(p, kOldSceneFrameLength);
        if (shape.length != kSceneFrameLength) {
            EXPECT_EQ(0, std::memcmp(held, old, shape.length));
            continue;
        }
        EXPECT_EQ(0, std::memcmp(held + 9, old + 9, 22)) << "sub-code, packet number, header";
        EXPECT_EQ(0, std::memcmp(held + 31 + 108 * 5, old + 31 + 100 * 5, 98)) << "channel block 5";
        EXPECT_EQ(held[31 + 108 * 5 + 98], 12);
        EXPECT_EQ(0, std::memcmp(held + 3595, old + 3331, 970)) << "scene tail";
        EXPECT_EQ(held[4583], 12);
    }

    // Varnel Utility's link backs the converted memory up into a valid file.
    link.reset();
    loop.drain();
    start();
    connect();
    ASSERT_TRUE(runUntil([&] { return bus.count(MSG_PRESET_LIST_LOADED) >= 1; }));
    const size_t before = bus.count(MSG_BACKUP_PACKET);
    gc.memoryFilePath = files / "converted.mprt";
    link->sendCMD_MemoryExport();
    ASSERT_TRUE(runUntil([&] { return bus.count(MSG_BACKUP_PACKET) == before + 30; }));
    const Bytes converted = readFile(files / "converted.mprt");
    EXPECT_EQ(converted.size(), 128960u);
    EXPECT_TRUE(isWholeMemoryBackup(converted.data(), converted.size(), &why)) << why;
    EXPECT_EQ(converted, memoryImage());
}

// The mixer falls silent during the converted write-back: the window's watchdog ends it with the
// program's failure text, and acknowledgements that come late send nothing more.
TEST_F(ConversionEndToEnd, AWriteBackThatFallsSilentFailsAndItsLateAcknowledgementsSendNothing) {
    connect();
    ASSERT_TRUE(runUntil([&] { return conversionStore.m_mcuVer == 0x3F; }));
    openAndRun([&] {
        const std::string path = files / "old.moldPts";
        writeBackIntoAMixerThatFallsSilent(path, 3);
        ASSERT_FALSE(HasFatalFailure());
        EXPECT_EQ(window.logic().writingToMixer(), "The converted presets are being written into the mixer.");
        ASSERT_TRUE(runUntil([&] { return status() == "Current process failer!"; }));
        EXPECT_EQ(window.logic().writingToMixer(), "");
        EXPECT_TRUE(window.memStsLb()->isHidden());
        EXPECT_TRUE(window.pbar_bkview()->isHidden());
        EXPECT_TRUE(window.memImptBtn()->isEnabled());
        EXPECT_TRUE(window.memExBtn()->isEnabled());
        EXPECT_EQ(received(0x31), 4u) << "packets 1-4, the fourth unacknowledged";

        tcp.send(mixer.with([](sim::SimMixer& m) { return m.takeHeldReplies(); }));
        loop.runFor(300ms);
        EXPECT_EQ(received(0x31), 4u);
        EXPECT_EQ(restorePackets.size(), 3u);
        EXPECT_EQ(status(), "Current process failer!");
    });
}

// The mixer falls silent during the write-back, the user presses Restore again while it is still
// silent, and then the mixer answers everything it held back: the late acknowledgement of the
// given-up write-back drives nothing, and the new one writes packets 1 to 30 once each, in order.
TEST_F(ConversionEndToEnd, AWriteBackStartedAgainIsNotDrivenByTheGivenUpOnesLateAnswers) {
    connect();
    ASSERT_TRUE(runUntil([&] { return conversionStore.m_mcuVer == 0x3F; }));
    openAndRun([&] {
        const std::string path = files / "old.moldPts";
        writeBackIntoAMixerThatFallsSilent(path, 12);
        ASSERT_FALSE(HasFatalFailure());
        ASSERT_TRUE(runUntil([&] { return status() == "Current process failer!"; }));

        const size_t mark = mixer.with([](sim::SimMixer& m) { return m.received.size(); });
        restorePackets.clear();
        ui.answerOpen(path);
        click(window.memExBtn());
        ASSERT_TRUE(runUntil([&] { return received(0x31) == 14; })) << "the new write-back's first packet";
        tcp.send(mixer.with([](sim::SimMixer& m) {
            m.holdRepliesAfter(-1);
            return m.takeHeldReplies();
        }));
        ASSERT_TRUE(runUntil([&] { return status() == "Preset Conversion Complete"; }));
        loop.runFor(100ms);
        std::vector<int> oneTo30(30);
        std::iota(oneTo30.begin(), oneTo30.end(), 1);
        EXPECT_EQ(restorePackets, oneTo30);
        std::vector<int> sent;
        mixer.with([&](sim::SimMixer& m) {
            for (size_t i = mark; i < m.received.size(); ++i)
                if (m.received[i].size() > 10 && m.received[i][8] == 0x31) sent.push_back(m.received[i][10]);
        });
        EXPECT_EQ(sent, oneTo30);
        EXPECT_EQ(window.logic().writingToMixer(), "");
        EXPECT_TRUE(window.memExBtn()->isEnabled());
    });
}

// Recall reaches no preset: the window waits for its watchdog and says the process failed.
TEST_F(ConversionEndToEnd, RecallWhileConnectedSendsNothingAndFailsAtTheWatchdog) {
    connect();
    openAndRun([&] {
        ASSERT_TRUE(runUntil([&] { return received(0x2C) == 2; }));
        const size_t frames = mixer.with([](sim::SimMixer& m) { return m.received.size(); });
        click(window.recallBtn());
        EXPECT_TRUE(window.logic().isBusy());
        EXPECT_FALSE(window.memImptBtn()->isEnabled());
        ASSERT_TRUE(runUntil([&] { return status() == "Current process failer!"; }));
        EXPECT_EQ(statusColor(), XLCDView::toQColor(saveload::kStatusFailedColor));
        EXPECT_TRUE(window.memImptBtn()->isEnabled());
        EXPECT_EQ(mixer.with([](sim::SimMixer& m) { return m.received.size(); }), frames);
    });
}

}  // namespace
