#pragma once
// Alerts, file panels and modal runs with Qt Widgets.

#include "platform/UiServices.h"

#include <vector>

class QEventLoop;

namespace platform {

class QtUiServices : public UiServices {
public:
    // Installs itself as the shared services.
    QtUiServices();
    ~QtUiServices() override;

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
    bool openUrl(const std::string& url) override;

private:
    struct Run {
        QEventLoop* loop;
        int code;
    };
    std::vector<Run*> runs_;  // innermost last
};

}  // namespace platform
