// Whole sequences end to end against the simulated mixer: preset lists, backup, restore, presets
// to and from files, and the firmware transfer of boards 0-3.

#include "LinkFixture.h"

namespace linktest {
namespace {

class Sequences : public LinkTest {
protected:
    Sequences() { attach(mixer); }

    std::vector<int> oneTo(int n) {
        std::vector<int> v;
        for (int i = 1; i <= n; ++i) v.push_back(i);
        return v;
    }

    // Asks for a backup and answers it with the mixer's memory, packet `spoilt` changed by spoil,
    // in chunks of 1460 bytes.
    void backUpWithSpoiltPacket(int spoilt, const std::function<void(Bytes&)>& spoil) {
        Bytes stream;
        for (int p = 1; p <= 30; ++p) {
            Bytes packet = mixer.memory[static_cast<size_t>(p - 1)];
            if (p == spoilt) spoil(packet);
            stream.insert(stream.end(), packet.begin(), packet.end());
        }
        transport.mixer = nullptr;  // the stream answers the request
        link->sendCMD_MemoryExport();
        for (size_t at = 0; at < stream.size(); at += 1460)
            feed(Bytes(stream.begin() + at, stream.begin() + std::min(stream.size(), at + 1460)));
    }

    // Writes a backup file holding another mixer's memory.
    std::string otherBackup(const std::string& name) {
        sim::SimMixer other(99);
        writeFile(dir / name, other.memoryImage());
        return dir / name;
    }

