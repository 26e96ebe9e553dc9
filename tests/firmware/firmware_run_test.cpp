// The firmware window's run against the simulated mixer on loopback TCP: four boards programmed
// in order with progress, lamps, pauses and the reboot countdown; failures repeated; a link lost
// during the countdown or in the middle of a board stops the run cleanly.

#include "FirmwareFixture.h"

#include "support/QuitQuestion.h"

using namespace firmwaretest;

namespace {

// What the window shows at each block sent: the board in work and its lit lamps.
struct BlockView {
    int board;
    std::vector<int> lit;
    bool programEnabled;
};

class FirmwareRun : public FirmwareTest {
protected:
    // Records the window's state at every block the link reports sent (after the window handled it).
    void watchBlocks() {
        blockWatch_ = platform::NotificationCenter::defaultCenter().addObserver(
            kMessageBusName, [this](const platform::Notification& note) {
                const auto* p = std::any_cast<UserprofilePtr>(&note.object);
                if (p && *p && (*p)->cmdType == MSG_BLOCK_SENT)
                    blocks.push_back({gc.currentProgramItem(), fw.litBoards(), fw.programEnabled});
            });
    }
    std::vector<Bytes> received(int board) {
        return mixer.with(
            [board](sim::SimMixer& m) { return std::vector<Bytes>{m.firmware[static_cast<size_t>(board)]}; });
    }
    void expectImagesProgrammed() {
        for (int board = 0; board < 4; ++board)
            EXPECT_EQ(received(board).front(), padded(imageOf(board))) << "board " << board;
    }
    // The ready queries the mixer received, by board.
    std::vector<int> readyBoards() {
        std::vector<int> boards;
        for (uint8_t command : {uint8_t{0xFA}, uint8_t{0xF0}})
            for (const Bytes& f : framesOf(mixer, command)) boards.push_back(f[9]);
        return boards;
    }

    std::vector<BlockView> blocks;

private:
    platform::NotificationCenter::ObserverToken blockWatch_;
};

std::vector<std::string> progressTexts(const std::vector<std::pair<std::string, Color>>& texts) {
    std::vector<std::string> out;
    for (const auto& [text, color] : texts)
        if (text.rfind("Update Complete:", 0) == 0) out.push_back(text);
    return out;
}

}  // namespace

TEST_F(FirmwareRun, ProgramsTheFourBoardsInOrderWithOneRebootWait) {
    connectMixer();
    makeWindow();
    watchBlocks();
    program();
    ASSERT_TRUE(runUntil([&] { return window->checkWhichFirwareBegin() == -1 && runEnded(); }, 20s));

    expectImagesProgrammed();
    // One enter-programming frame, before the main board's ready query.
    const auto enter = framesOf(mixer, 0xF8);
    ASSERT_EQ(enter.size(), 1u);
    const auto all = mixer.with([](sim::SimMixer& m) { return m.received; });
    const auto firstReady =
        std::find_if(all.begin(), all.end(), [](const Bytes& f) { return f.size() > 8 && f[8] == 0xFA; });
    const auto enterAt =
        std::find_if(all.begin(), all.end(), [](const Bytes& f) { return f.size() > 8 && f[8] == 0xF8; });
    EXPECT_LT(enterAt, firstReady);
    EXPECT_EQ(readyBoards(), (std::vector<int>{0, 1, 2, 3}));

    // 0.08 s before each ready query, 2.0 s after boards 1-3; the countdown after board 0.
    EXPECT_EQ(windowSleeper.sleeps(), (std::vector<double>{0.08, 0.08, 2.0, 0.08, 2.0, 0.08, 2.0}));
    EXPECT_EQ(fw.countdowns, 1);
    EXPECT_EQ(fw.countdownTitle, "Equipment is rebooting,please wait...");

    // A percentage per block of each board, the board's lamp alone lit, Program disabled.
    // Blocks 1 and 2 of 3 (boards 0 and 1), 1 to 3 of 4 (board 2); block 0 goes out on the ready
    // acknowledgement and board 3 has no other.
    std::vector<std::string> expected;
    for (int percent : {33, 67, 33, 67, 25, 50, 75})
        expected.push_back("Update Complete:" + std::to_string(percent) + "%...");
    EXPECT_EQ(progressTexts(fw.statusTexts), expected);
    ASSERT_FALSE(blocks.empty());
    for (const BlockView& b : blocks) {
        EXPECT_EQ(b.lit, std::vector<int>{b.board});
        EXPECT_FALSE(b.programEnabled);
    }
    EXPECT_EQ(std::count(fw.programHistory.begin(), fw.programHistory.end(), true), 1);
    EXPECT_TRUE(fw.programHistory.back());

    EXPECT_EQ(fw.statusText, "Firmware update complete");
    EXPECT_EQ(fw.statusColor, Color::orange);
    EXPECT_FALSE(fw.statusHidden);
    EXPECT_FALSE(fw.noticeHidden);
    EXPECT_EQ(fw.progress, fw.progressFull);
    EXPECT_EQ(fw.litBoards(), std::vector<int>{3});
    for (int board = 0; board < 4; ++board) EXPECT_EQ(core.updateStatusRecord[board], 1);
    EXPECT_TRUE(mixer.with([](sim::SimMixer& m) { return m.rejected.empty(); }));
}

