#include "utility/UtilityLaunch.h"

#include "link/GCData.h"
#include "link/XCoreData.h"
#include "platform/Resources.h"

#include <QApplication>

namespace {

// The firmware store, reading the manifest from the program's own folder of the resources.
XCoreData& programCore(const ProgramConstants& program) {
    XCoreData& core = XCoreData::shareData();
    if (*program.manifestFolder) core.setResourcesDir(platform::resourcesFolder() + "/" + program.manifestFolder);
    return core;
}

}  // namespace

UtilityLaunch::UtilityLaunch(const ProgramConstants& program)
    : window_(GCData::shareGCData(program), programCore(program)),
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
