#include "ui/BusySpinner.h"

BusySpinner::BusySpinner(QWidget* parent) : QProgressBar(parent) {
    setTextVisible(false);
    setRange(0, 1);
    setValue(0);
}

void BusySpinner::setSpinnerVisible(bool visible) { setVisible(visible); }

// A range of 0 to 0 is Qt's busy indicator.
void BusySpinner::setSpinnerAnimating(bool animating) {
    setRange(0, animating ? 0 : 1);
    setValue(0);
}
