#pragma once
// The main window's link run without a window: a view that records what the link shows, a fake
// serial registry, free loopback ports, and the message bus recorder of the link tests.

#include "link/StartMainView.h"
#include "platform/Sleeper.h"
#include "platform/Trace.h"
#include "platform/testing/FakeSerialRegistry.h"
#include "platform/testing/ScriptedUiServices.h"
#include "platform/testing/TestMainLoop.h"
#include "support/LoopbackLink.h"
#include "util/Userprofile.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace mainwindowtest {

using namespace std::chrono_literals;

struct RecordingLamp : util::StatusLamp {
    bool lighted = false;
    util::LampColor lit, unlit;
    void setColorOfLighted(util::LampColor color) override { lit = color; }
    void setColorOfunLighted(util::LampColor color) override { unlit = color; }
    void setIsLighted(bool on) override { lighted = on; }
    bool isLighted() const override { return lighted; }
};

struct RecordingSpinner : platform::Spinner {
    bool visible = false, animating = false;
    void setSpinnerVisible(bool on) override { visible = on; }
    void setSpinnerAnimating(bool on) override { animating = on; }
};

struct RecordingModal : platform::ModalWindow {
    int shown = 0, closed = 0;
    void makeKeyWindow() override { ++shown; }
    void closeWindow() override { ++closed; }
};

struct RecordingView : MainWindowView {
    RecordingLamp lamp;
    RecordingSpinner spinner;
    RecordingModal about;
    bool prepared = false;
    std::string connectTitle = "Connect";
    bool connectEnabled = false;
    bool refreshEnabled = true;
    std::string device;
    bool busyHidden = true;
    std::vector<std::string> aboutTexts;
    int fronted = 0;

    void prepareControls() override { prepared = true; }
    util::StatusLamp* connectLCD() override { return &lamp; }
    void setConnectTitle(const std::string& title) override { connectTitle = title; }
    void setConnectEnabled(bool on) override { connectEnabled = on; }
    void setRefreshEnabled(bool on) override { refreshEnabled = on; }
    std::string deviceLabel() const override { return device; }
    void setDeviceLabel(const std::string& text) override { device = text; }
    void setBusyLabelHidden(bool hidden) override { busyHidden = hidden; }
    platform::Spinner* pbar() override { return &spinner; }
    void setAboutTexts(const std::string& name, const std::string& version, const std::string& company,
                       const std::string& url) override {
        aboutTexts = {name, version, company, url};
    }
    platform::ModalWindow* verWindow() override { return &about; }
    void bringToFront() override { ++fronted; }
};

// Every (code, position) posted on the message bus.
class Bus {
public:
    Bus() {
        token_ = platform::NotificationCenter::defaultCenter().addObserver(
            kMessageBusName, [this](const platform::Notification& note) {
                if (auto* p = std::any_cast<UserprofilePtr>(&note.object); p && *p) codes.push_back((*p)->cmdType);
            });
    }
    size_t count(int code) const {
        size_t n = 0;
        for (int c : codes) n += c == code;
        return n;
    }
    std::vector<int> codes;

private:
    platform::NotificationCenter::ObserverToken token_;
};

using testsupport::freePorts;

// The serial registry of every test in this process: no devices unless a test adds them.
inline platform::FakeSerialRegistry& fakeRegistry() {
    static platform::FakeSerialRegistry* registry = [] {
        auto* r = new platform::FakeSerialRegistry();
        platform::SerialRegistry::setShared(r);
        return r;
    }();
    return *registry;
}

// A main window link on loopback: free UDP ports, the probe to probePort at broadcast.
class MainWindowTest : public ::testing::Test {
protected:
    MainWindowTest() {
        platform::setTraceEnabled(getenv("VARNEL_TEST_TRACE") != nullptr);
        // Devices left by an earlier test of this process leave the shared port list too.
        const auto present = fakeRegistry().enumerate();
        if (!present.empty()) fakeRegistry().unplug(present);
        loop.drain();
        settings = testsupport::loopbackLinkSettings(freePorts(SOCK_STREAM, 1).at(0));
    }
    ~MainWindowTest() override {
        link.reset();
        loop.drain();
    }

    // Makes the link with the current settings and starts it as the program does.
    StartMainView& start(bool awake = true) {
        link = std::make_unique<StartMainView>(gc, core, settings);
        link->setView(&view);
        link->setSleeper(&sleeper);
        if (awake) link->awakeFromNib();
        return *link;
    }

    bool runUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout = 10s) {
        return loop.runUntil(predicate, timeout);
    }

    platform::TestMainLoop loop;
    platform::ScriptedUiServices ui;
    platform::RecordingSleeper sleeper;
    Bus bus;
    RecordingView view;
    LinkSettings settings;
    GCData gc;
    XCoreData core{std::string("/nonexistent-firmware-folder")};
    std::unique_ptr<StartMainView> link;
};

}  // namespace mainwindowtest
