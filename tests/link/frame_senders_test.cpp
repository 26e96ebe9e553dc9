// Every sender's exact bytes, the guard on the connection state, and the serial pause.

#include "LinkFixture.h"

#include <functional>

namespace linktest {
namespace {

class FrameSenders : public LinkTest {};

struct SenderCase {
    const char* name;
    std::function<void(StartMainView&, GCData&, XCoreData&)> send;
    std::string expected;
};

TEST_F(FrameSenders, EachSenderWritesItsFrame) {
    const std::string zeros16 = "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00";
    const std::string vocal = "56 6F 63 61 6C 20 20 20 20 20 20 20 20 20 20 20";  // "Vocal" and 11 spaces
    const std::vector<SenderCase> cases = {
        {"preset list of DSP channel", [](auto& l, auto&, auto&) { l.sendCMD_ReadPresetList(0); },
         "01 20 03 0B 00 01 00 01 18 01 40"},
        {"preset list of scenes", [](auto& l, auto&, auto&) { l.sendCMD_ReadPresetList(3); },
         "01 20 03 0B 00 01 00 01 18 04 40"},
        {"delete keeps the index as it is", [](auto& l, auto&, auto&) { l.sendCMD_DeletePreset(2, 5); },
         "01 20 03 0C 00 01 00 01 17 03 05 40"},
        {"read preset counts from 1", [](auto& l, auto&, auto&) { l.sendCMD_LoadPresetFromDevice(0, 5, 9); },
         "01 20 03 0C 00 01 00 01 32 01 06 40"},
        {"check frame is 10 bytes", [](auto& l, auto&, auto&) { l.sendCMD_CheckDevice(); },
         "01 20 03 0A 00 01 00 01 25 40"},
        {"memory export", [](auto& l, auto&, auto&) { l.sendCMD_MemoryExport(); }, "01 20 03 0B 00 01 00 01 2F 00 40"},
        {"enter programming", [](auto& l, auto&, auto&) { l.sendCMD_Begin_enterProgram(); },
         "01 20 03 0B 00 01 00 01 F8 00 40"},
        {"search", [](auto& l, auto&, auto&) { l.sendCMD_SearchDevice(); }, "01 20 03 0B 00 01 00 01 F9 01 40"},
        {"ready, main board with 300 blocks",
         [](auto& l, auto&, auto& c) {
             c.dSegement[0] = 300;
             l.sendCMD_isReady(0);
         },
         "01 20 03 0F 00 01 00 01 FA 00 01 2C 01 01 40"},
        {"ready, second DSP",
         [](auto& l, auto&, auto& c) {
             c.dSegement[3] = 7;
             l.sendCMD_isReady(3);
         },
         "01 20 03 0F 00 01 00 01 F0 03 00 07 01 01 40"},
        {"ready, GUI pictures",
         [](auto& l, auto&, auto& c) {
             c.caculateArray(4);
             l.sendCMD_isReady(4);
         },
         "01 20 03 0F 00 01 00 01 F0 04 00 FA 01 15 40"},
        {"DSP firmware read", [](auto& l, auto&, auto&) { l.sendCMD_ReadFirmwareFromDSP(1); },
         "01 20 03 0F 00 01 00 01 F2 03 01 01 01 01 40"},
        {"rename carries the stored name",
         [](auto& l, auto& g, auto&) {
             g.setPresetName(0, 2, "Vocal");
             l.sendCMD_savePresetNameToD(0, 2, 5);
         },
         "01 20 03 1D 00 01 00 01 16 01 06 02 " + vocal + " 40"},
        {"rename of scene 24 has no name", [](auto& l, auto&, auto&) { l.sendCMD_savePresetNameToD(3, 24, 0); },
         "01 20 03 1D 00 01 00 01 16 04 01 18 " + zeros16 + " 40"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        transport.clear();
        c.send(*link, *gc, *core);
        ASSERT_EQ(transport.tcp.size(), 1u);
        EXPECT_EQ(transport.tcp[0], hex(c.expected));
        EXPECT_EQ(transport.reads, 1) << "every TCP frame leaves a read pending";
        EXPECT_TRUE(transport.serial.empty());
    }
}

TEST_F(FrameSenders, ProgramBlockFrameAndSerialPause) {
    core->dSegement[0] = 3;
    core->dSegement[2] = 300;
    for (size_t i = 0; i < core->DspData1.size(); ++i) core->DspData1[i] = static_cast<uint8_t>(i * 7 + i / 1024);
    for (size_t i = 0; i < 3 * 1024; ++i) core->LPC1820[i] = static_cast<uint8_t>(i / 3);
    connection.type = kConnectTypeSerial;

    link->sendCMD_ProgramNormal(0x0102, 2);
    ASSERT_EQ(transport.serial.size(), 1u);
    const Bytes& f = transport.serial[0];
    ASSERT_EQ(f.size(), 1040u);
    EXPECT_EQ(Bytes(f.begin(), f.begin() + 12), hex("01 20 03 01 00 01 00 01 F1 02 01 02"));
    EXPECT_TRUE(std::equal(f.begin() + 12, f.begin() + 1036, core->DspData1.begin() + 0x0102 * 1024));
    EXPECT_EQ(Bytes(f.begin() + 1036, f.end()), hex("00 00 00 40"));
    EXPECT_EQ(sleeper.sleeps(), std::vector<double>{0.1});
    EXPECT_EQ(transport.reads, 0);

    // The main board is never delayed; its blocks carry command 0xFB.
    sleeper.clear();
    link->sendCMD_ProgramNormal(2, 0);
    ASSERT_EQ(transport.serial.size(), 2u);
    EXPECT_EQ(Bytes(transport.serial[1].begin() + 8, transport.serial[1].begin() + 12), hex("FB 00 00 02"));
    EXPECT_TRUE(std::equal(transport.serial[1].begin() + 12, transport.serial[1].begin() + 1036,
                           core->LPC1820.begin() + 2048));
    EXPECT_TRUE(sleeper.sleeps().empty());

    // Over TCP no board is delayed.
    connection.type = kConnectTypeTcp;
    link->sendCMD_ProgramNormal(5, 2);
    EXPECT_EQ(transport.tcp.size(), 1u);
    EXPECT_TRUE(sleeper.sleeps().empty());
}

TEST_F(FrameSenders, PastTheLastBlockOnlyTheMainBoardGetsTheEndByte) {
    core->dSegement[0] = 4;
    core->dSegement[1] = 4;
    link->updateLock = 1;
    link->sendCMD_ProgramNormal(4, 0);
    ASSERT_EQ(transport.tcp.size(), 1u);
    EXPECT_EQ(transport.tcp[0], hex("04"));
    EXPECT_EQ(link->updateLock, 0);

    transport.clear();
    for (int board = 1; board < 4; ++board) link->sendCMD_ProgramNormal(4, board);
    link->sendCMD_ProgramNormal(1024, 1);
    link->sendCMD_ProgramNormal(0, 4);
    link->sendCMD_ProgramNormal(-1, 1);
    EXPECT_TRUE(transport.all().empty());
}

TEST_F(FrameSenders, RestorePacketsComeFromTheRestoreBuffers) {
    for (size_t i = 0; i < sizeof gc->m_dspMemoryUpAlload; ++i) (&gc->m_dspMemoryUpAlload[0][0])[i] = static_cast<uint8_t>(i);
    for (size_t i = 0; i < sizeof gc->m_sceneMemoryUpAlload; ++i) (&gc->m_sceneMemoryUpAlload[0][0])[i] = static_cast<uint8_t>(i / 5);
    gc->m_geqMemoryUpAlload[100] = 0xAB;
    gc->m_cureSceneUpAlload[4611] = 0xCD;

    link->sendCMD_MemoryImport_FatChanel(1);
    link->sendCMD_MemoryImport_Scence(23);
    link->sendCMD_MemoryImport_GEQ();
    link->sendCMD_MemoryImport_CurrentScence();
    link->sendCMD_MemoryImport_DFX(0);
    ASSERT_EQ(transport.tcp.size(), 5u);
    Bytes expected(gc->m_dspMemoryUpAlload[1], gc->m_dspMemoryUpAlload[1] + 2892);
    expected[8] = 0x31;
    EXPECT_EQ(transport.tcp[0], expected);
    expected.assign(gc->m_sceneMemoryUpAlload[23], gc->m_sceneMemoryUpAlload[23] + 4612);
    expected[8] = 0x31;
    EXPECT_EQ(transport.tcp[1], expected);
    EXPECT_EQ(transport.tcp[2].size(), 3276u);
    EXPECT_EQ(transport.tcp[2][100], 0xAB);
    EXPECT_EQ(transport.tcp[3].size(), 4612u);
    EXPECT_EQ(transport.tcp[3][4611], 0xCD);
    EXPECT_EQ(transport.tcp[4].size(), 2300u);
    for (auto& f : transport.tcp) EXPECT_EQ(f[8], 0x31);

    transport.clear();
    link->sendCMD_MemoryImport_Scence(24);
    link->sendCMD_MemoryImport_Scence(-1);
    link->sendCMD_MemoryImport_FatChanel(2);
    link->sendCMD_MemoryImport_DFX(2);
    EXPECT_TRUE(transport.all().empty());
}

TEST_F(FrameSenders, PresetWriteSendsTheHeldFrame) {
    gc->presetExportData = makeFrame(70, 0x32, 1, 0x5A);
    link->sendCMD_LoadPresetFromLocal(0, 6);
    ASSERT_EQ(transport.tcp.size(), 1u);
    Bytes expected = makeFrame(70, 0x32, 1, 0x5A);
    expected[8] = 0x23;
    expected[10] = 7;
    EXPECT_EQ(transport.tcp[0], expected);

    // A scene keeps its byte 10.
    transport.clear();
    gc->presetExportData = makeFrame(4569, 0x32, 4, 0x5A);
    link->sendCMD_LoadPresetFromLocal(3, 6);
    ASSERT_EQ(transport.tcp.size(), 1u);
    EXPECT_EQ(transport.tcp[0][8], 0x23);
    EXPECT_EQ(transport.tcp[0][10], 0x5A);

    // Held data of another length, or another type, sends nothing.
    transport.clear();
    gc->presetExportData = makeFrame(44, 0x32, 2);
    link->sendCMD_LoadPresetFromLocal(0, 1);
    link->sendCMD_LoadPresetFromLocal(4, 1);
    link->sendCMD_LoadPresetFromLocal(-1, 1);
    EXPECT_TRUE(transport.all().empty());
}

TEST_F(FrameSenders, NothingLeavesUnlessTheLinkIsUpAndSwitchedOn) {
    struct State {
        const char* name;
        bool isconnected;
        int32_t type;
        bool serialOpen, networkOpen;
        bool real;
    };
    const State states[] = {
        {"no device found yet", true, 0, true, true, false},
        {"link down", false, kConnectTypeTcp, true, true, false},
        {"TCP not switched on", true, kConnectTypeTcp, true, false, false},
        {"serial not switched on", true, kConnectTypeSerial, false, true, false},
        {"TCP switched on", true, kConnectTypeTcp, false, true, true},
        {"serial switched on", true, kConnectTypeSerial, true, false, true},
    };
    core->dSegement[0] = 2;
    core->dSegement[1] = 2;
    gc->presetExportData = makeFrame(70, 0x32, 1);
    for (const auto& s : states) {
        SCOPED_TRACE(s.name);
        gc->isconnected = s.isconnected;
        connection.type = s.type;
        connection.serialOpen = s.serialOpen;
        connection.networkOpen = s.networkOpen;
        EXPECT_EQ(link->isRealConnect(), s.real);
        transport.clear();
        link->setIsOnLine(true);
        link->sendCMD_ReadPresetList(0);
        link->sendCMD_DeletePreset(0, 1);
        link->sendCMD_savePresetNameToD(0, 1, 1);
        link->sendCMD_LoadPresetFromDevice(0, 1, 1);
        link->sendCMD_LoadPresetFromLocal(0, 1);
        link->sendCMD_CheckDevice();
        link->sendCMD_MemoryExport();
        link->sendCMD_MemoryImport_Scence(0);
        link->sendCMD_MemoryImport_GEQ();
        link->sendCMD_ProgramNormal(0, 1);
        link->sendCMD_ProgramNormal(2, 0);
        link->sendCMD_ProgramGUI(0, 0);
        link->sendCMD_ReadFirmwareFromDSP(0);
        link->sendCMD_Begin_enterProgram();
        link->sendCMD_SearchDevice();
        link->sendCMD_isReady(0);
        EXPECT_EQ(transport.all().size(), s.real ? 16u : 0u);
        EXPECT_EQ(link->isOnLine(), !s.real) << "only a sent check request clears the online flag";
    }
}

TEST_F(FrameSenders, NoTransportOrAFailingOneIsNotTheSendersProblem) {
    struct Throwing : LinkTransport {
        int reads = 0;
        void writeTcp(const uint8_t*, size_t) override { throw std::runtime_error("socket gone"); }
        void readNextTcp() override { ++reads; }
        void writeSerial(const uint8_t*, size_t) override { throw std::runtime_error("port gone"); }
    } throwing;
    link->setTransport(&throwing);
    EXPECT_NO_THROW(link->sendCMD_ReadPresetList(0));
    EXPECT_EQ(throwing.reads, 1) << "the read is queued after a failed write too";
    connection.type = kConnectTypeSerial;
    EXPECT_NO_THROW(link->sendCMD_ReadPresetList(0));
    link->setTransport(nullptr);
    EXPECT_NO_THROW(link->sendCMD_ReadPresetList(0));
}

TEST_F(FrameSenders, FrameBuildersFillExactlyTheirLength) {
    std::vector<uint8_t> buffer(3100, 0xEE);
    XCoreData::PackageofReadFirmwareFromDSP(buffer.data(), 2);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 15), Bytes(15, 0)) << "an unknown type leaves zeros";
    EXPECT_EQ(buffer[15], 0xEE);

    core->m_guiData[(3 * 21 + 2) * 3072] = 0x99;
    core->PackageofUpdateGUIFirmware(buffer.data(), 2, 3);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 13), hex("01 20 03 F0 00 01 00 01 F1 03 00 02 99"));
    EXPECT_EQ(Bytes(buffer.begin() + 3084, buffer.begin() + 3089), hex("00 00 00 40 EE"));

    uint8_t check[12];
    std::fill(std::begin(check), std::end(check), 0xEE);
    StartMainView::PackageOfReadDeviceName(check);
    EXPECT_EQ(Bytes(check, check + 12), hex("01 20 03 0A 00 01 00 01 25 40 EE EE"));
}

}  // namespace
}  // namespace linktest
