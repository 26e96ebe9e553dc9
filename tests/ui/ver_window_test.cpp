#include "ui/VerWindow.h"

#include "UiTestSupport.h"
#include "platform/testing/ScriptedUiServices.h"
#include "util/Duziz.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>

TEST(VerWindow, ThePanelPictureCoversTheWindowBelowTheAboutTexts) {
    VerWindow window;
    QWidget* back = window.backView();
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->geometry(), window.rect());

    auto* picture = qobject_cast<QLabel*>(back->children().front());
    ASSERT_NE(picture, nullptr);
    EXPECT_FALSE(picture->pixmap().isNull());
    EXPECT_EQ(picture->geometry(), back->rect());

    for (QWidget* text : std::initializer_list<QWidget*>{window.lb_Product_name(), window.lb_Product_version(),
                                                        window.lb_Product_company(), window.lb_Product_URL()}) {
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(text->parentWidget(), back);
        EXPECT_GT(back->children().indexOf(text), back->children().indexOf(picture));
    }
    EXPECT_EQ(window.lb_Product_name()->frameShape(), QFrame::NoFrame);
}

TEST(VerWindow, RunsModallyUntilClosedThenTheApplicationIsActivated) {
    struct Case {
        const char* name;
        bool delegateSet;
        bool userCloses;  // else the run is stopped from elsewhere and showModal closes the window
    };
    const Case cases[] = {
        {"the user closes it; its delegate ends the run", true, true},
        {"the user closes it; no delegate: the window ends the run itself", false, true},
        {"the run is stopped elsewhere; the window is closed after it", true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        platform::ScriptedUiServices ui;
        VerWindow window;
        window.lb_Product_name()->setText("K42 Firmware update tool");
        int willClose = 0;
        if (c.delegateSet) window.setWindowWillClose([&] { ++willClose; });
        bool shownDuringRun = false;
        ui.onModal([&](platform::ModalWindow& shown) {
            shownDuringRun = (&shown == &window) && window.isVisible();
            if (c.userCloses) window.close();
            return -60006;
        });

        Duziz::showModal(window);

        EXPECT_TRUE(shownDuringRun);
        EXPECT_FALSE(window.isVisible());
        EXPECT_EQ(willClose, c.delegateSet ? 1 : 0);
        const auto stops = ui.callsOf("stopModal");
        ASSERT_EQ(stops.size(), c.delegateSet ? 0u : 1u);
        if (!stops.empty()) {
            EXPECT_EQ(stops[0].code, -60006);
        }
        ASSERT_FALSE(ui.calls().empty());
        EXPECT_EQ(ui.calls().back().kind, "activate");
        EXPECT_EQ(window.lb_Product_name()->text(), "K42 Firmware update tool");
    }
}
