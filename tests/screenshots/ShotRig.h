#pragma once
// What the screenshot program drives the windows with: a camera that writes a window, or a window
// with the dialogs open above it, to PNG files; and a line that carries the device link's frames
// to a simulated mixer in this process and feeds its replies back only when asked, so that a
// picture can be taken half-way through a transfer.

#include "link/StartMainView.h"
#include "sim/SimMixer.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

class QImage;
class QWidget;

namespace shots {

class Camera {
public:
    // Pictures go to folder (relative to the current folder now), which is made when missing.
    explicit Camera(QString folder);

    // The window as it draws itself: "<folder>/<name>.png".
    void shoot(const QString& name, QWidget* window);
    // The windows as a screen shows them, each at its place and the later ones above the earlier
    // ones, on the smallest canvas that holds them all.
    void shootScreen(const QString& name, const std::vector<QWidget*>& windows);

    // Records a failure when the windows are not in the state the next picture is to show.
    void expect(bool reached, const QString& state);

    const QStringList& written() const { return written_; }
    // What went wrong: pictures that could not be written or show nothing but one colour, and
    // states that were not reached.
    const QStringList& failures() const { return failures_; }

private:
    void save(const QString& name, const QImage& image);

    QString folder_;
    QStringList written_;
    QStringList failures_;
};

// Frames written by the link reach the mixer at once; the mixer's replies wait until pump().
class LocalLine : public LinkTransport {
public:
    LocalLine(StartMainView& link, sim::SimMixer& mixer) : link_(link), mixer_(mixer) {}

    void writeTcp(const uint8_t* bytes, size_t length) override { mixer_.receive(bytes, length); }
    void readNextTcp() override {}
    void writeSerial(const uint8_t* bytes, size_t length) override { mixer_.receive(bytes, length); }

    // Feeds the mixer's replies to the link a chunk at a time until done() holds or the mixer has
    // nothing more to say; returns done().
    bool pumpUntil(const std::function<bool()>& done);
    // Feeds every reply, including those that the replies cause.
    void pumpAll() {
        pumpUntil([] { return false; });
    }

private:
    StartMainView& link_;
    sim::SimMixer& mixer_;
};

// Spins the Qt event loop until done() or about five seconds; returns done().
bool spinUntil(const std::function<bool()>& done);

}  // namespace shots
