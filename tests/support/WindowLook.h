#pragma once
// What the window tests check of the look, offscreen:
//   - the contrast of a text against what is behind it, from the window's own pixels: the text's
//     pixels are those that change when the text is taken away, and the ratio (WCAG) is taken
//     where text and background differ most, a glyph's stem;
//   - whether a text fits a label's place whole, by the label's font metrics against its rect,
//     with the wrapping the label does, and whether one too long for a line ends with an ellipsis;
//   - the screws and the row of slots of the panel picture ("body_off", 720 x 450, drawn by
//     resources/tools/make_body_off.py) as a window of any size shows them stretched, so that a
//     test can check that no control lies over them.
// Header only; for tests that link the Qt windows (varnel_ui).

#include "ui/PanelButton.h"
#include "ui/TextFit.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QFontMetrics>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
#include <QWidget>

#include <cxxabi.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <string>
#include <typeinfo>
#include <vector>

namespace look {

// Relative luminance of an sRGB colour.
inline double luminance(const QColor& c) {
    auto channel = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}

inline double contrast(const QColor& a, const QColor& b) {
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// A control's place in its window.
inline QRect placeIn(QWidget* window, QWidget* control) {
    return QRect(control->mapTo(window, QPoint()), control->size());
}

// The control's area as the window draws it, with everything under and over it.
inline QImage shot(QWidget* window, QWidget* control) {
    return window->grab(placeIn(window, control)).toImage();
}

// The contrast of a text in an area of the window against what is behind it: showText(false)
// takes the text away, showText(true) puts it back. 1 when no pixel changes (no text drawn at all).
inline double textContrast(QWidget* window, const QRect& area, const std::function<void(bool)>& showText) {
    showText(true);
    const QImage with = window->grab(area).toImage();
    showText(false);
    const QImage without = window->grab(area).toImage();
    showText(true);
    double best = 1.0;
    for (int y = 0; y < with.height(); ++y)
        for (int x = 0; x < with.width(); ++x)
            if (with.pixel(x, y) != without.pixel(x, y))
                best = std::max(best, contrast(with.pixelColor(x, y), without.pixelColor(x, y)));
    return best;
}

// The same for a control's text within the control's place.
inline double textContrast(QWidget* window, QWidget* control, const std::function<void(bool)>& showText) {
    return textContrast(window, placeIn(window, control), showText);
}

// The title of a button, radio button or check box against its face or the panel.
inline double titleContrast(QWidget* window, QAbstractButton* button) {
    const QString title = button->text();
    return textContrast(window, button, [&](bool shown) { button->setText(shown ? title : QString()); });
}

// The push buttons of a window shown that break the one look, each with what it breaks: a button
// not drawn by PanelButton; a title below 4.5:1 against its face, enabled or under the mouse; a
// disabled title that does not read as dimmed (above three quarters of the enabled contrast).
// Each button is left enabled.
inline std::vector<std::string> unreadableButtons(QWidget* window) {
    std::vector<std::string> found;
    for (QPushButton* button : window->findChildren<QPushButton*>()) {
        if (!button->isVisibleTo(window)) continue;
        const std::string name = '"' + button->text().toStdString() + '"';
        if (!dynamic_cast<PanelButton*>(button)) {
            found.push_back(name + " has another look");
            continue;
        }
        button->setEnabled(true);
        const double enabled = titleContrast(window, button);
        button->setAttribute(Qt::WA_UnderMouse, true);
        const double hover = titleContrast(window, button);
        button->setAttribute(Qt::WA_UnderMouse, false);
        button->setEnabled(false);
        const double disabled = titleContrast(window, button);
        button->setEnabled(true);
        if (enabled < 4.5) found.push_back(name + " enabled " + std::to_string(enabled));
        if (hover < 4.5) found.push_back(name + " under the mouse " + std::to_string(hover));
        if (disabled >= enabled * 0.75) found.push_back(name + " disabled " + std::to_string(disabled));
    }
    return found;
}

// The text a combo box shows against its face.
inline double comboContrast(QWidget* window, QComboBox* box) {
    const int item = box->currentIndex();
    const QString text = box->itemText(item);
    return textContrast(window, box, [&](bool shown) { box->setItemText(item, shown ? text : QString()); });
}

// ---- Fit ----------------------------------------------------------------------------------------

// Whether text, shown in the widget, fits the widget's place whole: a label's contents (wrapped at
// spaces when it wraps; a FitLabel also breaks a word too long for a line), a line edit's one line
// between its margins, a button's or radio button's title beside its indicator or inside its face,
// a combo box's field.
inline bool fitsWhole(const QWidget* widget, const QString& text) {
    const QFontMetrics metrics(widget->font());
    if (const auto* edit = qobject_cast<const QLineEdit*>(widget)) {
        const QMargins margins = edit->textMargins();
        const QRect area = edit->contentsRect().marginsRemoved(margins);
        // A line edit keeps 2 pixels on either side of its text, and one for the cursor.
        return metrics.horizontalAdvance(text) + 5 <= area.width() && metrics.height() <= area.height();
    }
    if (const auto* label = qobject_cast<const QLabel*>(widget)) {
        const QRect area = label->contentsRect();
        const bool fitLabel = dynamic_cast<const FitLabel*>(label) != nullptr;
        std::vector<int> wraps{0};
        if (fitLabel || label->wordWrap()) wraps = {Qt::TextWordWrap};
        if (fitLabel) wraps.push_back(Qt::TextWrapAnywhere);
        for (int wrap : wraps) {
            const QRect need =
                metrics.boundingRect(QRect(0, 0, area.width(), 1 << 20), Qt::AlignLeft | Qt::AlignTop | wrap, text);
            if (need.width() <= area.width() && need.height() <= area.height()) return true;
        }
        return false;
    }
    if (const auto* radio = qobject_cast<const QRadioButton*>(widget)) {
        QStyleOptionButton option;
        option.initFrom(radio);
        option.text = text;
        const QRect area = radio->style()->subElementRect(QStyle::SE_RadioButtonContents, &option, radio);
        return metrics.horizontalAdvance(text) <= area.width() && metrics.height() <= area.height();
    }
    if (dynamic_cast<const PanelButton*>(widget)) {
        // The title keeps 6 pixels from either side.
        return metrics.horizontalAdvance(text) + 12 <= widget->width() && metrics.height() <= widget->height();
    }
    if (const auto* box = qobject_cast<const QComboBox*>(widget)) {
        QStyleOptionComboBox option;
        option.initFrom(box);
        const QRect area =
            box->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, box);
        return metrics.horizontalAdvance(text) <= area.width();
    }
    return false;
}

// The text a label, line edit or button shows; and giving it one, a line edit showing its start
// as the windows' fields shown as labels do.
inline QString shownText(const QWidget* widget) {
    if (const auto* label = qobject_cast<const QLabel*>(widget)) return label->text();
    if (const auto* edit = qobject_cast<const QLineEdit*>(widget)) return edit->text();
    if (const auto* button = qobject_cast<const QAbstractButton*>(widget)) return button->text();
    return {};
}
inline void setShownText(QWidget* widget, const QString& text) {
    if (auto* label = qobject_cast<QLabel*>(widget)) label->setText(text);
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        edit->setText(text);
        edit->setCursorPosition(0);
    }
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) button->setText(text);
}

