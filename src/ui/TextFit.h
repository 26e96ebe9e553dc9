#pragma once
// Texts that fit their place: a label that wraps what is too long for one line, and a font
// shrunk just enough for one line of text to fit a width. A text is never cut at its start; one
// that cannot fit even so ends with an ellipsis.

#include <QFont>
#include <QLabel>

// A label for texts whose length the window does not know beforehand (status lines, a device's
// address or path). The text wraps at spaces, and inside a word wider than the label anywhere; a
// line feed starts a new line. When the lines do not fit the label's height, the last line that
// fits ends with an ellipsis. Drawn in the palette's WindowText, aligned as the label is.
class FitLabel : public QLabel {
public:
    explicit FitLabel(QWidget* parent = nullptr);
    FitLabel(const QRect& frame, QWidget* parent);

protected:
    void paintEvent(QPaintEvent* event) override;
};

// The font at the largest point size, not above its own, at which text takes at most width
// pixels on one line; never below minimumPointSize.
QFont fontToFit(QFont font, const QString& text, int width, int minimumPointSize = 8);
