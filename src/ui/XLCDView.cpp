#include "ui/XLCDView.h"

#include <QPaintEvent>
#include <QPainter>

namespace {
const QColor kBorderColor(100, 100, 100);
constexpr int kBorderWidth = 2;
}  // namespace

XLCDView::XLCDView(QWidget* parent) : QWidget(parent) { activeColor_ = ColorOfunLighted_; }

XLCDView::XLCDView(const QRect& frame, QWidget* parent) : XLCDView(parent) { setGeometry(frame); }

void XLCDView::setIsLighted(bool lighted) {
    isLighted_ = lighted;
    update();
}

void XLCDView::setColorOfLighted(util::LampColor color) { ColorOfLighted_ = toQColor(color); }

void XLCDView::setColorOfunLighted(util::LampColor color) { ColorOfunLighted_ = toQColor(color); }

void XLCDView::checkColor() { activeColor_ = isLighted_ ? ColorOfLighted_ : ColorOfunLighted_; }

QColor XLCDView::toQColor(util::LampColor color) {
    return QColor::fromRgbF(static_cast<float>(color.red), static_cast<float>(color.green),
                            static_cast<float>(color.blue), static_cast<float>(color.alpha));
}

void XLCDView::paintEvent(QPaintEvent* event) {
    checkColor();
    QPainter painter(this);
    painter.fillRect(event->rect(), activeColor_);
    // The border lies inside the lamp's bounds, over the fill.
    const int w = width(), h = height(), b = kBorderWidth;
    painter.fillRect(0, 0, w, b, kBorderColor);
    painter.fillRect(0, h - b, w, b, kBorderColor);
    painter.fillRect(0, 0, b, h, kBorderColor);
    painter.fillRect(w - b, 0, b, h, kBorderColor);
}
