#pragma once
// A horizontal progress bar drawn entirely by itself: a recessed track made of nine bezel
// pictures, a glossy fill in one of six colour themes (grey while its window is not active), an
// inner shadow along the inside of the fill and a one-pixel end line at its right end. A rise of
// the value glides to the new width in 0.3 s. While animating, a thread of its own asks for a
// redraw every 20 ms, and each drawing moves soft light spots along the fill (determinate mode)
// or diagonal stripes along the track (indeterminate mode).
//
// The preset window shows the whole-memory backup and restore with one (range 0 to 30).
//
//     CRProgressIndicator bar(QRect(67, 5, 562, 20), parent);
//     bar.setMaxValue(30);
//     bar.startAnimation();
//     bar.setDoubleValue(packet);   // a rise glides, a fall jumps
//     bar.stopAnimation();
//
// Main thread only, except the animation thread, which touches nothing but `_animating` and
// `_currentAnimationStep` (both atomic) and posts its redraw requests to the main executor through
// a guarded pointer. The thread is joined when the indicator is destroyed, so a redraw can never
// reach freed memory.

#include <QColor>
#include <QImage>
#include <QLinearGradient>
#include <QPixmap>
#include <QRadialGradient>
#include <QWidget>

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <stop_token>
#include <thread>

class QVariantAnimation;

class CRProgressIndicator : public QWidget {
public:
    // Range 0 to 100, value 0, theme 0, determinate, not animating; the bezel pictures
    // "pi_topLeft" ... "pi_bottomRight" loaded from the resources (a missing one draws nothing).
    explicit CRProgressIndicator(const QRect& frame, QWidget* parent = nullptr);
    ~CRProgressIndicator() override;

    // 1 graphite, 2 green, 3 red, 4 pink, 5 orange; any other value is stored and draws the blue
    // theme 0.
    int theme() const { return _theme; }
    void setTheme(int theme);
    // Takes the colours of the stored theme; redraws unless animating.
    void setupTheme();

    // The target value. A rise glides the drawn value to it in 0.3 s (not in indeterminate mode);
    // anything else moves the drawn value at once. A setting ends a glide still running, and a
    // rise glides on from the value drawn at that moment. Values are not clamped to the range.
    double doubleValue() const { return _doubleValue; }
    void setDoubleValue(double value);
    // The value drawn; redraws unless animating.
    double internalDoubleValue() const { return _internalDoubleValue; }
    void setInternalDoubleValue(double value);
    // Plain stores; no redraw.
    double minValue() const { return _minValue; }
    void setMinValue(double value) { _minValue = value; }
    double maxValue() const { return _maxValue; }
    void setMaxValue(double value) { _maxValue = value; }
    bool isIndeterminate() const { return _indeterminate; }
    void setIndeterminate(bool indeterminate) { _indeterminate = indeterminate; }

    // The fill, in the view's coordinates: x 1, y 1, height H - 3 and the width rounded from
    // f x W, where f is 1 in indeterminate mode and otherwise the drawn value's share of the
    // range (0 when the range is empty or reversed, or the value is not a number). The width
    // stays within W + 2 either way: the track's clip hides anything wider, and a huge value
    // would otherwise light millions of hidden spots.
    QRectF progressBarRect() const;

    // Starts the animation thread unless the animation runs. A thread that an earlier stop
    // asked to end is joined first, so two never run.
    void startAnimation();
    // If animating: ends the animation and redraws once, without spots or stripes. The step is
    // kept, so a later start continues from the same phase.
    void stopAnimation();
    bool isAnimating() const { return _animating.load(); }
    // The number of light spots, and of stripes, drawn over a fill of this width: one per 34
    // pixels, rounded, and two more for the ones moving in at the ends.
    static int particleCount(double fillWidth);
    // The animation phase, 1 to 34 while running (0 before the first start).
    int currentAnimationStep() const { return _currentAnimationStep.load(); }
    // The pause between two steps of the animation thread, read when it starts; 20 ms.
    void setFrameInterval(std::chrono::nanoseconds interval) { frameInterval_ = interval; }

    // The window became active or stopped being active: the fill's colours follow on the next
    // drawing; redraws unless animating.
    void windowKeyChanged();

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    // The animation thread: steps the phase and posts `redraw` to the main executor every interval.
    void render(std::stop_token stop, std::chrono::nanoseconds interval, const std::function<void()>& redraw);
    void drawBezel(QPainter& painter) const;
    void drawProgressBar(QPainter& painter);
    void drawAnimationStep(QPainter& painter);
    void drawIndeterminateAnimationStep(QPainter& painter);
    // White shadow of everything outside the fill rectangle, falling inside it.
    const QImage& innerShadow(const QRectF& fill, qreal pixelRatio);

    std::array<QPixmap, 9> bezel_;  // top left, top, top right, left, centre, right, bottom left, ...

    std::optional<QRadialGradient> _particleGradient;
    std::optional<QLinearGradient> _progressBarGradient;
    bool gradientForActiveWindow_ = false;  // which colours _progressBarGradient was built with
    std::optional<QLinearGradient> _progressBarLineGradient;
    std::optional<QLinearGradient> _indeterminateGradient;
    std::array<QColor, 5> _gradientColor;

    struct ShadowCache {
        QSizeF size;
        qreal pixelRatio = 0;
        QImage image;
    } shadow_;

    std::atomic<bool> _animating{false};
    std::atomic<int32_t> _currentAnimationStep{0};
    bool _indeterminate = false;
    int32_t _theme = 0;
    double _doubleValue = 0.0;
    double _minValue = 0.0;
    double _maxValue = 100.0;
    double _internalDoubleValue = 0.0;

    QVariantAnimation* glide_ = nullptr;
    std::chrono::nanoseconds frameInterval_ = std::chrono::milliseconds(20);
    std::jthread animationThread_;
};
