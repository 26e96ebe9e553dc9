#pragma once
// The firmware window's logic run without a window: a view that records what the logic shows,
// firmware images and a manifest in a temporary resources folder, the main window's link on
// loopback against the simulated mixer, and the window's own recording sleeper.

#include "firmware/CFirmwareUpdate.h"
#include "link/LinkFixture.h"
#include "link/MainWindowFixture.h"
#include "simfront/SimFronts.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace firmwaretest {

using namespace std::chrono_literals;
using mainwindowtest::RecordingLamp;
using mainwindowtest::RecordingModal;
using platform::Bytes;
using Color = FirmwareUpdateView::TextColor;
using Label = FirmwareUpdateView::VersionLabel;
using Lamp = FirmwareUpdateView::Lamp;

struct RecordingFirmwareView : FirmwareUpdateView {
    RecordingFirmwareView() : alive(std::make_shared<bool>(true)) {}
    ~RecordingFirmwareView() override { *alive = false; }

    bool background = false;
    bool noticeHidden = false;
    std::string programTitle;
    bool programEnabled = true;
    // Every change of the Program button's enabled state, in order.
    std::vector<bool> programHistory;
    std::string countdownTitle;
    int countdownSeconds = -1;
    std::function<void()> countdownDone;
    int countdowns = 0;
    // Started countdowns run out on the main loop after their length; otherwise the test ends them.
    bool countdownRunsOut = true;
    std::string errorText = "unset";
    std::string productUrl;
    std::map<Label, std::string> versions;
    std::string statusText;
    Color statusColor = Color::white;
    bool statusHidden = false;
    // Every status text set, with the colour it showed in.
    std::vector<std::pair<std::string, Color>> statusTexts;
    int progressFull = 0;
    int progress = -1;
    bool barReset = false;
    std::map<Lamp, RecordingLamp> lamps;
    RecordingModal modal;
    int orderedOut = 0;
    std::shared_ptr<bool> alive;

    void loadBackGround() override { background = true; }
    void setNoticeHidden(bool hidden) override { noticeHidden = hidden; }
    void setProgramTitle(const std::string& title) override { programTitle = title; }
    void setProgramEnabled(bool enabled) override {
        programEnabled = enabled;
        programHistory.push_back(enabled);
    }
    void prepareCountdown(const std::string& title, int seconds, std::function<void()> done) override {
        countdownTitle = title;
        countdownSeconds = seconds;
        countdownDone = std::move(done);
    }
    void startCountdown() override {
        ++countdowns;
        if (!countdownRunsOut) return;
        platform::MainExecutor::current().scheduleAfter(std::chrono::seconds(countdownSeconds),
                                                        [alive = alive, done = countdownDone] {
                                                            if (*alive) done();
                                                        });
    }
    void setErrorText(const std::string& text) override { errorText = text; }
    void setProductUrl(const std::string& url) override { productUrl = url; }
    void setVersionText(Label label, const std::string& text) override { versions[label] = text; }
    void setStatusText(const std::string& text) override {
        statusText = text;
        statusTexts.emplace_back(text, statusColor);
    }
    void setStatusColor(Color color) override { statusColor = color; }
    void setStatusHidden(bool hidden) override { statusHidden = hidden; }
    void resetProgressBar() override {
        barReset = true;
        progressFull = 100;
        progress = 0;
    }
    void setProgressMax(int fullScale) override { progressFull = fullScale > 0 ? fullScale : 100; }
    int progressMax() const override { return progressFull; }
    void setProgress(int position) override { progress = std::clamp(position, 0, progressFull); }
    util::StatusLamp* lamp(Lamp which) override { return &lamps[which]; }
    platform::ModalWindow& modalWindow() override { return modal; }
    void orderOut() override { ++orderedOut; }

    // The board lamps that are lit, by board (mcuLCD1, mcuLCD2, dspLCD1, dspLCD2).
    std::vector<int> litBoards() {
        static constexpr Lamp order[] = {Lamp::mcuLCD1, Lamp::mcuLCD2, Lamp::dspLCD1, Lamp::dspLCD2};
        std::vector<int> lit;
        for (int board = 0; board < 4; ++board)
            if (lamps[order[board]].lighted) lit.push_back(board);
        return lit;
    }
};

// Image bytes of a board: a pattern that differs per board and per byte.
inline Bytes imageBytes(int board, size_t size) {
    Bytes image(size);
    for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>((i * 7 + static_cast<size_t>(board) * 31) % 251);
    return image;
}

// The image as the mixer receives it: padded with 0xFF to whole 1 KB blocks.
inline Bytes padded(Bytes image) {
    image.resize((image.size() + 1023) / 1024 * 1024, 0xFF);
    return image;
}

inline std::string manifest(const std::vector<std::string>& values) {
    std::string json = "{\"Firmwares\": [";
    for (size_t i = 0; i < values.size(); ++i)
        json += std::string(i ? ", " : "") + "{\"" + JSON_READ_KEY[i] + "\": \"" + values[i] + "\"}";
    return json + "]}";
}

