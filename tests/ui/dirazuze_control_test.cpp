// The window switcher with fake preset and firmware windows: the order of its calls for each
// page, hidden and visible, the tags that do nothing, and the main window's page buttons.

#include "ui/DirazuzeControl.h"

#include "UiTestSupport.h"
#include "link/LConstrant.h"
#include "link/StartMainView.h"
#include "platform/NotificationCenter.h"
#include "platform/testing/ScriptedUiServices.h"
#include "ui/StartMainWindow.h"
#include "util/FirmwareWindow.h"
#include "util/PresetWindow.h"
#include "util/Userprofile.h"

#include <gtest/gtest.h>

#include <QPushButton>

#include <memory>
#include <string>
#include <vector>

namespace {

using Log = std::vector<std::string>;

class FakeWindow : public platform::ModalWindow {
public:
    explicit FakeWindow(Log& log) : log_(log) {}
    void makeKeyWindow() override { log_.push_back("makeKeyWindow"); }
    void closeWindow() override { log_.push_back("closeWindow"); }

private:
    Log& log_;
};

class FakePresetWindow : public util::PresetWindow {
public:
    explicit FakePresetWindow(Log& log) : log_(log), window_(log) {}
    void LockGUI(bool enable) override { log_.push_back(enable ? "LockGUI YES" : "LockGUI NO"); }
    void UpdatePresetList() override { log_.push_back("UpdatePresetList"); }
    void syncStatusLCD() override { log_.push_back("preset syncStatusLCD"); }
    void setFalse() override { log_.push_back("setFalse"); }
    platform::ModalWindow& window() override { return window_; }
    void setDelegate(util::WindowDelegate* delegate) override {
        log_.push_back("setDelegate");
        delegate_ = delegate;
    }
    bool memoryTransferUnderWay() const override { return transferring; }
    util::WindowDelegate* delegate_ = nullptr;
    bool transferring = false;

private:
    Log& log_;
    FakeWindow window_;
};

class FakeFirmwareWindow : public util::FirmwareWindow {
public:
    explicit FakeFirmwareWindow(Log& log) : log_(log), window_(log) {}
    void syncStatusLCD() override { log_.push_back("firmware syncStatusLCD"); }
    platform::ModalWindow& window() override { return window_; }

private:
    Log& log_;
    FakeWindow window_;
};

// The scripted dialogs, writing into the same log so that the order across objects shows.
class LoggingUi : public platform::ScriptedUiServices {
public:
    explicit LoggingUi(Log& log) : log_(log) {}
    int runModal(platform::ModalWindow& window) override {
        log_.push_back("runModal");
        return ScriptedUiServices::runModal(window);
    }
    void activateApplication() override {
        log_.push_back("activate");
        ScriptedUiServices::activateApplication();
    }
    bool isApplicationHidden() override {
        const bool hidden = ScriptedUiServices::isApplicationHidden();
        log_.push_back(hidden ? "hidden" : "visible");
        return hidden;
    }

private:
    Log& log_;
};

// Frames the device link sends, as "send <command> <sub-code>".
class RecordingTransport : public LinkTransport {
public:
    explicit RecordingTransport(Log& log) : log_(log) {}
    void writeTcp(const uint8_t* bytes, size_t length) override {
        char line[32];
        std::snprintf(line, sizeof line, "send %02X %02X", length > 8 ? bytes[8] : 0, length > 9 ? bytes[9] : 0);
        log_.push_back(line);
    }
    void readNextTcp() override {}
    void writeSerial(const uint8_t*, size_t) override { log_.push_back("serial write"); }

private:
    Log& log_;
};

class TcpLinkUp : public LinkConnectionState {
public:
    int32_t connectType() const override { return kConnectTypeTcp; }
    bool isSerialComportOpen() const override { return false; }
    bool isNetworkOpen() const override { return true; }
};

class Switcher : public ::testing::Test {
protected:
    void SetUp() override {
        link_.setTransport(&transport_);
        link_.setConnectionState(&tcpUp_);
        gc_.isconnected = true;
        mainVctl = &link_;
        saveLoadView = &preset_;
        fmUpdateVctl = &firmware_;
        bus_ = platform::NotificationCenter::defaultCenter().addObserver(
            kMessageBusName, [this](const platform::Notification& note) {
                const auto* profile = std::any_cast<UserprofilePtr>(&note.object);
                if (profile && *profile)
                    log_.push_back("message " + std::to_string((*profile)->cmdType) + " " +
                                   std::to_string((*profile)->mpos));
            });
    }
    void TearDown() override {
        mainVctl = nullptr;
        saveLoadView = nullptr;
        fmUpdateVctl = nullptr;
    }

    // A control carrying a tag, as the page buttons do.
    static std::unique_ptr<QObject> control(int tag) {
        auto sender = std::make_unique<QObject>();
        setPageControlTag(sender.get(), tag);
        return sender;
    }

    Log log_;
    LoggingUi ui_{log_};
    GCData gc_;
    XCoreData core_;
    StartMainView link_{gc_, core_};
    RecordingTransport transport_{log_};
    TcpLinkUp tcpUp_;
    FakePresetWindow preset_{log_};
    FakeFirmwareWindow firmware_{log_};
    platform::NotificationCenter::ObserverToken bus_;
    DirazuzeControl switcher_;
};

}  // namespace

