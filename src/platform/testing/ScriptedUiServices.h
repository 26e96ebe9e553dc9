#pragma once
// UiServices for tests: every question is answered from a script queued beforehand, and every
// call is recorded so that a test can check what the user was shown. A question nobody scripted
// fails the test that asked it (a GoogleTest failure naming the call) and is answered as the user
// who cancels would: the alert's answer to a close without a button (the last button unless the
// alert names another), no file, a modal run stopped with 0. An alert with a single button asks
// nothing and needs no script.

#include "platform/UiServices.h"

#include <deque>
#include <functional>

namespace platform {

class ScriptedUiServices : public UiServices {
public:
    struct Call {
        std::string kind;  // "alert", "open", "save", "modal", "stopModal", "activate", "hidden", "openUrl"
        std::string title;
        std::string message;                // alert text; the proposed name for a save panel; the address
        std::vector<std::string> options;   // buttons, or file types
        int code = 0;                       // stop code for stopModal; an alert's answer to a close
    };

    // Installs itself as the shared services; the previous ones come back on destruction.
    ScriptedUiServices();
    ~ScriptedUiServices() override;

    // The index of the button pressed at the next alert that has more than one button.
    void answerAlert(int button) { alerts_.push_back(button); }
    // The next alert that has more than one button is closed without a button.
    void answerAlertClosed() { alerts_.push_back(kClosed); }
    void answerOpen(std::optional<std::string> path) { opens_.push_back(std::move(path)); }
    void answerSave(std::optional<std::string> path) { saves_.push_back(std::move(path)); }
    // What a modal run does while it "runs" (for example, press a button that stops it).
    void onModal(std::function<int(ModalWindow&)> body) { modals_.push_back(std::move(body)); }
    // Whether the application is hidden when it is next asked (unscripted: shown).
    void answerHidden(bool hidden) { hiddens_.push_back(hidden); }

    const std::vector<Call>& calls() const { return calls_; }
    std::vector<Call> callsOf(const std::string& kind) const;
    void clearCalls() { calls_.clear(); }

    int alert(const std::string& title, const std::string& message,
              const std::vector<std::string>& buttons) override;
    int alert(const std::string& title, const std::string& message, const std::vector<std::string>& buttons,
              int closeAnswer) override;
    std::optional<std::string> openPanel(const std::string& title, const std::vector<std::string>& fileTypes) override;
    std::optional<std::string> savePanel(const std::string& title, const std::vector<std::string>& fileTypes,
                                         const std::string& proposedName) override;
    int runModal(ModalWindow& window) override;
    void stopModal(int code) override;
    void activateApplication() override;
    bool isApplicationHidden() override;
    // Recorded; a browser always takes it.
    bool openUrl(const std::string& url) override;

private:
    static constexpr int kClosed = -1000;
    UiServices* previous_;
    std::vector<Call> calls_;
    std::deque<int> alerts_;
    std::deque<std::optional<std::string>> opens_;
    std::deque<std::optional<std::string>> saves_;
    std::deque<std::function<int(ModalWindow&)>> modals_;
    std::deque<bool> hiddens_;
};

}  // namespace platform
