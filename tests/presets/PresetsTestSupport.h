#pragma once
// The preset window without Qt: controls that record what the logic shows, a name panel that
// records how it is run, and a fixture with the device link on a recording transport, scripted
// dialogs and a manual clock for the watchdog.

#include "link/LinkFixture.h"
#include "link/MainWindowFixture.h"
#include "platform/testing/TestMainLoop.h"
#include "presets/PresetNamePanel.h"
#include "presets/SaveLoadView.h"

#include <array>
#include <chrono>
#include <string>
#include <vector>

namespace presettest {

using namespace std::chrono_literals;
using Control = SaveLoadControls::Control;

struct RecordingPanel : PresetNamePanel {
    explicit RecordingPanel(GCData& store) : PresetNamePanel(store) {}
    std::string text;
    int cleared = 0, shown = 0, closed = 0, hidden = 0;
    std::string inputText() const override { return text; }
    void clearInputEd() override {
        text.clear();
        ++cleared;
    }
    void orderOut() override { ++hidden; }
    void makeKeyWindow() override { ++shown; }
    void closeWindow() override { ++closed; }
};

struct RecordingControls : SaveLoadControls {
    explicit RecordingControls(GCData& store) : panel(store) {}

    std::array<bool, kControlCount> enabled{true, true, true, true, true, true, true, true, true};
    std::string status;
    util::LampColor statusColor;
    std::string memoryText;
    util::LampColor memoryColor;
    bool memoryHidden = false, holderHidden = false, animating = false;
    double progress = -1;
    std::string from, to;
    mainwindowtest::RecordingLamp lamp;
    mainwindowtest::RecordingSpinner spinner;
    mainwindowtest::RecordingModal modal;
    int tag = 0;
    std::vector<std::string> chItems, auxItems;
    int chIndex = -1, auxIndex = -1;
    std::vector<std::string> rows;
    int scrolls = 0;
    RecordingPanel panel;

    bool isEnabled(Control c) const { return enabled[static_cast<size_t>(c)]; }
    // The seven controls that every lock covers whatever the type: the boxes follow the type.
    bool allButtonsEnabled(bool on) const {
        for (Control c : {Control::radioGroup, Control::memImptBtn, Control::memExBtn, Control::savebtn,
                          Control::deleteBtn, Control::recallBtn, Control::loadBtn})
            if (isEnabled(c) != on) return false;
        return true;
    }

    void prepareControls() override {}
    void setControlEnabled(Control c, bool on) override { enabled[static_cast<size_t>(c)] = on; }
    void setStatusText(const std::string& text) override { status = text; }
    void setStatusColor(util::LampColor color) override { statusColor = color; }
    void setMemoryStatusText(const std::string& text, util::LampColor color) override {
        memoryText = text;
        memoryColor = color;
    }
    void setMemoryStatusHidden(bool hidden) override { memoryHidden = hidden; }
    void setProgressValue(double value) override { progress = value; }
    void setProgressAnimating(bool on) override { animating = on; }
    void setProgressHolderHidden(bool hidden) override { holderHidden = hidden; }
    void setDirectionLabels(const std::string& f, const std::string& t) override {
        from = f;
        to = t;
    }
    util::StatusLamp* statusLCD() override { return &lamp; }
    platform::Spinner* indcator() override { return &spinner; }
    int selectedTag() const override { return tag; }
    void fillBox(Control box, const std::vector<std::string>& items) override {
        (box == Control::chbox ? chItems : auxItems) = items;
        (box == Control::chbox ? chIndex : auxIndex) = 0;
    }
    int boxIndex(Control box) const override { return box == Control::chbox ? chIndex : auxIndex; }
    void clearRows() override { rows.clear(); }
    void addRow(const std::string& label) override { rows.push_back(label); }
    void removeRow(int row) override { rows.erase(rows.begin() + row); }
    int rowCount() const override { return static_cast<int>(rows.size()); }
    void scrollToTop() override { ++scrolls; }
    PresetNamePanel& alertPanel() override { return panel; }
    platform::ModalWindow& modalWindow() override { return modal; }
};

// The preset window's logic over a recording view, the link on a recording transport (connected
// over TCP), the scripted dialogs and the watchdog on a manual clock.
class PresetWindowTest : public linktest::LinkTest {
protected:
    // program: the constants of the program whose preset window is tested.
    explicit PresetWindowTest(const ProgramConstants& program = kUtilityConstants) : LinkTest(program) {
        logic.awakeFromNib();
    }

    // Posts a message on the bus, as the link and the switcher do.
    static void post(int code, int pos = 0) { Duziz::sendMsg(code, pos, kMessageBusName); }
    // Runs the watchdog's clock forward.
    void advance(std::chrono::nanoseconds by) { loop.advance(by); }
    bool timerRunning() const { return logic.watchdog() && !logic.watchdog()->isPaused(); }
    // The frames the link sent, and clears them.
    std::vector<linktest::Bytes> sent() {
        auto frames = transport.all();
        transport.clear();
        return frames;
    }

    platform::TestMainLoop loop{true};
    RecordingControls controls{*gc};
    SaveLoadView logic{controls, *gc, 40s};
};

}  // namespace presettest
