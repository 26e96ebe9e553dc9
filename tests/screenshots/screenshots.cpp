// varnel-screenshots [FOLDER]: pictures of every window of Varnel Utility and Varnel Preset
// Conversion in its main states, in Qt's offscreen platform, without a mixer: idle, device found,
// connected, busy, backup and restore under way, the reboot countdown, finished and failed, and
// the dialogs and the open Channel pop-up list above their windows. Writes
// "<program>-<window>-<state>.png" into FOLDER (default "screenshots") and lists the files; exits
// non-zero when a picture could not be made.
//
// The main window finds and connects a simulated mixer over loopback (UDP search, TCP link) as the
// program would. Then the link's frames go to a simulated mixer in this process whose replies are
// fed back by hand, so that a picture can stop a transfer half-way; dialogs are answered by the
// scripted test doubles, except where a picture shows a real alert or file panel.

#include "ShotRig.h"

#include "firmware/FirmwareUpdateWindow.h"
#include "link/LConstrant.h"
#include "link/XCoreData.h"
#include "platform/Sleeper.h"
#include "platform/Trace.h"
#include "platform/qt/QtMainExecutor.h"
#include "platform/qt/QtUiServices.h"
#include "platform/testing/FakeSerialRegistry.h"
#include "platform/testing/ScriptedUiServices.h"
#include "presets/SaveLoadWindow.h"
#include "simfront/SimFronts.h"
#include "support/LoopbackLink.h"
#include "support/TestFiles.h"
#include "ui/AppDelegate.h"
#include "ui/CRProgressIndicator.h"
#include "ui/DirazuzeControl.h"
#include "ui/StartMainWindow.h"
#include "ui/TimerView.h"
#include "ui/VerWindow.h"
#include "ui/XProgressView.h"
#include "util/Duziz.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>

namespace {

using namespace std::chrono_literals;
using shots::Camera;
using shots::LocalLine;
using shots::spinUntil;

// Preset names a user might have given, so that the list reads like a real one.
void nameSomePresets(sim::SimMixer& mixer) {
    const char* scenes[] = {"Sunday Service", "Band Rehearsal", "Choir + Organ", "Spoken Word", "Youth Night"};
    for (size_t i = 0; i < std::size(scenes); ++i) {
        auto& field = mixer.names[3][i];
        field.fill(' ');
        std::copy(scenes[i], scenes[i] + std::strlen(scenes[i]), field.begin());
    }
}

// The resources of a program, written into folder, which it returns: the program's own shipped
// manifest (which names it) with an address for the maker's web page filled in, so that its link
// shows, and four small firmware images.
std::string writeResources(Camera& camera, const std::string& folder, const ProgramConstants& program) {
    std::filesystem::create_directories(folder + "/lib");
    std::ifstream shipped(programResourcesDir(program) + "/lib/" + kFirmwareManifestName);
    const std::string text((std::istreambuf_iterator<char>(shipped)), std::istreambuf_iterator<char>());
    static const std::regex emptyUrl(R"re("URL"\s*:\s*"")re");
    camera.expect(std::regex_search(text, emptyUrl), "shipped manifest read, its web address empty");
    std::ofstream(folder + "/lib/" + kFirmwareManifestName)
        << std::regex_replace(text, emptyUrl, R"("URL": "www.varnel.example")");
    const size_t kilobytes[kFirmwareBoards] = {12, 6, 8, 4};
    for (int board = 0; board < kFirmwareBoards; ++board) {
        std::ofstream image(folder + "/lib/" + Firmware_BIN[board], std::ios::binary);
        for (size_t i = 0; i < kilobytes[board] * 1024; ++i) image.put(static_cast<char>(i * 7 + board));
    }
    return folder;
}

// Counts the messages of one code on the bus.
class BusCount {
public:
    explicit BusCount(int code) {
        token_ = platform::NotificationCenter::defaultCenter().addObserver(
            kMessageBusName, [this, code](const platform::Notification& note) {
                const auto* p = std::any_cast<UserprofilePtr>(&note.object);
                if (p && *p && (*p)->cmdType == code) {
                    ++count;
                    last = (*p)->mpos;
                }
            });
    }
    int count = 0;
    int last = -1;

private:
    platform::NotificationCenter::ObserverToken token_;
};

struct Program {
    const ProgramConstants& constants;
    const char* prefix;
    int firmwareVersion;
    // The name that the program's own manifest gives it, which its about window shows.
    const char* name;
};

// One program on the rig: its windows, the simulated mixers they talk to, and the pictures of
// every state, window by window.
class Session {
public:
    Session(Camera& camera, const Program& program)
        : camera_(camera),
          program_(program.constants),
          name_(program.name),
          prefix_(QString::fromUtf8(program.prefix) + '-'),
          folder_(QDir::currentPath()),
          remote_(7, program.firmwareVersion),
          tcp_(remote_, "127.0.0.1", 0),
          settings_(testsupport::loopbackLinkSettings(tcp_.port())),
          store_(program.constants),
          core_(writeResources(camera, dir_ / "resources", program.constants)),
          main_(store_, core_, settings_),
          delegate_([this] { return readManifestEntries(core_); }, dir_ / "support"),
          presets_(store_),
          mixer_(7, program.firmwareVersion),
          line_(main_.link(), mixer_) {
        // The file panels open in the session's folder.
        QDir::setCurrent(QString::fromStdString(dir_.path()));
        remote_.with([](sim::SimMixer& m) { nameSomePresets(m); });
        nameSomePresets(mixer_);
        mixer_.setChunkSizes({1024});
        main_.link().setSleeper(&sleeper_);
        main_.awakeFromNib();
        presets_.awakeFromNib();
        if (program_.firmwarePage) {
            firmware_ = std::make_unique<FirmwareUpdateWindow>(store_, core_);
            firmware_->logic().setSleeper(&sleeper_);
            firmware_->awakeFromNib();
        }
        main_.updatePageButtons();
        // The launch reads the program's manifest, which names the window and the about window.
        delegate_.setWindow(&main_);
        delegate_.applicationDidFinishLaunching();
        main_.move(40, 40);
        main_.show();
    }
    ~Session() {
        main_.link().setTransport(nullptr);
        QDir::setCurrent(folder_);
    }

