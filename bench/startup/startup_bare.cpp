// A bare Qt window of the main window's size: the baseline of the start-up comparison.
#include "StartupReport.h"

#include <QMainWindow>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QMainWindow window;
    window.resize(640, 420);
    window.show();
    startup::reportWhenShown(window);
    return app.exec();
}
