// One reply frame at a time: what it stores, what it sends next and what it reports on the bus.

#include "LinkFixture.h"

#include <functional>

namespace linktest {
namespace {

class Dispatcher : public LinkTest {};

Bytes ack(uint8_t command, int board, int block, uint8_t status) {
    Bytes f = makeFrame(15, command, static_cast<uint8_t>(board), 0x00);
    f[10] = static_cast<uint8_t>(block >> 8);
    f[11] = static_cast<uint8_t>(block & 0xFF);
    f[12] = status;
    return f;
}

TEST_F(Dispatcher, RepliesDriveSequencesAndMessages) {
    using Messages = std::vector<std::pair<int, int>>;
    struct Case {
        const char* name;
        std::function<void(GCData&, XCoreData&)> setup;
        Bytes frame;
        Messages messages;
        std::vector<std::string> sentHeads;  // first 12 bytes of each frame sent, in hex
    };
    auto board = [](int b, int count, int item) {
        return [=](GCData& g, XCoreData& c) {
            c.dSegement[b] = count;
            g.setCurrentProgramItem(item);
        };
    };
    auto none = [](GCData&, XCoreData&) {};
    const std::vector<Case> cases = {
        {"DSP list asks for the GEQ list", none, makeFrame(779, 0x18, 1), {}, {"01 20 03 0B 00 01 00 01 18 02 40"}},
        {"DFX list asks for the scene list", none, makeFrame(1675, 0x18, 3), {}, {"01 20 03 0B 00 01 00 01 18 04 40"}},
        {"scene list ends the chain", none, makeFrame(395, 0x18, 4), {{256, 0}}, {}},
        {"list of an unknown type", none, makeFrame(395, 0x18, 5), {}, {}},
        {"export packet in the wrong place is reported anyway", none, with(makeFrame(4612, 0x2F, 4), 10, 25),
         {{257, 25}}, {}},
        {"restore ack 24 sends the first DSP packet", none, with(makeFrame(12, 0x30, 4), 10, 24), {{262, 24}},
         {"00 00 00 00 00 00 00 00 31 00 00 00"}},
        {"restore ack 29 sends the current scene", none, with(makeFrame(12, 0x30, 2), 10, 29), {{262, 29}},
         {"00 00 00 00 00 00 00 00 31 00 00 00"}},
        {"restore ack 30 ends the restore", none, with(makeFrame(12, 0x30, 4), 10, 30), {{262, 30}}, {}},
        {"restore ack of an unknown pair", none, with(makeFrame(12, 0x30, 1), 10, 3), {{262, 3}}, {}},
        {"scene stored", none, makeFrame(11, 0x33, 4), {{261, 0}}, {}},
        {"DSP channel stored", none, makeFrame(11, 0x33, 1), {{261, 1}}, {}},
        {"GEQ stored", none, makeFrame(11, 0x33, 2), {{261, 3}}, {}},
        {"stored with an unknown type", none, makeFrame(11, 0x33, 5), {}, {}},
        {"ready starts block 0", board(2, 120, 2), ack(0xF0, 2, 0, 0), {}, {"01 20 03 01 00 01 00 01 F1 02 00 00"}},
        {"ready for another board is ignored", board(2, 120, 1), ack(0xF0, 2, 0, 0), {}, {}},
        {"ready for a board already done is ignored",
         [](GCData& g, XCoreData& c) {
             c.dSegement[1] = 5;
             g.setCurrentProgramItem(1);
             c.updateStatusRecord[1] = 1;
         },
         ack(0xF0, 1, 0, 0), {}, {}},
        {"ready failure names the board being programmed", board(2, 120, 3), ack(0xF0, 2, 0, 1), {{264, 3}}, {}},
        {"ready naming board 5 is ignored", board(2, 120, 5), ack(0xF0, 5, 0, 1), {}, {}},
        {"ready of the main board with no image ends its transfer", board(0, 0, 0), ack(0xFA, 0, 0, 0), {}, {"04"}},
        {"ready of board 1 with an empty image reports it failed", board(1, 0, 1), ack(0xF0, 1, 0, 0), {{264, 1}}, {}},
        {"ready of board 3 with an empty image reports it failed", board(3, 0, 3), ack(0xF0, 3, 0, 0), {{264, 3}}, {}},
        {"block ack asks for block 7", board(2, 120, 2), ack(0xF1, 2, 7, 0), {{273, 7}},
         {"01 20 03 01 00 01 00 01 F1 02 00 07"}},
        {"block ack of the main board", board(0, 3, 0), ack(0xFB, 0, 2, 0), {{273, 2}},
         {"01 20 03 01 00 01 00 01 FB 00 00 02"}},
        {"block ack naming the count finishes the board", board(2, 120, 2), ack(0xF1, 2, 120, 0), {{265, 2}}, {}},
        {"block ack past the count", board(2, 120, 2), ack(0xF1, 2, 121, 0), {}, {}},
        {"block ack failure names its own board", board(1, 10, 3), ack(0xF1, 1, 4, 1), {{264, 1}}, {}},
        {"block ack with another status", board(1, 10, 1), ack(0xF1, 1, 4, 2), {}, {}},
        {"block ack naming board 7 is ignored", board(1, 10, 1), ack(0xF1, 7, 4, 1), {}, {}},
        // The firmware window gave its board up: late acknowledgements start and send nothing.
        {"ready ack while no board is in work", board(2, 120, -1), ack(0xF0, 2, 0, 0), {}, {}},
        {"ready failure while no board is in work", board(2, 120, -1), ack(0xF0, 2, 0, 1), {}, {}},
        {"block ack while no board is in work", board(2, 120, -1), ack(0xF1, 2, 7, 0), {}, {}},
        {"block failure while no board is in work", board(2, 120, -1), ack(0xF1, 2, 7, 1), {}, {}},
        {"search answer", none, makeFrame(11, 0xF9, 1), {}, {}},
        {"unknown command", none, makeFrame(11, 0x7E, 1), {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        gc = std::make_unique<GCData>();
        gc->isconnected = true;
        link = std::make_unique<StartMainView>(*gc, *core);
        link->setTransport(&transport);
        link->setConnectionState(&connection);
        link->setMainWindow(&window);
        std::fill(std::begin(core->dSegement), std::end(core->dSegement), 0);
        std::fill(std::begin(core->updateStatusRecord), std::end(core->updateStatusRecord), 0);
        c.setup(*gc, *core);
        transport.clear();
        bus.messages.clear();

        link->converToData(c.frame);
        EXPECT_TRUE(link->isOnLine());
        EXPECT_EQ(bus.messages, c.messages);
        std::vector<std::string> heads;
        for (const Bytes& f : transport.tcp) {
            std::string h;
            for (size_t i = 0; i < std::min<size_t>(f.size(), 12); ++i) {
                char b[4];
                std::snprintf(b, sizeof b, i ? " %02X" : "%02X", f[i]);
                h += b;
            }
            heads.push_back(h);
        }
        EXPECT_EQ(heads, c.sentHeads);
    }
}

TEST_F(Dispatcher, NameListsFillTheTablesAndTheLastOneEndsTheBusyDisplay) {
    Bytes list = makeFrame(779, 0x18, 1);
    for (int slot = 0; slot < 48; ++slot)
        for (int i = 0; i < 16; ++i) list[10 + 16 * slot + i] = static_cast<uint8_t>('A' + slot % 26);
    link->converToData(list);
    EXPECT_EQ(gc->gPresetName(0, 0), "001.AAAAAAAAAAAAAAAA");
    EXPECT_EQ(gc->gPresetName(47, 0), "048.VVVVVVVVVVVVVVVV");
    EXPECT_TRUE(window.bars.empty());

    // A short frame that completed by byte 3 fills the rest of the table with zeros.
    link->converToData(hex("01 20 03 0E 00 01 00 01 18 04 53 63 6E 40"));
    EXPECT_EQ(Bytes(gc->m_scenPreset[0], gc->m_scenPreset[0] + 5), hex("53 63 6E 40 00"));
    EXPECT_EQ(gc->m_scenPreset[23][15], 0);
    EXPECT_EQ(window.bars, std::vector<bool>{false});
    EXPECT_EQ(bus.positions(MSG_PRESET_LIST_LOADED), std::vector<int>{0});
}

TEST_F(Dispatcher, TheNextRestorePacketLeavesBeforeTheProgressMessage) {
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
