// One reply frame at a time: what it stores, what it sends next and what it reports on the bus.

#include "LinkFixture.h"

#include "platform/testing/TestMainLoop.h"

#include <functional>

namespace linktest {
namespace {

using namespace std::chrono_literals;

class Dispatcher : public LinkTest {};

Bytes ack(uint8_t command, int board, int block, uint8_t status) {
    Bytes f = makeFrame(15, command, static_cast<uint8_t>(board), 0x00);
    f[10] = static_cast<uint8_t>(block >> 8);
    f[11] = static_cast<uint8_t>(block & 0xFF);
    f[12] = status;
    return f;
}

// Each row sets up what the link asked of the mixer (nothing, a backup, the restore packet last
// sent, the board in work and where its blocks stand) and feeds one reply: what is sent, what is
// posted, and whether the firmware reply timer hears of it. An answer to nothing asked changes
// nothing.
TEST_F(Dispatcher, RepliesDriveSequencesAndMessages) {
    using Messages = std::vector<std::pair<int, int>>;
    using Setup = std::function<void(StartMainView&, GCData&, XCoreData&)>;
    struct Case {
        const char* name;
        Setup setup;
        Bytes frame;
        Messages messages;
        std::vector<std::string> sentHeads;  // first 12 bytes of each frame sent, in hex
        bool feedsBoardTimer = false;
    };
    auto none = [](StartMainView&, GCData&, XCoreData&) {};
    // The firmware window made board b (count blocks) the board in work and its ready query left.
    auto asked = [](int b, int count) {
        return [=](StartMainView& l, GCData& g, XCoreData& c) {
            c.dSegement[b] = count;
            g.setCurrentProgramItem(b);
            l.sendCMD_isReady(b);
        };
    };
    // ... and its blocks went out up to block `sent`, each asked for by the mixer.
    auto sending = [asked](int b, int count, int sent) {
        return [=](StartMainView& l, GCData& g, XCoreData& c) {
            asked(b, count)(l, g, c);
            l.converToData(ack(b == 0 ? 0xFA : 0xF0, b, 0, 0));
            for (int block = 1; block <= sent; ++block) l.converToData(ack(b == 0 ? 0xFB : 0xF1, b, block, 0));
        };
    };
    // Block `sent` of board b went out twice (the mixer asked for it again), then block sent + 1
    // for the first copy's answer: the second copy's answer is still due.
    auto sentTwice = [sending](int b, int count, int sent) {
        return [=](StartMainView& l, GCData& g, XCoreData& c) {
            sending(b, count, sent)(l, g, c);
            l.converToData(ack(b == 0 ? 0xFB : 0xF1, b, sent, 0));
            l.converToData(ack(b == 0 ? 0xFB : 0xF1, b, sent + 1, 0));
        };
    };
    // ... and that answer came.
    auto sentTwiceAnswered = [sentTwice](int b, int count, int sent) {
        return [=](StartMainView& l, GCData& g, XCoreData& c) {
            sentTwice(b, count, sent)(l, g, c);
            l.converToData(ack(b == 0 ? 0xFB : 0xF1, b, sent + 1, 0));
        };
    };
    // The board in work was given up by the firmware window (the mixer fell silent).
    auto givenUp = [sending](int b, int count, int sent) {
        return [=](StartMainView& l, GCData& g, XCoreData& c) {
            sending(b, count, sent)(l, g, c);
            g.setCurrentProgramItem(-1);
            l.abandonBoardTransfer();
        };
    };
    auto backupAsked = [](StartMainView& l, GCData&, XCoreData&) { l.sendCMD_MemoryExport(); };
    // A list read was asked for from type on.
    auto listRead = [](int type) {
        return [=](StartMainView& l, GCData&, XCoreData&) { l.sendCMD_ReadPresetList(type); };
    };
    // A read of the DSP channel list was replaced by a new one before its answer came: the first
    // answer owed is the old read's; with answered, it came.
    auto listReadReplaced = [](bool answered) {
        return [=](StartMainView& l, GCData&, XCoreData&) {
            l.sendCMD_ReadPresetList(0);
            l.sendCMD_ReadPresetList(0);
            if (answered) l.converToData(makeFrame(779, 0x18, 1));
        };
    };
    // Read B dropped the DSP list that a replaced read A owed and took its own, and was itself
    // replaced while it waited for the GEQ list; the new read has its DSP list. B's GEQ list is
    // still owed: what B dropped for A while it waited for the DSP list does not wipe it.
    auto listReadReplacedAfterItsFirstList = [](StartMainView& l, GCData&, XCoreData&) {
        l.sendCMD_ReadPresetList(0);
        l.sendCMD_ReadPresetList(0);
        l.converToData(makeFrame(779, 0x18, 1));  // A's, owed
        l.converToData(makeFrame(779, 0x18, 1));  // B's
        l.sendCMD_ReadPresetList(0);
        l.converToData(makeFrame(779, 0x18, 1));  // the new read's
    };
    // A list read the preset window gave up (its Recall timed out); with again, a new one followed.
    auto listReadGivenUp = [](bool again) {
        return [=](StartMainView& l, GCData&, XCoreData&) {
            l.sendCMD_ReadPresetList(0);
            l.abandonPresetRequest(RequestLedger::Preset::List);
            if (again) l.sendCMD_ReadPresetList(0);
        };
    };
    // A preset of type was written into the mixer, or renamed there.
    auto written = [](int type) {
        return [=](StartMainView& l, GCData& g, XCoreData&) {
            g.presetExportData = makeFrame(static_cast<size_t>(LEN_FILE_PRESET[type]), 0x32, static_cast<uint8_t>(type + 1));
            l.sendCMD_LoadPresetFromLocal(type, 0);
        };
    };
    auto renamed = [](int type) {
        return [=](StartMainView& l, GCData&, XCoreData&) { l.sendCMD_savePresetNameToD(type, 0, 0); };
    };
    // ... and the preset window gave the request up.
    auto givenUpStored = [](std::function<void(StartMainView&, GCData&, XCoreData&)> request) {
        return [=](StartMainView& l, GCData& g, XCoreData& c) {
            request(l, g, c);
            l.abandonPresetRequest(RequestLedger::Preset::Stored);
        };
    };
    // The serial link that carries the frames was switched off by the Connect button.
    auto switchedOff = [this](Setup then) {
        return [=, this](StartMainView& l, GCData& g, XCoreData& c) {
            then(l, g, c);
            connection.type = kConnectTypeSerial;
            connection.serialOpen = false;
        };
    };
    // Restore packet `packet` was the last sent.
    auto restoreAt = [](int packet) {
        return [=](StartMainView& l, GCData&, XCoreData&) {
            if (packet <= 24)
                l.sendCMD_MemoryImport_Scence(packet - 1);
            else if (packet <= 26)
                l.sendCMD_MemoryImport_FatChanel(packet - 25);
            else if (packet <= 28)
                l.sendCMD_MemoryImport_DFX(packet - 27);
            else if (packet == 29)
                l.sendCMD_MemoryImport_GEQ();
            else
                l.sendCMD_MemoryImport_CurrentScence();
        };
    };
    auto restoreAck = [](uint8_t sub, int packet) { return with(makeFrame(12, 0x30, sub), 10, static_cast<uint8_t>(packet)); };
    const std::string importHead = "00 00 00 00 00 00 00 00 31 00 00 00";
    const std::vector<Case> cases = {
        {"DSP list asks for the GEQ list", listRead(0), makeFrame(779, 0x18, 1), {},
         {"01 20 03 0B 00 01 00 01 18 02 40"}},
        {"DFX list asks for the scene list", listRead(2), makeFrame(1675, 0x18, 3), {},
         {"01 20 03 0B 00 01 00 01 18 04 40"}},
        {"scene list ends the chain", listRead(3), makeFrame(395, 0x18, 4), {{256, 0}}, {}},
        {"list of an unknown type", listRead(0), makeFrame(395, 0x18, 5), {}, {}},
        {"list with no read under way", none, makeFrame(779, 0x18, 1), {}, {}},
        {"list of a type not due in the read", listRead(0), makeFrame(779, 0x18, 2), {}, {}},
        {"scene list of a read that waits for the DSP list", listRead(0), makeFrame(395, 0x18, 4), {}, {}},
        {"list owed by a read replaced", listReadReplaced(false), makeFrame(779, 0x18, 1), {}, {}},
        {"list of the new read after the one owed", listReadReplaced(true), makeFrame(779, 0x18, 1), {},
         {"01 20 03 0B 00 01 00 01 18 02 40"}},
        {"list of a read given up", listReadGivenUp(false), makeFrame(779, 0x18, 1), {}, {}},
        {"list owed by a read replaced after its first list", listReadReplacedAfterItsFirstList,
         makeFrame(779, 0x18, 2), {}, {}},
        {"list owed by a read given up", listReadGivenUp(true), makeFrame(779, 0x18, 1), {}, {}},
        {"list of a read that cannot ask for the next", switchedOff(listRead(0)), makeFrame(779, 0x18, 1), {}, {}},
        {"export packet 1 in the wrong place is reported anyway", backupAsked, with(makeFrame(2892, 0x2F, 1), 10, 1),
         {{257, 1}}, {}},
        {"export packet before packet 1 of the backup asked for", backupAsked, with(makeFrame(4612, 0x2F, 4), 10, 25),
         {}, {}},
        {"export packet with no backup asked for", none, with(makeFrame(4612, 0x2F, 4), 10, 1), {}, {}},
        {"restore ack 24 sends the first DSP packet", restoreAt(24), restoreAck(4, 24), {{262, 24}}, {importHead}},
        {"restore ack 29 sends the current scene", restoreAt(29), restoreAck(2, 29), {{262, 29}}, {importHead}},
        {"restore ack 30 ends the restore", restoreAt(30), restoreAck(4, 30), {{262, 30}}, {}},
        {"restore ack 30 with the current scene's own sub-code", restoreAt(30), restoreAck(5, 30), {{262, 30}}, {}},
        {"restore ack of an unknown pair", restoreAt(3), restoreAck(1, 3), {}, {}},
        {"restore ack of a packet not last sent", restoreAt(24), restoreAck(4, 10), {}, {}},
        {"restore ack of the packet before the last sent", restoreAt(25), restoreAck(4, 24), {}, {}},
        {"restore ack with no restore under way", none, restoreAck(4, 24), {}, {}},
        {"scene renamed", renamed(3), makeFrame(11, 0x33, 4), {{261, 0}}, {}},
        {"DSP channel renamed", renamed(0), makeFrame(11, 0x33, 1), {{261, 1}}, {}},
        {"GEQ written", written(1), makeFrame(11, 0x33, 2), {{261, 3}}, {}},
        {"stored with an unknown type", renamed(3), makeFrame(11, 0x33, 5), {}, {}},
        {"stored with nothing written", none, makeFrame(11, 0x33, 1), {}, {}},
        {"stored of another type than the one written", written(1), makeFrame(11, 0x33, 1), {}, {}},
        {"stored owed by a write given up", givenUpStored(written(0)), makeFrame(11, 0x33, 1), {}, {}},
        {"stored owed by a write given up, another written since",
         [written, givenUpStored](StartMainView& l, GCData& g, XCoreData& c) {
             givenUpStored(written(0))(l, g, c);
             written(0)(l, g, c);
         },
         makeFrame(11, 0x33, 1), {}, {}},
        {"stored of a rename given up, which owes nothing",
         [renamed, written, givenUpStored](StartMainView& l, GCData& g, XCoreData& c) {
             givenUpStored(renamed(0))(l, g, c);
             written(0)(l, g, c);
         },
         makeFrame(11, 0x33, 1), {{261, 1}}, {}},
        {"stored after a delete, which awaits nothing",
         [](StartMainView& l, GCData&, XCoreData&) { l.sendCMD_DeletePreset(0, 2); }, makeFrame(11, 0x33, 1), {},
         {}},
        {"a second stored report",
         [written](StartMainView& l, GCData& g, XCoreData& c) {
             written(2)(l, g, c);
             l.converToData(makeFrame(11, 0x33, 3));
         },
         makeFrame(11, 0x33, 3), {}, {}},
        {"ready starts block 0", asked(2, 120), ack(0xF0, 2, 0, 0), {}, {"01 20 03 01 00 01 00 01 F1 02 00 00"}, true},
        {"ready for another board is ignored", asked(1, 120), ack(0xF0, 2, 0, 0), {}, {}},
        {"ready for a board already done is ignored",
         [asked](StartMainView& l, GCData& g, XCoreData& c) {
             asked(1, 5)(l, g, c);
             c.updateStatusRecord[1] = 1;
         },
         ack(0xF0, 1, 0, 0), {}, {}, true},
        {"ready failure of the board being programmed", asked(3, 120), ack(0xF0, 3, 0, 1), {{264, 3}}, {}, true},
        {"ready failure naming another board", asked(3, 120), ack(0xF0, 2, 0, 1), {}, {}},
        {"ready failure while its blocks go out", sending(3, 120, 4), ack(0xF0, 3, 0, 1), {}, {}},
        {"ready repeated while its blocks go out", sending(3, 120, 4), ack(0xF0, 3, 0, 0), {}, {}},
        {"ready failure naming board 5, never asked for",
         [](StartMainView&, GCData& g, XCoreData&) { g.setCurrentProgramItem(5); }, ack(0xF0, 5, 0, 1), {}, {}},
        {"ready of the main board with no image ends its transfer", asked(0, 0), ack(0xFA, 0, 0, 0), {}, {"04"}, true},
        {"ready of board 1 with an empty image reports it failed", asked(1, 0), ack(0xF0, 1, 0, 0), {{264, 1}}, {},
         true},
        {"ready of board 3 with an empty image reports it failed", asked(3, 0), ack(0xF0, 3, 0, 0), {{264, 3}}, {},
         true},
        {"block ack asks for block 7", sending(2, 120, 6), ack(0xF1, 2, 7, 0), {{273, 7}},
         {"01 20 03 01 00 01 00 01 F1 02 00 07"}, true},
        {"block ack asks for the block just sent again", sending(2, 120, 6), ack(0xF1, 2, 6, 0), {{273, 6}},
         {"01 20 03 01 00 01 00 01 F1 02 00 06"}, true},
        {"block ack of the main board", sending(0, 3, 1), ack(0xFB, 0, 2, 0), {{273, 2}},
         {"01 20 03 01 00 01 00 01 FB 00 00 02"}, true},
        {"block ack naming the count finishes the board", sending(2, 120, 119), ack(0xF1, 2, 120, 0), {{265, 2}}, {},
         true},
        {"block ack past the count", sending(2, 120, 119), ack(0xF1, 2, 121, 0), {}, {}},
        {"block ack naming a block not asked for", sending(2, 120, 6), ack(0xF1, 2, 9, 0), {}, {}},
        {"block ack answering a second copy of the block before", sentTwice(2, 120, 6), ack(0xF1, 2, 7, 0), {}, {},
         true},
        {"block ack asking again for the block after one sent twice", sentTwiceAnswered(2, 120, 6),
         ack(0xF1, 2, 7, 0), {{273, 7}}, {"01 20 03 01 00 01 00 01 F1 02 00 07"}, true},
        {"block ack asking for an earlier block", sending(2, 120, 6), ack(0xF1, 2, 3, 0), {{273, 3}},
         {"01 20 03 01 00 01 00 01 F1 02 00 03"}, true},
        {"after an earlier block, one up to the highest sent and the next",
         [sending](StartMainView& l, GCData& g, XCoreData& c) {
             sending(2, 120, 6)(l, g, c);
             l.converToData(ack(0xF1, 2, 3, 0));
         },
         ack(0xF1, 2, 7, 0), {{273, 7}}, {"01 20 03 01 00 01 00 01 F1 02 00 07"}, true},
        {"block ack with the link switched off", switchedOff(sending(2, 120, 6)), ack(0xF1, 2, 7, 0), {}, {}, true},
        {"block ack before the board's ready acknowledgement", asked(1, 10), ack(0xF1, 1, 1, 0), {}, {}},
        {"main-board block ack while board 1 awaits its ready acknowledgement", asked(1, 10), ack(0xFB, 0, 1, 0), {},
         {}},
        {"block failure of the board in work, whatever its block", sending(1, 10, 3), ack(0xF1, 1, 9, 1), {{264, 1}},
         {}, true},
        {"block failure before the board's ready acknowledgement", asked(1, 10), ack(0xF1, 1, 0, 1), {}, {}},
        {"block failure once block 0 went out", sending(1, 10, 0), ack(0xF1, 1, 0, 1), {{264, 1}}, {}, true},
        {"block failure of another board", sending(3, 10, 3), ack(0xF1, 1, 4, 1), {}, {}},
        {"block ack with another status", sending(1, 10, 3), ack(0xF1, 1, 4, 2), {}, {}, true},
        {"block ack naming board 7 is ignored", sending(1, 10, 3), ack(0xF1, 7, 4, 1), {}, {}},
        {"block ack after the board finished", sending(2, 3, 3), ack(0xF1, 2, 3, 0), {}, {}},
        // Nothing asked: before any run, or the firmware window gave its board up.
        {"ready ack before any run", none, ack(0xFA, 0, 0, 0), {}, {}},
        {"block ack before any run", none, ack(0xFB, 0, 1, 0), {}, {}},
        {"ready ack while no board is in work", givenUp(2, 120, 4), ack(0xF0, 2, 0, 0), {}, {}},
        {"ready failure while no board is in work", givenUp(2, 120, 4), ack(0xF0, 2, 0, 1), {}, {}},
        {"block ack while no board is in work", givenUp(2, 120, 4), ack(0xF1, 2, 5, 0), {}, {}},
        {"block failure while no board is in work", givenUp(2, 120, 4), ack(0xF1, 2, 5, 1), {}, {}},
        {"search answer", none, makeFrame(11, 0xF9, 1), {}, {}},
        {"unknown command", none, makeFrame(11, 0x7E, 1), {}, {}},
    };
    platform::TestMainLoop loop{true};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        gc = std::make_unique<GCData>();
        gc->isconnected = true;
        link = std::make_unique<StartMainView>(*gc, *core);
        link->setTransport(&transport);
        link->setConnectionState(&connection);
        link->setMainWindow(&window);
        connection = FakeConnection{};
        std::fill(std::begin(core->dSegement), std::end(core->dSegement), 0);
        std::fill(std::begin(core->updateStatusRecord), std::end(core->updateStatusRecord), 0);
        c.setup(*link, *gc, *core);
        transport.clear();
        bus.messages.clear();
        loop.advance(1s);
        const auto heardBefore = core->lastBoardReply;

        link->converToData(c.frame);
        EXPECT_TRUE(link->isOnLine());
        EXPECT_EQ(bus.messages, c.messages);
        std::vector<std::string> heads;
        for (const Bytes& f : transport.all()) {
            std::string h;
            for (size_t i = 0; i < std::min<size_t>(f.size(), 12); ++i) {
                char b[4];
                std::snprintf(b, sizeof b, i ? " %02X" : "%02X", f[i]);
                h += b;
            }
            heads.push_back(h);
        }
        EXPECT_EQ(heads, c.sentHeads);
        EXPECT_EQ(core->lastBoardReply != heardBefore, c.feedsBoardTimer) << "the firmware reply timer";
    }
}

// Preset data (the answer to Load to Computer) opens the save panel only for the Load waiting for
// it, of its type, once; the answer a Load given up still owes is dropped when it comes, and a
// lost one costs the next Load alone.
TEST_F(Dispatcher, PresetDataIsOfferedOnlyForTheLoadWaitingForIt) {
    using Step = std::function<void()>;
    auto load = [&](int type) { return [=, this] { link->sendCMD_LoadPresetFromDevice(type, 4, 0); }; };
    auto giveUp = [&] { link->abandonPresetRequest(RequestLedger::Preset::Data); };
    const Bytes dsp = makeFrame(70, 0x32, 1);
    auto answer = [&] { link->converToData(dsp); };
    struct Case {
        const char* name;
        std::vector<Step> before;
        bool offered;
    };
    const std::vector<Case> cases = {
        {"the Load's own answer", {load(0)}, true},
        {"no Load", {}, false},
        {"a Load of another type", {load(1)}, false},
        {"a second answer", {load(0), answer}, false},
        {"owed by a Load given up", {load(0), giveUp, load(0)}, false},
        {"the new Load's, after the one owed", {load(0), giveUp, load(0), answer}, true},
        {"the owed one was lost: the Load that lost its answer to it owes nothing",
         {load(0), giveUp, load(0), answer, giveUp, load(0)}, true},
        {"a silent mixer: each Load given up owes its answer", {load(0), giveUp, load(0), giveUp, load(0), answer},
         false},
        {"the link was lost since", {load(0), giveUp, [] { Duziz::sendMsg(MSG_DISCONNECTED, 0, kMessageBusName); },
                                     load(0)},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        link = std::make_unique<StartMainView>(*gc, *core);
        link->setTransport(&transport);
        link->setConnectionState(&connection);
        link->setMainWindow(&window);
        platform::ScriptedUiServices panels;
        for (int i = 0; i < 4; ++i) panels.answerSave(std::nullopt);
        for (const Step& step : c.before) step();
        panels.clearCalls();
        bus.messages.clear();

        answer();
        EXPECT_EQ(panels.callsOf("save").size(), c.offered ? 1u : 0u);
        using Messages = std::vector<std::pair<int, int>>;
        EXPECT_EQ(bus.messages, (c.offered ? Messages{{MSG_PRESET_RECEIVED, 0}} : Messages{}));
    }
}

TEST_F(Dispatcher, NameListsFillTheTablesAndTheLastOneEndsTheBusyDisplay) {
    link->sendCMD_ReadPresetList(0);
    Bytes list = makeFrame(779, 0x18, 1);
    for (int slot = 0; slot < 48; ++slot)
        for (int i = 0; i < 16; ++i) list[10 + 16 * slot + i] = static_cast<uint8_t>('A' + slot % 26);
    link->converToData(list);
    EXPECT_EQ(gc->gPresetName(0, 0), "001.AAAAAAAAAAAAAAAA");
    EXPECT_EQ(gc->gPresetName(47, 0), "048.VVVVVVVVVVVVVVVV");
    EXPECT_TRUE(window.bars.empty());

    // A short frame that completed by byte 3 fills the rest of the table with zeros.
    link->sendCMD_ReadPresetList(3);
    link->converToData(hex("01 20 03 0E 00 01 00 01 18 04 53 63 6E 40"));
    EXPECT_EQ(Bytes(gc->m_scenPreset[0], gc->m_scenPreset[0] + 5), hex("53 63 6E 40 00"));
    EXPECT_EQ(gc->m_scenPreset[23][15], 0);
    EXPECT_EQ(window.bars, std::vector<bool>{false});
    EXPECT_EQ(bus.positions(MSG_PRESET_LIST_LOADED), std::vector<int>{0});
}

TEST_F(Dispatcher, TheNextRestorePacketLeavesBeforeTheProgressMessage) {
    link->sendCMD_MemoryImport_Scence(23);
    transport.clear();
    size_t sentWhenPosted = 0;
    auto token = platform::NotificationCenter::defaultCenter().addObserver(
        kMessageBusName, [&](const platform::Notification&) { sentWhenPosted = transport.tcp.size(); });
    link->converToData(with(makeFrame(12, 0x30, 4), 10, 24));
    ASSERT_EQ(transport.tcp.size(), 1u);
    EXPECT_EQ(transport.tcp[0].size(), 2892u);
    EXPECT_EQ(sentWhenPosted, 1u);
}

}  // namespace
}  // namespace linktest

