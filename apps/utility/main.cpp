// Varnel Utility: finds the mixer, connects to it, manages its presets and updates its firmware.

#include "utility/UtilityLaunch.h"

#include <QApplication>
#include <QCloseEvent>

namespace {

// Closing the main window quits the program once the delegate agrees.
class QuitGate : public QObject {
public:
    explicit QuitGate(AppDelegate& delegate) : delegate_(delegate) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Close &&
            delegate_.applicationShouldTerminate() == AppDelegate::NSTerminateCancel) {
            event->ignore();
            return true;
        }
        return QObject::eventFilter(watched, event);
    }

private:
    AppDelegate& delegate_;
};

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Varnel Utility");
    UtilityLaunch launch;
    StartMainWindow& window = launch.window();
    AppDelegate& delegate = launch.delegate();

    // Quitting asks the delegate first; the last window closed ends the program.
    QuitGate gate(delegate);
    window.installEventFilter(&gate);
    QObject::connect(&app, &QApplication::aboutToQuit, [&delegate] { delegate.applicationWillTerminate(); });
    QObject::connect(&app, &QApplication::applicationStateChanged, [&delegate](Qt::ApplicationState state) {
        if (state == Qt::ApplicationInactive) delegate.applicationWillResignActive();
    });

    window.show();
    return app.exec();
}