    sim::SimMixer mixer{3};
};

TEST_F(Sequences, PresetListsOfTheFourTypes) {
    struct Case {
        const char* name;
        std::vector<size_t> chunks;
        bool traps;
    };
    const Case cases[] = {{"whole replies", {4096}, false}, {"one byte at a time", {1}, false},
                          {"odd chunks with @ traps", {7, 1460, 3}, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        mixer = sim::SimMixer(3);
        mixer.setChunkSizes(c.chunks);
        mixer.setAtTraps(c.traps);
        mixer.setGarbageBetweenFrames(true);
        bus.messages.clear();
        window.bars.clear();
        transport.clear();

        link->sendCMD_ReadPresetList(0);
        pump(mixer);

        EXPECT_EQ(bus.messages, (std::vector<std::pair<int, int>>{{256, 0}}));
        EXPECT_EQ(window.bars, std::vector<bool>{false});
        ASSERT_EQ(transport.tcp.size(), 4u);
        for (int type = 0; type < 4; ++type) {
            EXPECT_EQ(transport.tcp[static_cast<size_t>(type)][9], type + 1);
            for (int slot = 0; slot < kPresetSlots[type]; ++slot) {
                const auto& name = mixer.names[static_cast<size_t>(type)][static_cast<size_t>(slot)];
                ASSERT_TRUE(std::equal(name.begin(), name.end(), gc->nameTable(type) + slot * 16))
                    << "type " << type << " slot " << slot;
            }
        }
    }
    EXPECT_EQ(gc->gPresetName(3, 3), "004.Scene 3-4       ");
}

TEST_F(Sequences, BackupWritesTheMixersMemory) {
    struct Case {
        const char* name;
        std::vector<size_t> chunks;
        bool garbage, traps;
    };
    const Case cases[] = {{"1-byte chunks", {1}, false, false},
                          {"1460-byte chunks with garbage", {1460}, true, false},
                          {"4096-byte chunks with @ traps", {4096}, false, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        mixer = sim::SimMixer(5);
        mixer.setChunkSizes(c.chunks);
        mixer.setGarbageBetweenFrames(c.garbage);
        mixer.setAtTraps(c.traps);
        bus.messages.clear();
        gc->memoryFilePath = dir / "backup.mprt";
        std::filesystem::remove(gc->memoryFilePath);

        link->sendCMD_MemoryExport();
        pump(mixer);

        EXPECT_EQ(readFile(gc->memoryFilePath), mixer.memoryImage());
        EXPECT_EQ(bus.positions(MSG_BACKUP_PACKET), oneTo(30));
        EXPECT_EQ(bus.count(MSG_PRESET_IDLE), 0u);
        EXPECT_TRUE(alerts().empty());
    }
    // A second backup in the same run makes a file of the same exact size.
    gc->memoryFilePath = dir / "second.mprt";
    link->sendCMD_MemoryExport();
    pump(mixer);
    EXPECT_EQ(readFile(dir / "second.mprt").size(), 128960u);
}

TEST_F(Sequences, AFailedBackupIsReportedAndNeverShownAsSaved) {
    struct Case {
        const char* name;
        std::function<void(sim::SimMixer&, GCData&)> spoil;
        const char* why;
    };
    const Case cases[] = {
        {"a dropped packet", [](sim::SimMixer& m, GCData&) { m.dropExportPacket(7); },
         "Packet 8 of 30 arrived from the mixer where packet 7 was due"},
        {"the last packet lost", [](sim::SimMixer& m, GCData&) { m.dropExportPacket(30); }, nullptr},
        {"no file chosen", [](sim::SimMixer&, GCData& g) { g.memoryFilePath.clear(); }, "No backup file"},
        {"a folder that does not exist",
         [this](sim::SimMixer&, GCData& g) { g.memoryFilePath = dir / "missing/folder/b.mprt"; }, "No such file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        mixer = sim::SimMixer(5);
        gc->memoryFilePath = dir / "failed.mprt";
        c.spoil(mixer, *gc);
        ui.clearCalls();
        bus.messages.clear();

        link->sendCMD_MemoryExport();
        pump(mixer);

        EXPECT_FALSE(std::filesystem::exists(dir / "failed.mprt"));
        const auto packets = bus.positions(MSG_BACKUP_PACKET);
        EXPECT_EQ(std::count(packets.begin(), packets.end(), 30), 0) << "never shown as saved";
        if (c.why) {
            EXPECT_EQ(bus.positions(MSG_PRESET_IDLE), std::vector<int>{0});
            ASSERT_EQ(alerts().size(), 1u);
            EXPECT_NE(alerts()[0].find("backup failed"), std::string::npos) << alerts()[0];
            EXPECT_NE(alerts()[0].find(c.why), std::string::npos) << alerts()[0];
        } else {
            EXPECT_TRUE(alerts().empty()) << "without packet 30 the backup simply has not ended";
        }
        EXPECT_TRUE(gc->memoryExportData.size() < 128960u);
    }
}

// A stray byte inside an export packet makes it complete a byte early, at its fixed length, and
// the packets after it line up again: the damaged packet lacks its trailer, so the backup fails.
TEST_F(Sequences, AStrayByteInsideAnExportPacketFailsTheBackup) {
    gc->memoryFilePath = dir / "stray.mprt";
    const Bytes& seventh = mixer.memory[6];
    ASSERT_NE(seventh[seventh.size() - 2], 0x40) << "the byte that takes the trailer's place is no trailer";
    backUpWithSpoiltPacket(7, [](Bytes& packet) { packet.insert(packet.begin() + 2000, 0x5A); });

    EXPECT_FALSE(std::filesystem::exists(dir / "stray.mprt"));
    const auto packets = bus.positions(MSG_BACKUP_PACKET);
    EXPECT_EQ(std::count(packets.begin(), packets.end(), 30), 0) << "never shown as saved";
    EXPECT_EQ(std::count(packets.begin(), packets.end(), 8), 1) << "the packets after it line up again";
    EXPECT_EQ(bus.positions(MSG_PRESET_IDLE), std::vector<int>{0});
    ASSERT_EQ(alerts().size(), 1u);
    EXPECT_NE(alerts()[0].find("backup failed"), std::string::npos) << alerts()[0];
    EXPECT_NE(alerts()[0].find("Packet 7 of 30"), std::string::npos) << alerts()[0];
    EXPECT_TRUE(gc->memoryExportData.empty());
    EXPECT_EQ(link->receivedLength(), 0u);
}

// A byte lost inside an export packet: the packet completes at its fixed length with the head of
// the next one, which is lost with it, and the stream goes on at the packet after that. The alert
// names the damaged packet, the first fault, rather than the one that came out of order.
TEST_F(Sequences, AByteLostInsideAnExportPacketNamesThatPacket) {
    gc->memoryFilePath = dir / "lost-byte.mprt";
    backUpWithSpoiltPacket(2, [](Bytes& packet) { packet.erase(packet.begin() + 2000); });

    EXPECT_FALSE(std::filesystem::exists(dir / "lost-byte.mprt"));
    ASSERT_EQ(alerts().size(), 1u);
    EXPECT_NE(alerts()[0].find("Packet 2 of 30 arrived damaged"), std::string::npos) << alerts()[0];
    EXPECT_EQ(bus.positions(MSG_BACKUP_PACKET), (std::vector<int>{1, 2}));
    EXPECT_EQ(bus.positions(MSG_PRESET_IDLE), std::vector<int>{0});
}

// A packet out of order ends the backup at once: the packets after it are not taken, and no
// file is written.
TEST_F(Sequences, PacketsOutOfOrderAreNoBackup) {
    gc->memoryFilePath = dir / "order.mprt";
    std::vector<Bytes> packets(mixer.memory.begin(), mixer.memory.end());
    std::swap(packets[3], packets[4]);
    link->sendCMD_MemoryExport();
    for (const Bytes& packet : packets) feed(packet);
    EXPECT_FALSE(std::filesystem::exists(dir / "order.mprt"));
    ASSERT_EQ(alerts().size(), 1u);
    EXPECT_NE(alerts()[0].find("Packet 5 of 30 arrived from the mixer where packet 4 was due"), std::string::npos)
        << alerts()[0];
    EXPECT_EQ(bus.positions(MSG_BACKUP_PACKET), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(bus.positions(MSG_PRESET_IDLE), std::vector<int>{0});
    EXPECT_TRUE(gc->memoryExportData.empty());
    EXPECT_FALSE(link->isMemoryExportUnderWay());
}

TEST_F(Sequences, ALinkLostDuringABackupDropsThePartialBuffer) {
    gc->memoryFilePath = dir / "lost.mprt";
    mixer.setChunkSizes({4612});
    link->sendCMD_MemoryExport();
    for (int i = 0; i < 10; ++i) link->parseData(mixer.takeChunk());
    EXPECT_GT(gc->memoryExportData.size(), 0u);
    Duziz::sendMsg(MSG_DISCONNECTED, 0, kMessageBusName);
    EXPECT_TRUE(gc->memoryExportData.empty());
    bus.messages.clear();
    pump(mixer);  // the rest arrives after the link came back: no backup is under way any more
    EXPECT_FALSE(std::filesystem::exists(dir / "lost.mprt"));
    EXPECT_TRUE(bus.messages.empty());
    EXPECT_TRUE(alerts().empty());
    EXPECT_TRUE(gc->memoryExportData.empty());
}

// A half-received frame left behind by a lost link would swallow the first replies on the next
// one (the preset lists after a reconnect never load) and could complete as a stray export packet.
TEST_F(Sequences, ALinkLostMidFrameLeavesNoPartialFrameBehind) {
    gc->memoryFilePath = dir / "cut.mprt";
    mixer.setChunkSizes({1000});
    link->sendCMD_MemoryExport();
    link->parseData(mixer.takeChunk());  // the link drops 1000 bytes into packet 1
    EXPECT_EQ(link->receivedLength(), 1000u);
    Duziz::sendMsg(MSG_DISCONNECTED, 0, kMessageBusName);
    EXPECT_EQ(link->receivedLength(), 0u);

    mixer = sim::SimMixer(3);  // the link is back; the mixer has nothing pending
    bus.messages.clear();
    link->sendCMD_ReadPresetList(0);
    pump(mixer);
    EXPECT_EQ(bus.messages, (std::vector<std::pair<int, int>>{{256, 0}}));
    EXPECT_EQ(link->receivedLength(), 0u);
}

TEST_F(Sequences, ASilentMixerChangesNothing) {
    mixer.setSilent(true);
    gc->memoryFilePath = dir / "silent.mprt";
    link->sendCMD_MemoryExport();
    link->sendCMD_ReadPresetList(0);
    pump(mixer);
    EXPECT_TRUE(bus.messages.empty());
    EXPECT_EQ(mixer.received.size(), 2u);
    EXPECT_EQ(gc->gPresetName(0, 0), "001.------empty-----");
}

TEST_F(Sequences, RestoreWritesTheFileIntoTheMixer) {
    const std::string path = otherBackup("other.mprt");
    mixer.setChunkSizes({5});
    ui.answerOpen(path);
    ASSERT_TRUE(gc->ReadMemoryFileFromLocal());
    pump(mixer);

    EXPECT_EQ(mixer.memoryImage(), readFile(path));
    EXPECT_EQ(bus.positions(MSG_RESTORE_PACKET), oneTo(30));
    ASSERT_EQ(transport.tcp.size(), 30u);
    for (const Bytes& f : transport.tcp) EXPECT_EQ(f[8], 0x31);
    EXPECT_TRUE(alerts().empty());
    EXPECT_EQ(ui.callsOf("open").at(0).options, std::vector<std::string>{"mprt"});
}

// The preset window gave a transfer up: what the mixer still sends for it is dropped, so no file
// is written from late packets and late acknowledgements send nothing; the next transfer of each
// kind works again. A backup still collecting is under way until its last packet or the end.
TEST_F(Sequences, ATransferGivenUpDropsWhatTheMixerSendsLate) {
    gc->memoryFilePath = dir / "late.mprt";
    mixer.holdRepliesAfter(5);
    link->sendCMD_MemoryExport();
    EXPECT_TRUE(link->isMemoryExportUnderWay());
    pump(mixer);
    EXPECT_EQ(bus.positions(MSG_BACKUP_PACKET), oneTo(5));
    link->abandonMemoryTransfer();
    EXPECT_FALSE(link->isMemoryExportUnderWay());
    feed(mixer.takeHeldReplies());
    EXPECT_EQ(bus.positions(MSG_BACKUP_PACKET), oneTo(5));
    EXPECT_FALSE(std::filesystem::exists(gc->memoryFilePath));
    EXPECT_TRUE(alerts().empty());

    mixer.holdRepliesAfter(-1);
    bus.messages.clear();
    link->sendCMD_MemoryExport();
    pump(mixer);
    EXPECT_FALSE(link->isMemoryExportUnderWay());
    EXPECT_EQ(readFile(gc->memoryFilePath), mixer.memoryImage());
    EXPECT_EQ(bus.positions(MSG_BACKUP_PACKET), oneTo(30));

    const std::string path = otherBackup("other.mprt");
    mixer.holdRepliesAfter(3);
    bus.messages.clear();
    transport.clear();
    ASSERT_TRUE(gc->ReadFiles_Memory(path));
    pump(mixer);
    EXPECT_EQ(bus.positions(MSG_RESTORE_PACKET), oneTo(3));
    link->abandonMemoryTransfer();
    feed(mixer.takeHeldReplies());
    EXPECT_EQ(transport.tcp.size(), 4u) << "packets 1-4, nothing after the late acknowledgement";
    EXPECT_EQ(bus.positions(MSG_RESTORE_PACKET), oneTo(3));

    mixer.holdRepliesAfter(-1);
    bus.messages.clear();
    ASSERT_TRUE(gc->ReadFiles_Memory(path));
    pump(mixer);
    EXPECT_EQ(bus.positions(MSG_RESTORE_PACKET), oneTo(30));
    EXPECT_EQ(mixer.memoryImage(), readFile(path));
}

TEST_F(Sequences, BackupThenRestoreRoundTrips) {
    gc->memoryFilePath = dir / "round.mprt";
    link->sendCMD_MemoryExport();
    pump(mixer);
    const Bytes original = mixer.memoryImage();
    mixer = sim::SimMixer(77);
    ASSERT_TRUE(gc->ReadFiles_Memory(dir / "round.mprt"));
    pump(mixer);
    EXPECT_EQ(mixer.memoryImage(), original);
}

TEST_F(Sequences, ABackupFileIsCheckedBeforeAnythingIsSent) {
    const Bytes good = sim::SimMixer(99).memoryImage();
    struct Case {
        const char* name;
        Bytes file;
        bool accepted;
        const char* why = nullptr;  // a text the alert holds
    };
    auto spoil = [&](size_t at, uint8_t value) { return with(good, at, value); };
    const size_t packet3 = 2 * 4612, packet25 = 24 * 4612, packet30 = 124348;
    Bytes swapped = good;  // packets 1 and 2 exchanged
    std::swap_ranges(swapped.begin(), swapped.begin() + 4612, swapped.begin() + 4612);
    const std::vector<Case> cases = {
        {"128,959 bytes", Bytes(good.begin(), good.end() - 1), false},
        {"128,961 bytes", concat({good, hex("40")}), false},
        {"a wrong start byte", spoil(packet3 + 1, 0x21), false},
        {"a wrong command", spoil(packet3 + 8, 0x31), false},
        {"a wrong sub-code", spoil(packet25 + 9, 4), false},
        {"a wrong packet number", spoil(packet30 + 10, 29), false},
        {"packets out of order", swapped, false, "Packet 1 of 30"},
        {"a changed trailer", spoil(packet25 + 2891, 0x41), false, "Packet 25 of 30 is damaged"},
        {"the last trailer changed", spoil(good.size() - 1, 0x00), false, "Packet 30 of 30 is damaged"},
        {"a backup of 30 frames in order", good, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        transport.clear();
        ui.clearCalls();
        gc->m_sceneMemoryUpAlload[0][0] = 0xEE;
        writeFile(dir / "check.mprt", c.file);
        EXPECT_EQ(gc->ReadFiles_Memory(dir / "check.mprt"), c.accepted);
        if (c.accepted) {
            ASSERT_EQ(transport.tcp.size(), 1u) << "packet 1 goes out at once";
            EXPECT_EQ(transport.tcp[0], with(Bytes(good.begin(), good.begin() + 4612), 8, 0x31));
            EXPECT_TRUE(alerts().empty());
        } else {
            EXPECT_TRUE(transport.tcp.empty());
            EXPECT_EQ(gc->m_sceneMemoryUpAlload[0][0], 0xEE) << "restore buffers unchanged";
            ASSERT_EQ(alerts().size(), 1u);
            if (c.why) {
                EXPECT_NE(alerts()[0].find(c.why), std::string::npos) << alerts()[0];
            }
        }
    }
    ui.answerOpen(std::nullopt);
    EXPECT_FALSE(gc->ReadMemoryFileFromLocal());
}

TEST_F(Sequences, PresetToFileAndFileToMixer) {
    for (int type = 0; type < 4; ++type) {
        SCOPED_TRACE(type);
        const std::string path = dir / (std::string("p.") + PresetFilter[type]);
        ui.answerSave(path);
        bus.messages.clear();
        link->sendCMD_LoadPresetFromDevice(type, 5, 2);
        pump(mixer);
        const Bytes fromMixer = mixer.presets[static_cast<size_t>(type)][5];
        EXPECT_EQ(readFile(path), fromMixer);
        EXPECT_EQ(bus.positions(MSG_PRESET_RECEIVED), std::vector<int>{type});
        EXPECT_EQ(bus.positions(MSG_PRESET_SAVED), std::vector<int>{type});
        EXPECT_TRUE(gc->presetExportData.empty()) << "written, then emptied";
        const auto save = ui.callsOf("save").back();
        EXPECT_EQ(save.title, "Save preset data to file");
        EXPECT_EQ(save.options, std::vector<std::string>{PresetFilter[type]});

        ui.answerOpen(path);
        ASSERT_TRUE(gc->ReadPresetFileFromLocal(type));
        link->sendCMD_LoadPresetFromLocal(type, 9);
        pump(mixer);
        const size_t slot = type < 3 ? 9 : 5;  // a scene keeps the slot its file names
        Bytes expected = fromMixer;
        if (type < 3) expected[10] = 10;
        EXPECT_EQ(mixer.presets[static_cast<size_t>(type)][slot], expected);
        EXPECT_EQ(bus.positions(MSG_PRESET_WRITTEN), std::vector<int>{SCHCType[type]});
    }
    EXPECT_TRUE(alerts().empty());
}

TEST_F(Sequences, AFailedPresetWriteIsReportedAndKeepsTheData) {
    ui.answerSave(dir / "no/such/folder/p.sGEQ");
    link->sendCMD_LoadPresetFromDevice(1, 0, 0);
    pump(mixer);
    EXPECT_EQ(gc->presetExportData, mixer.presets[1][0]);
    ASSERT_EQ(alerts().size(), 1u);
    EXPECT_NE(alerts()[0].find("not saved"), std::string::npos);
    EXPECT_EQ(bus.count(MSG_PRESET_SAVED), 0u);

    // Cancelling the panel is no failure, and nothing was saved either.
    ui.clearCalls();
    ui.answerSave(std::nullopt);
    link->sendCMD_LoadPresetFromDevice(1, 0, 0);
    pump(mixer);
    EXPECT_TRUE(alerts().empty());
    EXPECT_EQ(bus.count(MSG_PRESET_SAVED), 0u);
}

TEST_F(Sequences, APresetReplyThatIsNoWholePresetIsNeverSavedAsOne) {
    // A reply cut short by its length byte, or of another type's shape, would make a preset file
    // that the program itself refuses to load.
    struct Case {
        const char* name;
        Bytes reply;
    };
    const std::vector<Case> cases = {
        {"DSP channel preset of 50 bytes", makeFrame(50, 0x32, 1)},
        {"scene preset cut at an early @", makeFrame(64, 0x32, 4)},
        {"DFX preset whose start bytes are damaged", with(makeFrame(25, 0x32, 3), 1, 0x21)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ui.clearCalls();
        ui.answerSave(dir / "never.preset");
        bus.messages.clear();
        link->sendCMD_LoadPresetFromDevice(c.reply[9] - 1, 0, 0);
        link->converToData(c.reply);
        EXPECT_TRUE(ui.callsOf("save").empty()) << "no save panel for a damaged preset";
        EXPECT_FALSE(std::filesystem::exists(dir / "never.preset"));
        ASSERT_EQ(alerts().size(), 1u);
        EXPECT_NE(alerts()[0].find("not saved"), std::string::npos) << alerts()[0];
        EXPECT_EQ(gc->presetExportData, c.reply) << "the reply is kept";
    }
}

TEST_F(Sequences, APresetFileIsCheckedBeforeItIsHeld) {
    const Bytes geq = mixer.presets[1][3];
    struct Case {
        const char* name;
        Bytes file;
        int type;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {"GEQ file as GEQ", geq, 1, true},
        {"GEQ file as DSP channel", geq, 0, false},
        {"one byte short", Bytes(geq.begin(), geq.end() - 1), 1, false},
        {"a wrong start byte", with(geq, 0, 0x02), 1, false},
        {"a wrong command", with(geq, 8, 0x2F), 1, false},
        {"a wrong sub-code", with(geq, 9, 3), 1, false},
        {"a changed trailer", with(geq, 43, 0x41), 1, false},
        {"an empty file", Bytes(), 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ui.clearCalls();
        gc->presetExportData = hex("AA BB");
        writeFile(dir / "check.sGEQ", c.file);
        EXPECT_EQ(gc->readPresetFiles(dir / "check.sGEQ", c.type), c.accepted);
        EXPECT_EQ(gc->presetExportData, c.accepted ? c.file : hex("AA BB"));
        EXPECT_EQ(alerts().size(), c.accepted ? 0u : 1u);
    }
    ui.answerOpen(std::nullopt);
    EXPECT_FALSE(gc->ReadPresetFileFromLocal(1));
    EXPECT_FALSE(gc->ReadPresetFileFromLocal(4));
}

class Firmware : public Sequences {
protected:
    // Images of a few blocks for the four boards, read through the store.
    void installImages(const std::array<size_t, 4>& sizes) {
        for (int b = 0; b < 4; ++b) {
            Bytes image(sizes[static_cast<size_t>(b)]);
            for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 13 + b);
            images[static_cast<size_t>(b)] = image;
            writeFile(dir / ("lib/" + std::string(Firmware_BIN[b])), image);
        }
        core->readAllFirmware_fromLocal();
    }
    // What the firmware window does to start one board.
    void program(int board) {
        gc->setCurrentProgramItem(board);
        if (board == 0) link->sendCMD_Begin_enterProgram();
        link->sendCMD_isReady(board);
        pump(mixer);
    }
    static Bytes padded(Bytes image) {
        image.resize((image.size() + 1023) / 1024 * 1024, 0xFF);
        return image;
    }
    std::array<Bytes, 4> images;
};

TEST_F(Firmware, BoardsZeroToThreeEndWithIdenticalImages) {
    installImages({3000, 1024, 2049, 1});
    mixer.setChunkSizes({3, 1460});
    for (int board = 0; board < 4; ++board) {
        SCOPED_TRACE(board);
        bus.messages.clear();
        program(board);
        const int count = core->dSegement[board];
        EXPECT_EQ(mixer.announcedBlocks[static_cast<size_t>(board)], count);
        EXPECT_EQ(mixer.firmware[static_cast<size_t>(board)], padded(images[static_cast<size_t>(board)]));
        std::vector<int> progress;
        for (int block = 1; block < count; ++block) progress.push_back(block);
        EXPECT_EQ(bus.positions(MSG_BLOCK_SENT), progress);
        EXPECT_EQ(bus.positions(MSG_BOARD_DONE), std::vector<int>{board});
        EXPECT_EQ(bus.count(MSG_BOARD_FAILED), 0u);
    }
    EXPECT_TRUE(mixer.enteredProgramming);
    EXPECT_FALSE(mixer.mainTransferEnded) << "the end byte goes out only for an empty main-board image";
}

TEST_F(Firmware, AFailureStatusStopsTheBoard) {
    installImages({4096, 4096, 4096, 4096});
    mixer.failBoard(2);
    mixer.failBoard(1, 2);
    program(2);
    EXPECT_EQ(bus.positions(MSG_BOARD_FAILED), std::vector<int>{2});
    EXPECT_TRUE(mixer.firmware[2].empty());
    bus.messages.clear();
    program(1);
    EXPECT_EQ(bus.positions(MSG_BOARD_FAILED), std::vector<int>{1});
    EXPECT_EQ(bus.positions(MSG_BLOCK_SENT), std::vector<int>{1});
    EXPECT_EQ(mixer.firmware[1].size(), 2048u);
    EXPECT_EQ(bus.count(MSG_BOARD_DONE), 0u);
}

TEST_F(Firmware, OverSerialEveryBlockOfBoardsOneToThreeWaits) {
    installImages({2048, 3072, 0, 0});
    connection.type = kConnectTypeSerial;
    program(1);
    EXPECT_EQ(mixer.firmware[1], images[1]);
    EXPECT_EQ(sleeper.sleeps(), std::vector<double>(3, 0.1));
    sleeper.clear();
    program(0);
    EXPECT_EQ(mixer.firmware[0], images[0]);
    EXPECT_TRUE(sleeper.sleeps().empty());
}

// A board whose image could not be read (read error, or an image over 1 MiB) has no blocks: its
// ready acknowledgement would otherwise tell the main board at once that its transfer is over.
TEST_F(Firmware, ABoardWhoseImageCouldNotBeReadIsReportedFailed) {
    installImages({3000, 1024, 2049, 1});
    writeFile(dir / ("lib/" + std::string(Firmware_BIN[0])), Bytes(1048577, 0x5A));
    writeFile(dir / ("lib/" + std::string(Firmware_BIN[2])), Bytes(1048577, 0x5A));
    core->readAllFirmware_fromLocal();
    ASSERT_EQ(core->mb_firmware_noGUI[0], 1);
    for (int board : {0, 2}) {
        SCOPED_TRACE(board);
        bus.messages.clear();
        program(board);
        EXPECT_EQ(bus.messages, (std::vector<std::pair<int, int>>{{MSG_BOARD_FAILED, board}}));
        EXPECT_TRUE(mixer.firmware[static_cast<size_t>(board)].empty());
    }
    EXPECT_FALSE(mixer.mainTransferEnded) << "no end byte for an image that was never read";
}

TEST_F(Firmware, AnEmptyMainBoardImageEndsTheTransferAtOnce) {
    installImages({0, 0, 0, 0});
    link->updateLock = 1;
    program(0);
    EXPECT_TRUE(mixer.mainTransferEnded);
    EXPECT_EQ(link->updateLock, 0);
    EXPECT_TRUE(mixer.firmware[0].empty());
}

}  // namespace
}  // namespace linktest
