#include "ui/XProgressView.h"

#include "platform/Trace.h"
#include "ui/XoemTextField.h"
#include "util/Duziz.h"

#include <QLineEdit>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>

#include <cmath>

namespace {
constexpr int kLabelWidth = 80;
constexpr int kLabelHeight = 20;
constexpr int kBorderWidth = 2;
}  // namespace

XProgressView::XProgressView(const QRect& frame, QWidget* parent) : QWidget(parent) {
    setGeometry(frame);
    MaxNum_ = 100;
    simpLabel_ = new QLineEdit(this);
    simpLabel_->setGeometry((frame.width() - kLabelWidth) / 2, (frame.height() - kLabelHeight) / 2, kLabelWidth,
                            kLabelHeight);
    simpLabel_->setAlignment(Qt::AlignCenter);
    setAsLabel(simpLabel_);
    simpLabel_->setFocusPolicy(Qt::NoFocus);
    mPosition_ = 0;
    backGroundColor_ = Qt::white;
    drawColor_ = Qt::green;
}

void XProgressView::setMaxNum(int value) {
    MaxNum_ = value > 0 ? value : 100;
    caculatePostion();
    update();
}

void XProgressView::updateProgress(int position) {
    updatePosLabel(position);
    update();
}

void XProgressView::updatePosLabel(int position) {
    mPosition_ = position > MaxNum_ ? MaxNum_ : position < 0 ? 0 : position;
    posRect_.setWidth(mPosition_ * step_);
    const double fraction = static_cast<double>(mPosition_) / MaxNum_;
    const int percent = static_cast<int>(static_cast<float>(kround(fraction, 2) * 100));
    simpLabel_->setText(QStringLiteral("%1%").arg(percent));
}

void XProgressView::caculatePostion() {
    const double w = width(), h = height();
    platform::trace("progress height is :%f", h - 2);
    maxpan_ = w - 4;
    // Cut to whole hundredths, so that every unit of position is equally wide.
    step_ = std::trunc(maxpan_ / MaxNum_ * 100) * 0.01;
    gSpace_ = w - step_ * MaxNum_;
    dOY_ = 1.0;
    // The filled part rises dOY above the bottom edge and is h - 2 tall: in top-left
    // coordinates it starts 1 below the top edge.
    posRect_ = QRectF(1 + gSpace_ / 2, h - dOY_ - (h - 2), mPosition_ * step_, h - 2);
}

double XProgressView::kround(double value, int decimals) { return Duziz::round(value, decimals); }

void XProgressView::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    painter.fillRect(event->rect(), backGroundColor_);
    painter.fillRect(posRect_, drawColor_);
    // The border lies inside the bar's bounds, over the fill.
    QPainterPath border;
    border.setFillRule(Qt::OddEvenFill);
    border.addRect(rect());
    border.addRect(rect().adjusted(kBorderWidth, kBorderWidth, -kBorderWidth, -kBorderWidth));
    painter.fillPath(border, Qt::black);
}
