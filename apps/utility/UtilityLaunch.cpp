#include "utility/UtilityLaunch.h"

#include "link/GCData.h"
#include "link/XCoreData.h"

#include <QApplication>
#include <QFileInfo>
#include <QPushButton>
#include <QStringList>

#include <cstdio>
#include <filesystem>

namespace {

// The firmware store, reading the manifest from the program's own folder of the resources; in
// demo mode with a firmware folder, the manifest and the images from that folder instead.
XCoreData& programCore(const ProgramConstants& program, const LaunchOptions& options) {
    XCoreData& core = XCoreData::shareData();
    if (options.demo && !options.firmwareFolder.empty())
        core.setResourcesDir(options.firmwareFolder);
    else
        core.setResourcesDir(programResourcesDir(program));
    return core;
}

// The main window's links: in demo mode without the serial link.
LinkSettings linkSettings(const LaunchOptions& options) {
    LinkSettings settings;
    settings.serialLink = !options.demo;
    return settings;
}

}  // namespace

std::optional<LaunchOptions> parseLaunchOptions(const QStringList& arguments, const ProgramConstants& program,
                                                std::string* error) {
    LaunchOptions options;
    auto refuse = [error](const std::string& reason) {
        if (error) *error = reason;
        return std::nullopt;
    };
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument == QLatin1String("--demo")) {
            options.demo = true;
        } else if (argument == QLatin1String("--connect-when-found")) {
            options.connectWhenFound = true;
        } else if (argument == QLatin1String("--firmware-folder")) {
            if (i + 1 >= arguments.size() || arguments[i + 1].isEmpty()) return refuse("--firmware-folder needs a folder");
            options.firmwareFolder = arguments[++i].toStdString();
        } else {
            return refuse("unknown option " + argument.toStdString());
        }
    }
    if (!options.demo && (options.connectWhenFound || !options.firmwareFolder.empty()))
        return refuse("--firmware-folder and --connect-when-found work only in demo mode (--demo)");
    if (!options.firmwareFolder.empty()) {
        if (!program.firmwarePage) return refuse("this program has no firmware window: --firmware-folder does not apply");
        std::error_code ec;
        if (!std::filesystem::is_directory(options.firmwareFolder, ec))
            return refuse("the firmware folder " + options.firmwareFolder + " is not a folder");
    }
    return options;
}

UtilityLaunch::UtilityLaunch(const ProgramConstants& program, const LaunchOptions& options)
    : window_(GCData::shareGCData(program), programCore(program, options), linkSettings(options)),
      presetWindow_(GCData::shareGCData(program)),
      firmware_(program.firmwarePage
                    ? std::make_unique<FirmwareUpdateWindow>(GCData::shareGCData(program), XCoreData::shareData())
                    : nullptr),
      delegate_([] { return readManifestEntries(XCoreData::shareData()); }) {
    window_.awakeFromNib();
    presetWindow_.awakeFromNib();
    if (firmware_) firmware_->awakeFromNib();
    // The Preset and Firmware buttons open the windows registered just now.
    window_.updatePageButtons();
    delegate_.setWindow(&window_);
    delegate_.applicationDidFinishLaunching();
    if (options.demo && options.connectWhenFound) {
        // Pressed as a person would, once the search shows the mixer's address.
        connectWhenFound_.setInterval(100);
        QObject::connect(&connectWhenFound_, &QTimer::timeout, &connectWhenFound_, [this] {
            if (window_.link().connectType() != kConnectTypeTcp) return;
            connectWhenFound_.stop();
            window_.connectBtn()->click();
        });
        connectWhenFound_.start();
    }
}

int UtilityLaunch::exec(QApplication& app) {
    // Quitting, and closing the main window, ask the delegate first; the last window closed ends
    // the program.
    QuitGate gate(delegate_, window_);
    QObject::connect(&app, &QApplication::aboutToQuit, [this] { delegate_.applicationWillTerminate(); });
    QObject::connect(&app, &QApplication::applicationStateChanged, [this](Qt::ApplicationState state) {
        if (state == Qt::ApplicationInactive) delegate_.applicationWillResignActive();
    });

    window_.show();
    return app.exec();
}

int UtilityLaunch::run(QApplication& app, const ProgramConstants& program) {
    const QStringList arguments = QApplication::arguments();
    std::string error;
    const std::optional<LaunchOptions> options = parseLaunchOptions(arguments, program, &error);
    if (!options) {
        const std::string name = QFileInfo(arguments.value(0)).fileName().toStdString();
        std::fprintf(stderr, "%s: %s\nusage: %s [--demo%s [--connect-when-found]]\n", name.c_str(), error.c_str(),
                     name.c_str(), program.firmwarePage ? " [--firmware-folder DIR]" : "");
        return 2;
    }
    UtilityLaunch launch(program, *options);
    return launch.exec(app);
}
