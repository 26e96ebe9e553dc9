#pragma once
// A countdown of whole seconds in a text label: "<title><seconds>", stepping down once a second
// while counting, and a block run once when the count reaches zero. The firmware window waits out
// the mixer's reboot with one.
//
// The view owns a repeating one-second timer in the common mode (it keeps ticking while a window
// runs modally) that it never invalidates: it starts and stops counting by moving the timer's
// fire date. Time is read from the main executor's clock. Main thread only.

#include "platform/MainExecutor.h"
#include "platform/PausableTimer.h"

#include <QFont>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>

class QLineEdit;

class TimerView : public QWidget {
public:
    // Paused, label hidden, title "Hellow Iam counst down ", length 17 s and 17 shown. The label
    // fills the frame. Needs the current main executor.
    explicit TimerView(const QRect& frame, QWidget* parent = nullptr);
    ~TimerView() override;

    // The length in seconds; shows the title with the full number. Neither starts counting nor
    // shows or hides the label.
    void setGaimTime(int seconds);
    // Counts down from the full length: the first tick comes at once and shows one second less.
    void setTimeBegin();
    // Stops counting and hides the label; the block does not run.
    void setTimerInvalid();
    // The timer's tick: shows the seconds left, or at zero stops, hides the label and runs the
    // block.
    void calcuRemainTime();
    // Shows "<title><seconds>", the seconds truncated toward zero, at least two digits.
    void showTime(double seconds);

    // The label that fills the view.
    QLineEdit* LabelTitile() const { return LabelTitile_; }
    // The label's font: at this size, or smaller when the title with the full count would not
    // fit the label's width otherwise. Kept fitted as the title and the length change.
    void setLabelFont(const QFont& font);
    // The text before the number; the view keeps its own copy.
    const std::string& lbTitle() const { return lbTitle_; }
    void setLbTitle(std::string title);
    // Run once each time the count reaches zero.
    const std::function<void()>& h_afterCounstDownGo() const { return h_afterCounstDownGo_; }
    void setH_afterCounstDownGo(std::function<void()> block) { h_afterCounstDownGo_ = std::move(block); }

    bool isCounting() const { return !m_pTimer->isPaused(); }

private:
    using Clock = platform::MainExecutor::Clock;

    // Sizes the label's font for the widest text the count shows: the title with the full length.
    void fitLabelFont();
    // "<title><seconds>", the seconds truncated toward zero, at least two digits.
    QString textFor(double seconds) const;

    platform::MainExecutor& executor_;
    std::unique_ptr<platform::PausableTimer> m_pTimer;
    Clock::time_point m_pStartDate;
    double m_fGameTime = 0.0;
    // When the next tick is due: start + n whole seconds. A tick that comes before it waits.
    Clock::time_point nextTick_;
    QLineEdit* LabelTitile_ = nullptr;
    QFont labelFont_;
    std::string lbTitle_;
    std::function<void()> h_afterCounstDownGo_;
};