// The frames with a command (byte 8) among those the mixer received.
inline std::vector<Bytes> framesOf(sim::LockedMixer& mixer, uint8_t command) {
    return mixer.with([command](sim::SimMixer& m) {
        std::vector<Bytes> out;
        for (const Bytes& f : m.received)
            if (f.size() > 8 && f[8] == command) out.push_back(f);
        return out;
    });
}

// The block frames among frames from index `from` on, as (board, block), and the check a run
// must pass: each board's blocks go out in order from block 0 to its last, one board after the
// other, boards 0 to 3, each block once but for at most maxRepeats blocks that go twice (asked
// for again, or early by a stray answer).
using Block = std::pair<int, int>;

inline std::vector<Block> blocksFrom(const std::vector<Bytes>& frames, size_t from) {
    std::vector<Block> blocks;
    for (size_t i = from; i < frames.size(); ++i) {
        const Bytes& f = frames[i];
        if (f.size() == 1040 && (f[8] == 0xFB || f[8] == 0xF1)) blocks.emplace_back(f[9], f[10] * 256 + f[11]);
    }
    return blocks;
}

inline void expectOneRunInOrder(const std::vector<Block>& blocks, const std::vector<int>& counts,
                                int maxRepeats = 0) {
    size_t at = 0;
    int repeats = 0;
    for (int board = 0; board < static_cast<int>(counts.size()); ++board) {
        int expected = 0;
        bool repeated = false;  // the block before went twice already
        while (at < blocks.size() && blocks[at].first == board) {
            const int block = blocks[at].second;
            if (block == expected) {
                ++expected;
                repeated = false;
            } else {
                EXPECT_TRUE(block == expected - 1 && !repeated)
                    << "board " << board << ": block " << block << " where block " << expected << " was due";
                repeated = true;
                ++repeats;
            }
            ++at;
        }
        EXPECT_EQ(expected, counts[static_cast<size_t>(board)]) << "board " << board << " incomplete";
    }
    EXPECT_LE(repeats, maxRepeats) << "blocks sent twice";
    EXPECT_EQ(at, blocks.size()) << "a block of board " << (at < blocks.size() ? blocks[at].first : -1)
                                 << " out of the boards' order";
}

class FirmwareTest : public mainwindowtest::MainWindowTest {
protected:
    // Image sizes of the four boards: one of them not a whole number of blocks.
    static constexpr size_t kImageSizes[4] = {3 * 1024, 2 * 1024 + 100, 4 * 1024, 1024};

    FirmwareTest() {
        for (int board = 0; board < 4; ++board) writeImage(board, imageBytes(board, kImageSizes[board]));
        writeManifest(manifest({"MCU 2.9", "KEY 5.7", "DSP 4.4", "DSP 4.5", "Firmware update tool", "Version:1.0",
                                "Varnel", "www.varnel.example", "3"}));
    }
    ~FirmwareTest() override {
        window.reset();
        mainVctl = nullptr;
    }

    void writeImage(int board, const Bytes& image) {
        testsupport::writeFile(resources / (std::string("lib/") + Firmware_BIN[board]), image);
    }
    void writeManifest(const std::string& text) {
        testsupport::writeFile(resources / (std::string("lib/") + kFirmwareManifestName),
                               Bytes(text.begin(), text.end()));
    }
    Bytes imageOf(int board) const {
        return testsupport::readFile(resources / (std::string("lib/") + Firmware_BIN[board]));
    }

    // The window's logic set up as the program does, over the recording view.
    CFirmwareUpdate& makeWindow() {
        core.setResourcesDir(resources.path());
        window = std::make_unique<CFirmwareUpdate>(fw, gc, core);
        window->setSleeper(&windowSleeper);
        window->setRebootSeconds(0);
        window->awakeFromNib();
        return *window;
    }

    // The simulated mixer on loopback TCP, found by the search and connected with the button.
    void connectMixer() {
        settings.tcpPort = tcp.port();
        start();
        ASSERT_TRUE(runUntil([&] { return link->connectType() == kConnectTypeTcp; })) << "no mixer found";
        link->switchLighted();
        ASSERT_TRUE(runUntil([&] { return gc.isconnected && bus.count(MSG_PRESET_LIST_LOADED) >= 1; }));
    }

    // Program, answered with "OK".
    void program() {
        ui.answerAlert(0);
        window->beginToProgramBtnClick();
    }

    // The run has ended: nothing in work and Program enabled again.
    bool runEnded() const { return !window->updateLock && fw.programEnabled; }

    testsupport::TempDir resources;
    sim::LockedMixer mixer;
    sim::TcpFront tcp{mixer, "127.0.0.1", 0};
    sim::UdpFront udp{{settings.probePort, "127.0.0.1", 32, 0ms}};
    platform::RecordingSleeper windowSleeper;
    RecordingFirmwareView fw;
    std::unique_ptr<CFirmwareUpdate> window;
};

}  // namespace firmwaretest
