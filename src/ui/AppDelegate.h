#pragma once
// The application delegate: finishes the launch (shared stores, firmware manifest, window
// title), brings the window back on reopen, answers the quit request (asking first while a window
// writes into the mixer) and carries the application's data template, made only when its context
// is first asked for. QuitGate puts the quit request in front of the application's quit and of the
// main window's close.

#include "platform/Error.h"
#include "ui/PersistentStore.h"

#include <QObject>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QUndoStack;
class QWidget;

class AppDelegate {
public:
    // The firmware store's version entries in manifest key order: 0-3 the board versions,
    // 4 the application name, 5 its version, 6 the company, 7 the web address, 8 the product
    // type; an entry that was never read is empty.
    using ManifestEntries = std::vector<std::optional<std::string>>;
    // Makes sure the shared stores exist, has the firmware store read the manifest (nine keys)
    // and returns its version entries, whether or not the read succeeded.
    using ManifestReader = std::function<ManifestEntries()>;

    enum TerminateReply { NSTerminateCancel = 0, NSTerminateNow = 1 };

    // The data folder lies in applicationSupportFolder; empty means the user's XDG data folder
    // (QStandardPaths::GenericDataLocation, normally ~/.local/share).
    explicit AppDelegate(ManifestReader readManifest, std::string applicationSupportFolder = {});
    ~AppDelegate();

    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    // The window that the launch titles and that a reopen brings to the front.
    QWidget* window() const { return window_; }
    void setWindow(QWidget* window) { window_ = window; }

    // Reads the manifest and titles the window "<name> <version>", or "Varnel Utility" when
    // that text contains "K42".
    void applicationDidFinishLaunching();
    // Brings the window to the front and makes it the active window; always true.
    bool applicationShouldHandleReopenHasVisibleWindows(bool hasVisibleWindows);
    void applicationWillResignActive() {}
    // While the preset or the firmware window writes into the mixer (a preset, a restore, a
    // firmware run), asks first in a "Warning!" alert that says what is under way and that the
    // mixer's memory would be left incomplete: "Don't Quit", the default, cancels. Once the user
    // chose "Quit", the requests that follow for the same quit do not ask again. Then quits at
    // once unless the data template's context holds edits it cannot commit.
    TerminateReply applicationShouldTerminate();
    // The quit question's text: what the windows are writing into the mixer, and what quitting
    // would leave; empty while nothing is written.
    static std::string quitWarning();
    void applicationWillTerminate();

    // The data template. Each part is made on its first request; when the store cannot be
    // made, the error is presented as an alert and the coordinator and the context stay empty
    // (the next request tries again).
    std::string applicationDocumentsDirectory() const;
    ManagedObjectModel* managedObjectModel();
    PersistentStoreCoordinator* persistentStoreCoordinator();
    ManagedObjectContext* managedObjectContext();
    // Commits pending edits of the context; there are never changes to save.
    void saveAction();
    QUndoStack* windowWillReturnUndoManager(QWidget* window);

    // The error last presented by the data template, if any.
    const std::optional<platform::Error>& persistentStoreError() const { return storeError_; }

    static constexpr const char* kDataFolderName = "Orvane.FirmwareUpdate";
    static constexpr const char* kStoreFileName = "OSXCoreDataObjC.storedata";

private:
    void presentError(const platform::Error& error);

    ManifestReader readManifest_;
    std::string applicationSupportFolder_;
    QWidget* window_ = nullptr;
    bool quitConfirmed_ = false;
    std::unique_ptr<ManagedObjectModel> managedObjectModel_;
    std::unique_ptr<PersistentStoreCoordinator> persistentStoreCoordinator_;
    std::unique_ptr<ManagedObjectContext> managedObjectContext_;
    std::optional<platform::Error> storeError_;
};

// Lets the program quit only when the delegate agrees, asked before anything closes: at the
// application's quit (QEvent::Quit, which would close every window) and at the close of the main
// window, which ends the program. Watches the application while it lives; make it after the
// QApplication.
class QuitGate : public QObject {
public:
    QuitGate(AppDelegate& delegate, QWidget& mainWindow);
    ~QuitGate() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    AppDelegate& delegate_;
    QWidget& mainWindow_;
};
