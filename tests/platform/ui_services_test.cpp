// Questions nobody answers: the headless services cancel them, and the scripted services fail the
// test that asked one without scripting it, answering it as a cancel.

#include "platform/UiServices.h"
#include "platform/testing/ScriptedUiServices.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

using platform::ScriptedUiServices;
using platform::UiServices;

namespace {

struct NoWindow : platform::ModalWindow {
    void makeKeyWindow() override {}
    void closeWindow() override {}
};

}  // namespace

TEST(HeadlessUiServices, AnswersEveryQuestionWithCancel) {
    UiServices& headless = UiServices::shared();
    struct Case {
        std::vector<std::string> buttons;
        int closeAnswer;
        int answer;
    } cases[] = {
        {{"Yes", "No"}, UiServices::kLastButton, 1},
        {{"Save", "Don't Save", "Cancel"}, UiServices::kLastButton, 2},
        {{"OK"}, UiServices::kLastButton, 0},
        {{}, UiServices::kLastButton, 0},
        // The alert's own cancelling button.
        {{"Don't Quit", "Quit"}, 0, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(headless.alert("Delete", "Delete the preset?", c.buttons, c.closeAnswer), c.answer);
        if (c.closeAnswer == UiServices::kLastButton) {
            EXPECT_EQ(headless.alert("Delete", "Delete the preset?", c.buttons), c.answer);
        }
    }
    EXPECT_EQ(headless.openPanel("Open file", {"mprt"}), std::nullopt);
    EXPECT_EQ(headless.savePanel("Save", {"sDsp"}, "NewfilesDsp"), std::nullopt);
}

TEST(ScriptedUiServices, AnswersFromTheScriptInOrder) {
    ScriptedUiServices ui;
    EXPECT_EQ(&UiServices::shared(), &ui);
    ui.answerAlert(0);
    ui.answerAlert(1);
    ui.answerOpen("/a.mprt");
    ui.answerSave(std::nullopt);
    ui.onModal([](platform::ModalWindow&) { return 7; });
    EXPECT_EQ(ui.alert("Delete", "Delete the preset?", {"Yes", "No"}), 0);
    EXPECT_EQ(ui.alert("Delete", "Delete the preset?", {"Yes", "No"}), 1);
    EXPECT_EQ(ui.openPanel("Open file", {"mprt"}), "/a.mprt");
    EXPECT_EQ(ui.savePanel("Save", {"sDsp"}, "NewfilesDsp"), std::nullopt);
    NoWindow window;
    EXPECT_EQ(ui.runModal(window), 7);
    // A single button is no question: it needs no script.
    EXPECT_EQ(ui.alert("Warning!", "Failed", {"OK"}), 0);
    EXPECT_EQ(ui.callsOf("alert").size(), 3u);
    // Closed without a button: the alert's answer to a close, by default the last button.
    ui.answerAlertClosed();
    ui.answerAlertClosed();
    EXPECT_EQ(ui.alert("Delete", "Delete the preset?", {"Yes", "No"}), 1);
    EXPECT_EQ(ui.alert("Warning!", "Quit?", {"Don't Quit", "Quit"}, 0), 0);
}

TEST(ScriptedUiServices, AnUnscriptedQuestionFailsTheTestAndIsCancelled) {
    ScriptedUiServices ui;
    int answer = -1;
    EXPECT_NONFATAL_FAILURE(answer = ui.alert("Delete", "Delete the preset?", {"Yes", "No"}),
                            "unscripted alert \"Delete\"");
    EXPECT_EQ(answer, 1) << "the last button, never the first";
    EXPECT_NONFATAL_FAILURE(answer = ui.alert("Warning!", "Quit?", {"Don't Quit", "Quit"}, 0), "unscripted alert");
    EXPECT_EQ(answer, 0) << "the alert's own answer to a close";
    std::optional<std::string> path = "unset";
    EXPECT_NONFATAL_FAILURE(path = ui.openPanel("Open file", {"mprt"}), "unscripted open panel \"Open file\"");
    EXPECT_EQ(path, std::nullopt);
    path = "unset";
    EXPECT_NONFATAL_FAILURE(path = ui.savePanel("Save", {"sDsp"}, "NewfilesDsp"), "unscripted save panel \"Save\"");
    EXPECT_EQ(path, std::nullopt);
    NoWindow window;
    EXPECT_NONFATAL_FAILURE(ui.runModal(window), "unscripted modal run");
}

TEST(ScriptedUiServices, PutsThePreviousServicesBackWhenDestroyed) {
    UiServices& before = UiServices::shared();
    {
        ScriptedUiServices ui;
        EXPECT_EQ(&UiServices::shared(), &ui);
    }
    EXPECT_EQ(&UiServices::shared(), &before);
}
