// Varnel Preset Conversion's link end to end against the simulated mixer on loopback TCP: an
// old-firmware mixer backed up into old-layout files, its firmware updated, the memory written
// back with the scenes converted, and Varnel Utility's link then backing up the converted memory.

#include "MainWindowFixture.h"

#include "simfront/SimFronts.h"
#include "support/TestFiles.h"

#include <cstring>

using namespace mainwindowtest;

namespace {

using Bytes = std::vector<uint8_t>;

class ConversionNetwork : public MainWindowTest {
protected:
    // The link as Varnel Preset Conversion starts it, on its own store.
    StartMainView& startConversion() {
        link = std::make_unique<StartMainView>(conversionStore, core, settings);
        link->setView(&view);
        link->setSleeper(&sleeper);
        link->awakeFromNib();
        return *link;
    }
    // Searches, finds the mixer on loopback and presses Connect.
    void connect() {
        ASSERT_TRUE(runUntil([&] { return link->connectType() == kConnectTypeTcp; })) << "no mixer found";
        link->switchLighted();
        ASSERT_TRUE(runUntil([&] { return link->isRealConnect(); }));
    }
    // Asks for the whole memory into path and waits until the backup has ended.
    void backUp(GCData& store, const std::string& path) {
        const size_t before = bus.count(MSG_BACKUP_PACKET);
        store.memoryFilePath = path;
        link->sendCMD_MemoryExport();
        ASSERT_TRUE(runUntil([&] { return bus.count(MSG_BACKUP_PACKET) == before + 30; }));
    }
    // Frames of the given command the mixer has received.
    size_t received(uint8_t command) {
        return mixer.with([command](sim::SimMixer& m) { return m.receivedCount(command); });
    }
    Bytes memoryImage() {
        return mixer.with([](sim::SimMixer& m) { return m.memoryImage(); });
    }

