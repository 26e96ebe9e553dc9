// Varnel Utility's start-up as the program runs it (link, search, manifest, main window).
#include "StartupReport.h"

#include "link/GCData.h"
#include "link/XCoreData.h"
#include "platform/Trace.h"
#include "platform/qt/QtMainExecutor.h"
#include "platform/qt/QtUiServices.h"
#include "ui/AppDelegate.h"
#include "ui/StartMainWindow.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    platform::setTraceEnabled(false);
    platform::QtMainExecutor executor;
    platform::QtUiServices ui;
    StartMainWindow window(GCData::shareGCData(), XCoreData::shareData());
    window.awakeFromNib();
    AppDelegate delegate([] { return readManifestEntries(XCoreData::shareData()); });
    delegate.setWindow(&window);
    delegate.applicationDidFinishLaunching();
    window.show();
    startup::reportWhenShown(window);
    return app.exec();
}
