#include "ui/TextFit.h"

#include <QFontMetrics>
#include <QPainter>
#include <QTextLayout>

#include <vector>

FitLabel::FitLabel(QWidget* parent) : QLabel(parent) {}

FitLabel::FitLabel(const QRect& frame, QWidget* parent) : QLabel(parent) {
    setGeometry(frame);
}

void FitLabel::paintEvent(QPaintEvent*) {
    const QRect area = contentsRect();
    if (text().isEmpty() || area.isEmpty()) return;
    QString shown = text();
    shown.replace(QLatin1Char('\n'), QChar::LineSeparator);

    QTextLayout layout(shown, font());
    QTextOption option(alignment() & Qt::AlignHorizontal_Mask);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    const QFontMetrics metrics(font());
    // The lines that fit the height; the last of them takes the rest of the text, elided, when
    // more would follow.
    std::vector<QTextLine> lines;
    QString lastLine;
    qreal height = 0;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(area.width());
        if (!lines.empty() && height + line.height() > area.height()) {
            const QTextLine& last = lines.back();
            QString rest = shown.mid(last.textStart());
            rest.replace(QChar::LineSeparator, QLatin1Char(' '));
            lastLine = metrics.elidedText(rest, Qt::ElideRight, area.width());
            break;
        }
        line.setPosition(QPointF(0, height));
        height += line.height();
        lines.push_back(line);
    }
    layout.endLayout();

    qreal top = area.top();
    if (alignment() & Qt::AlignVCenter)
        top += (area.height() - height) / 2;
    else if (alignment() & Qt::AlignBottom)
        top += area.height() - height;
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::WindowText));
    painter.setFont(font());
    for (size_t i = 0; i < lines.size(); ++i) {
        const QPointF at(area.left(), top);
        if (i + 1 == lines.size() && !lastLine.isNull()) {
            // Laid out as the other lines are, so that it sits on their baseline to the pixel; on
            // one line whatever the layout measures.
            QTextLayout elided(lastLine, font());
            QTextOption oneLine = option;
            oneLine.setWrapMode(QTextOption::NoWrap);
            elided.setTextOption(oneLine);
            elided.beginLayout();
            QTextLine line = elided.createLine();
            line.setLineWidth(area.width());
            line.setPosition(lines[i].position());
            elided.endLayout();
            elided.draw(&painter, at);
        } else {
            lines[i].draw(&painter, at);
        }
    }
}

QFont fontToFit(QFont font, const QString& text, int width, int minimumPointSize) {
    // A font sized in pixels has no point size to step down.
    if (font.pointSize() <= 0) return font;
    while (font.pointSize() > minimumPointSize && QFontMetrics(font).horizontalAdvance(text) > width)
        font.setPointSize(font.pointSize() - 1);
    return font;
}
