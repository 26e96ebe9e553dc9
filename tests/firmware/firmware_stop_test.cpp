// A firmware run that cannot finish ends, run by the window's logic against the simulated mixer
// on a recording link and a manual clock: a board is tried at most three times in a run, and a
// mixer that stops answering for the reply timeout while a board is in work ends the run without
// a retry; what the mixer sends after that changes nothing and is answered with nothing.

#include "FirmwareFixture.h"

using namespace firmwaretest;

namespace {

constexpr auto kReplyTimeout = 40s;
const std::string kFailed = "Your Firmware Update is failed~!";
const std::string kWriting = "A firmware update is being written into the mixer.";

class FirmwareStop : public linktest::LinkTest {
protected:
    // Image sizes of the four boards in blocks: 3, 3, 4, 1.
    static constexpr size_t kImageSizes[4] = {3 * 1024, 2 * 1024 + 100, 4 * 1024, 1024};

    FirmwareStop() {
        for (int board = 0; board < 4; ++board)
            linktest::writeFile(dir / (std::string("lib/") + Firmware_BIN[board]),
                                imageBytes(board, kImageSizes[board]));
        const std::string json = manifest({"a", "b", "c", "d", "e", "f", "g", "h", "0"});
        linktest::writeFile(dir / (std::string("lib/") + kFirmwareManifestName), Bytes(json.begin(), json.end()));
        attach(mixer);
        window.setSleeper(&windowSleeper);
        window.setRebootSeconds(0);
        window.awakeFromNib();
    }

    // Program, answered with "OK", and everything that follows at once.
    void program() {
        ui.answerAlert(0);
        window.beginToProgramBtnClick();
        settle();
    }
    // Feeds the mixer's replies to the link and runs what has come due, until nothing more
    // happens without the clock moving (a run that would never end fails the test instead).
    void settle() {
        for (int round = 0; round < 1000; ++round) {
            if (mixer.hasOutput()) link->parseData(mixer.takeChunk());
            loop.advance(0s);
            if (!mixer.hasOutput()) return;
        }
        ADD_FAILURE() << "the mixer is still being sent frames after 1000 replies";
    }
    void advance(std::chrono::nanoseconds by) {
        loop.advance(by);
        settle();
    }
    // The ready queries the mixer received, by board, in order.
    std::vector<int> readyBoards() const {
        std::vector<int> boards;
        for (const Bytes& f : mixer.received)
            if (f.size() > 9 && (f[8] == 0xFA || f[8] == 0xF0)) boards.push_back(f[9]);
        return boards;
    }
    // The run has stopped as failed at board: the failure shown in red, the bar empty, Program
    // enabled, nothing in work and nothing written any more.
    void expectStoppedAt(int board) {
        EXPECT_FALSE(window.isRunning());
        EXPECT_EQ(window.writingToMixer(), "");
        EXPECT_EQ(window.updateLock, 0);
        EXPECT_EQ(fw.statusText, kFailed);
        EXPECT_EQ(fw.statusColor, Color::red);
        EXPECT_FALSE(fw.statusHidden);
        EXPECT_EQ(fw.progress, 0);
        EXPECT_TRUE(fw.programEnabled);
        EXPECT_EQ(core->updateStatusRecord[board], 2);
        for (int later = board + 1; later < 4; ++later) EXPECT_EQ(core->updateStatusRecord[later], 0);
    }
    // Nothing more leaves for as long as the clock runs.
    void expectNothingMoreSent() {
        const size_t frames = mixer.received.size();
        const int countdowns = fw.countdowns;
        advance(1000s);
        EXPECT_TRUE(mixer.rejected.empty());
        EXPECT_EQ(mixer.received.size(), frames);
        EXPECT_EQ(fw.countdowns, countdowns);
    }

