// The themed progress bar's drawing: the bezel, the fill with its inner shadow and end line, and
// the light spots and stripes of the animation.

#include "ui/CRProgressIndicator.h"

#include <QPainter>
#include <QPainterPath>

#include <cmath>

namespace {

constexpr double kTrackRadius = 3.0;

// The fill's greys while the window is not active, top to bottom.
constexpr double kInactiveGreys[4] = {0.845, 0.737, 0.665, 0.585};

// The inner shadow: white, offset right and down, blurred.
constexpr double kShadowOffsetX = 0.2;
constexpr double kShadowOffsetY = 1.2;
constexpr double kShadowBlur = 1.0;
constexpr double kShadowAlpha = 0.293;

// Light spots 34 wide laid every 32, stripes 17 wide laid every 33.
constexpr double kSpotPitch = 32.0;
constexpr double kSpotWidth = 34.0;
constexpr double kSpotHeight = 15.0;
constexpr double kSpotRadius = 12.72;
constexpr double kStripePitch = 33.0;

QColor grey(double level, double alpha = 1.0) {
    const auto l = static_cast<float>(level);
    return QColor::fromRgbF(l, l, l, static_cast<float>(alpha));
}

// A gradient over the bounding box of whatever it fills, from its top (0) to its bottom (1).
QLinearGradient topToBottom() {
    QLinearGradient gradient(0.0, 0.0, 0.0, 1.0);
    gradient.setCoordinateMode(QGradient::ObjectMode);
    return gradient;
}

// How much of the span [low, high] a Gaussian blur of width sigma centred at t covers.
double coveredShare(double t, double low, double high, double sigma) {
    const double scale = 1.0 / (sigma * std::sqrt(2.0));
    return 0.5 * (std::erf((high - t) * scale) - std::erf((low - t) * scale));
}

}  // namespace

int CRProgressIndicator::particleCount(double fillWidth) {
    return static_cast<int>(std::round(fillWidth / kSpotWidth) + 2.0);
}

void CRProgressIndicator::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    drawBezel(painter);
    QPainterPath track;
    track.addRoundedRect(QRectF(1.0, 1.0, width() - 2.0, progressBarRect().height()), kTrackRadius, kTrackRadius);
    painter.setClipPath(track);
    drawProgressBar(painter);
    if (_animating) {
        if (_indeterminate)
            drawIndeterminateAnimationStep(painter);
        else
            drawAnimationStep(painter);
    }
}

void CRProgressIndicator::drawBezel(QPainter& painter) const {
    // Corners at their natural size; the edges stretched between them, the centre stretched in
    // both directions.
    const QSizeF topLeft = bezel_[0].deviceIndependentSize(), topRight = bezel_[2].deviceIndependentSize();
    const QSizeF bottomLeft = bezel_[6].deviceIndependentSize(), bottomRight = bezel_[8].deviceIndependentSize();
    const double w = width(), h = height();
    const double top = topLeft.height(), bottom = bottomLeft.height();
    const double left = topLeft.width(), right = topRight.width();
    const QRectF parts[9] = {
        {0.0, 0.0, left, top},
        {left, 0.0, w - left - right, top},
        {w - right, 0.0, right, topRight.height()},
        {0.0, top, left, h - top - bottom},
        {left, top, w - left - right, h - top - bottom},
        {w - right, top, right, h - top - bottom},
        {0.0, h - bottom, left, bottom},
        {left, h - bottom, w - left - right, bottom},
        {w - bottomRight.width(), h - bottomRight.height(), bottomRight.width(), bottomRight.height()},
    };
    for (size_t i = 0; i < bezel_.size(); ++i)
        if (!bezel_[i].isNull() && !parts[i].isEmpty()) painter.drawPixmap(parts[i], bezel_[i], bezel_[i].rect());
}

void CRProgressIndicator::drawProgressBar(QPainter& painter) {
    // The target, not the value drawn: a fall to 0 clears the fill at once.
    if (_doubleValue <= 0) return;
    const QRectF fill = progressBarRect();

    const bool active = isActiveWindow();
    if (!_progressBarGradient || gradientForActiveWindow_ != active) {
        QLinearGradient gradient = topToBottom();
        if (active) {
            const double stops[5] = {0.0, 0.48, 0.49, 0.82, 1.0};
            for (size_t i = 0; i < 5; ++i) gradient.setColorAt(stops[i], _gradientColor[i]);
        } else {
            const double stops[4] = {0.0, 0.48, 0.49, 1.0};
            for (size_t i = 0; i < 4; ++i) gradient.setColorAt(stops[i], grey(kInactiveGreys[i]));
        }
        _progressBarGradient = gradient;
        gradientForActiveWindow_ = active;
    }

    if (fill.width() > 0) {
        painter.fillRect(fill, *_progressBarGradient);
        painter.save();
        painter.setClipRect(fill, Qt::IntersectClip);
        painter.drawImage(fill, innerShadow(fill, devicePixelRatioF()));
        painter.restore();
    }

    // A one-pixel line just right of the fill, lighter at the bottom.
    if (!_progressBarLineGradient) {
        QLinearGradient line = topToBottom();
        line.setColorAt(0.0, grey(0.463));
        line.setColorAt(1.0, grey(0.742));
        _progressBarLineGradient = line;
    }
    painter.fillRect(QRectF(fill.x() + fill.width(), fill.y(), 1.0, fill.height()), *_progressBarLineGradient);
}

