#include "ui/AppDelegate.h"

#include "platform/Trace.h"
#include "platform/UiServices.h"
#include "util/FirmwareWindow.h"
#include "util/PresetWindow.h"

#include <QCoreApplication>
#include <QEvent>
#include <QStandardPaths>
#include <QUndoStack>
#include <QWidget>

#include <cerrno>
#include <filesystem>
#include <sys/stat.h>
#include <system_error>

namespace {

constexpr const char* kStoreErrorDomain = "YOUR_ERROR_DOMAIN";
constexpr long kStoreErrorCode = 9999;
constexpr const char* kStoreErrorDescription = "Failed to initialize the application's saved data";
constexpr const char* kStoreErrorReason = "There was an error creating or loading the application's saved data.";
// The quit question's "Don't Quit", its first button.
constexpr int kStayButton = 0;

// An entry as a string format shows it: the text, or the marker of a null object.
std::string formatted(const AppDelegate::ManifestEntries& entries, size_t index) {
    if (index < entries.size() && entries[index]) return *entries[index];
    return "(null)";
}

}  // namespace

AppDelegate::AppDelegate(ManifestReader readManifest, std::string applicationSupportFolder)
    : readManifest_(std::move(readManifest)), applicationSupportFolder_(std::move(applicationSupportFolder)) {}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching() {
    const ManifestEntries entries = readManifest_ ? readManifest_() : ManifestEntries{};
    std::string title = formatted(entries, 4) + " " + formatted(entries, 5);
    if (title.find("K42") != std::string::npos) title = "Varnel Utility";
    if (window_) window_->setWindowTitle(QString::fromStdString(title));
}

bool AppDelegate::applicationShouldHandleReopenHasVisibleWindows(bool) {
    if (window_) {
        window_->show();
        window_->raise();
        window_->activateWindow();
    }
    return true;
}

std::string AppDelegate::quitWarning() {
    std::string writing;
    for (const std::string& what : {fmUpdateVctl ? fmUpdateVctl->writingToMixer() : std::string(),
                                    saveLoadView ? saveLoadView->writingToMixer() : std::string()}) {
        if (what.empty()) continue;
        writing += (writing.empty() ? "" : " ") + what;
    }
    if (writing.empty()) return {};
    return writing + " If you quit now, the mixer's memory will be left incomplete.";
}

AppDelegate::TerminateReply AppDelegate::applicationShouldTerminate() {
    platform::trace("has diaoong maincontrol  to close all socket over................................");
    if (!quitConfirmed_) {
        const std::string warning = quitWarning();
        // The first button is the default: staying is what Enter chooses, and what the question
        // closed without a button answers.
        if (!warning.empty()) {
            if (platform::UiServices::shared().alert("Warning!", warning, {"Don't Quit", "Quit"}, kStayButton) != 1)
                return NSTerminateCancel;
            quitConfirmed_ = true;
        }
    }
    if (!managedObjectContext_) return NSTerminateNow;
    if (!managedObjectContext_->commitEditing()) {
        platform::trace("%s:%s unable to commit editing to terminate", "AppDelegate", "applicationShouldTerminate");
        return NSTerminateCancel;
    }
    // The context never has changes, so there is nothing to save before quitting.
    return NSTerminateNow;
}

void AppDelegate::applicationWillTerminate() { platform::trace("closo window over................"); }

std::string AppDelegate::applicationDocumentsDirectory() const {
    std::string root = applicationSupportFolder_;
    if (root.empty()) root = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation).toStdString();
    return (std::filesystem::path(root) / kDataFolderName).string();
}

ManagedObjectModel* AppDelegate::managedObjectModel() {
    if (!managedObjectModel_) managedObjectModel_ = std::make_unique<ManagedObjectModel>(ManagedObjectModel{"FirmwareUpdate"});
    return managedObjectModel_.get();
}

PersistentStoreCoordinator* AppDelegate::persistentStoreCoordinator() {
    if (persistentStoreCoordinator_) return persistentStoreCoordinator_.get();

    const std::string folder = applicationDocumentsDirectory();
    std::optional<platform::Error> remembered;
    std::string failureReason;
    bool shouldFail = false;

    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) {
            failureReason = "Expected a folder to store application data, found a file (" + folder + ").";
            shouldFail = true;
        }
    } else if (errno == ENOENT) {
        std::error_code ec;
        std::filesystem::create_directories(folder, ec);
        if (ec) remembered = platform::Error::posix(ec.value(), "The folder " + folder + " cannot be created.");
    } else {
        remembered = platform::Error::posix(errno, "The folder " + folder + " cannot be read.");
    }

    if (!shouldFail && !remembered) {
        auto coordinator = std::make_unique<PersistentStoreCoordinator>(*managedObjectModel());
        platform::Error error;
        if (coordinator->addPersistentStore((std::filesystem::path(folder) / kStoreFileName).string(), &error))
            persistentStoreCoordinator_ = std::move(coordinator);
        else
            remembered = error;
    }

    if (shouldFail || remembered) {
        auto error = platform::Error::make(kStoreErrorDomain, kStoreErrorCode, kStoreErrorDescription,
                                           shouldFail ? failureReason : kStoreErrorReason);
        if (remembered) error.userInfo[platform::kUnderlyingErrorKey] = *remembered;
        presentError(error);
        return nullptr;
    }
    return persistentStoreCoordinator_.get();
}

ManagedObjectContext* AppDelegate::managedObjectContext() {
    if (managedObjectContext_) return managedObjectContext_.get();
    PersistentStoreCoordinator* coordinator = persistentStoreCoordinator();
    if (!coordinator) return nullptr;
    managedObjectContext_ = std::make_unique<ManagedObjectContext>(coordinator);
    return managedObjectContext_.get();
}

void AppDelegate::saveAction() {
    ManagedObjectContext* context = managedObjectContext();
    if (!context || !context->commitEditing())
        platform::trace("%s:%s unable to commit editing before saving", "AppDelegate", "saveAction");
    // The context never has changes: nothing is saved.
}

QUndoStack* AppDelegate::windowWillReturnUndoManager(QWidget*) {
    ManagedObjectContext* context = managedObjectContext();
    return context ? context->undoManager() : nullptr;
}

void AppDelegate::presentError(const platform::Error& error) {
    storeError_ = error;
    platform::trace("%s", error.toString().c_str());
    platform::UiServices::shared().alert(error.description, error.failureReason, {"OK"});
}

QuitGate::QuitGate(AppDelegate& delegate, QWidget& mainWindow) : delegate_(delegate), mainWindow_(mainWindow) {
    QCoreApplication::instance()->installEventFilter(this);
}

QuitGate::~QuitGate() {
    if (QCoreApplication::instance()) QCoreApplication::instance()->removeEventFilter(this);
}

bool QuitGate::eventFilter(QObject* watched, QEvent* event) {
    const bool quit = event->type() == QEvent::Quit && watched == QCoreApplication::instance();
    const bool close = event->type() == QEvent::Close && watched == &mainWindow_;
    if ((quit || close) && delegate_.applicationShouldTerminate() == AppDelegate::NSTerminateCancel) {
        event->ignore();
        return true;
    }
    return QObject::eventFilter(watched, event);
}
