#include "ui/TimerView.h"

#include "ui/TextFit.h"
#include "ui/XoemTextField.h"

#include <QLineEdit>

#include <chrono>
#include <cstdio>

namespace {
constexpr std::chrono::seconds kTick{1};
}  // namespace

TimerView::TimerView(const QRect& frame, QWidget* parent)
    : QWidget(parent), executor_(platform::MainExecutor::current()) {
    setGeometry(frame);
    LabelTitile_ = new QLineEdit(this);
    LabelTitile_->setGeometry(0, 0, frame.width(), frame.height());
    setAsLabel(LabelTitile_);
    labelFont_ = LabelTitile_->font();
    lbTitle_ = "Hellow Iam counst down ";
    m_pTimer = std::make_unique<platform::PausableTimer>(executor_, kTick, [this] { calcuRemainTime(); },
                                                         platform::PausableTimer::Mode::Common, true);
    setTimerInvalid();
    m_pStartDate = executor_.now();
    m_fGameTime = 17.0;
    showTime(m_fGameTime);
}

TimerView::~TimerView() = default;

void TimerView::setGaimTime(int seconds) {
    m_fGameTime = seconds;
    fitLabelFont();
    showTime(m_fGameTime);
}

void TimerView::setLbTitle(std::string title) {
    lbTitle_ = std::move(title);
    fitLabelFont();
}

void TimerView::setLabelFont(const QFont& font) {
    labelFont_ = font;
    fitLabelFont();
}

void TimerView::fitLabelFont() {
    // A line edit keeps a margin of 2 pixels on either side of its text and room for the cursor.
    const int room = LabelTitile_->contentsRect().width() - 5;
    LabelTitile_->setFont(fontToFit(labelFont_, textFor(m_fGameTime), room));
}

QString TimerView::textFor(double seconds) const {
    char number[16];
    std::snprintf(number, sizeof number, "%.2d", static_cast<int>(seconds));
    return QString::fromStdString(lbTitle_) + QString::fromLatin1(number);
}

void TimerView::setTimeBegin() {
    m_pStartDate = executor_.now();
    nextTick_ = m_pStartDate;
    m_pTimer->begin();
    LabelTitile_->show();
}

void TimerView::setTimerInvalid() {
    m_pTimer->stop();
    LabelTitile_->hide();
}

void TimerView::calcuRemainTime() {
    const Clock::time_point now = executor_.now();
    // A timer may fire a little before its time. Such a tick would show the same number twice,
    // and the tick at the full length would still see a sliver left and run the block a whole
    // second late: it waits for its time instead.
    if (now < nextTick_) {
        m_pTimer->setFireAfter(nextTick_ - now);
        return;
    }
    // The next tick is due one whole second after this one's time, not after its late arrival,
    // so that lateness does not add up over a long countdown.
    while (nextTick_ <= now) nextTick_ += kTick;
    m_pTimer->setFireAfter(nextTick_ - now);

    const double remaining = m_fGameTime - std::chrono::duration<double>(now - m_pStartDate).count();
    LabelTitile_->show();
    if (remaining <= 0) {
        setTimerInvalid();
        LabelTitile_->hide();
        // A copy: the block may replace itself or destroy the view.
        if (auto block = h_afterCounstDownGo_) block();
        return;
    }
    showTime(remaining);
}

void TimerView::showTime(double seconds) {
    setLabelText(LabelTitile_, textFor(seconds));
}
