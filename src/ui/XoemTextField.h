#pragma once
// Turns a text field into a plain label or back into an edit box.

class QLineEdit;
class QString;

// Not bordered, no background drawn, not editable.
void setAsLabel(QLineEdit* field);
// Bordered, background drawn, editable.
void setAsEdit(QLineEdit* field);

// Gives a field shown as a label its text, showing the text from its start as a label does (a
// field scrolls to the end of a text it is given).
void setLabelText(QLineEdit* field, const QString& text);
