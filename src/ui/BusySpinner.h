#pragma once
// The busy spinner of the main window and the preset window: an indeterminate bar while it
// animates, an empty one while it stands still.

#include "platform/UiServices.h"

#include <QProgressBar>

class BusySpinner : public QProgressBar, public platform::Spinner {
public:
    explicit BusySpinner(QWidget* parent = nullptr);

    void setSpinnerVisible(bool visible) override;
    void setSpinnerAnimating(bool animating) override;
    bool isAnimating() const { return maximum() == 0; }
};
