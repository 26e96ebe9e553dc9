// Varnel Preset Conversion: backs up the memory of a mixer with old firmware and, once its
// firmware has been updated, writes the memory back with every scene in the new layout.

#include "utility/UtilityLaunch.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Varnel Preset Conversion");
    return UtilityLaunch::run(app, kConversionConstants);
}
