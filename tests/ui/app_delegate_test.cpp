#include "ui/AppDelegate.h"

#include "UiTestSupport.h"
#include "platform/Resources.h"
#include "platform/testing/ScriptedUiServices.h"
#include "util/FirmwareWindow.h"
#include "util/PresetWindow.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QEvent>
#include <QUndoStack>
#include <QWidget>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using Entries = AppDelegate::ManifestEntries;
using testsupport::readTextFile;

namespace {

Entries manifest(std::optional<std::string> name, std::optional<std::string> version) {
    Entries entries(9);
    entries[4] = std::move(name);
    entries[5] = std::move(version);
    return entries;
}

}  // namespace

TEST(AppDelegateLaunch, TitlesTheWindowFromTheManifestNameAndVersion) {
    struct Case {
        Entries entries;
        const char* title;
    };
    const Case cases[] = {
        {manifest("K42 Firmware update tool", "Version:3.6.3"), "Varnel Utility"},
        {manifest("Mixer Tool", "Version:1.0"), "Mixer Tool Version:1.0"},
        {manifest("Mixer Tool", "build-K42"), "Varnel Utility"},
        {manifest("k42 tool", "1.0"), "k42 tool 1.0"},
        {manifest("Tool K", "42"), "Tool K 42"},
        {manifest(std::nullopt, "1.0"), "(null) 1.0"},
        {Entries(3), "(null) (null)"},
    };
    for (const auto& c : cases) {
        QWidget window;
        int reads = 0;
        AppDelegate delegate([&] {
            ++reads;
            return c.entries;
        });
        delegate.setWindow(&window);
        delegate.applicationDidFinishLaunching();
        EXPECT_EQ(reads, 1);
        EXPECT_EQ(window.windowTitle().toStdString(), c.title);
    }
}

TEST(AppDelegateLaunch, ReopenBringsTheClosedWindowBack) {
    QWidget window;
    AppDelegate delegate([] { return Entries(9); });
    delegate.setWindow(&window);
    window.show();
    window.close();
    ASSERT_FALSE(window.isVisible());
    EXPECT_TRUE(delegate.applicationShouldHandleReopenHasVisibleWindows(false));
    EXPECT_TRUE(window.isVisible());
}

TEST(AppDelegateLaunch, TheShippedManifestHoldsTheNineKeysInOrderWithTheDefaultTitle) {
    const std::string text = readTextFile(platform::resourcesFolder() + "/lib/PE4471093357.json");
    ASSERT_FALSE(text.empty());
    const char* keys[] = {"\"MCU_VER2\"", "\"MCU_VER1\"", "\"DSP_VER2\"", "\"DSP_VER1\"", "\"App_Name\"",
                          "\"App_Ver\"",  "\"compName\"", "\"URL\"",      "\"Utype\""};
    size_t at = text.find("\"Firmwares\"");
    ASSERT_NE(at, std::string::npos);
    for (const char* key : keys) {
        const size_t next = text.find(key, at);
        ASSERT_NE(next, std::string::npos) << key << " missing or out of order";
        at = next;
    }
    EXPECT_NE(text.find("\"App_Name\": \"K42 Firmware update tool\""), std::string::npos);
    EXPECT_NE(text.find("\"App_Ver\": \"Version:3.6.3\""), std::string::npos);
}

class AppDataTemplate : public ::testing::Test {
protected:
    std::string dataFolder() const { return dir_ / AppDelegate::kDataFolderName; }
    std::string storeFile() const { return (fs::path(dataFolder()) / AppDelegate::kStoreFileName).string(); }

    uitest::TempDir dir_;
    platform::ScriptedUiServices ui_;
    AppDelegate delegate_{[] { return Entries(9); }, dir_.path()};
};

TEST_F(AppDataTemplate, QuittingWithoutUsingItMakesNoFolderAndNoFile) {
    EXPECT_EQ(delegate_.applicationShouldTerminate(), AppDelegate::NSTerminateNow);
    delegate_.applicationWillTerminate();
    EXPECT_FALSE(fs::exists(dataFolder()));
    EXPECT_TRUE(ui_.calls().empty());
}

