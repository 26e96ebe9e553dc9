#include "ui/ControlCategories.h"

#include "platform/Resources.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QImageReader>
#include <QPixmap>
#include <QProxyStyle>
#include <QStyleFactory>
#include <QStyleOptionGroupBox>

namespace {

// Paints one group box's title in a colour of its own. Installed as that box's style only:
// a palette change would reach every control inside the box as well.
class GroupTitleStyle : public QProxyStyle {
public:
    GroupTitleStyle(QStyle* base, const QColor& color) : QProxyStyle(base), color_(color) {}

    void setTitleColor(const QColor& color) { color_ = color; }

    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option, QPainter* painter,
                            const QWidget* widget) const override {
        if (control == CC_GroupBox) {
            if (const auto* box = qstyleoption_cast<const QStyleOptionGroupBox*>(option)) {
                QStyleOptionGroupBox colored(*box);
                colored.textColor = color_;
                for (auto group : {QPalette::Active, QPalette::Inactive}) {
                    colored.palette.setColor(group, QPalette::WindowText, color_);
                    colored.palette.setColor(group, QPalette::Text, color_);
                }
                QProxyStyle::drawComplexControl(control, &colored, painter, widget);
                return;
            }
        }
        QProxyStyle::drawComplexControl(control, option, painter, widget);
    }

    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override {
        if (hint == SH_GroupBox_TextLabelColor) return static_cast<int>(color_.rgba());
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }

private:
    QColor color_;
};

}  // namespace

QImage resourcePicture(const std::string& name) {
    const QString path = QString::fromStdString(platform::resourcesFolder() + "/" + name + ".png");
    if (!QFileInfo::exists(path)) return {};
    // The pictures are PNG files, which Qt reads itself: telling the reader so spares loading
    // and asking every image plugin of the system at start-up.
    QImageReader reader(path, "png");
    reader.setAutoDetectImageFormat(false);
    return reader.read();
}

void loadBackGroundImage(QWidget* view, const std::string& name) {
    if (!view) return;
    auto* image = new QLabel(view);
    // A window stands for its own content view, whose frame starts at (0, 0); any other view's
    // frame is its rectangle in its parent, so the picture is shifted by that origin.
    image->setGeometry(view->isWindow() ? view->rect() : view->geometry());
    image->setScaledContents(true);  // both axes stretched independently
    const QImage picture = resourcePicture(name);
    if (!picture.isNull()) image->setPixmap(QPixmap::fromImage(picture));
    image->lower();
    image->show();
}

void setTexColor(QButtonGroup* group, const QColor& color) {
    if (!group) return;
    for (QAbstractButton* button : group->buttons()) setTextColor(button, color);
}

void setTextColor(QAbstractButton* button, const QColor& color) {
    if (!button) return;
    // Push and tool buttons draw their titles in ButtonText, radio buttons and check boxes in
    // WindowText. A disabled button keeps the style's dimmed title.
    QPalette palette = button->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive}) {
        palette.setColor(group, QPalette::ButtonText, color);
        palette.setColor(group, QPalette::WindowText, color);
    }
    button->setPalette(palette);
}

void setTextColor(QGroupBox* box, const QColor& color) {
    if (!box) return;
    if (auto* style = dynamic_cast<GroupTitleStyle*>(box->style())) {
        style->setTitleColor(color);
    } else {
        auto* titled = new GroupTitleStyle(QStyleFactory::create(box->style()->name()), color);
        titled->setParent(box);
        box->setStyle(titled);
    }
    box->update();
}

void setFontPoints(QWidget* widget, int points, bool bold) {
    QFont font = widget->font();
    font.setPointSize(points);
    font.setBold(bold);
    widget->setFont(font);
}

void showInFront(QWidget* window) {
    window->show();
    window->raise();
    window->activateWindow();
}
