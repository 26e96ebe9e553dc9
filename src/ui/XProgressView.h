#pragma once
// A flat progress bar with a centred percentage label: the background colour, the filled part in
// the draw colour from 0 to MaxNum, and a black border 2 pixels wide inside its bounds. The
// firmware window shows the progress of the board being programmed with it.
//
// The geometry of the filled part is computed by setMaxNum alone, from the view's size at that
// moment (a later resize does not change it): each unit of position is `step` wide, cut to
// hundredths of a pixel, and the full bar (step x MaxNum) lies centred in the view. Until the first
// setMaxNum the step is 0, so the bar stays empty. Main thread only.

#include <QColor>
#include <QRectF>
#include <QWidget>

class QLineEdit;

class XProgressView : public QWidget {
public:
    // MaxNum 100, position 0, white background, green fill; the label 80 x 20 in the middle.
    explicit XProgressView(const QRect& frame, QWidget* parent = nullptr);

    // MaxNum = value, or 100 when the value is 0 or less; recomputes the geometry and redraws.
    void setMaxNum(int value);
    // Sets the position (updatePosLabel) and redraws.
    void updateProgress(int position);
    // Clamps the position to 0...MaxNum, stores it, sizes the filled part and shows the
    // percentage of the full scale as "<n>%".
    void updatePosLabel(int position);
    // Recomputes maxpan, step, gSpace, dOY and the filled part from the view's size.
    void caculatePostion();
    // Rounds half up to the given number of decimals, as Duziz::round does.
    static double kround(double value, int decimals);

    // Setting a colour does not redraw.
    QColor backGroundColor() const { return backGroundColor_; }
    void setBackGroundColor(const QColor& color) { backGroundColor_ = color; }
    QColor drawColor() const { return drawColor_; }
    void setDrawColor(const QColor& color) { drawColor_ = color; }

    int mPosition() const { return mPosition_; }
    // Stores the value as it is: no clamping, no resizing, no redraw.
    void setMPosition(int position) { mPosition_ = position; }
    int MaxNum() const { return MaxNum_; }
    // Stored only: the bar always runs from 0 to MaxNum.
    int MinNum() const { return MinNum_; }
    void setMinNum(int value) { MinNum_ = value; }

    QLineEdit* simpLabel() const { return simpLabel_; }
    double maxpan() const { return maxpan_; }
    double step() const { return step_; }
    double gSpace() const { return gSpace_; }
    double dOY() const { return dOY_; }
    // The filled part, in the view's coordinates (origin top left).
    QRectF posRect() const { return posRect_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QLineEdit* simpLabel_ = nullptr;
    double maxpan_ = 0.0;
    double step_ = 0.0;
    double gSpace_ = 0.0;
    double dOY_ = 0.0;
    QRectF posRect_;
    int mPosition_ = 0;
    int MaxNum_ = 100;
    int MinNum_ = 0;
    QColor backGroundColor_ = Qt::white;
    QColor drawColor_ = Qt::green;
};
