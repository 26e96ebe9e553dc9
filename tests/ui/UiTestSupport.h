#pragma once
// Helpers shared by the widget tests: event-loop spinning, paint and pixel counting, temporary
// folders.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QColor>
#include <QEvent>
#include <QImage>
#include <QObject>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>

// Colours in test failures as #rrggbb.
inline void PrintTo(const QColor& color, std::ostream* out) { *out << color.name(QColor::HexArgb).toStdString(); }

namespace uitest {

// Spins the Qt event loop until done() or about five seconds.
template <typename Predicate>
bool spinUntil(Predicate done) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < 5000) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}

inline void spinFor(int ms) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

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

// A fresh folder under the system's temporary folder, removed with its contents at the end.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "varnel-ui-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return (std::filesystem::path(path_) / name).string(); }

private:
    std::string path_;
};

}  // namespace uitest
