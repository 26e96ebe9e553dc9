#pragma once
// A status lamp: a rectangle filled with its lit or unlit colour inside a grey border.

#include "util/StatusLamp.h"

#include <QColor>
#include <QWidget>

class XLCDView : public QWidget, public util::StatusLamp {
public:
    // Unlit; unlit colour black, lit colour green.
    explicit XLCDView(QWidget* parent = nullptr);
    XLCDView(const QRect& frame, QWidget* parent);

    // Stores the state and asks for a redraw.
    void setIsLighted(bool lighted) override;
    bool isLighted() const override { return isLighted_; }

    // Setting a colour does not redraw: the new colour shows at the next redraw.
    void setColorOfLighted(util::LampColor color) override;
    void setColorOfunLighted(util::LampColor color) override;
    void setColorOfLighted(const QColor& color) { ColorOfLighted_ = color; }
    void setColorOfunLighted(const QColor& color) { ColorOfunLighted_ = color; }
    QColor ColorOfLighted() const { return ColorOfLighted_; }
    QColor ColorOfunLighted() const { return ColorOfunLighted_; }

    // The colour that the next drawing uses: the lit colour when lit, else the unlit one.
    void checkColor();
    // The colour of the last drawing (or of construction).
    QColor activeColor() const { return activeColor_; }

    static QColor toQColor(util::LampColor color);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor activeColor_;
    bool isLighted_ = false;
    QColor ColorOfunLighted_ = Qt::black;
    QColor ColorOfLighted_ = Qt::green;
};