TEST_F(AppDataTemplate, FirstUseMakesTheFolderAndAnEmptyStoreThatLaterUsesKeep) {
    ManagedObjectContext* context = delegate_.managedObjectContext();
    ASSERT_NE(context, nullptr);
    EXPECT_TRUE(fs::is_directory(dataFolder()));
    ASSERT_TRUE(fs::is_regular_file(storeFile()));
    const std::string store = readTextFile(storeFile());
    EXPECT_EQ(store.rfind(PersistentStoreCoordinator::kStoreHeader, 0), 0u);
    EXPECT_EQ(context->persistentStoreCoordinator()->storePath(), storeFile());

    EXPECT_EQ(delegate_.managedObjectContext(), context);
    EXPECT_EQ(delegate_.windowWillReturnUndoManager(nullptr), context->undoManager());
    delegate_.saveAction();
    EXPECT_EQ(delegate_.applicationShouldTerminate(), AppDelegate::NSTerminateNow);
    EXPECT_EQ(readTextFile(storeFile()), store) << "nothing is ever saved";
    EXPECT_TRUE(ui_.callsOf("alert").empty());

    // A later run opens the store it finds.
    AppDelegate next([] { return Entries(9); }, dir_.path());
    EXPECT_NE(next.managedObjectContext(), nullptr);
    EXPECT_EQ(readTextFile(storeFile()), store);
}

TEST_F(AppDataTemplate, SaveActionAloneMakesTheStore) {
    delegate_.saveAction();
    EXPECT_TRUE(fs::is_regular_file(storeFile()));
}

TEST_F(AppDataTemplate, FailuresArePresentedAndLeaveNoContext) {
    struct Case {
        const char* name;
        std::function<void(const std::string& root)> prepare;
        std::string reason;      // empty: the general reason
        std::string underlying;  // domain of the underlying error; empty: none
    };
    const std::string general = "There was an error creating or loading the application's saved data.";
    const Case cases[] = {
        {"a file stands where the folder should be",
         [](const std::string& root) { std::ofstream(root + "/" + AppDelegate::kDataFolderName) << "x"; },
         "", ""},
        {"the store file is not a store",
         [](const std::string& root) {
             fs::create_directories(root + "/" + AppDelegate::kDataFolderName);
             std::ofstream(root + "/" + AppDelegate::kDataFolderName + "/" + AppDelegate::kStoreFileName) << "junk\n";
         },
         general, "NSCocoaErrorDomain"},
        {"the application support folder is a file", nullptr, general, platform::kPosixErrorDomain},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        uitest::TempDir dir;
        std::string root = dir.path();
        if (c.prepare) {
            c.prepare(root);
        } else {
            root = dir / "support";
            std::ofstream(root) << "x";
        }
        const std::string folder = root + "/" + AppDelegate::kDataFolderName;
        const std::string reason =
            c.reason.empty() ? "Expected a folder to store application data, found a file (" + folder + ")." : c.reason;
        ui_.clearCalls();
        AppDelegate delegate([] { return Entries(9); }, root);

        EXPECT_EQ(delegate.managedObjectContext(), nullptr);

        const auto alerts = ui_.callsOf("alert");
        ASSERT_EQ(alerts.size(), 1u);
        EXPECT_EQ(alerts[0].title, "Failed to initialize the application's saved data");
        EXPECT_EQ(alerts[0].message, reason);
        ASSERT_TRUE(delegate.persistentStoreError().has_value());
        const platform::Error& error = *delegate.persistentStoreError();
        EXPECT_EQ(error.domain, "YOUR_ERROR_DOMAIN");
        EXPECT_EQ(error.code, 9999);
        EXPECT_EQ(error.failureReason, reason);
        const auto underlying = error.userInfo.find(platform::kUnderlyingErrorKey);
        if (c.underlying.empty()) {
            EXPECT_EQ(underlying, error.userInfo.end());
        } else {
            ASSERT_NE(underlying, error.userInfo.end());
            EXPECT_EQ(std::any_cast<platform::Error>(underlying->second).domain, c.underlying);
        }
        EXPECT_EQ(delegate.windowWillReturnUndoManager(nullptr), nullptr);
        EXPECT_EQ(delegate.applicationShouldTerminate(), AppDelegate::NSTerminateNow);
    }
}

// The windows as the quit question reaches them, each writing what the test says.
class WritingWindows {
public:
    struct NoWindow : platform::ModalWindow {
        void makeKeyWindow() override {}
        void closeWindow() override {}
    };
    struct Preset : util::PresetWindow {
        std::string writing;
        NoWindow shown;
        void LockGUI(bool) override {}
        void UpdatePresetList() override {}
        void syncStatusLCD() override {}
        void setFalse() override {}
        platform::ModalWindow& window() override { return shown; }
        void setDelegate(util::WindowDelegate*) override {}
        std::string writingToMixer() const override { return writing; }
    };
    struct Firmware : util::FirmwareWindow {
        std::string writing;
        NoWindow shown;
        void syncStatusLCD() override {}
        platform::ModalWindow& window() override { return shown; }
        std::string writingToMixer() const override { return writing; }
    };

    WritingWindows() {
        saveLoadView = &preset;
        fmUpdateVctl = &firmware;
    }
    ~WritingWindows() {
        saveLoadView = nullptr;
        fmUpdateVctl = nullptr;
    }
    Preset preset;
    Firmware firmware;
};

