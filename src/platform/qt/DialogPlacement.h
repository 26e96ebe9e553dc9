#pragma once
// Where a dialog opens: centred on, and above, the window it belongs to.

class QWidget;

namespace platform {

// The window the next alert or file panel belongs to: the innermost modal window shown, else the
// active window, else the first shown window of the program; null when none is shown.
QWidget* dialogOwner();

// Moves a dialog of its present size so that it is centred on owner's window, kept on the
// available part of that window's screen. A null owner leaves it where it is.
void placeOver(QWidget* dialog, const QWidget* owner);

}  // namespace platform