    platform::TestMainLoop loop{true};
    sim::SimMixer mixer;
    platform::RecordingSleeper windowSleeper;
    RecordingFirmwareView fw;
    CFirmwareUpdate window{fw, *gc, *core};
};

TEST_F(FirmwareStop, ABoardIsTriedAtMostThreeTimesInARun) {
    struct Case {
        const char* name;
        int board;
        int failures;  // -1: every try
        int atBlock;   // -1: the ready query
        std::vector<int> ready;
        int countdowns;
        std::vector<double> sleeps;  // of a run that completes; empty: the run stops
    };
    const Case cases[] = {
        {"the main board fails every start: no countdown after the third", 0, -1, -1, {0, 0, 0}, 2, {}},
        {"the main board fails twice, then goes through", 0, 2, -1, {0, 0, 0, 1, 2, 3}, 3,
         {0.08, 0.08, 0.08, 0.08, 2.0, 0.08, 2.0, 0.08, 2.0}},
        {"the first DSP fails at block 2 every try", 2, -1, 2, {0, 1, 2, 2, 2}, 1, {}},
        {"the first DSP fails twice at block 2, then goes through", 2, 2, 2, {0, 1, 2, 2, 2, 3}, 1,
         {0.08, 0.08, 2.0, 0.08, 0.08, 0.08, 2.0, 0.08, 2.0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mixer = sim::SimMixer();
        fw.countdowns = 0;
        windowSleeper.clear();
        if (c.failures < 0)
            mixer.failBoard(c.board, c.atBlock);
        else
            mixer.failBoardTimes(c.board, c.failures, c.atBlock);

        program();
        EXPECT_EQ(readyBoards(), c.ready);
        EXPECT_EQ(fw.countdowns, c.countdowns);
        if (c.sleeps.empty()) {
            expectStoppedAt(c.board);
            expectNothingMoreSent();
        } else {
            EXPECT_FALSE(window.isRunning());
            EXPECT_EQ(windowSleeper.sleeps(), c.sleeps);
            EXPECT_EQ(fw.statusText, "Firmware update complete");
            for (int board = 0; board < 4; ++board)
                EXPECT_EQ(mixer.firmware[static_cast<size_t>(board)], padded(imageBytes(board, kImageSizes[board])));
        }
    }
}

// Where the mixer falls silent: the reply frames it still sends (ready acknowledgements and block
// acknowledgements count alike) before it holds the rest back.
TEST_F(FirmwareStop, AMixerThatFallsSilentEndsTheRunWithoutARetryAndItsLateAnswersChangeNothing) {
    struct Case {
        const char* name;
        int replies;
        int board;
        std::vector<int> ready;
    };
    const Case cases[] = {
        {"no answer to the main board's ready query", 0, 0, {0}},
        {"no acknowledgement of the main board's second block", 2, 0, {0}},
        {"no answer to the keyboard's ready query, after the countdown", 4, 1, {0, 1}},
        {"no acknowledgement of the keyboard's first block", 5, 1, {0, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mixer = sim::SimMixer();
        mixer.holdRepliesAfter(c.replies);
        program();
        ASSERT_TRUE(window.isRunning());
        EXPECT_EQ(window.writingToMixer(), kWriting);
        advance(kReplyTimeout - 100ms);
        EXPECT_EQ(window.updateLock, 1);
        EXPECT_NE(fw.statusText, kFailed);
        advance(100ms);
        expectStoppedAt(c.board);
        EXPECT_EQ(readyBoards(), c.ready) << "no retry";

        // The mixer answers after all: the link sends nothing for it, the window shows nothing.
        const size_t frames = mixer.received.size();
        const size_t messages = bus.messages.size();
        link->parseData(mixer.takeHeldReplies());
        settle();
        EXPECT_EQ(mixer.received.size(), frames);
        EXPECT_EQ(bus.messages.size(), messages);
        expectStoppedAt(c.board);
        expectNothingMoreSent();
    }
}

TEST_F(FirmwareStop, TheReplyTimeoutCountsFromTheMixersLastAnswer) {
    mixer.holdRepliesAfter(0);
    program();
    // The ready acknowledgement comes after 30 s; block 0 goes out and is never acknowledged.
    advance(30s);
    link->parseData(mixer.takeHeldReplies());
    settle();
    ASSERT_EQ(mixer.received.back()[8], 0xFB);
    advance(kReplyTimeout - 100ms);
    EXPECT_EQ(window.updateLock, 1);
    EXPECT_TRUE(window.isRunning());
    advance(100ms);
    expectStoppedAt(0);
}

// A mixer that repeats an acknowledgement once its board has ended, while it reboots or after the
// run finished: the link sends nothing for it, and the window keeps what it shows.
TEST_F(FirmwareStop, AnAcknowledgementRepeatedAfterItsBoardEndedSendsNothingAndShowsNothing) {
    struct Case {
        const char* name;
        bool countdownRunsOut;  // false: the mixer is still rebooting after the main board
        uint8_t command;
        uint8_t board;
        int block;  // the block the repeated acknowledgement asks for
        std::string status;
    };
    const Case cases[] = {
        {"the main board's block 1, during the countdown", false, 0xFB, 0, 1, ""},
        {"the last board's block 0, after the run finished", true, 0xF1, 3, 0, "Firmware update complete"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mixer = sim::SimMixer();
        fw.countdownRunsOut = c.countdownRunsOut;
        program();
        ASSERT_EQ(fw.statusText, c.status);
        ASSERT_EQ(window.isRunning(), !c.countdownRunsOut);
        const size_t frames = mixer.received.size();
        const auto texts = fw.statusTexts;
        const int bar = fw.progress;
        const size_t blocksReported = bus.count(MSG_BLOCK_SENT);

        Bytes ack = linktest::makeFrame(14, c.command, c.board);
        ack[10] = static_cast<uint8_t>(c.block >> 8);
        ack[11] = static_cast<uint8_t>(c.block & 0xFF);
        ack[12] = 0;
        link->parseData(ack);
        settle();
        EXPECT_EQ(mixer.received.size(), frames);
        EXPECT_EQ(fw.statusTexts, texts);
        EXPECT_EQ(fw.progress, bar);
        EXPECT_EQ(bus.count(MSG_BLOCK_SENT), blocksReported);
    }
}

// The countdown and the pauses have no board in work: a countdown longer than the reply timeout
// is no silence of the mixer. The quit question hears of the run until its end.
TEST_F(FirmwareStop, TheReplyTimeoutRestsWhileNoBoardIsInWork) {
    fw.countdownSeconds = 60;
    program();
    ASSERT_EQ(fw.countdowns, 1);
    EXPECT_EQ(core->updateStatusRecord[0], 1);
    advance(59s);
    EXPECT_TRUE(window.isRunning());
    EXPECT_EQ(window.writingToMixer(), kWriting);
    EXPECT_NE(fw.statusText, kFailed);
    advance(1s);
    EXPECT_FALSE(window.isRunning());
    EXPECT_EQ(window.writingToMixer(), "");
    EXPECT_EQ(fw.statusText, "Firmware update complete");
    EXPECT_EQ(readyBoards(), (std::vector<int>{0, 1, 2, 3}));
}

}  // namespace

// The mixer falls silent for longer than the reply timeout and answers again once the user has
// pressed Program anew: the answers of the given-up run drive nothing, and the new run programs
// every board in order, each block once. The late answers come before the new run's own (as a
// mixer that answers in order sends them), or in the middle of its first board.
TEST_F(FirmwareStop, LateAnswersOfAGivenUpRunDriveNothingInTheNextRun) {
    struct Case {
        const char* name;
        int replies;          // before the mixer falls silent
        int givenUpBoard;     // the board the first run stops at
        bool midNewRun;       // the late answers arrive once the new run has sent its first block report
    };
    const Case cases[] = {
        {"frozen in the keyboard's blocks, late answers first", 6, 1, false},
        {"frozen in the keyboard's blocks, late answers mid-run", 6, 1, true},
        {"frozen in the main board's blocks, late answers first", 2, 0, false},
        {"frozen in the main board's blocks, late answers mid-run", 2, 0, true},
        {"the keyboard's ready query unanswered after the countdown", 4, 1, false},
        {"the keyboard's ready query unanswered, late answer mid-run", 4, 1, true},
    };
    const std::vector<int> counts = {3, 3, 4, 1};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mixer = sim::SimMixer();
        bus.messages.clear();
        mixer.holdRepliesAfter(c.replies);
        program();
        advance(kReplyTimeout);
        expectStoppedAt(c.givenUpBoard);

        // Program again while the mixer is still silent; then it answers everything it held.
        Bytes late;
        std::optional<platform::NotificationCenter::ObserverToken> midRun;
        if (c.midNewRun) {
            // The given-up run's answers, held apart; the new run's are answered at once.
            late = mixer.takeHeldReplies();
            mixer.holdRepliesAfter(-1);
            midRun = platform::NotificationCenter::defaultCenter().addObserver(
                kMessageBusName, [&](const platform::Notification& note) {
                    const auto* p = std::any_cast<UserprofilePtr>(&note.object);
                    if (p && *p && (*p)->cmdType == MSG_BLOCK_SENT && !late.empty())
                        link->parseData(std::exchange(late, {}));
                });
        }
        const size_t runStart = mixer.received.size();
        bus.messages.clear();
        program();
        if (!c.midNewRun) {
            mixer.holdRepliesAfter(-1);
            link->parseData(mixer.takeHeldReplies());
            settle();
        }
        EXPECT_TRUE(late.empty());

        EXPECT_FALSE(window.isRunning());
        EXPECT_EQ(fw.statusText, "Firmware update complete");
        EXPECT_EQ(fw.progress, fw.progressFull);
        EXPECT_TRUE(fw.programEnabled);
        expectOneRunInOrder(blocksFrom(mixer.received, runStart), counts, c.midNewRun && c.givenUpBoard == 0 ? 1 : 0);
        for (int board = 0; board < 4; ++board)
            EXPECT_EQ(mixer.firmware[static_cast<size_t>(board)], padded(imageBytes(board, kImageSizes[board])))
                << "board " << board;
        EXPECT_TRUE(mixer.rejected.empty());
        // The bar moved only with the new run's own blocks: 1, 2 of boards 0 and 1, 1-3 of board 2.
        // A late answer naming the main board's next block is taken for the new run's (nothing
        // tells them apart): that block goes out early, and once more when the mixer asks for it.
        const std::vector<int> own = c.midNewRun && c.givenUpBoard == 0 ? std::vector<int>{1, 2, 2, 1, 2, 1, 2, 3}
                                                                        : std::vector<int>{1, 2, 1, 2, 1, 2, 3};
        EXPECT_EQ(bus.positions(MSG_BLOCK_SENT), own);
        EXPECT_EQ(bus.positions(MSG_BOARD_DONE), (std::vector<int>{0, 1, 2, 3}));
        EXPECT_TRUE(bus.positions(MSG_BOARD_FAILED).empty());
    }
}

// A mixer stuck on the main board's last acknowledgement, repeating it every 30 s while the
// keyboard waits for its ready acknowledgement: the repeats are no answer for the keyboard, so
// they send nothing, show nothing and keep no run in work past the reply timeout.
TEST_F(FirmwareStop, ARepeatedAnswerForAnotherBoardFeedsNoReplyTimer) {
    mixer.holdRepliesAfter(4);  // board 0's ready and block acknowledgements; board 1's ready query held
    program();
    ASSERT_EQ(readyBoards(), (std::vector<int>{0, 1}));
    const Bytes repeated = mixer.lastReplySent();
    ASSERT_EQ(repeated[8], 0xFB);
    ASSERT_EQ(repeated[11], 3) << "the main board's last acknowledgement names its block count";
    const size_t frames = mixer.received.size();
    const size_t messages = bus.messages.size();
    const std::string status = fw.statusText;

    advance(30s);
    link->parseData(repeated);
    settle();
    EXPECT_EQ(mixer.received.size(), frames) << "no main-board block for the keyboard's run";
    EXPECT_EQ(bus.messages.size(), messages);
    EXPECT_EQ(fw.statusText, status);
    advance(10s - 100ms);
    EXPECT_TRUE(window.isRunning());
    advance(100ms);
    expectStoppedAt(1);
    EXPECT_EQ(mixer.received.size(), frames);
}

// One stray answer in the middle of a board of twelve blocks: the block it asks for early goes
// out once more when the mixer's own answer asks for it, and the mixer answers both copies; the
// second copy's answer sends nothing, so no other block of the board goes twice.
TEST_F(FirmwareStop, AStrayAnswerInTheMiddleOfABoardSendsOneBlockTwiceAndNoMore) {
    linktest::writeFile(dir / (std::string("lib/") + Firmware_BIN[0]), imageBytes(0, 12 * 1024));
    core->readAllFirmware_fromLocal();
    ASSERT_EQ(core->dSegement[0], 12);
    struct Case {
        const char* name;
        bool givenUpFirst;  // the stray answer is a late one of a run given up; else a repeated one
    };
    for (const Case c : {Case{"the mixer repeats an acknowledgement", false},
                         Case{"a late answer of a given-up run, mid-run", true}}) {
        SCOPED_TRACE(c.name);
        mixer = sim::SimMixer();
        bus.messages.clear();
        size_t runStart = 0;
        Bytes stray;
        std::optional<platform::NotificationCenter::ObserverToken> injector;
        if (c.givenUpFirst) {
            mixer.holdRepliesAfter(3);  // block 2 of the main board unanswered
            program();
            advance(kReplyTimeout);
            expectStoppedAt(0);
            stray = mixer.takeHeldReplies();
            mixer.holdRepliesAfter(-1);
            // The late answer (naming block 3) arrives as the new run reports block 2 sent.
            injector = platform::NotificationCenter::defaultCenter().addObserver(
                kMessageBusName, [&](const platform::Notification& note) {
                    const auto* p = std::any_cast<UserprofilePtr>(&note.object);
                    if (p && *p && (*p)->cmdType == MSG_BLOCK_SENT && (*p)->mpos == 2 && !stray.empty())
                        link->parseData(std::exchange(stray, {}));
                });
            runStart = mixer.received.size();
            program();
        } else {
            mixer.holdRepliesAfter(4);  // block 3 of the main board sent, its answer held
            program();
            const Bytes held = mixer.takeHeldReplies();
            mixer.holdRepliesAfter(-1);
            link->parseData(held);
            link->parseData(held);
            settle();
        }
        EXPECT_TRUE(stray.empty());
        EXPECT_FALSE(window.isRunning());
        EXPECT_EQ(fw.statusText, "Firmware update complete");
        expectOneRunInOrder(blocksFrom(mixer.received, runStart), {12, 3, 4, 1}, 1);
        EXPECT_EQ(mixer.firmware[0], padded(imageBytes(0, 12 * 1024)));
        for (int board = 1; board < 4; ++board)
            EXPECT_EQ(mixer.firmware[static_cast<size_t>(board)], padded(imageBytes(board, kImageSizes[board])));
        EXPECT_TRUE(mixer.rejected.empty());
        advance(1000s);
        EXPECT_EQ(blocksFrom(mixer.received, runStart).size(), 12u + 3 + 4 + 1 + 1) << "nothing sent late";
    }
}

namespace {

// A mixer that answers more than it was asked, or asks for blocks again, still gets every image
// whole, and the run completes within its tries: a block failure it repeats counts once (the
// repeat comes while the board, started again, awaits its ready acknowledgement and no block of
// the new try has gone out), a mixer that throws blocks away and asks for an earlier one gets it
// at once, and one that repeats every block acknowledgement is sent nothing it did not ask for.
TEST_F(FirmwareStop, AMixerThatRepeatsItsAnswersOrAsksForAnEarlierBlockGetsEveryImageWhole) {
    linktest::writeFile(dir / (std::string("lib/") + Firmware_BIN[0]), imageBytes(0, 12 * 1024));
    core->readAllFirmware_fromLocal();
    ASSERT_EQ(core->dSegement[0], 12);
    struct Case {
        const char* name;
        std::function<void(sim::SimMixer&)> misbehave;
        std::vector<int> failures;         // boards reported failed, in order
        std::vector<int> mainBoardBlocks;  // the main board's blocks as sent (empty: not checked)
    };
    const Case cases[] = {
        {"the keyboard fails twice at its block 1, and every failure is repeated",
         [](sim::SimMixer& m) {
             m.failBoardTimes(1, 2, 1);
             m.repeatReplies({0xF1});
         },
         {1, 1},
         {}},
        {"every block acknowledgement is repeated", [](sim::SimMixer& m) { m.repeatReplies({0xFB, 0xF1}); }, {}, {}},
        {"the mixer asks for the main board's block 3 when block 6 comes",
         [](sim::SimMixer& m) { m.rewindBoard(0, 6, 3); },
         {},
         {0, 1, 2, 3, 4, 5, 6, 3, 4, 5, 6, 7, 8, 9, 10, 11}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mixer = sim::SimMixer();
        c.misbehave(mixer);
        bus.messages.clear();
        program();
        // A block acknowledgement taken for the answer of a copy waits a while for the next.
        for (int wait = 0; wait < 200 && window.isRunning(); ++wait) advance(StartMainView::kBlockReaskAfter);

        EXPECT_FALSE(window.isRunning());
        EXPECT_EQ(fw.statusText, "Firmware update complete");
        EXPECT_EQ(bus.positions(MSG_BOARD_FAILED), c.failures);
        EXPECT_EQ(bus.positions(MSG_BOARD_DONE), (std::vector<int>{0, 1, 2, 3}));
        EXPECT_EQ(mixer.firmware[0], padded(imageBytes(0, 12 * 1024)));
        for (int board = 1; board < 4; ++board)
            EXPECT_EQ(mixer.firmware[static_cast<size_t>(board)], padded(imageBytes(board, kImageSizes[board])))
                << "board " << board;
        EXPECT_TRUE(mixer.rejected.empty());
        if (!c.mainBoardBlocks.empty()) {
            std::vector<int> mainBoard;
            for (const auto& [board, block] : blocksFrom(mixer.received, 0))
                if (board == 0) mainBoard.push_back(block);
            EXPECT_EQ(mainBoard, c.mainBoardBlocks);
        }
    }
}

}  // namespace