TEST_F(FirmwareRun, AFailedBoardIsStartedAgainAndTheMainBoardAfterTheCountdown) {
    mixer.with([](sim::SimMixer& m) {
        m.failBoardOnce(0, 1);
        m.failBoardOnce(2, 2);
    });
    connectMixer();
    makeWindow();
    program();
    ASSERT_TRUE(runUntil([&] { return window->checkWhichFirwareBegin() == -1 && runEnded(); }, 20s));

    expectImagesProgrammed();
    EXPECT_EQ(readyBoards(), (std::vector<int>{0, 0, 1, 2, 2, 3}));
    // Board 0 waits for the reboot after its failure and after its success; board 2 is started
    // again at once, without the pause between boards.
    EXPECT_EQ(fw.countdowns, 2);
    EXPECT_EQ(windowSleeper.sleeps(), (std::vector<double>{0.08, 0.08, 0.08, 2.0, 0.08, 0.08, 2.0, 0.08, 2.0}));

    // After a failure the progress of the repeated board keeps its red; the end turns it orange.
    const auto failed = std::find_if(fw.statusTexts.begin(), fw.statusTexts.end(),
                                     [](const auto& t) { return t.first == "Your Firmware Update is failed~!"; });
    ASSERT_NE(failed, fw.statusTexts.end());
    size_t redProgress = 0;
    for (auto it = failed + 1; it != fw.statusTexts.end(); ++it) {
        if (it->first.rfind("Update Complete:", 0) != 0) continue;
        EXPECT_EQ(it->second, Color::red) << it->first;
        ++redProgress;
    }
    EXPECT_GT(redProgress, 0u);
    EXPECT_EQ(fw.statusText, "Firmware update complete");
    EXPECT_EQ(fw.statusColor, Color::orange);
    EXPECT_EQ(std::count(fw.programHistory.begin(), fw.programHistory.end(), true), 1);
}

// The mixer reboots after its main board and drops the link; the countdown then finds no link.
// A real mixer's reboot may not close the connection at all: the link then stays up until the
// first frame after the countdown meets the rebooted mixer.
TEST_F(FirmwareRun, ALinkDroppedDuringTheCountdownStopsTheRunWhenItEnds) {
    mixer.with([](sim::SimMixer& m) { m.setRebootDropsLink(true); });
    fw.countdownRunsOut = false;
    connectMixer();
    makeWindow();
    program();
    ASSERT_TRUE(runUntil([&] { return fw.countdowns == 1; }));
    ASSERT_TRUE(runUntil([&] { return bus.count(MSG_DISCONNECTED) == 1; }));
    EXPECT_FALSE(fw.lamps[Lamp::statusLCD].lighted);
    EXPECT_FALSE(fw.programEnabled);  // still waiting

    ui.clearCalls();
    fw.countdownDone();
    const auto alerts = ui.callsOf("alert");
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].title, "Warning");
    EXPECT_EQ(alerts[0].message, "Please connect the Remote Device first!");
    EXPECT_TRUE(fw.programEnabled);
    EXPECT_EQ(window->updateLock, 0);
    EXPECT_EQ(core.updateStatusRecord[0], 1);
    EXPECT_EQ(readyBoards(), std::vector<int>{0});
}

