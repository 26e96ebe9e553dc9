// varnel-screenshots [FOLDER]: pictures of every window of Varnel Utility and Varnel Preset
// Conversion in its main states, in Qt's offscreen platform, without a mixer: idle, device found,
// connected, busy, backup and restore under way, the reboot countdown, finished and failed, and
// the dialogs above their windows. Writes "<program>-<window>-<state>.png" into FOLDER (default
// "screenshots") and lists the files; exits non-zero when a picture could not be made.
//
// The main window finds and connects a simulated mixer over loopback (UDP search, TCP link) as the
// program would. Then the link's frames go to a simulated mixer in this process whose replies are
// fed back by hand, so that a picture can stop a transfer half-way; dialogs are answered by the
// scripted test doubles, except where a picture shows a real alert or file panel.

#include "ShotRig.h"

#include "firmware/FirmwareUpdateWindow.h"
#include "link/LConstrant.h"
#include "platform/Sleeper.h"
#include "platform/Trace.h"
#include "platform/qt/QtMainExecutor.h"
#include "platform/qt/QtUiServices.h"
#include "platform/testing/FakeSerialRegistry.h"
#include "platform/testing/ScriptedUiServices.h"
#include "presets/SaveLoadWindow.h"
#include "simfront/SimFronts.h"
#include "support/FreePorts.h"
#include "support/TestFiles.h"
#include "ui/CRProgressIndicator.h"
#include "ui/DirazuzeControl.h"
#include "ui/StartMainWindow.h"
#include "ui/TimerView.h"
#include "ui/VerWindow.h"
#include "ui/XProgressView.h"
#include "util/Duziz.h"

#include <QApplication>
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
#include <optional>

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

// The resources of a program: the shipped manifest with an address for the maker's web page (so
// that its button shows), and four small firmware images.
void writeResources(const std::string& folder, bool withImages) {
    std::filesystem::create_directories(folder + "/lib");
    std::ofstream(folder + "/lib/" + kFirmwareManifestName) << R"({"Firmwares": [
        {"MCU_VER2": ""}, {"MCU_VER1": ""}, {"DSP_VER2": ""}, {"DSP_VER1": ""},
        {"App_Name": "K42 Firmware update tool"}, {"App_Ver": "Version:3.6.3"}, {"compName": "Varnel"},
        {"URL": "www.varnel.example"}, {"Utype": "0"}]})";
    if (!withImages) return;
    const size_t kilobytes[kFirmwareBoards] = {12, 6, 8, 4};
    for (int board = 0; board < kFirmwareBoards; ++board) {
        std::ofstream image(folder + "/lib/" + Firmware_BIN[board], std::ios::binary);
        for (size_t i = 0; i < kilobytes[board] * 1024; ++i) image.put(static_cast<char>(i * 7 + board));
    }
}

// Loopback ports for the main window's search and link.
LinkSettings loopbackSettings(uint16_t tcpPort) {
    const auto udp = testsupport::freePorts(SOCK_DGRAM, 4);
    LinkSettings settings;
    settings.wlanPort = udp.at(0);
    settings.hfPort = udp.at(1);
    settings.searchPort = udp.at(2);
    settings.probePort = udp.at(3);
    settings.broadcastAddress = "127.0.0.1";
    settings.tcpPort = tcpPort;
    return settings;
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

// Shows a real alert or file panel for one picture: while the dialog that the action opens runs,
// the camera takes it above its window, then the dialog is dismissed (cancel).
void shootDialog(Camera& camera, const QString& name, QWidget* window, const std::function<void()>& action) {
    auto* scripted = &platform::UiServices::shared();
    {
        platform::QtUiServices real;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            QWidget* dialog = QApplication::activeModalWidget();
            if (!dialog || dialog == window || !dialog->isVisible()) return;
            poll.stop();
            camera.shootScreen(name, {window, dialog});
            if (auto* box = qobject_cast<QDialog*>(dialog)) box->reject();
        });
        poll.start(20);
        action();
    }
    platform::UiServices::setShared(scripted);
}

// Opens a window through its page button; body runs while the window is shown and closes it.
void openPage(platform::ScriptedUiServices& ui, QPushButton* pageButton, QWidget* window,
              const std::function<void()>& body) {
    ui.onModal([&](platform::ModalWindow&) {
        body();
        window->close();
        const auto stops = ui.callsOf("stopModal");
        return stops.empty() ? 0 : stops.back().code;
    });
    pageButton->click();
}

// The progress bar glides to a new value in 0.3 s.
void waitForBar(SaveLoadWindow& presets) {
    CRProgressIndicator* bar = presets.progresBar();
    spinUntil([bar] { return bar->internalDoubleValue() == bar->doubleValue(); });
}

struct Program {
    const ProgramConstants& constants;
    const char* prefix;
    int firmwareVersion;
};

