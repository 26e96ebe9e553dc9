#include "platform/qt/DialogPlacement.h"

#include <QApplication>
#include <QScreen>
#include <QWidget>

namespace platform {

QWidget* dialogOwner() {
    // A modal window is the one the user works in, whichever window the desktop last activated.
    if (QWidget* modal = QApplication::activeModalWidget()) return modal;
    if (QWidget* active = QApplication::activeWindow()) return active;
    for (QWidget* top : QApplication::topLevelWidgets())
        if (top->isVisible() && top->windowType() == Qt::Window) return top;
    return nullptr;
}

void placeOver(QWidget* dialog, const QWidget* owner) {
    if (!dialog || !owner) return;
    const QWidget* window = owner->window();
    // The dialog's frame is taken to add what the owner's adds to its window (a title bar,
    // borders): a dialog not shown yet has no frame to ask.
    const QSize decoration = window->frameGeometry().size() - window->size();
    QRect frame(QPoint(), dialog->size() + decoration);
    frame.moveCenter(window->frameGeometry().center());
    if (const QScreen* screen = window->screen()) {
        const QRect room = screen->availableGeometry();
        // Kept whole on the screen; where the dialog is larger than the screen, its top left.
        frame.moveLeft(std::max(room.left(), std::min(frame.left(), room.right() + 1 - frame.width())));
        frame.moveTop(std::max(room.top(), std::min(frame.top(), room.bottom() + 1 - frame.height())));
    }
    dialog->move(frame.topLeft());
}

}  // namespace platform
