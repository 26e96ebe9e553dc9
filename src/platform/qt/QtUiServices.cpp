#include "platform/qt/QtUiServices.h"

#include "platform/MainExecutor.h"
#include "platform/qt/DialogPlacement.h"

#include <QApplication>
#include <QDesktopServices>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>
#include <QWidget>

namespace platform {

namespace {

QString filterFor(const std::vector<std::string>& fileTypes) {
    QStringList patterns;
    for (const auto& type : fileTypes) patterns << QStringLiteral("*.") + QString::fromStdString(type);
    return patterns.isEmpty() ? QString() : QStringLiteral("Files (%1)").arg(patterns.join(' '));
}

// A file panel of the program's own (not the desktop's), so that it opens centred on the window
// it belongs to and fits inside it.
QString runFilePanel(QFileDialog::AcceptMode mode, const std::string& title, const std::vector<std::string>& fileTypes,
                     const std::string& proposedName) {
    QWidget* owner = dialogOwner();
    QFileDialog panel(owner, QString::fromStdString(title), QString(), filterFor(fileTypes));
    panel.setOption(QFileDialog::DontUseNativeDialog);
    panel.setAcceptMode(mode);
    panel.setFileMode(mode == QFileDialog::AcceptOpen ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    if (!proposedName.empty()) panel.selectFile(QString::fromStdString(proposedName));
    if (owner) {
        constexpr int kMargin = 24;
        const QSize room = owner->window()->size() - QSize(2 * kMargin, 2 * kMargin);
        panel.resize(panel.sizeHint().expandedTo(QSize(640, 420)).boundedTo(room));
        placeOver(&panel, owner);
    }
    if (panel.exec() != QDialog::Accepted || panel.selectedFiles().isEmpty()) return {};
    return panel.selectedFiles().front();
}

// Keeps the executor told that a modal run is active, so that default-mode timers wait.
struct ModalRun {
    bool active = MainExecutor::hasCurrent();
    ModalRun() {
        if (active) MainExecutor::current().beginModal();
    }
    ~ModalRun() {
        if (active) MainExecutor::current().endModal();
    }
};

}  // namespace

QtUiServices::QtUiServices() { UiServices::setShared(this); }

QtUiServices::~QtUiServices() {
    if (&UiServices::shared() == this) UiServices::setShared(nullptr);
}

int QtUiServices::alert(const std::string& title, const std::string& message,
                        const std::vector<std::string>& buttons) {
    return alert(title, message, buttons, kLastButton);
}

int QtUiServices::alert(const std::string& title, const std::string& message,
                        const std::vector<std::string>& buttons, int closeAnswer) {
    ModalRun modal;
    // Qt centres a dialog on its parent as it shows it.
    QMessageBox box(dialogOwner());
    box.setWindowTitle(QString::fromStdString(title));
    box.setText(QString::fromStdString(message));
    box.setIcon(QMessageBox::Warning);
    std::vector<QAbstractButton*> added;
    for (const auto& text : buttons)
        added.push_back(box.addButton(QString::fromStdString(text), QMessageBox::AcceptRole));
    if (added.empty()) added.push_back(box.addButton(QMessageBox::Ok));
    box.setDefaultButton(static_cast<QPushButton*>(added.front()));
    box.exec();
    for (size_t i = 0; i < added.size(); ++i)
        if (box.clickedButton() == added[i]) return static_cast<int>(i);
    // Closed without a button (the window system ended the box): the answer is the one that
    // leaves things as they are, by default the last button, never the first ("Yes" to a
    // deletion).
    return closedAnswer(buttons, closeAnswer);
}

std::optional<std::string> QtUiServices::openPanel(const std::string& title,
                                                   const std::vector<std::string>& fileTypes) {
    ModalRun modal;
    const QString path = runFilePanel(QFileDialog::AcceptOpen, title, fileTypes, {});
    if (path.isEmpty()) return std::nullopt;
    return path.toStdString();
}

std::optional<std::string> QtUiServices::savePanel(const std::string& title, const std::vector<std::string>& fileTypes,
                                                   const std::string& proposedName) {
    ModalRun modal;
    QString path = runFilePanel(QFileDialog::AcceptSave, title, fileTypes, proposedName);
    if (path.isEmpty()) return std::nullopt;
    // The panel allows only the given type: add its extension when the name lacks it.
    if (!fileTypes.empty()) {
        const QString ext = QString::fromStdString(fileTypes.front());
        if (QFileInfo(path).suffix() != ext) path += '.' + ext;
    }
    return path.toStdString();
}

int QtUiServices::runModal(ModalWindow&) {
    ModalRun modal;
    QEventLoop loop;
    Run run{&loop, 0};
    runs_.push_back(&run);
    loop.exec();
    runs_.pop_back();
    return run.code;
}

void QtUiServices::stopModal(int code) {
    if (runs_.empty()) return;
    Run* run = runs_.back();
    run->code = code;
    run->loop->quit();
}

void QtUiServices::activateApplication() {
    if (QWidget* window = QApplication::activeWindow()) {
        window->raise();
        window->activateWindow();
    }
}

bool QtUiServices::isApplicationHidden() {
    return QGuiApplication::applicationState() == Qt::ApplicationHidden;
}

bool QtUiServices::openUrl(const std::string& url) {
    // A manifest may give the address without its scheme ("www.example.com").
    return QDesktopServices::openUrl(QUrl::fromUserInput(QString::fromStdString(url)));
}

}  // namespace platform