TEST_F(Switcher, PresetPageGoesIdleRefreshesAsksForTheListsAndRunsTheWindowModally) {
    struct Case {
        const char* name;
        bool connected;
        bool transferring;
        Log expected;
    };
    const Case cases[] = {
        {"connected",
         true,
         false,
         {"message 259 0", "UpdatePresetList", "preset syncStatusLCD", "send 18 01", "setFalse", "makeKeyWindow",
          "runModal", "modal body", "closeWindow", "activate"}},
        {"no mixer connected: nothing is sent",
         false,
         false,
         {"message 259 0", "UpdatePresetList", "preset syncStatusLCD", "setFalse", "makeKeyWindow", "runModal",
          "modal body", "closeWindow", "activate"}},
        // The window's backup or restore goes on locked: nothing unlocks it, nothing asks the
        // mixer for anything in its midst, the boxes stay locked.
        {"a backup or restore under way",
         true,
         true,
         {"UpdatePresetList", "preset syncStatusLCD", "makeKeyWindow", "runModal", "modal body", "closeWindow",
          "activate"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        log_.clear();
        gc_.isconnected = c.connected;
        preset_.transferring = c.transferring;
        // The window is up while the run lasts; its close ends the run.
        ui_.onModal([this](platform::ModalWindow&) {
            log_.push_back("modal body");
            return -60006;
        });
        switcher_.changePageControlClick(control(DirazuzeControl::kPresetPage).get());
        EXPECT_EQ(log_, c.expected);
    }
}

TEST_F(Switcher, FirmwarePageRunsModallyOnlyWhileTheApplicationIsShown) {
    struct Case {
        const char* name;
        bool hidden;
        Log expected;
    };
    const Case cases[] = {
        {"visible", false, {"firmware syncStatusLCD", "visible", "makeKeyWindow", "runModal", "modal body"}},
        // Only brought to the front: the main window stays usable.
        {"hidden", true, {"firmware syncStatusLCD", "hidden", "makeKeyWindow"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        log_.clear();
        ui_.clearCalls();
        ui_.answerHidden(c.hidden);
        if (!c.hidden)
            ui_.onModal([this](platform::ModalWindow&) {
                log_.push_back("modal body");
                return 0;
            });
        switcher_.changePageControlClick(control(DirazuzeControl::kFirmwarePage).get());
        EXPECT_EQ(log_, c.expected);
        EXPECT_EQ(ui_.callsOf("activate").size(), 0u) << "the application is not activated afterwards";
    }
}

TEST_F(Switcher, OtherTagsAndUnregisteredWindowsDoNothing) {
    struct Case {
        const char* name;
        int tag;
        bool presetRegistered, firmwareRegistered;
    };
    const Case cases[] = {
        {"tag 0", 0, true, true},
        {"tag 3", 3, true, true},
        {"tag -1", -1, true, true},
        {"preset page without a preset window", DirazuzeControl::kPresetPage, false, true},
        {"firmware page without a firmware window", DirazuzeControl::kFirmwarePage, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        log_.clear();
        ui_.clearCalls();
        saveLoadView = c.presetRegistered ? &preset_ : nullptr;
        fmUpdateVctl = c.firmwareRegistered ? &firmware_ : nullptr;
        EXPECT_EQ(DirazuzeControl::hasPage(c.tag), false);
        switcher_.changePageControlClick(control(c.tag).get());
        EXPECT_EQ(log_, Log{});
        EXPECT_EQ(ui_.calls().size(), 0u);
    }
    // A sender without a tag, or none at all.
    QObject untagged;
    switcher_.changePageControlClick(&untagged);
    switcher_.changePageControlClick(nullptr);
    EXPECT_EQ(log_, Log{});
}

TEST_F(Switcher, MainWindowPageButtonsCarryTheirTagsAndWaitForTheirWindows) {
    saveLoadView = nullptr;
    fmUpdateVctl = nullptr;
    StartMainWindow window(gc_, core_);
    // The main window's own switcher has taken over; the fixture's link stays the main link.
    EXPECT_EQ(midateControl, &window.pageControl());
    QPushButton* preset = window.enterSaveLoadBtn();
    QPushButton* firmware = window.enterUpdateBtn();
    EXPECT_EQ(preset->property("tag").toInt(), DirazuzeControl::kPresetPage);
    EXPECT_EQ(firmware->property("tag").toInt(), DirazuzeControl::kFirmwarePage);
    EXPECT_FALSE(preset->isEnabled());
    EXPECT_FALSE(firmware->isEnabled());

    fmUpdateVctl = &firmware_;
    window.updatePageButtons();
    EXPECT_FALSE(preset->isEnabled());
    EXPECT_TRUE(firmware->isEnabled());

    saveLoadView = &preset_;
    window.updatePageButtons();
    EXPECT_TRUE(preset->isEnabled());

    ui_.answerHidden(true);
    firmware->click();
    EXPECT_EQ(log_, (Log{"firmware syncStatusLCD", "hidden", "makeKeyWindow"}));

    log_.clear();
    ui_.onModal([](platform::ModalWindow&) { return 0; });
    preset->click();
    EXPECT_EQ(log_.front(), "message 259 0");
    EXPECT_EQ(log_.back(), "activate");
}
