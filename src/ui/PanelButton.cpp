#include "ui/PanelButton.h"

#include <QEvent>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace {

// The faces, top and bottom of their gradients, and the edges. White titles reach at least 7:1 on
// the lightest face (under the mouse); a dimmed title about 4:1 on the flat disabled face.
struct FaceColors {
    QColor top, bottom, edge;
};
const FaceColors kIdle{QColor(0x3b, 0x46, 0x57), QColor(0x25, 0x2c, 0x37), QColor(0x8f, 0x9d, 0xb2)};
const FaceColors kHover{QColor(0x4a, 0x58, 0x70), QColor(0x2f, 0x39, 0x49), QColor(0xc3, 0xd0, 0xe2)};
const FaceColors kDown{QColor(0x17, 0x1c, 0x24), QColor(0x23, 0x2a, 0x35), QColor(0xc3, 0xd0, 0xe2)};
const FaceColors kDisabled{QColor(0x2b, 0x30, 0x38), QColor(0x2b, 0x30, 0x38), QColor(0x4f, 0x56, 0x61)};
const QColor kFocusEdge(0x5e, 0xa0, 0xe6);
// What a disabled title is mixed with: the flat face, which is about the panel's own colour.
const QColor kDimTowards = kDisabled.top;
constexpr double kDimShare = 0.55;
constexpr qreal kRadius = 5.0;
constexpr int kTitlePadding = 6;

QColor mixed(const QColor& a, const QColor& b, double share) {
    return QColor::fromRgbF(a.redF() + (b.redF() - a.redF()) * share, a.greenF() + (b.greenF() - a.greenF()) * share,
                            a.blueF() + (b.blueF() - a.blueF()) * share);
}

}  // namespace

PanelButton::PanelButton(const QString& title, QWidget* parent, Look look) : QPushButton(title, parent), look_(look) {
    setAttribute(Qt::WA_Hover);
    // The face is always dark: the title starts white, as every window shows it.
    QPalette palette = this->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive}) palette.setColor(group, QPalette::ButtonText, Qt::white);
    setPalette(palette);
    if (look_ == Look::Link) setCursor(Qt::PointingHandCursor);
}

PanelButton::PanelButton(const QString& title, const QRect& frame, QWidget* parent, Look look)
    : PanelButton(title, parent, look) {
    setGeometry(frame);
}

bool PanelButton::event(QEvent* event) {
    switch (event->type()) {
    case QEvent::HoverEnter:
    case QEvent::HoverLeave:
    case QEvent::Enter:
    case QEvent::Leave:
        update();
        break;
    default:
        break;
    }
    return QPushButton::event(event);
}

void PanelButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const bool enabled = isEnabled();
    const bool down = enabled && isDown();
    const bool hover = enabled && underMouse();
    const bool focus = enabled && hasFocus() && window()->testAttribute(Qt::WA_KeyboardFocusChange);
    paintFace(painter, enabled, hover, down, focus);
    const QColor title = palette().color(QPalette::Active, QPalette::ButtonText);
    paintTitle(painter, enabled ? title : mixed(title, kDimTowards, kDimShare), down);
}

void PanelButton::paintFace(QPainter& painter, bool enabled, bool hover, bool down, bool focus) const {
    const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QPainterPath shape;
    shape.addRoundedRect(box, kRadius, kRadius);
    if (look_ == Look::Link) {
        if (down)
            painter.fillPath(shape, QColor(0, 0, 0, 70));
        else if (hover)
            painter.fillPath(shape, QColor(255, 255, 255, 36));
        if (focus) painter.strokePath(shape, QPen(kFocusEdge, 1.0));
        return;
    }
    const FaceColors& colors = !enabled ? kDisabled : down ? kDown : hover ? kHover : kIdle;
    QLinearGradient gradient(box.topLeft(), box.bottomLeft());
    gradient.setColorAt(0.0, colors.top);
    gradient.setColorAt(1.0, colors.bottom);
    painter.fillPath(shape, gradient);
    if (enabled && !down) {
        // A thin light line under the top edge, as light falling on a raised key.
        painter.setPen(QPen(QColor(255, 255, 255, 38), 1.0));
        painter.drawLine(QPointF(box.left() + kRadius, box.top() + 1.0),
                         QPointF(box.right() - kRadius, box.top() + 1.0));
    }
    painter.strokePath(shape, QPen(focus ? kFocusEdge : colors.edge, focus ? 1.6 : 1.0));
}

void PanelButton::paintTitle(QPainter& painter, const QColor& color, bool down) const {
    QFont font = this->font();
    if (look_ == Look::Link && isEnabled()) font.setUnderline(true);
    painter.setFont(font);
    painter.setPen(color);
    QRect area = rect().adjusted(kTitlePadding, 0, -kTitlePadding, 0);
    if (down) area.translate(0, 1);
    const Qt::Alignment align = look_ == Look::Link ? (Qt::AlignLeft | Qt::AlignVCenter) : Qt::AlignCenter;
    const QString shown = QFontMetrics(font).elidedText(text(), Qt::ElideRight, area.width());
    painter.drawText(area, static_cast<int>(align | Qt::TextSingleLine), shown);
}