    // Searching, found, connected, busy, long device texts, the about window. The main window
    // finds and connects the mixer on loopback; then the link's frames go to the mixer in this
    // process.
    void shootMainWindow() {
        shoot("main-idle", &main_);
        if (firmware_) {
            firmware_->show();
            shoot("firmware-idle", firmware_.get());
            firmware_->hide();
        }
        sim::UdpFront udp({settings_.probePort, "127.0.0.1", 32, 0ms});
        camera_.expect(spinUntil([&] { return main_.link().connectType() == kConnectTypeTcp; }), "mixer found");
        shoot("main-found", &main_);
        BusCount listsLoaded(MSG_PRESET_LIST_LOADED);
        main_.connectBtn()->click();
        // Connecting asks for the preset lists (or the firmware version): their answers are in
        // before the frames go elsewhere.
        camera_.expect(spinUntil([&] {
                           return store_.isconnected &&
                                  (program_.presetLibrary ? listsLoaded.count > 0 : store_.m_mcuVer != 0);
                       }),
                       "connected");
        shoot("main-connected", &main_);
        main_.link().setBar(true);
        shoot("main-busy", &main_);
        main_.link().setBar(false);
        const std::string address = main_.deviceLabel();
        main_.setDeviceLabel("fe80::21b:21ff:fe3a:9c4d%enx00e04c6815f2");
        shoot("main-ipv6", &main_);
        main_.setDeviceLabel("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
        shoot("main-serial", &main_);
        main_.setDeviceLabel(address);
        ui_.onModal([&](platform::ModalWindow&) {
            camera_.expect(main_.aboutWindow()->lb_Product_name()->text() == QLatin1String(name_),
                           "about window names the program");
            camera_.shootScreen(prefix_ + "about", {&main_, main_.aboutWindow()});
            main_.aboutWindow()->close();
            return -60006;
        });
        main_.aboutBtn()->click();
        main_.link().setTransport(&line_);
    }

    // Idle, busy (and a rename refused meanwhile), a backup and a restore under way and done, a
    // request that failed, and the name panel, an alert and a file panel over the window.
    void shootPresetWindow() {
        BusCount backupPackets(MSG_BACKUP_PACKET), restorePackets(MSG_RESTORE_PACKET);
        const std::string backup = dir_ / (std::string("backup.") + program_.memoryFilter);
        auto status = [this] { return presets_.statusField()->text().toStdString(); };
        openPage(main_.enterSaveLoadBtn(), &presets_, [&] {
            line_.pumpAll();
            camera_.expect(!presets_.logic().isBusy(), "preset window idle");
            shoot("presets-idle", &presets_);

            if (program_.presetLibrary) {
                shootChannelPopup();
                presets_.recallBtn()->click();
                camera_.expect(presets_.logic().isBusy(), "preset window busy");
                shoot("presets-busy", &presets_);
                // The table stays enabled while busy: a rename asked for now is refused, and says why.
                presets_.logic().tablvieDoubleClick(2);
                camera_.expect(status() == "Wait for the mixer's answer to the request under way.", "rename refused");
                shoot("presets-busy-refused", &presets_);
                line_.pumpAll();
            }

            ui_.answerAlert(0);
            ui_.answerSave(backup);
            presets_.memImptBtn()->click();
            camera_.expect(line_.pumpUntil([&] { return backupPackets.last >= 11; }), "backup under way");
            waitForBar();
            shoot("presets-backup", &presets_);
            line_.pumpAll();
            camera_.expect(status() == program_.backupDoneText, "backup done");
            shoot("presets-backup-done", &presets_);

            if (program_.mcuVersion) {
                // The mixer's firmware is updated; the write-back is refused while the version
                // last reported is the old one, and the refusal asks for it again.
                mixer_.updateFirmware();
                shootDialog("presets-update-first", &presets_, [&] { presets_.memExBtn()->click(); });
                line_.pumpAll();
            }
            ui_.answerOpen(backup);
            presets_.memExBtn()->click();
            camera_.expect(line_.pumpUntil([&] { return restorePackets.last >= 12; }), "restore under way");
            waitForBar();
            shoot("presets-restore", &presets_);
            line_.pumpUntil([&] { return restorePackets.last == kMemoryPacketCount; });
            camera_.expect(status() == program_.restoreDoneText, "restore done");
            shoot("presets-restore-done", &presets_);
            line_.pumpAll();

            // A request the mixer never answers: the watchdog's two ticks give up.
            mixer_.setSilent(true);
            presets_.recallBtn()->click();
            presets_.logic().setAnimate();
            presets_.logic().setAnimate();
            camera_.expect(status() == program_.watchdogText, "request failed");
            shoot("presets-failed", &presets_);
            mixer_.setSilent(false);

            if (program_.presetLibrary) shootPresetDialogs();
        });
    }

    // Programming, the reboot countdown, a board that failed, the end of the run, the final
    // notice; and a window without its manifest.
    void shootFirmwareWindow() {
        if (!firmware_) return;
        FirmwareUpdateWindow& fw = *firmware_;
        openPage(main_.enterUpdateBtn(), &fw, [&] {
            shoot("firmware-connected", &fw);
            ui_.answerAlert(0);
            fw.programGoBtn()->click();
            camera_.expect(line_.pumpUntil(
                               [&] { return fw.progressBar()->mPosition() * 2 >= fw.progressBar()->MaxNum(); }),
                           "board programming");
            shoot("firmware-busy", &fw);
            line_.pumpAll();
            camera_.expect(spinUntil([&] { return fw.bigNotingLabel()->LabelTitile()->text().endsWith("29"); }),
                           "reboot countdown");
            shoot("firmware-countdown", &fw);
            // The countdown's block starts the next board when it runs out; here at once.
            fw.bigNotingLabel()->setTimerInvalid();
            mixer_.failBoardOnce(2, 3);
            fw.logic().afterCountDown();
            camera_.expect(line_.pumpUntil([&] { return fw.lbstatusUpdate()->text() == INF_DEV_UP_FAILER; }),
                           "board failed");
            shoot("firmware-failed", &fw);
            line_.pumpAll();
            camera_.expect(fw.lbstatusUpdate()->text() == "Firmware update complete", "firmware run finished");
            shoot("firmware-finished", &fw);
            fw.logic().setActives(CFirmwareUpdate::kCompleteTurnOff);
            shoot("firmware-turn-off", &fw);
        });
        std::filesystem::create_directories(dir_ / "empty");
        XCoreData noManifest(dir_ / "empty");
        FirmwareUpdateWindow broken(store_, noManifest);
        broken.awakeFromNib();
        broken.show();
        camera_.expect(!broken.errolLabel()->text().isEmpty(), "manifest missing");
        shoot("firmware-no-manifest", &broken);
    }

private:
    void shoot(const char* state, QWidget* window) { camera_.shoot(prefix_ + state, window); }

    // Dsp Channel chosen and its Channel pop-up list open over the window, a channel highlighted;
    // then back to the scenes.
    void shootChannelPopup() {
        presets_.radioGroup()->button(1)->click();
        line_.pumpAll();
        QComboBox* box = presets_.chbox();
        box->setCurrentIndex(2);
        box->showPopup();
        QWidget* popup = box->view()->window();
        camera_.expect(popup->isVisible() && popup != &presets_, "channel pop-up list open");
        camera_.shootScreen(prefix_ + "presets-channel-popup", {&presets_, popup});
        box->hidePopup();
        box->setCurrentIndex(0);
        presets_.radioGroup()->button(0)->click();
        line_.pumpAll();
    }

    // The name panel over a selected row, the delete confirmation and the open panel of Save to
    // Mixer, each dismissed.
    void shootPresetDialogs() {
        presets_.logic().setStatusFieldTitle("Preset List Loaded!", true);
        presets_.table()->selectRow(2);
        presets_.logic().tableViewShouldSelectRow(2);
        ui_.onModal([&](platform::ModalWindow&) {
            camera_.shootScreen(prefix_ + "presets-name-panel", {&presets_, &presets_.alertPanel()});
            presets_.alertPanel().secondBtn()->click();
            return PresetNamePanel::kModalStop;
        });
        presets_.logic().tablvieDoubleClick(2);
        presets_.logic().tableViewShouldSelectRow(2);
        shootDialog("presets-delete-alert", &presets_, [&] { presets_.deleteBtn()->click(); });
        shootDialog("presets-open-panel", &presets_, [&] { presets_.savebtn()->click(); });
    }

    // Shows a real alert or file panel for one picture: while the dialog that the action opens
    // runs, the camera takes it above its window, then the dialog is dismissed (cancel).
    void shootDialog(const char* state, QWidget* window, const std::function<void()>& action) {
        {
            platform::QtUiServices real;
            QTimer poll;
            QObject::connect(&poll, &QTimer::timeout, [&] {
                QWidget* dialog = QApplication::activeModalWidget();
                if (!dialog || dialog == window || !dialog->isVisible()) return;
                poll.stop();
                camera_.shootScreen(prefix_ + state, {window, dialog});
                if (auto* box = qobject_cast<QDialog*>(dialog)) box->reject();
            });
            poll.start(20);
            action();
        }
        platform::UiServices::setShared(&ui_);
    }

    // Opens a window through its page button; body runs while the window is shown, which is then
    // closed.
    void openPage(QPushButton* pageButton, QWidget* window, const std::function<void()>& body) {
        ui_.onModal([&](platform::ModalWindow&) {
            body();
            window->close();
            const auto stops = ui_.callsOf("stopModal");
            return stops.empty() ? 0 : stops.back().code;
        });
        pageButton->click();
    }

    // The progress bar glides to a new value in 0.3 s.
    void waitForBar() {
        CRProgressIndicator* bar = presets_.progresBar();
        spinUntil([bar] { return bar->internalDoubleValue() == bar->doubleValue(); });
    }

    Camera& camera_;
    const ProgramConstants& program_;
    const char* const name_;
    const QString prefix_;
    const QString folder_;
    testsupport::TempDir dir_;
    platform::QtMainExecutor executor_;
    platform::ScriptedUiServices ui_;
    platform::RecordingSleeper sleeper_;
    sim::LockedMixer remote_;
    sim::TcpFront tcp_;
    const LinkSettings settings_;
    GCData store_;
    XCoreData core_;
    StartMainWindow main_;
    AppDelegate delegate_;
    SaveLoadWindow presets_;
    std::unique_ptr<FirmwareUpdateWindow> firmware_;
    sim::SimMixer mixer_;
    LocalLine line_;
};

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    platform::setTraceEnabled(false);
    platform::SerialRegistry::setShared(new platform::FakeSerialRegistry());
    Camera camera(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshots"));

    for (const Program& program :
         {Program{kUtilityConstants, "utility", sim::SimMixer::kNewLayoutVersion, "K42 Firmware update tool"},
          Program{kConversionConstants, "conversion", 63, "Varnel Preset Conversion"}}) {
        Session session(camera, program);
        session.shootMainWindow();
        session.shootPresetWindow();
        session.shootFirmwareWindow();
    }

    for (const QString& path : camera.written()) std::printf("%s\n", qPrintable(path));
    for (const QString& failure : camera.failures())
        std::fprintf(stderr, "varnel-screenshots: %s\n", qPrintable(failure));
    return camera.failures().isEmpty() ? 0 : 1;
}
