#pragma once
// Turns a text field into a plain label or back into an edit box.

class QLineEdit;

// Not bordered, no background drawn, not editable.
void setAsLabel(QLineEdit* field);
// Bordered, background drawn, editable.
void setAsEdit(QLineEdit* field);
