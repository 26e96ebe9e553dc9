#include "ui/XoemTextField.h"

#include <QApplication>
#include <QLineEdit>

void setAsLabel(QLineEdit* field) {
    if (!field) return;
    field->setFrame(false);
    // A line edit fills its panel with the Base colour even without a frame.
    QPalette palette = field->palette();
    palette.setBrush(QPalette::Base, Qt::transparent);
    field->setPalette(palette);
    field->setReadOnly(true);
}

void setLabelText(QLineEdit* field, const QString& text) {
    if (!field) return;
    field->setText(text);
    field->setCursorPosition(0);
}

void setAsEdit(QLineEdit* field) {
    if (!field) return;
    field->setFrame(true);
    QPalette palette = field->palette();
    const QPalette standard = QApplication::palette(field);
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        palette.setBrush(group, QPalette::Base, standard.brush(group, QPalette::Base));
    field->setPalette(palette);
    field->setReadOnly(false);
}
