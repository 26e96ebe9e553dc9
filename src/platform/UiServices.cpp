#include "platform/UiServices.h"

#include "platform/Trace.h"

#include <atomic>

namespace platform {

ModalWindow::~ModalWindow() = default;
Spinner::~Spinner() = default;
UiServices::~UiServices() = default;

int UiServices::alert(const std::string& title, const std::string& message, const std::vector<std::string>& buttons,
                      int) {
    return alert(title, message, buttons);
}

int UiServices::closedAnswer(const std::vector<std::string>& buttons, int closeAnswer) {
    const int count = static_cast<int>(buttons.size());
    if (closeAnswer >= 0 && closeAnswer < count) return closeAnswer;
    return count == 0 ? 0 : count - 1;
}

namespace {

class HeadlessUiServices : public UiServices {
public:
    // Closed unanswered: a question with no answer must not say yes.
    int alert(const std::string& title, const std::string& message, const std::vector<std::string>& buttons) override {
        return alert(title, message, buttons, kLastButton);
    }
    int alert(const std::string& title, const std::string& message, const std::vector<std::string>& buttons,
              int closeAnswer) override {
        trace("%s: %s", title.c_str(), message.c_str());
        return closedAnswer(buttons, closeAnswer);
    }
    std::optional<std::string> openPanel(const std::string& title, const std::vector<std::string>&) override {
        trace("%s: no panel can be shown, cancelled", title.c_str());
        return std::nullopt;
    }
    std::optional<std::string> savePanel(const std::string& title, const std::vector<std::string>&,
                                         const std::string&) override {
        trace("%s: no panel can be shown, cancelled", title.c_str());
        return std::nullopt;
    }
    int runModal(ModalWindow&) override { return 0; }
    void stopModal(int) override {}
    void activateApplication() override {}
    bool isApplicationHidden() override { return false; }
    bool openUrl(const std::string& url) override {
        trace("%s: no browser can be opened", url.c_str());
        return false;
    }
};

std::atomic<UiServices*> g_shared{nullptr};

}  // namespace

UiServices& UiServices::shared() {
    static HeadlessUiServices headless;
    UiServices* services = g_shared.load();
    return services ? *services : headless;
}

void UiServices::setShared(UiServices* services) { g_shared = services; }

}  // namespace platform