namespace linktest {
namespace {

// A block went out twice and the mixer answered the first copy; the next acknowledgement naming
// the block just sent is taken for the second copy's answer. Should nothing else come, it was the
// mixer asking for the block again, which goes out once the wait is over; the next block's
// acknowledgement in time shows it was the copy's answer.
TEST_F(Dispatcher, AnAnswerTakenForACopysIsAskingAgainOnlyWhenNothingElseComes) {
    using namespace std::chrono_literals;
    for (const bool nextComes : {false, true}) {
        SCOPED_TRACE(nextComes ? "the next block's acknowledgement comes" : "nothing else comes");
        platform::TestMainLoop loop{true};
        gc->setCurrentProgramItem(2);
        core->dSegement[2] = 120;
        link->sendCMD_isReady(2);
        link->converToData(ack(0xF0, 2, 0, 0));
        for (int block : {1, 2, 2, 3}) link->converToData(ack(0xF1, 2, block, 0));  // block 2 sent twice
        transport.clear();
        bus.messages.clear();

        link->converToData(ack(0xF1, 2, 3, 0));
        EXPECT_TRUE(transport.tcp.empty());
        loop.advance(StartMainView::kBlockReaskAfter - 1ms);
        EXPECT_TRUE(transport.tcp.empty());
        if (nextComes) {
            link->converToData(ack(0xF1, 2, 4, 0));
            loop.advance(10s);
            ASSERT_EQ(transport.tcp.size(), 1u);
            EXPECT_EQ(transport.tcp[0][11], 4);
            EXPECT_EQ(bus.positions(MSG_BLOCK_SENT), std::vector<int>{4});
        } else {
            loop.advance(1ms);
            ASSERT_EQ(transport.tcp.size(), 1u);
            EXPECT_EQ(transport.tcp[0][11], 3);
            EXPECT_EQ(bus.positions(MSG_BLOCK_SENT), std::vector<int>{3});
            loop.advance(10s);
            EXPECT_EQ(transport.tcp.size(), 1u);
        }
        link->abandonBoardTransfer();
    }
}

}  // namespace
}  // namespace linktest