// A lost link fails the board in work and stops the run, so that Connect and Program
// start a whole new run.
TEST_F(FirmwareRun, ALinkLostInTheMiddleOfABoardStopsTheRunAndANewRunWorksAfterConnect) {
    connectMixer();
    makeWindow();
    mixer.with([](sim::SimMixer& m) { m.dropLinkAtBlock(1, 1); });
    program();
    ASSERT_TRUE(runUntil([&] { return bus.count(MSG_DISCONNECTED) == 1; }, 20s));
    EXPECT_EQ(window->updateLock, 0);
    EXPECT_EQ(core.updateStatusRecord[1], 2);
    EXPECT_EQ(fw.statusText, "Your Firmware Update is failed~!");
    EXPECT_EQ(fw.statusColor, Color::red);
    EXPECT_FALSE(fw.statusHidden);
    EXPECT_EQ(fw.progress, 0);
    EXPECT_TRUE(fw.programEnabled);
    // Nothing starts again by itself while the link is down.
    loop.runFor(100ms);
    EXPECT_EQ(readyBoards(), (std::vector<int>{0, 1}));

    link->switchLighted();
    ASSERT_TRUE(runUntil([&] { return gc.isconnected && bus.count(MSG_PRESET_LIST_LOADED) == 2; }));
    program();
    ASSERT_TRUE(runUntil([&] { return window->checkWhichFirwareBegin() == -1 && runEnded(); }, 20s));
    expectImagesProgrammed();
    EXPECT_EQ(fw.statusText, "Firmware update complete");
}

// A board that fails at every start is tried three times in the run, then the run stops; the
// main board's failures wait out the countdown, but the third starts none.
TEST_F(FirmwareRun, ABoardThatAlwaysFailsStopsTheRunAfterItsThirdTry) {
    struct Case {
        int board;
        std::vector<int> ready;
        int countdowns;
    };
    for (const Case& c : {Case{0, {0, 0, 0}, 2}, Case{1, {0, 1, 1, 1}, 1}}) {
        SCOPED_TRACE(c.board);
        mixer.with([&](sim::SimMixer& m) {
            m = sim::SimMixer();
            m.failBoard(c.board);
        });
        if (!link) connectMixer();
        makeWindow();
        program();
        ASSERT_TRUE(runUntil([&] { return !window->isRunning(); }, 20s));
        EXPECT_EQ(readyBoards(), c.ready);
        EXPECT_EQ(fw.countdowns, c.countdowns);
        EXPECT_EQ(fw.statusText, "Your Firmware Update is failed~!");
        EXPECT_EQ(fw.statusColor, Color::red);
        EXPECT_FALSE(fw.statusHidden);
        EXPECT_EQ(fw.progress, 0);
        EXPECT_TRUE(fw.programEnabled);
        EXPECT_EQ(core.updateStatusRecord[c.board], 2);
        const size_t frames = mixer.with([](sim::SimMixer& m) { return m.received.size(); });
        loop.runFor(200ms);
        EXPECT_EQ(mixer.with([](sim::SimMixer& m) { return m.received.size(); }), frames) << "nothing more is sent";
        fw.countdowns = 0;
    }
}

