// Varnel Preset Conversion's link: the MCU version request and reply, the memory buttons'
// decisions, the old-layout backup (collection, reassembly, a mixer that already sends new-layout
// scenes), the old-layout file reader and the conversion of its scenes into the restore buffers,
// and what the link leaves out without the preset library.

#include "LinkFixture.h"

#include "platform/testing/TestMainLoop.h"

#include <numeric>

namespace linktest {
namespace {

constexpr size_t kOldFileSize = 121460;

std::vector<int> oneTo(int n) {
    std::vector<int> v(static_cast<size_t>(n));
    std::iota(v.begin(), v.end(), 1);
    return v;
}

Bytes slice(const Bytes& from, size_t at, size_t length) {
    return Bytes(from.begin() + static_cast<long>(at), from.begin() + static_cast<long>(at + length));
}

class Conversion : public LinkTest {
protected:
    Conversion() : LinkTest(kConversionConstants) {}

    // The export stream as it arrives: the memory frames in order.
    static Bytes exportStream(const sim::SimMixer& mixer) { return mixer.memoryImage(); }

    void feedInChunks(const Bytes& stream, size_t chunk) {
        for (size_t at = 0; at < stream.size(); at += chunk)
            link->parseData(stream.data() + at, std::min(chunk, stream.size() - at));
    }
};

TEST_F(Conversion, VersionRequestLeavesOnlyOverALinkThatIsReallyUp) {
    const Bytes request = hex("01 20 03 0A 00 01 00 01 2C 40");
    struct Case {
        const char* name;
        bool connected;
        int32_t type;
        bool switchedOn;
        bool tcp, serial;
    };
    const Case cases[] = {
        {"TCP link up", true, kConnectTypeTcp, true, true, false},
        {"serial link up", true, kConnectTypeSerial, true, false, true},
        {"not connected", false, kConnectTypeTcp, true, false, false},
        {"TCP connected but not switched on", true, kConnectTypeTcp, false, false, false},
        {"serial adapter answered but not switched on", true, kConnectTypeSerial, false, false, false},
        {"no device found", true, 0, true, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        transport.clear();
        gc->isconnected = c.connected;
        connection.type = c.type;
        connection.networkOpen = connection.serialOpen = c.switchedOn;
        link->sendCMD_ReadMCUVersion();
        EXPECT_EQ(transport.tcp, c.tcp ? std::vector<Bytes>{request} : std::vector<Bytes>{});
        EXPECT_EQ(transport.serial, c.serial ? std::vector<Bytes>{request} : std::vector<Bytes>{});
    }
}

// A reply of the given length with the version in byte 12 (a 13-byte reply's byte 12 is also
// where its trailer belongs).
Bytes versionReply(size_t length, uint8_t version) {
    Bytes f = makeFrame(length, 0x2C, 0, 0x00);
    if (length > 12) f[12] = version;
    return f;
}

TEST_F(Conversion, VersionRepliesAreReadFromByteTwelve) {
    struct Case {
        const char* name;
        Bytes frame;
        uint8_t version;  // m_mcuVer afterwards, from 7
        bool needConvert;
    };
    const std::vector<Case> cases = {
        {"12 bytes carry no version", with(makeFrame(12, 0x2C, 0, 0x3F), 11, 0x3F), 7, true},
        {"13 bytes, old firmware", versionReply(13, 0x3F), 0x3F, true},
        {"13 bytes, new firmware", versionReply(13, 0x40), 0x40, false},
        {"14 bytes, old firmware", versionReply(14, 0x3F), 0x3F, true},
        {"14 bytes, new firmware", versionReply(14, 0x40), 0x40, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        gc->m_mcuVer = 7;
        link->converToData(c.frame);
        EXPECT_EQ(gc->m_mcuVer, c.version);
        EXPECT_EQ(gc->isNeedConvert(), c.needConvert);
    }

    // From the stream, after noise and split anywhere; the last reply wins.
    const Bytes stream = concat({hex("55 01 20"), versionReply(14, 0x3E), versionReply(13, 0x40), versionReply(14, 0x3F)});
    for (size_t chunk : {size_t{1}, size_t{5}, stream.size()}) {
        SCOPED_TRACE(chunk);
        gc->m_mcuVer = 7;
        feedInChunks(stream, chunk);
        EXPECT_EQ(gc->m_mcuVer, 0x3F);
        EXPECT_EQ(link->receivedLength(), 0u);
    }
    EXPECT_TRUE(bus.messages.empty()) << "a version reply posts nothing";

    // Varnel Utility neither asks for a version nor keeps one.
    GCData utilityStore;
    StartMainView utility(utilityStore, *core);
    utility.parseData(versionReply(14, 0x40));
    EXPECT_EQ(utilityStore.m_mcuVer, 0);
}

TEST_F(Conversion, VersionNotReportedYetCountsAsOld) { EXPECT_TRUE(GCData(kConversionConstants).isNeedConvert()); }

TEST(ConversionDecision, MemoryButtonsByLinkAndVersion) {
    struct Case {
        const char* button;
        bool connected;
        uint8_t version;
        bool proceed;
        const char* message;
        bool askVersion;
    };
    const Case cases[] = {
        {"backup", false, 63, false, "Not connected to device.", false},
        {"backup", true, 0, true, "", false},
        {"backup", true, 63, true, "", false},
        {"backup", true, 64, false, "No need to convert presets.", false},
        {"backup", true, 255, false, "No need to convert presets.", false},
        {"restore", false, 64, false, "Not connected to device.", false},
        {"restore", true, 0, false, "Device is busy!", true},
        {"restore", true, 1, false, "Please update the firmware first!", true},
        {"restore", true, 63, false, "Please update the firmware first!", true},
        {"restore", true, 64, true, "", false},
        {"restore", true, 255, true, "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.button) + " " + std::to_string(c.version) + (c.connected ? "" : " offline"));
        const MemoryButtonDecision d = std::string(c.button) == "backup" ? backupButtonDecision(c.connected, c.version)
                                                                           : restoreButtonDecision(c.connected, c.version);
        EXPECT_EQ(d.proceed, c.proceed);
        EXPECT_EQ(d.message, c.message);
        EXPECT_EQ(d.askVersion, c.askVersion);
    }
}

// ---- Old-layout backup ------------------------------------------------------------------------

// The conversion program programs no firmware: whatever firmware acknowledgement the mixer sends
// (a ready acknowledgement of the main board would have sent it the end-of-transfer byte), it is
// sent nothing and nothing is posted.
TEST_F(Conversion, FirmwareAcknowledgementsAreNeverAnswered) {
    platform::TestMainLoop loop{true};
    loop.advance(std::chrono::seconds(1));
    for (uint8_t command : {uint8_t{0xFA}, uint8_t{0xF0}, uint8_t{0xFB}, uint8_t{0xF1}})
        for (uint8_t board = 0; board < 4; ++board)
            for (uint8_t status : {uint8_t{0}, uint8_t{1}}) {
                SCOPED_TRACE(testing::Message() << std::hex << int{command} << " board " << int{board} << " status "
                                                << int{status});
                Bytes ack = makeFrame(15, command, board, 0x00);
                ack[11] = 1;
                ack[12] = status;
                feed(ack);
            }
    EXPECT_TRUE(transport.all().empty());
    EXPECT_TRUE(bus.messages.empty());
    EXPECT_EQ(core->lastBoardReply, platform::MainExecutor::Clock::time_point{});
}

TEST_F(Conversion, OldLayoutBackupInAnyChunksWritesTheMixersMemory) {
    for (size_t chunk : {size_t{1}, size_t{1460}, size_t{4096}}) {
        SCOPED_TRACE(chunk);
        sim::SimMixer mixer(7, 63);
        mixer.setAtTraps(true);  // "@" at byte 215 of each scene, where byte 3 (0xD8) points
        mixer.setGarbageBetweenFrames(true);
        mixer.setChunkSizes({chunk});
        ASSERT_EQ(mixer.memory[0][3], 0xD8);
        ASSERT_EQ(mixer.memory[0][215], 0x40);
        attach(mixer);
        bus.messages.clear();
        gc->memoryFilePath = dir / ("old" + std::to_string(chunk) + ".moldPts");
        link->sendCMD_MemoryExport();
        pump(mixer);

        const Bytes file = readFile(gc->memoryFilePath);
        EXPECT_EQ(file.size(), kOldFileSize);
        EXPECT_EQ(file, mixer.memoryImage());
        EXPECT_EQ(bus.positions(MSG_BACKUP_PACKET), oneTo(30)) << "30 once, after the write";
        EXPECT_EQ(bus.count(MSG_PRESET_IDLE), 0u);
        EXPECT_EQ(link->receivedLength(), 0u);
        transport.mixer = nullptr;
    }
    EXPECT_TRUE(alerts().empty());
}

TEST_F(Conversion, AnOldLayoutBackupIsWrittenOnlyWhole) {
    struct Case {
        const char* name;
        std::function<void(sim::SimMixer&)> spoil;
        std::string path;
        const char* why;
    };
    const std::vector<Case> cases = {
        {"a dropped packet", [](sim::SimMixer& m) { m.dropExportPacket(7); }, "b.moldPts", "where packet 7 was due"},
        {"a trailer replaced", [](sim::SimMixer& m) { m.memory[24].back() = 0x00; }, "b.moldPts", "Packet 25 of 30"},
        {"packets out of order", [](sim::SimMixer& m) { std::swap(m.memory[2], m.memory[3]); }, "b.moldPts",
         "Packet 4 of 30 arrived from the mixer where packet 3 was due"},
        {"a folder that does not exist", [](sim::SimMixer&) {}, "no/such/folder/b.moldPts", "No such file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim::SimMixer mixer(5, 63);
        c.spoil(mixer);
        attach(mixer);
        ui.clearCalls();
        bus.messages.clear();
        gc->memoryFilePath = dir / c.path;
        link->sendCMD_MemoryExport();
        pump(mixer);

        EXPECT_FALSE(std::filesystem::exists(dir / c.path));
        const auto packets = bus.positions(MSG_BACKUP_PACKET);
        EXPECT_EQ(std::count(packets.begin(), packets.end(), 30), 0) << "never shown as saved";
        EXPECT_EQ(bus.positions(MSG_PRESET_IDLE), std::vector<int>{0});
        ASSERT_EQ(alerts().size(), 1u);
        EXPECT_NE(alerts()[0].find("backup failed"), std::string::npos) << alerts()[0];
        EXPECT_NE(alerts()[0].find(c.why), std::string::npos) << alerts()[0];
        transport.mixer = nullptr;
    }
}

// An alert that, while it is shown, lets the rest of the mixer's export arrive.
class FeedingAlertUi : public platform::ScriptedUiServices {
public:
    std::function<void()> duringAlert;
    int alert(const std::string& title, const std::string& message, const std::vector<std::string>& buttons) override {
        if (auto feedNow = std::exchange(duringAlert, nullptr)) feedNow();
        return ScriptedUiServices::alert(title, message, buttons);
    }
};

// A mixer already on the new firmware that has not reported its version passes the backup
// button; its 4612-byte scenes, cut at 4312 bytes, must never be saved as old-layout ones.
TEST_F(Conversion, ANewLayoutSceneEndsTheBackupAndMutesTheRestOfTheExport) {
    FeedingAlertUi feeding;
    sim::SimMixer mixer(9, 64);
    const Bytes stream = exportStream(mixer);
    const size_t firstRead = 5000;  // the first scene and the head of the second
    feeding.duringAlert = [&] { feedInChunks(slice(stream, firstRead, stream.size() - firstRead), 1460); };
    gc->memoryFilePath = dir / "never.moldPts";
    link->sendCMD_MemoryExport();
    link->parseData(stream.data(), firstRead);

    EXPECT_FALSE(std::filesystem::exists(gc->memoryFilePath));
    const auto alertCalls = feeding.callsOf("alert");
    ASSERT_EQ(alertCalls.size(), 1u) << "one alert, however many scenes follow";
    EXPECT_EQ(alertCalls[0].title, "Warning!");
    EXPECT_NE(alertCalls[0].message.find("new layout"), std::string::npos) << alertCalls[0].message;
    EXPECT_EQ(bus.messages, (std::vector<std::pair<int, int>>{{MSG_PRESET_IDLE, 0}})) << "no 257, no write";
    EXPECT_TRUE(gc->memoryExportData.empty());

    // Still muted for frames that come later; the next export request starts afresh.
    feedInChunks(stream, 4096);
    EXPECT_EQ(bus.messages.size(), 1u);
    sim::SimMixer old(9, 63);
    attach(old);
    gc->memoryFilePath = dir / "after.moldPts";
    link->sendCMD_MemoryExport();
    pump(old);
    EXPECT_EQ(readFile(gc->memoryFilePath), old.memoryImage());
    EXPECT_EQ(feeding.callsOf("alert").size(), 1u);
}

// A lost link ends the backup as its refusal does: what the mixer sends afterwards is taken only
// for the next export request.
TEST_F(Conversion, ALostLinkEndsTheBackupAndOnlyANewRequestTakesPackets) {
    const Bytes newScene = sim::SimMixer(9, 64).memory[0];
    const Bytes oldScene = sim::SimMixer(9, 63).memory[0];
    link->sendCMD_MemoryExport();
    link->parseData(slice(newScene, 0, 4312));
    ASSERT_EQ(alerts().size(), 1u) << "the new-layout scene is cut at the old length";
    link->parseData(slice(newScene, 4312, 300));
    Duziz::sendMsg(MSG_DISCONNECTED, 0, kMessageBusName);
    bus.messages.clear();
    link->parseData(oldScene);
    EXPECT_TRUE(bus.messages.empty());
    EXPECT_TRUE(gc->memoryExportData.empty());

    link->sendCMD_MemoryExport();
    link->parseData(oldScene);
    EXPECT_EQ(bus.messages, (std::vector<std::pair<int, int>>{{MSG_BACKUP_PACKET, 1}}));
    EXPECT_EQ(gc->memoryExportData.size(), 4312u);
}

// ---- Reading an old-layout file and converting its scenes -----------------------------------

TEST_F(Conversion, OldFileIsCheckedWholeBeforeAnythingChangesOrIsSent) {
    const Bytes good = sim::SimMixer(99, 63).memoryImage();
    ASSERT_EQ(good.size(), kOldFileSize);
    const size_t scene3 = 2 * 4312, dsp25 = 24 * 4312, geq29 = 113872, current30 = 117148;
    struct Case {
        const char* name;
        Bytes file;
        const char* why;  // a text the alert holds; null: accepted
    };
    const std::vector<Case> cases = {
        {"121,459 bytes", slice(good, 0, kOldFileSize - 1), "121459 bytes"},
        {"121,461 bytes", concat({good, hex("40")}), "121461 bytes"},
        {"a new-layout backup", sim::SimMixer(99, 64).memoryImage(), "128960 bytes"},
        {"a wrong start byte", with(good, scene3 + 2, 0x04), "Packet 3 of 30"},
        {"a wrong command", with(good, dsp25 + 8, 0x31), "Packet 25 of 30"},
        {"a wrong sub-code", with(good, geq29 + 9, 3), "Packet 29 of 30"},
        {"a wrong packet number", with(good, current30 + 10, 24), "Packet 30 of 30"},
        {"a trailer replaced", with(good, scene3 + 4311, 0x41), "Packet 3 of 30 is damaged"},
        {"the last trailer replaced", with(good, kOldFileSize - 1, 0x00), "Packet 30 of 30 is damaged"},
        {"30 old-layout frames in order", good, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        transport.clear();
        ui.clearCalls();
        std::memset(gc->m_sceneMemoryUpAlload, 0xEE, sizeof gc->m_sceneMemoryUpAlload);
        std::memset(gc->m_dspMemoryUpAlload, 0xEE, sizeof gc->m_dspMemoryUpAlload);
        std::memset(gc->m_cureSceneUpAlload, 0xEE, sizeof gc->m_cureSceneUpAlload);
        gc->m_sceneMemoryOld.reset();
        writeFile(dir / "check.moldPts", c.file);
        EXPECT_EQ(gc->ReadFiles_Memory(dir / "check.moldPts"), c.why == nullptr);
        if (c.why) {
            EXPECT_TRUE(transport.all().empty());
            EXPECT_EQ(gc->m_sceneMemoryUpAlload[0][0], 0xEE);
            EXPECT_EQ(gc->m_dspMemoryUpAlload[1][2891], 0xEE);
            EXPECT_EQ(gc->m_cureSceneUpAlload[4611], 0xEE);
            EXPECT_FALSE(gc->m_sceneMemoryOld) << "made only when an old-layout file is read";
            ASSERT_EQ(alerts().size(), 1u);
            EXPECT_NE(alerts()[0].find(c.why), std::string::npos) << alerts()[0];
        } else {
            EXPECT_TRUE(alerts().empty());
            ASSERT_EQ(transport.tcp.size(), 1u) << "the first converted scene goes out at once";
            EXPECT_EQ(transport.tcp[0].size(), 4612u);
            EXPECT_EQ(slice(transport.tcp[0], 0, 31), with(slice(good, 0, 31), 8, 0x31));
            EXPECT_EQ(Bytes(&gc->m_dspMemoryUpAlload[0][0], &gc->m_dspMemoryUpAlload[0][0] + 5784),
                      slice(good, dsp25, 5784));
            EXPECT_EQ(Bytes(gc->m_geqMemoryUpAlload, gc->m_geqMemoryUpAlload + 3276), slice(good, geq29, 3276));
            EXPECT_EQ(slice(Bytes(gc->m_cureSceneUpAlload, gc->m_cureSceneUpAlload + 4612), 0, 31),
                      slice(good, current30, 31));
        }
    }
    ui.answerOpen(std::nullopt);
    EXPECT_FALSE(gc->ReadMemoryFileFromLocal());
    EXPECT_EQ(ui.callsOf("open").at(0).options, std::vector<std::string>{"moldPts"});
}

TEST_F(Conversion, SceneConvertsToTheNewLayoutByPosition) {
    // Old scenes whose every byte tells its position (and its scene), in buffers full of 0xFF.
    auto oldScene = [](uint8_t sub, uint8_t packet) {
        Bytes f = makeFrame(4312, 0x2F, sub);
        f[10] = packet;
        for (size_t i = 11; i + 1 < f.size(); ++i) f[i] = static_cast<uint8_t>(i * 7 + packet);
        return f;
    };
    Bytes stored;
    for (uint8_t p = 1; p <= 24; ++p) stored = concat({stored, oldScene(4, p)});
    const Bytes current = oldScene(5, 30);
    std::memset(gc->m_sceneMemoryUpAlload, 0xFF, sizeof gc->m_sceneMemoryUpAlload);
    std::memset(gc->m_cureSceneUpAlload, 0xFF, sizeof gc->m_cureSceneUpAlload);
    gc->proceDataMemoryAry_AllSences();
    EXPECT_EQ(gc->m_sceneMemoryUpAlload[0][0], 0xFF) << "nothing to convert before an old-layout file was read";
    gc->procesAllImportMemoryData_beforeSend(stored, 0);
    gc->procesAllImportMemoryData_beforeSend(current, 4);
    gc->proceDataMemoryAry_AllSences();

    const Bytes twelves(4, 12), zeros6(6, 0);
    Bytes end(17, 0);
    end = concat({end, hex("01 0C 01 01"), Bytes(25, 0), hex("40")});
    for (int scene : {0, 13, 24}) {
        SCOPED_TRACE(scene);
        const Bytes old = scene < 24 ? slice(stored, 4312 * static_cast<size_t>(scene), 4312) : current;
        const uint8_t* target = scene < 24 ? gc->m_sceneMemoryUpAlload[scene] : gc->m_cureSceneUpAlload;
        const Bytes converted(target, target + 4612);
        struct Row {
            const char* name;
            size_t at;
            Bytes expected;
        };
        const std::vector<Row> rows = {
            {"header, length byte 0xD8 and command 0x2F kept", 0, slice(old, 0, 31)},
            {"block 0 moved", 31, slice(old, 31, 98)},
            {"block 0 new fields", 129, twelves},
            {"block 0 spare", 133, zeros6},
            {"block 1 moved", 139, slice(old, 131, 98)},
            {"block 1 new fields", 237, twelves},
            {"block 1 spare", 241, zeros6},
            {"block 32 moved", 3487, slice(old, 3231, 98)},
            {"block 32 new fields", 3585, twelves},
            {"block 32 spare", 3589, zeros6},
            {"tail", 3595, slice(old, 3331, 970)},
            {"auto-mix and cross-fader, zeros, trailer", 4565, end},
        };
        for (const auto& row : rows) EXPECT_EQ(slice(converted, row.at, row.expected.size()), row.expected) << row.name;
        EXPECT_EQ(converted[3], 0xD8);
        EXPECT_EQ(converted[8], 0x2F);
    }

    // The old frame's last 11 bytes are not carried over.
    const Bytes before(gc->m_cureSceneUpAlload, gc->m_cureSceneUpAlload + 4612);
    Bytes changed = current;
    std::fill(changed.begin() + 4301, changed.end(), 0x99);
    gc->procesAllImportMemoryData_beforeSend(changed, 4);
    gc->proceDataMemoryAry_singleSence(24);
    EXPECT_EQ(Bytes(gc->m_cureSceneUpAlload, gc->m_cureSceneUpAlload + 4612), before);

    // Sent with the import command; the stored frames keep the export command.
    link->sendCMD_MemoryImport_Scence(13);
    link->sendCMD_MemoryImport_CurrentScence();
    link->sendCMD_MemoryImport_Scence(24);
    ASSERT_EQ(transport.tcp.size(), 2u);
    EXPECT_EQ(transport.tcp[0], with(Bytes(gc->m_sceneMemoryUpAlload[13], gc->m_sceneMemoryUpAlload[13] + 4612), 8, 0x31));
    EXPECT_EQ(transport.tcp[1], with(before, 8, 0x31));
    EXPECT_EQ(gc->m_sceneMemoryUpAlload[13][8], 0x2F);
}

// ---- Without the preset library ---------------------------------------------------------------

TEST_F(Conversion, PresetListsAreNeverAskedForAndPresetRepliesIgnored) {
    link->sendCMD_ReadPresetList(0);
    gc->presetExportData = makeFrame(70, 0x32, 1);
    link->sendCMD_LoadPresetFromLocal(0, 3);
    EXPECT_TRUE(transport.all().empty());

    // Nothing asked for a list, so a list reply answers nothing: it fills no table, asks for no
    // other and ends nothing.
    sim::SimMixer mixer(4);
    attach(mixer);
    const Bytes scenesBefore(gc->m_scenPreset[0], gc->m_scenPreset[0] + 16);
    for (uint8_t sub = 1; sub <= 4; ++sub) {
        mixer.receive(makeFrame(11, 0x18, sub));
    }
    pump(mixer);
    EXPECT_TRUE(transport.all().empty());
    EXPECT_EQ(Bytes(gc->m_scenPreset[0], gc->m_scenPreset[0] + 16), scenesBefore);
    EXPECT_TRUE(bus.messages.empty());
    EXPECT_TRUE(window.bars.empty());

    // A preset reply is neither reported nor offered for saving.
    bus.messages.clear();
    link->parseData(mixer.presets[0][2]);
    EXPECT_TRUE(bus.messages.empty());
    EXPECT_TRUE(ui.callsOf("save").empty());
}

// ---- The simulated mixer's old firmware ------------------------------------------------------

TEST(OldFirmwareMixer, AnswersItsVersionKeepsOldScenesAndTakesTheNewLayoutAfterTheUpdate) {
    sim::SimMixer mixer(2, 63);
    mixer.receive(hex("01 20 03 0A 00 01 00 01 2C 40"));
    const Bytes answer = mixer.takeChunk();
    ASSERT_EQ(answer.size(), 14u);
    EXPECT_EQ(slice(answer, 0, 10), hex("01 20 03 0E 00 01 00 01 2C 00"));
    EXPECT_EQ(answer[12], 63);
    EXPECT_EQ(answer[13], 0x40);
    mixer.setVersionSilent(true);
    mixer.receive(hex("01 20 03 0A 00 01 00 01 2C 40"));
    EXPECT_FALSE(mixer.hasOutput());
    EXPECT_TRUE(mixer.rejected.empty());

    EXPECT_EQ(mixer.memoryImage().size(), kOldFileSize);
    EXPECT_EQ(mixer.memory[29].size(), 4312u);
    // An old-layout scene is imported and acknowledged.
    Bytes scene = with(with(mixer.memory[4], 8, 0x31), 100, 0x5A);
    mixer.receive(scene);
    EXPECT_EQ(mixer.memory[4], with(scene, 8, 0x2F));
    EXPECT_EQ(mixer.takeChunk(), with(makeFrame(12, 0x30, 4, 0), 10, 5));

    mixer.updateFirmware();
    EXPECT_EQ(mixer.firmwareVersion(), 64);
    EXPECT_EQ(mixer.memoryImage().size(), 128960u);
    EXPECT_EQ(mixer.memory[4][3], 0x04);
    // A frame imported with another length byte is exported with its own.
    Bytes converted = makeFrame(4612, 0x31, 4, 0x21);
    converted[3] = 0xD8;
    converted[10] = 1;
    mixer.receive(converted);
    EXPECT_EQ(mixer.memory[0], with(with(converted, 3, 0x04), 8, 0x2F));
}

}  // namespace
}  // namespace linktest
