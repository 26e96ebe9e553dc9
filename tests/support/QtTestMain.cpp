// The main of the Qt tests: they run in Qt's offscreen platform with the Fusion style, so that
// drawing does not depend on the desktop the tests run on, and without trace output.

#include "platform/Trace.h"

#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setStyle("Fusion");
    platform::setTraceEnabled(false);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
