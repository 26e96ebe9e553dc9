#pragma once
// The preset-name panel as the preset window drives it, with the steps of its OK and Cancel
// buttons: the window writes which preset the panel is about, empties the name field and runs
// the panel modally; OK (or Enter in the field) stores the typed name in the store's 16-byte slot,
// sends it to the mixer and, while the mixer is connected, tells the preset window over the bus
// that a request is pending (258); Cancel changes nothing. The Qt panel (XmyAlertPanel) supplies
// the field, the window and its hiding.
//
// Main thread only; the panel runs in a modal run of its own.

#include "link/GCData.h"
#include "platform/UiServices.h"

#include <string>

class PresetNamePanel : public platform::ModalWindow {
public:
    explicit PresetNamePanel(GCData& store) : gc_(store) {}

    // The code with which OK and Cancel end the panel's modal run.
    static constexpr int kModalStop = -1000;

    // The row of the preset in its list, the mixer's preset type, and the channel box's index.
    int presetindex = 0;
    int smodeindex = 0;
    int chindex = 0;
    // The slot's length; the store's slot is what bounds a name.
    int len_word_max = 16;

    // The name field's text as typed, and emptied.
    virtual std::string inputText() const = 0;
    virtual void clearInputEd() = 0;
    // Takes the panel off the screen without closing it.
    virtual void orderOut() = 0;

    // The name field's text without white space and newlines at either end.
    std::string getInputText() const;
    // OK: an empty name keeps the panel running; otherwise stores, sends, posts 258 while
    // connected and ends the panel's modal run (or, as the program's table says, only hides the
    // panel). Returns whether the name was taken.
    bool btnOKConfirmClick();
    // Enter in the name field.
    bool fieldKeyDown() { return btnOKConfirmClick(); }
    // Cancel: ends the modal run and hides the panel; nothing is stored or sent.
    void btnCancelClick();

protected:
    GCData& gc_;
};
