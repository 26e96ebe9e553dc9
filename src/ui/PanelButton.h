#pragma once
// The one look of the push buttons of both programs, drawn over the dark panel picture whatever
// the desktop's style:
//   Face  a dark face with a light edge; the title in the button's ButtonText colour (white
//         unless a window sets another), at least 4.5:1 against the face. Under the mouse the
//         face and the edge lighten; pressed, the face darkens and the title moves down a pixel;
//         with the keyboard focus the edge turns blue. Disabled, the face is flat and its edge
//         and title are dimmed.
//   Link  no face: the title underlined, as a web address reads, with a pointing hand; a faint
//         face under the mouse and while pressed; dimmed and not underlined when disabled.
// A title wider than the button is elided at its end.

#include <QPushButton>

class PanelButton : public QPushButton {
public:
    enum class Look { Face, Link };

    explicit PanelButton(const QString& title = {}, QWidget* parent = nullptr, Look look = Look::Face);
    // Placed at frame in its parent.
    PanelButton(const QString& title, const QRect& frame, QWidget* parent, Look look = Look::Face);

    Look look() const { return look_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    // The mouse entering or leaving changes the face.
    bool event(QEvent* event) override;

private:
    void paintFace(QPainter& painter, bool enabled, bool hover, bool down, bool focus) const;
    void paintTitle(QPainter& painter, const QColor& color, bool down) const;

    Look look_;
};