// One program from start to finish: every window, every state.
void shootProgram(Camera& camera, const Program& program) {
    const QString prefix = QString::fromUtf8(program.prefix) + '-';
    testsupport::TempDir dir;
    writeResources(dir / "resources", true);
    writeResources(dir / "empty", false);
    std::filesystem::remove(dir / (std::string("empty/lib/") + kFirmwareManifestName));

    // The file panels open in the program's folder.
    const QString folder = QDir::currentPath();
    QDir::setCurrent(QString::fromStdString(dir.path()));
    platform::QtMainExecutor executor;
    platform::ScriptedUiServices ui;
    platform::RecordingSleeper sleeper;
    sim::LockedMixer remote(7, program.firmwareVersion);
    remote.with([](sim::SimMixer& m) { nameSomePresets(m); });
    sim::TcpFront tcp(remote, "127.0.0.1", 0);
    const LinkSettings settings = loopbackSettings(tcp.port());

    GCData gc(program.constants);
    XCoreData core(dir / "resources");
    StartMainWindow main(gc, core, settings);
    main.link().setSleeper(&sleeper);
    main.awakeFromNib();
    SaveLoadWindow presets(gc);
    presets.awakeFromNib();
    std::unique_ptr<FirmwareUpdateWindow> firmware;
    if (program.constants.firmwarePage) {
        firmware = std::make_unique<FirmwareUpdateWindow>(gc, core);
        firmware->logic().setSleeper(&sleeper);
        firmware->awakeFromNib();
    }
    main.updatePageButtons();
    main.move(40, 40);
    main.show();
    BusCount listsLoaded(MSG_PRESET_LIST_LOADED);

    // ---- Main window: searching, found, connected, busy, long device texts, about ----------
    camera.shoot(prefix + "main-idle", &main);
    if (firmware) {
        firmware->show();
        camera.shoot(prefix + "firmware-idle", firmware.get());
        firmware->hide();
    }
    std::optional<sim::UdpFront> udp;
    udp.emplace(sim::UdpFront::Options{settings.probePort, "127.0.0.1", 32, 0ms});
    camera.expect(spinUntil([&] { return main.link().connectType() == kConnectTypeTcp; }), "mixer found");
    camera.shoot(prefix + "main-found", &main);
    main.connectBtn()->click();
    // Connecting asks for the preset lists (or the firmware version): their answers are in before
    // the frames go elsewhere.
    camera.expect(spinUntil([&] {
                      return gc.isconnected &&
                             (program.constants.presetLibrary ? listsLoaded.count > 0 : gc.m_mcuVer != 0);
                  }),
                  "connected");
    camera.shoot(prefix + "main-connected", &main);
    main.link().setBar(true);
    camera.shoot(prefix + "main-busy", &main);
    main.link().setBar(false);
    const std::string address = main.deviceLabel();
    main.setDeviceLabel("fe80::21b:21ff:fe3a:9c4d%enx00e04c6815f2");
    camera.shoot(prefix + "main-ipv6", &main);
    main.setDeviceLabel("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    camera.shoot(prefix + "main-serial", &main);
    main.setDeviceLabel(address);
    ui.onModal([&](platform::ModalWindow&) {
        camera.shootScreen(prefix + "about", {&main, main.aboutWindow()});
        main.aboutWindow()->close();
        return -60006;
    });
    main.aboutBtn()->click();

    // From here the frames go to the mixer in this process.
    sim::SimMixer mixer(7, program.firmwareVersion);
    nameSomePresets(mixer);
    mixer.setChunkSizes({1024});
    LocalLine line(main.link(), mixer);
    main.link().setTransport(&line);

    // ---- Preset window --------------------------------------------------------------------
    BusCount backupPackets(MSG_BACKUP_PACKET), restorePackets(MSG_RESTORE_PACKET);
    const std::string backup = dir / (std::string("backup.") + program.constants.memoryFilter);
    auto status = [&presets] { return presets.statusField()->text().toStdString(); };
    openPage(ui, main.enterSaveLoadBtn(), &presets, [&] {
        line.pumpAll();
        camera.expect(!presets.logic().isBusy(), "preset window idle");
        camera.shoot(prefix + "presets-idle", &presets);

        if (program.constants.presetLibrary) {
            presets.recallBtn()->click();
            camera.expect(presets.logic().isBusy(), "preset window busy");
            camera.shoot(prefix + "presets-busy", &presets);
            line.pumpAll();
        }

        ui.answerAlert(0);
        ui.answerSave(backup);
        presets.memImptBtn()->click();
        camera.expect(line.pumpUntil([&] { return backupPackets.last >= 11; }), "backup under way");
        waitForBar(presets);
        camera.shoot(prefix + "presets-backup", &presets);
        line.pumpAll();
        camera.expect(status() == program.constants.backupDoneText, "backup done");
        camera.shoot(prefix + "presets-backup-done", &presets);

        if (program.constants.mcuVersion) {
            // The mixer's firmware is updated; the write-back is refused while the version last
            // reported is the old one, and the refusal asks for it again.
            mixer.updateFirmware();
            shootDialog(camera, prefix + "presets-update-first", &presets, [&] { presets.memExBtn()->click(); });
            line.pumpAll();
        }
        ui.answerOpen(backup);
        presets.memExBtn()->click();
        camera.expect(line.pumpUntil([&] { return restorePackets.last >= 12; }), "restore under way");
        waitForBar(presets);
        camera.shoot(prefix + "presets-restore", &presets);
        line.pumpUntil([&] { return restorePackets.last == kMemoryPacketCount; });
        camera.expect(status() == program.constants.restoreDoneText, "restore done");
        camera.shoot(prefix + "presets-restore-done", &presets);
        line.pumpAll();

        // A request the mixer never answers: the watchdog's two ticks give up.
        mixer.setSilent(true);
        presets.recallBtn()->click();
        presets.logic().setAnimate();
        presets.logic().setAnimate();
        camera.expect(status() == program.constants.watchdogText, "request failed");
        camera.shoot(prefix + "presets-failed", &presets);
        mixer.setSilent(false);

        if (program.constants.presetLibrary) {
            presets.logic().setStatusFieldTitle("Preset List Loaded!", true);
            QTableView* table = presets.table();
            table->selectRow(2);
            presets.logic().tableViewShouldSelectRow(2);
            ui.onModal([&](platform::ModalWindow&) {
                camera.shootScreen(prefix + "presets-name-panel", {&presets, &presets.alertPanel()});
                presets.alertPanel().secondBtn()->click();
                return PresetNamePanel::kModalStop;
            });
            presets.logic().tablvieDoubleClick(2);
            presets.logic().tableViewShouldSelectRow(2);
            shootDialog(camera, prefix + "presets-delete-alert", &presets, [&] { presets.deleteBtn()->click(); });
            shootDialog(camera, prefix + "presets-open-panel", &presets, [&] { presets.savebtn()->click(); });
        }
    });

    // ---- Firmware window --------------------------------------------------------------------
    if (firmware) {
        FirmwareUpdateWindow& fw = *firmware;
        openPage(ui, main.enterUpdateBtn(), &fw, [&] {
            camera.shoot(prefix + "firmware-connected", &fw);
            ui.answerAlert(0);
            fw.programGoBtn()->click();
            camera.expect(line.pumpUntil([&] { return fw.progressBar()->mPosition() * 2 >= fw.progressBar()->MaxNum(); }),
                          "board programming");
            camera.shoot(prefix + "firmware-busy", &fw);
            line.pumpAll();
            camera.expect(spinUntil([&] { return fw.bigNotingLabel()->LabelTitile()->text().endsWith("29"); }),
                          "reboot countdown");
            camera.shoot(prefix + "firmware-countdown", &fw);
            fw.bigNotingLabel()->setTimerInvalid();
            mixer.failBoardOnce(2, 3);
            fw.logic().afterCountDown();
            camera.expect(line.pumpUntil([&] { return fw.lbstatusUpdate()->text() == INF_DEV_UP_FAILER; }),
                          "board failed");
            camera.shoot(prefix + "firmware-failed", &fw);
            line.pumpAll();
            camera.expect(fw.lbstatusUpdate()->text() == "Firmware update complete", "firmware run finished");
            camera.shoot(prefix + "firmware-finished", &fw);
            fw.logic().setActives(CFirmwareUpdate::kCompleteTurnOff);
            camera.shoot(prefix + "firmware-turn-off", &fw);
        });
        XCoreData noManifest(dir / "empty");
        FirmwareUpdateWindow broken(gc, noManifest);
        broken.awakeFromNib();
        broken.show();
        camera.expect(!broken.errolLabel()->text().isEmpty(), "manifest missing");
        camera.shoot(prefix + "firmware-no-manifest", &broken);
    }
    main.link().setTransport(nullptr);
    QDir::setCurrent(folder);
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    platform::setTraceEnabled(false);
    platform::SerialRegistry::setShared(new platform::FakeSerialRegistry());
    Camera camera(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshots"));

    shootProgram(camera, {kUtilityConstants, "utility", sim::SimMixer::kNewLayoutVersion});
    shootProgram(camera, {kConversionConstants, "conversion", 63});

    for (const QString& path : camera.written()) std::printf("%s\n", qPrintable(path));
    for (const QString& failure : camera.failures()) std::fprintf(stderr, "varnel-screenshots: %s\n", qPrintable(failure));
    return camera.failures().isEmpty() ? 0 : 1;
}
