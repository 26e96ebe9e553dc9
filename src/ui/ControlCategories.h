#pragma once
// Helpers the windows call while they set themselves up: a background picture laid under a
// view's controls, and title colours for buttons, radio groups and group boxes; and how a window
// comes to the front.

#include <string>

class QAbstractButton;
class QButtonGroup;
class QColor;
class QGroupBox;
class QImage;
class QWidget;

// The resource picture `name` (resources folder, "<name>.png"); a null image when it is missing
// or unreadable.
QImage resourcePicture(const std::string& name);

// Adds an image view to `view` showing the resource picture `name`, stretched on both axes to the view's own frame rectangle, origin included, and
// placed below all of the view's other children. The image view keeps that first frame when
// the view is resized later; each call adds one more. A missing picture draws nothing. A window
// is taken as its own content view, whose frame starts at (0, 0).
void loadBackGroundImage(QWidget* view, const std::string& name);

// Shows the title of every button of a radio group in `color`, in the group's order; text,
// font and alignment stay as they were.
void setTexColor(QButtonGroup* group, const QColor& color);

// Shows the button's title in `color`; text, font and alignment stay as they were.
void setTextColor(QAbstractButton* button, const QColor& color);

// Shows the title of the group box in `color`; its text, its font and the controls inside the
// box keep their own colours.
void setTextColor(QGroupBox* box, const QColor& color);

// The widget's font, at this size (and bold or not); its children take it unless they set their own.
void setFontPoints(QWidget* widget, int points, bool bold = false);

// Shows the window, raises it above the others and makes it the active window.
void showInFront(QWidget* window);
