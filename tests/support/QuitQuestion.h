#pragma once
// The quit question as the tests of the windows that write into the mixer check it: the
// application delegate asked to quit, with the answer "Don't Quit" or no question at all.

#include "platform/testing/ScriptedUiServices.h"
#include "ui/AppDelegate.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace testsupport {

// While writing is being written into the mixer: the one "Warning!" alert names it and warns of
// the incomplete memory, staying is the default and what a close without a button answers, and
// "Don't Quit" cancels the quit.
inline void expectQuitRefused(AppDelegate& delegate, platform::ScriptedUiServices& ui, const std::string& writing) {
    ui.clearCalls();
    ui.answerAlert(0);
    EXPECT_EQ(delegate.applicationShouldTerminate(), AppDelegate::NSTerminateCancel);
    const auto alerts = ui.callsOf("alert");
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].title, "Warning!");
    EXPECT_EQ(alerts[0].message, writing + " If you quit now, the mixer's memory will be left incomplete.");
    EXPECT_EQ(alerts[0].options, (std::vector<std::string>{"Don't Quit", "Quit"}));
    EXPECT_EQ(alerts[0].code, 0) << "closed without a button, the question answers \"Don't Quit\"";
}

// While nothing is written the program quits unasked.
inline void expectQuitUnasked(AppDelegate& delegate, platform::ScriptedUiServices& ui) {
    ui.clearCalls();
    EXPECT_EQ(delegate.applicationShouldTerminate(), AppDelegate::NSTerminateNow);
    EXPECT_TRUE(ui.callsOf("alert").empty());
}

}  // namespace testsupport