TEST(AppDelegateQuit, AsksFirstWhileAWindowWritesIntoTheMixerWithStayingAsTheDefault) {
    const std::string firmware = "A firmware update is being written into the mixer.";
    const std::string restore = "A backup is being restored into the mixer.";
    const std::string tail = " If you quit now, the mixer's memory will be left incomplete.";
    constexpr int kNotAsked = -1, kClosed = -2;  // the question closed without a button
    struct Case {
        const char* name;
        std::string firmware, preset;
        int answer;
        AppDelegate::TerminateReply reply;
        std::string question;
    };
    const Case cases[] = {
        {"nothing written", "", "", kNotAsked, AppDelegate::NSTerminateNow, ""},
        {"a firmware run, Don't Quit", firmware, "", 0, AppDelegate::NSTerminateCancel, firmware + tail},
        {"a restore, Quit", "", restore, 1, AppDelegate::NSTerminateNow, restore + tail},
        {"both, Don't Quit", firmware, restore, 0, AppDelegate::NSTerminateCancel, firmware + " " + restore + tail},
        {"a restore, closed without a button: staying", "", restore, kClosed, AppDelegate::NSTerminateCancel,
         restore + tail},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        platform::ScriptedUiServices ui;
        WritingWindows windows;
        windows.firmware.writing = c.firmware;
        windows.preset.writing = c.preset;
        AppDelegate delegate([] { return Entries(9); });
        if (c.answer == kClosed)
            ui.answerAlertClosed();
        else if (c.answer != kNotAsked)
            ui.answerAlert(c.answer);
        EXPECT_EQ(delegate.applicationShouldTerminate(), c.reply);
        const auto alerts = ui.callsOf("alert");
        ASSERT_EQ(alerts.size(), c.answer != kNotAsked ? 1u : 0u);
        if (alerts.empty()) continue;
        EXPECT_EQ(alerts[0].title, "Warning!");
        EXPECT_EQ(alerts[0].message, c.question);
        EXPECT_EQ(alerts[0].options, (std::vector<std::string>{"Don't Quit", "Quit"}));
        // Staying asks again at the next quit; a quit once chosen is not asked about again.
        ui.clearCalls();
        if (c.reply == AppDelegate::NSTerminateCancel) ui.answerAlert(0);
        EXPECT_EQ(delegate.applicationShouldTerminate(), c.reply);
        EXPECT_EQ(ui.callsOf("alert").size(), c.reply == AppDelegate::NSTerminateCancel ? 1u : 0u);
    }
}

// The gate puts the question in front of the application's quit and of the main window's close;
// staying keeps every window open.
TEST(AppDelegateQuit, TheGateAsksBeforeTheApplicationQuitsOrTheMainWindowCloses) {
    const bool quitOnLastWindow = QApplication::quitOnLastWindowClosed();
    QApplication::setQuitOnLastWindowClosed(false);
    platform::ScriptedUiServices ui;
    WritingWindows windows;
    windows.firmware.writing = "A firmware update is being written into the mixer.";
    QWidget mainWindow, other;
    mainWindow.show();
    other.show();
    AppDelegate delegate([] { return Entries(9); });
    {
        QuitGate gate(delegate, mainWindow);
        ui.answerAlert(0);
        QEvent quit(QEvent::Quit);
        QCoreApplication::sendEvent(QCoreApplication::instance(), &quit);
        EXPECT_TRUE(mainWindow.isVisible());
        EXPECT_TRUE(other.isVisible()) << "nothing closes before the answer";
        ui.answerAlert(0);
        EXPECT_FALSE(mainWindow.close());
        EXPECT_TRUE(mainWindow.isVisible());
        // Another window closes without a question.
        EXPECT_TRUE(other.close());
        EXPECT_EQ(ui.callsOf("alert").size(), 2u);

        ui.answerAlert(1);
        EXPECT_TRUE(mainWindow.close());
        EXPECT_FALSE(mainWindow.isVisible());
        EXPECT_EQ(ui.callsOf("alert").size(), 3u);
    }
    // Without the gate the window closes unasked.
    mainWindow.show();
    EXPECT_TRUE(mainWindow.close());
    EXPECT_EQ(ui.callsOf("alert").size(), 3u);
    QApplication::setQuitOnLastWindowClosed(quitOnLastWindow);
}

TEST(AppDataFolder, LiesInTheUsersXdgDataFolder) {
    uitest::TempDir dir;
    const QByteArray saved = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QByteArray::fromStdString(dir.path()));
    AppDelegate delegate([] { return Entries(9); });
    EXPECT_EQ(delegate.applicationDocumentsDirectory(), dir / "Orvane.FirmwareUpdate");
    if (saved.isNull())
        qunsetenv("XDG_DATA_HOME");
    else
        qputenv("XDG_DATA_HOME", saved);
}