    testsupport::TempDir dir;
    GCData conversionStore{kConversionConstants};
    sim::LockedMixer mixer{11, 63};
};

TEST_F(ConversionNetwork, OldMixerBackedUpUpdatedAndWrittenBackConverted) {
    sim::TcpFront tcp(mixer, "127.0.0.1", 0);
    ASSERT_TRUE(tcp.ok());
    settings.tcpPort = tcp.port();
    sim::UdpFront udp({settings.probePort, "127.0.0.1"});
    startConversion();
    connect();

    // The version is asked for as the link comes up; the preset lists never are.
    ASSERT_TRUE(runUntil([&] { return conversionStore.m_mcuVer == 0x3F; }));
    EXPECT_EQ(received(0x2C), 1u);
    EXPECT_TRUE(conversionStore.isNeedConvert());
    EXPECT_TRUE(backupButtonDecision(conversionStore.isconnected, conversionStore.m_mcuVer).proceed);

    // Two backups, each the mixer's whole old-layout memory.
    for (const char* name : {"first.moldPts", "second.moldPts"}) {
        SCOPED_TRACE(name);
        backUp(conversionStore, dir / name);
        const Bytes file = testsupport::readFile(dir / name);
        EXPECT_EQ(file.size(), 121460u);
        EXPECT_EQ(file, memoryImage());
    }
    EXPECT_EQ(bus.count(MSG_PRESET_IDLE), 0u);
    const Bytes backup = testsupport::readFile(dir / "first.moldPts");

    // The firmware is updated; the restore is refused by the old version, which is asked again.
    mixer.with([](sim::SimMixer& m) { m.updateFirmware(); });
    MemoryButtonDecision restore = restoreButtonDecision(conversionStore.isconnected, conversionStore.m_mcuVer);
    EXPECT_FALSE(restore.proceed);
    EXPECT_EQ(restore.message, "Please update the firmware first!");
    ASSERT_TRUE(restore.askVersion);
    link->sendCMD_ReadMCUVersion();
    ASSERT_TRUE(runUntil([&] { return conversionStore.m_mcuVer == 64; }));
    restore = restoreButtonDecision(conversionStore.isconnected, conversionStore.m_mcuVer);
    EXPECT_TRUE(restore.proceed);

    // The write-back: 30 packets acknowledged one by one.
    ASSERT_TRUE(conversionStore.ReadFiles_Memory(dir / "first.moldPts"));
    ASSERT_TRUE(runUntil([&] { return bus.count(MSG_RESTORE_PACKET) == 30; }));
    EXPECT_TRUE(ui.callsOf("alert").empty());
    const auto memory = mixer.with([](sim::SimMixer& m) { return m.memory; });
    size_t oldOffset = 0;
    for (int p = 1; p <= 30; ++p) {
        SCOPED_TRACE(p);
        const Bytes& held = memory[static_cast<size_t>(p - 1)];
        const bool scene = p <= 24 || p == 30;
        const size_t oldLength = scene ? 4312 : held.size();
        const Bytes old(backup.begin() + static_cast<long>(oldOffset),
                        backup.begin() + static_cast<long>(oldOffset + oldLength));
        oldOffset += oldLength;
        if (!scene) {
            EXPECT_EQ(held, old) << "the file's other packets go back as they are";
            continue;
        }
        ASSERT_EQ(held.size(), 4612u);
        Bytes header(old.begin(), old.begin() + 31);
        header[3] = 0x04;  // the mixer exports with its own length byte
        EXPECT_TRUE(std::equal(header.begin(), header.end(), held.begin()));
        EXPECT_EQ(0, std::memcmp(held.data() + 31 + 108 * 32, old.data() + 31 + 100 * 32, 98)) << "channel block 32";
        EXPECT_EQ(0, std::memcmp(held.data() + 3595, old.data() + 3331, 970)) << "scene tail";
        EXPECT_EQ(held[4583], 12) << "the cross-fader settings";
        EXPECT_EQ(held.back(), 0x40);
    }
    EXPECT_EQ(received(0x18), 0u) << "no preset list was ever asked for";

    // Varnel Utility's link backs the converted memory up into a valid new-layout file.
    link.reset();
    loop.drain();
    start();
    connect();
    ASSERT_TRUE(runUntil([&] { return bus.count(MSG_PRESET_LIST_LOADED) == 1; }));
    backUp(gc, dir / "converted.mprt");
    const Bytes converted = testsupport::readFile(dir / "converted.mprt");
    std::string why;
    EXPECT_TRUE(isWholeMemoryBackup(converted.data(), converted.size(), &why)) << why;
    EXPECT_EQ(converted.size(), 128960u);
    EXPECT_EQ(converted, memoryImage());
}

// Without a version report the restore button keeps asking; a mixer that then answers unlocks it.
TEST_F(ConversionNetwork, ASilentMixerKeepsTheRestoreRefusedAsBusy) {
    mixer.with([](sim::SimMixer& m) {
        m.updateFirmware();
        m.setVersionSilent(true);
    });
    sim::TcpFront tcp(mixer, "127.0.0.1", 0);
    settings.tcpPort = tcp.port();
    sim::UdpFront udp({settings.probePort, "127.0.0.1"});
    startConversion();
    connect();
    ASSERT_TRUE(runUntil([&] { return received(0x2C) == 1; }));
    loop.runFor(100ms);
    EXPECT_EQ(conversionStore.m_mcuVer, 0);
    MemoryButtonDecision restore = restoreButtonDecision(conversionStore.isconnected, conversionStore.m_mcuVer);
    EXPECT_EQ(restore.message, "Device is busy!");
    ASSERT_TRUE(restore.askVersion);

    mixer.with([](sim::SimMixer& m) { m.setVersionSilent(false); });
    link->sendCMD_ReadMCUVersion();
    ASSERT_TRUE(runUntil([&] { return conversionStore.m_mcuVer == 64; }));
    EXPECT_TRUE(restoreButtonDecision(conversionStore.isconnected, conversionStore.m_mcuVer).proceed);
}

}  // namespace
