// The byte stream to frames: start resynchronisation, completion by byte 3 and trailer, by the
// fixed lengths of the long replies, the long replies that name their own length, the bound of
// the accumulator, and bytes that arrive while the dispatcher runs a modal panel (they wait, and
// are fed in stream order after the chunk being fed).

#include "LinkFixture.h"

#include <random>

namespace linktest {
namespace {

class Reassembly : public LinkTest {
protected:
    // The replies a test feeds answer requests it asked for: the frames they send are recorded and
    // go nowhere.
    void askLoad(int type) { link->sendCMD_LoadPresetFromDevice(type, 0, 0); }
    void askRename(int type) { link->sendCMD_savePresetNameToD(type, 0, 0); }

    // Feeds the stream byte by byte; returns the stream offsets (bytes consumed) at which a
    // frame reached the dispatcher, and checks the accumulator bound at every byte.
    std::vector<size_t> completions(const Bytes& stream) {
        std::vector<size_t> ends;
        link->setIsOnLine(false);
        for (size_t i = 0; i < stream.size(); ++i) {
            link->RecByte(stream[i]);
            EXPECT_LE(link->receivedLength(), 4612u);
            if (link->isOnLine()) {
                ends.push_back(i + 1);
                link->setIsOnLine(false);
            }
        }
        return ends;
    }
};

TEST_F(Reassembly, StreamsCompleteWhereTheFramesEnd) {
    const Bytes probe = hex("01 20 03 0B 00 01 00 01 33 01 40");
    const Bytes sceneList = makeFrame(395, 0x18, 4, 0x41);
    const Bytes dspPacket = makeFrame(2892, 0x2F, 1, 0x22);
    struct Case {
        const char* name;
        Bytes stream;
        std::vector<size_t> ends;
        int savePanels = 0;  // panels the preset replies (each asked for) open at each feeding; the user
                             // cancels them
    };
    const std::vector<Case> cases = {
        {"noise before a frame is dropped", hex("7F 01 20 03 0B 00 01 00 01 F9 01 40"), {12}},
        {"a repeated first start byte breaks the frame",
         hex("01 01 20 03 0B 00 01 00 01 F9 01 40"), {}},
        {"two frames in one chunk", concat({probe, probe}), {11, 22}},
        {"a wrong trailer keeps collecting", concat({with(probe, 10, 0x41), hex("40")}), {}},
        {"frame after a broken start", concat({hex("01 20 7F"), probe}), {14}},
        {"scene list by its fixed length", sceneList, {395}},
        {"scene list naming its own length ignores an early @", with(sceneList, 138, 0x40), {395}},
        {"list naming another length ends by byte 3", with(with(sceneList, 3, 0x20), 31, 0x40), {32}},
        {"DSP list naming its own length ignores @ at byte 10", with(makeFrame(779, 0x18, 1, 0x41), 10, 0x40), {779}},
        {"DFX list", makeFrame(1675, 0x18, 3, 0x41), {1675}},
        {"list whose last byte is not @ never completes", concat({with(sceneList, 394, 0x41), probe}), {}},
        {"scene export packet without trailer", with(makeFrame(4612, 0x2F, 4), 4611, 0x00), {4612}},
        {"current scene packet", makeFrame(4612, 0x2F, 5), {4612}},
        {"DSP packet with @ where byte 3 points", with(dspPacket, 75, 0x40), {2892}},
        {"DFX packet with @ where byte 3 points", with(makeFrame(2300, 0x2F, 3), 251, 0x40), {2300}},
        {"GEQ packet with @ where byte 3 points", with(makeFrame(3276, 0x2F, 2), 203, 0x40), {3276}},
        {"DSP firmware read whatever its end", with(makeFrame(269, 0xF2, 7), 268, 0x00), {269}},
        {"preset data by byte 3 and trailer", makeFrame(70, 0x32, 1), {70}, 1},
        {"GEQ preset", makeFrame(44, 0x32, 2), {44}, 1},
        {"scene preset ignores an early @", with(makeFrame(4569, 0x32, 4), 216, 0x40), {4569}, 1},
        {"short acknowledgement", concat({makeFrame(12, 0x30, 4), makeFrame(15, 0xFB, 0)}), {12, 27}},
        {"a frame that never completes is dropped at 4612 bytes",
         concat({makeFrame(4700, 0x77, 0, 0x00), probe}), {4700 + 11}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto cancelPanels = [&] {
            for (int i = 0; i < c.savePanels; ++i) ui.answerSave(std::nullopt);
            if (c.savePanels) askLoad(c.stream[9] - 1);
        };
        ui.clearCalls();
        link->ClearBuffer();
        bus.messages.clear();
        cancelPanels();
        EXPECT_EQ(completions(c.stream), c.ends);
        const auto byteByByte = bus.messages;
        const size_t leftOver = link->receivedLength();
        // Fed in chunks, the same frames reach the dispatcher and the same bytes stay behind.
        for (size_t chunk : {size_t{3}, size_t{1460}, c.stream.size()}) {
            SCOPED_TRACE(chunk);
            link->ClearBuffer();
            bus.messages.clear();
            gc->memoryExportData.clear();
            cancelPanels();
            for (size_t at = 0; at < c.stream.size(); at += chunk)
                link->parseData(c.stream.data() + at, std::min(chunk, c.stream.size() - at));
            EXPECT_EQ(bus.messages, byteByByte);
            EXPECT_EQ(link->receivedLength(), leftOver);
        }
        EXPECT_EQ(ui.callsOf("save").size(), 4u * c.savePanels);
    }
}

TEST_F(Reassembly, ClearBufferDropsAPartialFrame) {
    const Bytes probe = hex("01 20 03 0B 00 01 00 01 33 01 40");
    askRename(0);
    feed(Bytes(probe.begin(), probe.begin() + 6));
    EXPECT_EQ(link->receivedLength(), 6u);
    link->ClearBuffer();
    EXPECT_EQ(link->receivedLength(), 0u);
    feed(Bytes(probe.begin() + 6, probe.end()));
    EXPECT_FALSE(link->isOnLine());
    feed(probe);
    EXPECT_TRUE(link->isOnLine());
    EXPECT_EQ(bus.positions(MSG_PRESET_WRITTEN), std::vector<int>{1});
}

TEST_F(Reassembly, BackupStreamInRandomChunksGivesTheSameThirtyFrames) {
    sim::SimMixer mixer(7);
    mixer.setAtTraps(true);
    mixer.setGarbageBetweenFrames(true);
    std::mt19937 random(12345);
    std::uniform_int_distribution<size_t> size(1, 5000);
    std::vector<size_t> sizes(200);
    for (auto& s : sizes) s = size(random);
    mixer.setChunkSizes(sizes);
    gc->isconnected = true;
    gc->memoryFilePath = dir / "random.mprt";
    attach(mixer);
    link->sendCMD_MemoryExport();
    pump(mixer);

    std::vector<int> expected;
    for (int p = 1; p <= 30; ++p) expected.push_back(p);
    EXPECT_EQ(bus.positions(MSG_BACKUP_PACKET), expected);
    EXPECT_EQ(readFile(dir / "random.mprt"), mixer.memoryImage());
    EXPECT_EQ(link->receivedLength(), 0u);
}

// A dialog that, while its save panel is up, lets the mixer's next bytes arrive.
class FeedingUi : public platform::ScriptedUiServices {
public:
    std::function<void()> duringSave;
    std::optional<std::string> savePanel(const std::string& title, const std::vector<std::string>& types,
                                         const std::string& proposed) override {
        if (duringSave) duringSave();
        return ScriptedUiServices::savePanel(title, types, proposed);
    }
};

// A reply split across two reads with the dispatcher's save panel opened between them: the
// outer read's tail comes first in the stream, the read made while the panel runs after it.
// The bytes of that nested read wait until the outer chunk is fed, and every reply completes, in
// order: the DFX list is taken because the GEQ list before it asked for it.
TEST_F(Reassembly, RepliesSplitAroundAModalPanelAreFedInStreamOrder) {
    FeedingUi feeding;
    const Bytes preset = makeFrame(70, 0x32, 1, 0x66);
    const Bytes stored = hex("01 20 03 0B 00 01 00 01 33 04 40");
    const Bytes list = makeFrame(779, 0x18, 2, 0x41);
    const Bytes nextList = makeFrame(1675, 0x18, 3, 0x42);
    const Bytes stream = concat({preset, stored, list, nextList});
    askLoad(0);
    askRename(3);
    link->sendCMD_ReadPresetList(1);
    // Three reads: the preset and the head of the stored report; during the panel, the rest of
    // the report and the head of the list; after it, the rest.
    const size_t firstRead = preset.size() + 5, secondRead = stored.size() - 5 + 300;
    feeding.answerSave(dir / "p.sDsp");
    size_t heldDuringThePanel = 0, queuedDuringThePanel = 0;
    feeding.duringSave = [&] {
        feed(Bytes(stream.begin() + firstRead, stream.begin() + firstRead + secondRead));
        heldDuringThePanel = link->receivedLength();
        queuedDuringThePanel = link->queuedLength();
    };
    feed(Bytes(stream.begin(), stream.begin() + firstRead));
    EXPECT_EQ(heldDuringThePanel, 0u) << "nothing is fed while the dispatcher runs";
    EXPECT_EQ(queuedDuringThePanel, secondRead);
    EXPECT_EQ(link->queuedLength(), 0u);
    feed(Bytes(stream.begin() + firstRead + secondRead, stream.end()));

    EXPECT_EQ(readFile(dir / "p.sDsp"), preset) << "the preset frame was not disturbed by the nested bytes";
    EXPECT_EQ(bus.messages, (std::vector<std::pair<int, int>>{
                                {MSG_PRESET_RECEIVED, 0}, {MSG_PRESET_SAVED, 0}, {MSG_PRESET_WRITTEN, 0}}))
        << "the reply split around the panel and the replies after it are dispatched in order";
    EXPECT_EQ(gc->m_GEQPreset[47][15], 0x41) << "the list after it completed";
    EXPECT_EQ(gc->m_FXPreset[103][15], 0x42) << "and the list it asked for after it";
    EXPECT_EQ(link->receivedLength(), 0u);
}

// The answer to a second Load arrives while the first one's save panel runs. It waits for that
// panel, then gets a panel of its own; each file holds its own preset.
TEST_F(Reassembly, APresetArrivingWhileItsSavePanelIsUpGetsItsOwnPanelAfterIt) {
    FeedingUi feeding;
    const Bytes first = makeFrame(44, 0x32, 2, 0x61);
    const Bytes second = makeFrame(44, 0x32, 2, 0x62);
    feeding.answerSave(dir / "first.sGEQ");
    feeding.answerSave(dir / "second.sGEQ");
    bool once = true;
    feeding.duringSave = [&] {
        if (!once) return;
        once = false;
        askLoad(1);
        feed(second);
    };
    askLoad(1);
    feed(first);

    EXPECT_EQ(readFile(dir / "first.sGEQ"), first) << "the first preset's file holds the first preset";
    EXPECT_EQ(readFile(dir / "second.sGEQ"), second);
    EXPECT_EQ(feeding.callsOf("save").size(), 2u);
    EXPECT_EQ(bus.positions(MSG_PRESET_RECEIVED), (std::vector<int>{1, 1}));
    EXPECT_TRUE(gc->presetExportData.empty());
}

// The link is lost while a panel of the dispatcher runs: what was read before the loss and not
// fed yet (the queued bytes, and the rest of the chunk that held the reply) is dropped with the
// half-received frame, and the next link starts clean.
TEST_F(Reassembly, ALinkLostDuringAPanelDropsTheQueuedBytes) {
    FeedingUi feeding;
    const Bytes preset = makeFrame(70, 0x32, 1, 0x66);
    const Bytes stored = hex("01 20 03 0B 00 01 00 01 33 04 40");
    const Bytes list = makeFrame(779, 0x18, 2, 0x41);
    feeding.answerSave(dir / "p.sDsp");
    feeding.duringSave = [&] {
        feed(Bytes(list.begin(), list.begin() + 300));
        Duziz::sendMsg(MSG_DISCONNECTED, 0, kMessageBusName);
        EXPECT_EQ(link->queuedLength(), 0u);
    };
    askLoad(0);
    askRename(3);
    feed(concat({preset, stored}));
    EXPECT_EQ(link->receivedLength(), 0u);
    EXPECT_EQ(link->queuedLength(), 0u);
    EXPECT_EQ(bus.count(MSG_PRESET_WRITTEN), 0u) << "the rest of the chunk read before the loss is dropped";
    EXPECT_EQ(readFile(dir / "p.sDsp"), preset);

    // The next link: its first reply completes.
    askRename(3);
    feed(stored);
    EXPECT_EQ(bus.positions(MSG_PRESET_WRITTEN), std::vector<int>{0});
    EXPECT_EQ(link->receivedLength(), 0u);
}

// Fed one byte at a time (RecByte), bytes that arrive during a dispatch still wait for it.
TEST_F(Reassembly, BytesArrivingDuringADispatchOfTheByteFeedComeAfterIt) {
    FeedingUi feeding;
    const Bytes preset = makeFrame(44, 0x32, 2, 0x61);
    const Bytes stored = hex("01 20 03 0B 00 01 00 01 33 04 40");
    feeding.answerSave(dir / "p.sGEQ");
    feeding.duringSave = [&] { feed(stored); };
    askLoad(1);
    askRename(3);
    for (uint8_t byte : preset) link->RecByte(byte);
    EXPECT_EQ(readFile(dir / "p.sGEQ"), preset);
    EXPECT_EQ(bus.messages, (std::vector<std::pair<int, int>>{{MSG_PRESET_RECEIVED, 1},
                                                              {MSG_PRESET_SAVED, 1},
                                                              {MSG_PRESET_WRITTEN, 0}}));
    EXPECT_EQ(link->queuedLength(), 0u);
}

// The serial search claims the link for a mixer's frame header, wherever the chunks cut it.
TEST(HeaderScan, FindsAFrameHeaderAcrossChunksAndNothingElse) {
    struct Case {
        const char* name;
        Bytes stream;
        long end;  // stream offset just past the first header, -1: none
    };
    const Bytes answer = hex("01 20 03 0B 00 01 00 01 F9 01 40");
    const std::vector<Case> cases = {
        {"the mixer's answer", answer, 8},
        {"any length byte", hex("01 20 03 FF 00 01 00 01"), 8},
        {"after a partial frame", concat({hex("01 20 03 0B 00 01"), answer}), 14},
        {"after text", concat({Bytes{'$', 'G', 'P', '\r', '\n', 0x01, 0x20}, answer}), 15},
        {"text only", Bytes(200, 'x'), -1},
        {"a wrong fixed byte", hex("01 20 03 0B 00 01 00 02 F9 01 40"), -1},
        {"start bytes alone", hex("01 20 03 01 20 03 0B 00"), -1},
        {"start bytes twice, then the rest", hex("01 20 03 01 20 03 0B 00 01 00 01"), 11},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (size_t chunk : {size_t{1}, size_t{3}, size_t{7}, c.stream.size()}) {
            SCOPED_TRACE(chunk);
            frame::HeaderScan scan;
            long found = -1;
            for (size_t at = 0; at < c.stream.size() && found < 0; at += chunk) {
                const size_t n = std::min(chunk, c.stream.size() - at);
                const size_t end = scan.find(c.stream.data() + at, n);
                if (end != frame::HeaderScan::kNotFound) {
                    found = static_cast<long>(at + end);
                    EXPECT_EQ(Bytes(scan.header(), scan.header() + 8),
                              Bytes(c.stream.begin() + found - 8, c.stream.begin() + found));
                }
            }
            EXPECT_EQ(found, c.end);
        }
    }
}

}  // namespace
}  // namespace linktest
