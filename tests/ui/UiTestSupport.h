#pragma once
// Helpers shared by the widget tests: paint and pixel counting, and the waits and temporary
// folders of tests/support.

#include "support/QtSpin.h"
#include "support/TestFiles.h"

#include <QColor>
#include <QEvent>
#include <QImage>
#include <QObject>

#include <cstdlib>
#include <functional>
#include <ostream>
#include <string>

// Colours in test failures as #rrggbb.
inline void PrintTo(const QColor& color, std::ostream* out) { *out << color.name(QColor::HexArgb).toStdString(); }

namespace uitest {

using testsupport::spinFor;
using testsupport::spinUntil;
using testsupport::TempDir;

// Counts the paint events a widget receives (install it as the widget's event filter).
class PaintCounter : public QObject {
public:
    int paints = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) ++paints;
        return false;
    }
};

inline int countPixels(const QImage& image, const std::function<bool(QColor)>& match) {
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (match(image.pixelColor(x, y))) ++n;
    return n;
}

inline bool near(QColor a, QColor b, int tolerance = 12) {
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
}

}  // namespace uitest