// The mixer stops answering in the middle of the keyboard MCU: the run ends as failed once the
// reply timeout has passed, without a retry, and the answers it sends late change nothing.
TEST_F(FirmwareRun, AMixerThatFallsSilentEndsTheRunAndItsLateAnswersChangeNothing) {
    connectMixer();
    // Board 0: its ready acknowledgement and three block acknowledgements; board 1: its ready
    // acknowledgement and the first block's.
    mixer.with([](sim::SimMixer& m) { m.holdRepliesAfter(6); });
    makeWindow();
    window->setReplyTimeout(300ms);
    program();
    ASSERT_TRUE(runUntil([&] { return bus.count(MSG_BLOCK_SENT) == 3; }));
    const auto silentSince = std::chrono::steady_clock::now();
    ASSERT_TRUE(runUntil([&] { return !window->isRunning(); }));
    EXPECT_GE(std::chrono::steady_clock::now() - silentSince, 250ms);
    EXPECT_EQ(fw.statusText, "Your Firmware Update is failed~!");
    EXPECT_EQ(fw.statusColor, Color::red);
    EXPECT_EQ(fw.progress, 0);
    EXPECT_TRUE(fw.programEnabled);
    EXPECT_EQ(core.updateStatusRecord[1], 2);
    EXPECT_EQ(readyBoards(), (std::vector<int>{0, 1}));

    const auto late = mixer.with([](sim::SimMixer& m) { return m.takeHeldReplies(); });
    ASSERT_FALSE(late.empty());
    const size_t frames = mixer.with([](sim::SimMixer& m) { return m.received.size(); });
    const size_t messages = bus.codes.size();
    tcp.send(late);
    loop.runFor(300ms);
    EXPECT_EQ(mixer.with([](sim::SimMixer& m) { return m.received.size(); }), frames);
    EXPECT_EQ(bus.codes.size(), messages);
    EXPECT_EQ(fw.statusText, "Your Firmware Update is failed~!");
    EXPECT_FALSE(window->isRunning());
}

// The mixer freezes in the main board's blocks for longer than the reply timeout and answers
// again once Program was pressed anew: its late acknowledgement, arriving before the new run's
// ready acknowledgement on the same connection, drives nothing, and the new run programs every
// board in order, each block once.
TEST_F(FirmwareRun, LateAnswersOfAGivenUpRunDriveNothingInTheNextRun) {
    connectMixer();
    mixer.with([](sim::SimMixer& m) { m.holdRepliesAfter(2); });  // ready and block 0 acknowledged
    makeWindow();
    window->setReplyTimeout(300ms);
    program();
    ASSERT_TRUE(runUntil([&] { return !window->isRunning(); }));
    ASSERT_EQ(fw.statusText, "Your Firmware Update is failed~!");

    // The new run is not to stop for a machine too busy to answer within the short timeout.
    window->setReplyTimeout(20s);
    const size_t runStart = mixer.with([](sim::SimMixer& m) { return m.received.size(); });
    program();
    ASSERT_TRUE(runUntil([&] { return framesOf(mixer, 0xFA).size() == 2; })) << "the new run's ready query";
    tcp.send(mixer.with([](sim::SimMixer& m) {
        m.holdRepliesAfter(-1);
        return m.takeHeldReplies();
    }));
    ASSERT_TRUE(runUntil([&] { return window->checkWhichFirwareBegin() == -1 && runEnded(); }, 20s));
    EXPECT_EQ(fw.statusText, "Firmware update complete");
    expectImagesProgrammed();
    const auto frames = mixer.with([](sim::SimMixer& m) { return m.received; });
    expectOneRunInOrder(blocksFrom(frames, runStart), {3, 3, 4, 1});
    EXPECT_TRUE(mixer.with([](sim::SimMixer& m) { return m.rejected.empty(); }));
}

// Quitting from the Program click to the run's end asks first, the reboot countdown included;
// "Don't Quit" is the default. After the run nothing is asked.
TEST_F(FirmwareRun, QuittingDuringARunAsksFirstUntilTheRunEnds) {
    fw.countdownRunsOut = false;
    connectMixer();
    makeWindow();
    AppDelegate delegate([] { return AppDelegate::ManifestEntries(9); });
    testsupport::expectQuitUnasked(delegate, ui);
    program();
    ASSERT_TRUE(runUntil([&] { return fw.countdowns == 1; }));
    EXPECT_EQ(window->updateLock, 0) << "no board in work during the countdown";
    testsupport::expectQuitRefused(delegate, ui, "A firmware update is being written into the mixer.");

    fw.countdownDone();
    ASSERT_TRUE(runUntil([&] { return window->checkWhichFirwareBegin() == -1 && runEnded(); }, 20s));
    testsupport::expectQuitUnasked(delegate, ui);
    expectImagesProgrammed();
}
