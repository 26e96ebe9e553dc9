#pragma once
// The seam between the program's logic and its dialogs: alerts, open and save panels and modal
// runs. The programs install the Qt implementation (platform/qt/QtUiServices.h); tests install
// ScriptedUiServices (platform/testing) and script the user's answers.

#include <optional>
#include <string>
#include <vector>

namespace platform {

// A window that can be run modally.
class ModalWindow {
public:
    virtual ~ModalWindow();
    virtual void makeKeyWindow() = 0;
    virtual void closeWindow() = 0;
};

// A busy spinner that can be shown and animated.
class Spinner {
public:
    virtual ~Spinner();
    virtual void setSpinnerVisible(bool visible) = 0;
    virtual void setSpinnerAnimating(bool animating) = 0;
};

class UiServices {
public:
    virtual ~UiServices();

    // A modal alert; returns the index of the button pressed (0 = the first, default button). An
    // alert closed without a button (the window system ended it) answers the last button, the
    // one that cancels.
    virtual int alert(const std::string& title, const std::string& message,
                      const std::vector<std::string>& buttons) = 0;
    // The same, where a close without a button answers closeAnswer: the index of the button that
    // leaves things as they are, when that is not the last one (kLastButton, or an index that
    // names no button, answers the last). Services that cannot be closed without a button, as
    // doubles answering from a script, need not override it: it asks the alert above.
    virtual int alert(const std::string& title, const std::string& message, const std::vector<std::string>& buttons,
                      int closeAnswer);
    static constexpr int kLastButton = -1;
    // A modal open panel accepting files of the given extensions; the chosen path, or nothing
    // when the user cancelled.
    virtual std::optional<std::string> openPanel(const std::string& title,
                                                 const std::vector<std::string>& fileTypes) = 0;
    // A modal save panel with the allowed extensions and a proposed name; the chosen path (with
    // the extension added), or nothing when the user cancelled.
    virtual std::optional<std::string> savePanel(const std::string& title,
                                                 const std::vector<std::string>& fileTypes,
                                                 const std::string& proposedName) = 0;
    // Runs the window modally until stopModal is called; returns the stop code.
    virtual int runModal(ModalWindow& window) = 0;
    virtual void stopModal(int code) = 0;
    // Brings the application to the front, ignoring other applications.
    virtual void activateApplication() = 0;
    // The user has hidden the application: none of its windows is shown.
    virtual bool isApplicationHidden() = 0;
    // Opens a web address in the user's browser; whether a browser took it.
    virtual bool openUrl(const std::string& url) = 0;

    // The services of this process. Until one is installed, a headless one answers every
    // question with "cancel" and traces it; it has no windows to hide and no browser.
    static UiServices& shared();
    static void setShared(UiServices* services);

protected:
    // What an alert with these buttons answers when closed without one (0 without buttons).
    static int closedAnswer(const std::vector<std::string>& buttons, int closeAnswer);
};

}  // namespace platform
