// Varnel Utility's start-up as the program runs it (link, search, manifest, main window).
#include "StartupReport.h"

#include "platform/Trace.h"
#include "utility/UtilityLaunch.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    platform::setTraceEnabled(false);
    UtilityLaunch launch;
    launch.window().show();
    startup::reportWhenShown(launch.window());
    return app.exec();
}
