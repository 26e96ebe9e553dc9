// Varnel Utility: finds the mixer, connects to it, manages its presets and updates its firmware.

#include "utility/UtilityLaunch.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Varnel Utility");
    return UtilityLaunch::run(app, kUtilityConstants);
}
