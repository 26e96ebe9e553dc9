#include "ShotRig.h"

#include "support/QtSpin.h"

#include <QDir>
#include <QImage>
#include <QPainter>
#include <QWidget>

namespace shots {

Camera::Camera(QString folder) : folder_(QDir(folder).absolutePath()) {
    QDir().mkpath(folder_);
}

void Camera::shoot(const QString& name, QWidget* window) {
    shootScreen(name, {window});
}

void Camera::shootScreen(const QString& name, const std::vector<QWidget*>& windows) {
    QRect bounds;
    for (QWidget* w : windows) bounds |= w->geometry();
    QImage canvas(bounds.size(), QImage::Format_RGB32);
    canvas.fill(QColor(0x20, 0x21, 0x24));
    QPainter painter(&canvas);
    for (QWidget* w : windows) painter.drawPixmap(w->geometry().topLeft() - bounds.topLeft(), w->grab());
    painter.end();
    save(name, canvas);
}

void Camera::expect(bool reached, const QString& state) {
    if (!reached) failures_ << QStringLiteral("state not reached: ") + state;
}

void Camera::save(const QString& name, const QImage& image) {
    const QString path = folder_ + '/' + name + ".png";
    // A picture of one colour shows nothing: a window that did not draw.
    bool varied = false;
    const QRgb first = image.pixel(0, 0);
    for (int y = 0; y < image.height() && !varied; y += 3)
        for (int x = 0; x < image.width() && !varied; x += 3) varied = image.pixel(x, y) != first;
    if (!image.save(path) || !varied) {
        failures_ << QStringLiteral("no picture of ") + name;
        return;
    }
    written_ << path;
}

bool LocalLine::pumpUntil(const std::function<bool()>& done) {
    while (!done() && mixer_.hasOutput()) link_.parseData(mixer_.takeChunk());
    return done();
}

bool spinUntil(const std::function<bool()>& done) {
    return testsupport::spinUntil(done);
}

}  // namespace shots