const QImage& CRProgressIndicator::innerShadow(const QRectF& fill, qreal pixelRatio) {
    if (shadow_.size == fill.size() && shadow_.pixelRatio == pixelRatio && !shadow_.image.isNull())
        return shadow_.image;
    // The shadow of everything outside the fill is the blurred complement of the fill itself.
    // Blurring a rectangle splits into a horizontal and a vertical share, each an integral of
    // the Gaussian, so the shadow needs no off-screen blur pass.
    const int columns = std::max(1, static_cast<int>(std::ceil(fill.width() * pixelRatio)));
    const int rows = std::max(1, static_cast<int>(std::ceil(fill.height() * pixelRatio)));
    const double sigma = kShadowBlur / 2.0;
    std::vector<double> across(static_cast<size_t>(columns)), down(static_cast<size_t>(rows));
    for (int x = 0; x < columns; ++x)
        across[static_cast<size_t>(x)] =
            coveredShare((x + 0.5) / pixelRatio - kShadowOffsetX, 0.0, fill.width(), sigma);
    for (int y = 0; y < rows; ++y)
        down[static_cast<size_t>(y)] = coveredShare((y + 0.5) / pixelRatio - kShadowOffsetY, 0.0, fill.height(), sigma);

    QImage image(columns, rows, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < rows; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < columns; ++x) {
            const double outside = 1.0 - across[static_cast<size_t>(x)] * down[static_cast<size_t>(y)];
            const int a = static_cast<int>(std::lround(255.0 * kShadowAlpha * outside));
            line[x] = qRgba(a, a, a, a);  // white, premultiplied
        }
    }
    image.setDevicePixelRatio(pixelRatio);
    shadow_ = {fill.size(), pixelRatio, image};
    return shadow_.image;
}

void CRProgressIndicator::drawAnimationStep(QPainter& painter) {
    if (!_particleGradient) {
        QRadialGradient spot(QPointF(0.0, 0.0), kSpotRadius);
        spot.setColorAt(0.0, grey(1.0, 0.07));
        spot.setColorAt(1.0, grey(1.0, 0.0));
        _particleGradient = spot;
    }
    const QRectF fill = progressBarRect();
    if (fill.width() <= 0 || fill.height() <= 0) return;
    QPainterPath rounded;
    rounded.addRoundedRect(fill, kTrackRadius, kTrackRadius);

    painter.save();
    painter.setClipPath(rounded, Qt::IntersectClip);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setCompositionMode(QPainter::CompositionMode_Plus);
    painter.setPen(Qt::NoPen);
    painter.setBrush(*_particleGradient);
    const double h = height();
    const int count = particleCount(fill.width());
    const int step = _currentAnimationStep.load();
    for (int i = 0; i < count; ++i) {
        const double x = i * kSpotPitch - step;
        // The gradient is centred on the origin: move the origin to the spot's centre.
        const QPointF centre(x + kSpotWidth / 2.0, h / 2.0);
        painter.save();
        painter.translate(centre);
        painter.drawEllipse(QRectF(QPointF(x, h - 3.0 - kSpotHeight) - centre, QSizeF(kSpotWidth, kSpotHeight)));
        painter.restore();
    }
    painter.restore();
}

void CRProgressIndicator::drawIndeterminateAnimationStep(QPainter& painter) {
    if (!_indeterminateGradient) {
        QLinearGradient stripes = topToBottom();
        stripes.setColorAt(0.0, QColor::fromRgbF(0.917f, 0.917f, 0.916f));
        stripes.setColorAt(0.48, grey(1.0));
        stripes.setColorAt(0.49, grey(0.951));
        stripes.setColorAt(1.0, grey(0.907));
        _indeterminateGradient = stripes;
    }
    const QRectF fill = progressBarRect();
    const double h = height();
    const int count = particleCount(fill.width());
    const int step = _currentAnimationStep.load();
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(*_indeterminateGradient);
    for (int i = 0; i < count; ++i) {
        // Slanting up to the left: the top edge runs from s - 30 to s - 13, the bottom edge from
        // s - 13 to s + 4.
        const double s = i * kStripePitch + step;
        const QPointF corners[4] = {{s - 30.0, 0.0}, {s - 13.0, 0.0}, {s + 4.0, h}, {s - 13.0, h}};
        painter.drawPolygon(corners, 4);
    }
    painter.restore();
}
