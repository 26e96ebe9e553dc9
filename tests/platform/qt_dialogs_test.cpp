// The Qt alerts and file panels, offscreen: each belongs to the window the user works in (a modal
// window before the main window behind it) and opens centred on it, inside it and above it.

#include "platform/qt/DialogPlacement.h"
#include "platform/qt/QtUiServices.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <optional>

namespace {

struct Opened {
    QRect geometry;
    QWidget* parent = nullptr;
};

// Runs ask(), which opens a dialog, and records where the dialog is while it is shown; then
// dismisses it as a cancel.
std::optional<Opened> whereItOpens(QWidget* owner, const std::function<void()>& ask) {
    std::optional<Opened> opened;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QWidget* dialog = QApplication::activeModalWidget();
        if (!dialog || dialog == owner || !dialog->isVisible()) return;
        poll.stop();
        opened = Opened{dialog->geometry(), dialog->parentWidget()};
        qobject_cast<QDialog*>(dialog)->reject();
    });
    poll.start(10);
    QTimer::singleShot(3000, [&] { poll.stop(); });
    ask();
    return opened;
}

}  // namespace

TEST(QtDialogs, AlertsAndFilePanelsOpenCentredOnTheModalWindowTheUserWorksIn) {
    platform::QtUiServices ui;
    // The main window, and a modal window over it in which the user works, away from the
    // screen's corner.
    QWidget main;
    main.setGeometry(20, 20, 640, 420);
    main.show();
    QWidget modal;
    modal.setWindowModality(Qt::ApplicationModal);
    modal.setGeometry(110, 130, 620, 500);
    modal.show();
    // The desktop activates windows when it gets round to it: none may be active yet.
    QApplication::setActiveWindow(nullptr);

    struct Case {
        const char* name;
        std::function<void()> ask;
    };
    const Case cases[] = {
        {"alert",
         [&] {
             EXPECT_EQ(ui.alert("Warning!", "Delete selected preset ?", {"Yes", "No"}), 1);
         }},
        {"open panel", [&] { EXPECT_EQ(ui.openPanel("Open file", {"mprt"}), std::nullopt); }},
        {"save panel", [&] { EXPECT_EQ(ui.savePanel("", {"mprt"}, "Newfilemprt"), std::nullopt); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto opened = whereItOpens(&modal, c.ask);
        ASSERT_TRUE(opened.has_value()) << "no dialog opened";
        EXPECT_EQ(opened->parent, &modal) << "it belongs to the modal window, which keeps it above";
        EXPECT_TRUE(modal.geometry().contains(opened->geometry))
            << opened->geometry.x() << "," << opened->geometry.y() << " " << opened->geometry.width() << "x"
            << opened->geometry.height();
        EXPECT_LE((opened->geometry.center() - modal.geometry().center()).manhattanLength(), 2);
    }
}

TEST(QtDialogs, WithoutAModalWindowADialogBelongsToTheProgramsWindow) {
    QWidget main;
    main.setGeometry(60, 50, 640, 420);
    main.show();
    QApplication::setActiveWindow(nullptr);
    EXPECT_EQ(platform::dialogOwner(), &main);
    QWidget panel(&main, Qt::Dialog);
    panel.resize(360, 150);
    platform::placeOver(&panel, &main);
    panel.show();
    EXPECT_TRUE(main.geometry().contains(panel.geometry()));
    EXPECT_LE((panel.geometry().center() - main.geometry().center()).manhattanLength(), 1);
}
