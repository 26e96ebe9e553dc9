#include "platform/testing/ScriptedUiServices.h"

#include <gtest/gtest.h>

namespace platform {

namespace {

std::string listed(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& item : items) out += (out.empty() ? "\"" : ", \"") + item + "\"";
    return "[" + out + "]";
}

}  // namespace

ScriptedUiServices::ScriptedUiServices() : previous_(&UiServices::shared()) { UiServices::setShared(this); }

ScriptedUiServices::~ScriptedUiServices() { UiServices::setShared(previous_); }

std::vector<ScriptedUiServices::Call> ScriptedUiServices::callsOf(const std::string& kind) const {
    std::vector<Call> out;
    for (const auto& call : calls_)
        if (call.kind == kind) out.push_back(call);
    return out;
}

int ScriptedUiServices::alert(const std::string& title, const std::string& message,
                              const std::vector<std::string>& buttons) {
    return alert(title, message, buttons, kLastButton);
}

int ScriptedUiServices::alert(const std::string& title, const std::string& message,
                              const std::vector<std::string>& buttons, int closeAnswer) {
    const int closed = closedAnswer(buttons, closeAnswer);
    calls_.push_back({"alert", title, message, buttons, closed});
    if (alerts_.empty()) {
        if (buttons.size() <= 1) return 0;
        ADD_FAILURE() << "unscripted alert \"" << title << "\": \"" << message << "\" with buttons " << listed(buttons)
                      << "; script the answer with answerAlert()";
        return closed;
    }
    const int answer = alerts_.front();
    alerts_.pop_front();
    return answer == kClosed ? closed : answer;
}

std::optional<std::string> ScriptedUiServices::openPanel(const std::string& title,
                                                         const std::vector<std::string>& fileTypes) {
    calls_.push_back({"open", title, {}, fileTypes, 0});
    if (opens_.empty()) {
        ADD_FAILURE() << "unscripted open panel \"" << title << "\" for " << listed(fileTypes)
                      << "; script the answer with answerOpen()";
        return std::nullopt;
    }
    auto answer = opens_.front();
    opens_.pop_front();
    return answer;
}

std::optional<std::string> ScriptedUiServices::savePanel(const std::string& title,
                                                         const std::vector<std::string>& fileTypes,
                                                         const std::string& proposedName) {
    calls_.push_back({"save", title, proposedName, fileTypes, 0});
    if (saves_.empty()) {
        ADD_FAILURE() << "unscripted save panel \"" << title << "\" proposing \"" << proposedName << "\" for "
                      << listed(fileTypes) << "; script the answer with answerSave()";
        return std::nullopt;
    }
    auto answer = saves_.front();
    saves_.pop_front();
    return answer;
}

int ScriptedUiServices::runModal(ModalWindow& window) {
    calls_.push_back({"modal", {}, {}, {}, 0});
    if (modals_.empty()) {
        ADD_FAILURE() << "unscripted modal run; script what happens while it runs with onModal()";
        return 0;
    }
    auto body = std::move(modals_.front());
    modals_.pop_front();
    return body(window);
}

void ScriptedUiServices::stopModal(int code) { calls_.push_back({"stopModal", {}, {}, {}, code}); }

void ScriptedUiServices::activateApplication() { calls_.push_back({"activate", {}, {}, {}, 0}); }

bool ScriptedUiServices::isApplicationHidden() {
    calls_.push_back({"hidden", {}, {}, {}, 0});
    if (hiddens_.empty()) return false;
    const bool answer = hiddens_.front();
    hiddens_.pop_front();
    return answer;
}

bool ScriptedUiServices::openUrl(const std::string& url) {
    calls_.push_back({"openUrl", {}, url, {}, 0});
    return true;
}

}  // namespace platform
