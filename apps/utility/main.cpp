// Varnel Utility: finds the mixer, connects to it, manages its presets and updates its firmware.

#include "platform/qt/QtMainExecutor.h"
#include "platform/qt/QtUiServices.h"

#include <QApplication>
#include <QMainWindow>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Varnel Utility");
    platform::QtMainExecutor executor;
    platform::QtUiServices ui;

    QMainWindow window;
    window.setWindowTitle("Varnel Utility");
    window.resize(640, 420);
    window.show();
    return app.exec();
}