// Whether a text too long for a widget's one line is shown as its start ended with an ellipsis:
// the widget draws it exactly as it draws the text cut at its end, to the room the widget has,
// with "..." added. A widget that cuts the text elsewhere (inside a letter, or at its start) or
// wraps it onto another line does not. The widget keeps the text it had.
inline bool elidesAtItsEnd(QWidget* widget, const QString& text) {
    int room = widget->contentsRect().width();
    if (dynamic_cast<const PanelButton*>(widget)) room = widget->width() - 12;
    if (const auto* edit = qobject_cast<const QLineEdit*>(widget))
        room = edit->contentsRect().marginsRemoved(edit->textMargins()).width() - 5;
    const QString elided = QFontMetrics(widget->font()).elidedText(text, Qt::ElideRight, room);
    const QString before = shownText(widget);
    setShownText(widget, text);
    const QImage whole = widget->grab().toImage();
    setShownText(widget, elided);
    const QImage cut = widget->grab().toImage();
    setShownText(widget, before);
    return elided != text && whole == cut;
}

// ---- The panel picture --------------------------------------------------------------------------

// Where the picture has its screws (with their countersinks) and its row of slots, in the
// picture's own pixels.
inline std::vector<QRect> pictureFeatures() {
    constexpr int kScrewReach = 8;
    std::vector<QRect> features;
    for (QPoint centre : {QPoint(13, 13), QPoint(706, 13), QPoint(13, 436), QPoint(706, 436)})
        features.emplace_back(centre - QPoint(kScrewReach, kScrewReach),
                              QSize(2 * kScrewReach + 1, 2 * kScrewReach + 1));
    features.emplace_back(103, 426, 515, 11);
    return features;
}

// The same places in a window of this size, over which the picture is stretched.
inline std::vector<QRect> panelFeatures(const QSize& window) {
    const double sx = window.width() / 720.0, sy = window.height() / 450.0;
    std::vector<QRect> scaled;
    for (const QRect& f : pictureFeatures())
        scaled.push_back(QRectF(f.x() * sx, f.y() * sy, f.width() * sx, f.height() * sy).toAlignedRect());
    return scaled;
}

// A widget's own class, also where it declares no Qt meta-object of its own.
inline std::string className(const QWidget& widget) {
    int status = 0;
    char* name = abi::__cxa_demangle(typeid(widget).name(), nullptr, nullptr, &status);
    std::string result = status == 0 && name ? name : typeid(widget).name();
    std::free(name);
    return result;
}

// The shown controls of a window that lie over a screw or the slots, by class and object name
// (empty when none does). The picture itself and a view that carries it cover the whole window and
// do not count.
inline std::vector<std::string> controlsOverPanelFeatures(QWidget* window) {
    std::vector<std::string> over;
    const std::vector<QRect> features = panelFeatures(window->size());
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(window) || w->isWindow()) continue;
        const QRect place(w->mapTo(window, QPoint()), w->size());
        if (place == window->rect()) continue;
        for (const QRect& f : features)
            if (place.intersects(f)) {
                QString what = QString::fromStdString(className(*w));
                if (const auto* b = qobject_cast<const QAbstractButton*>(w)) what += " \"" + b->text() + '"';
                if (const auto* l = qobject_cast<const QLabel*>(w)) what += " \"" + l->text() + '"';
                over.push_back(what.toStdString());
                break;
            }
    }
    return over;
}

}  // namespace look
