// The themed progress bar's state: theme colours, the value and its glide, the fill rectangle,
// the animation thread and the window's activation.

#include "ui/CRProgressIndicator.h"

#include "platform/MainExecutor.h"
#include "ui/ControlCategories.h"

#include <QEasingCurve>
#include <QEvent>
#include <QPointer>
#include <QVariantAnimation>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <mutex>

namespace {

constexpr const char* kBezelNames[9] = {"pi_topLeft",    "pi_topFill",    "pi_topRight",
                                        "pi_leftFill",   "pi_centerFill", "pi_rightFill",
                                        "pi_bottomLeft", "pi_bottomFill", "pi_bottomRight"};

// The fill colours of each theme, top to bottom.
struct Rgb {
    double r, g, b;
};
constexpr Rgb kThemes[6][5] = {
    {{0.635, 0.766, 0.957}, {0.395, 0.647, 0.935}, {0.248, 0.582, 0.935}, {0.425, 0.700, 0.947}, {0.622, 0.842, 0.957}},
    {{0.688, 0.718, 0.765}, {0.527, 0.580, 0.646}, {0.448, 0.511, 0.598}, {0.493, 0.554, 0.633}, {0.729, 0.779, 0.807}},
    {{0.787, 0.904, 0.765}, {0.562, 0.795, 0.518}, {0.460, 0.742, 0.404}, {0.546, 0.786, 0.501}, {0.732, 0.876, 0.701}},
    {{0.873, 0.637, 0.643}, {0.761, 0.344, 0.357}, {0.729, 0.263, 0.279}, {0.780, 0.396, 0.408}, {0.853, 0.583, 0.590}},
    {{0.860, 0.708, 0.811}, {0.801, 0.552, 0.714}, {0.777, 0.473, 0.669}, {0.820, 0.592, 0.751}, {0.894, 0.739, 0.864}},
    {{0.926, 0.682, 0.535}, {0.885, 0.522, 0.320}, {0.865, 0.446, 0.225}, {0.885, 0.526, 0.332}, {0.936, 0.727, 0.604}},
};

constexpr std::chrono::milliseconds kGlide{300};
constexpr int kStepsPerCycle = 34;

}  // namespace

CRProgressIndicator::CRProgressIndicator(const QRect& frame, QWidget* parent) : QWidget(parent) {
    setGeometry(frame);
    for (size_t i = 0; i < bezel_.size(); ++i) bezel_[i] = QPixmap::fromImage(resourcePicture(kBezelNames[i]));

    glide_ = new QVariantAnimation(this);
    glide_->setDuration(static_cast<int>(kGlide.count()));
    glide_->setEasingCurve(QEasingCurve::Linear);
    QObject::connect(glide_, &QVariantAnimation::valueChanged, this,
                     [this](const QVariant& value) { setInternalDoubleValue(value.toDouble()); });

    setTheme(0);
    setMinValue(0.0);
    setMaxValue(100.0);
    setDoubleValue(0.0);
}

CRProgressIndicator::~CRProgressIndicator() {
    _animating = false;
    animationThread_.request_stop();
    if (animationThread_.joinable()) animationThread_.join();
}

// ---- Theme -----------------------------------------------------------------------------------

void CRProgressIndicator::setTheme(int theme) {
    _theme = theme;
    setupTheme();
    _progressBarGradient.reset();
}

void CRProgressIndicator::setupTheme() {
    const int row = _theme >= 1 && _theme <= 5 ? _theme : 0;
    for (size_t i = 0; i < _gradientColor.size(); ++i) {
        const Rgb& c = kThemes[row][i];
        _gradientColor[i] = QColor::fromRgbF(static_cast<float>(c.r), static_cast<float>(c.g), static_cast<float>(c.b));
    }
    if (!_animating) update();
}

// ---- Value -----------------------------------------------------------------------------------

void CRProgressIndicator::setDoubleValue(double value) {
    // The newest setting is what ends up drawn: a glide still running stops here.
    glide_->stop();
    if (value > _doubleValue && !_indeterminate) {
        glide_->setStartValue(_internalDoubleValue);
        glide_->setEndValue(value);
        glide_->start();
    } else {
        setInternalDoubleValue(value);
    }
    _doubleValue = value;
}

void CRProgressIndicator::setInternalDoubleValue(double value) {
    _internalDoubleValue = value;
    if (!_animating) update();
}

QRectF CRProgressIndicator::progressBarRect() const {
    const double w = width(), h = height();
    double f = 0.0;
    if (_indeterminate)
        f = 1.0;
    else if (_maxValue > _minValue)
        f = (_internalDoubleValue - _minValue) / (_maxValue - _minValue);
    double fill = f * w;
    if (std::isnan(fill)) fill = 0.0;
    const double cap = w + 2.0;
    fill = std::clamp(fill, -cap, cap);
    return QRectF(1.0, 1.0, std::round(fill), h - 3.0);
}

// ---- Animation -------------------------------------------------------------------------------

void CRProgressIndicator::startAnimation() {
    if (_animating.exchange(true)) return;
    // A stop asked the previous thread to end; it may still be finishing its last step.
    if (animationThread_.joinable()) animationThread_.join();
    // Redraw requests may still wait in the main queue when the indicator is destroyed: they
    // reach it through a guarded pointer, made here on the main thread.
    const QPointer<CRProgressIndicator> guarded(this);
    animationThread_ = std::jthread([this, guarded, interval = frameInterval_](std::stop_token stop) {
        render(stop, interval, [guarded] {
            if (guarded) guarded->update();
        });
    });
}

void CRProgressIndicator::stopAnimation() {
    if (!_animating.exchange(false)) return;
    animationThread_.request_stop();
    update();
}

void CRProgressIndicator::render(std::stop_token stop, std::chrono::nanoseconds interval,
                                 const std::function<void()>& redraw) {
    std::mutex mutex;
    std::condition_variable_any pause;
    while (_animating.load() && !stop.stop_requested()) {
        int32_t step = _currentAnimationStep.load();
        if (step >= kStepsPerCycle) step = 0;
        _currentAnimationStep.store(step + 1);
        platform::MainExecutor::postToCurrent(redraw);
        // A stop ends the pause at once, so that a destruction or restart never waits it out.
        std::unique_lock lock(mutex);
        pause.wait_for(lock, stop, interval, [] { return false; });
    }
}

// ---- Activation ------------------------------------------------------------------------------

void CRProgressIndicator::windowKeyChanged() {
    _progressBarGradient.reset();
    if (!_animating) update();
}

void CRProgressIndicator::changeEvent(QEvent* event) {
    if (event->type() == QEvent::ActivationChange) windowKeyChanged();
    QWidget::changeEvent(event);
}
