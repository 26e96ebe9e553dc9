#include "ui/StartMainWindow.h"

#include "ui/BusySpinner.h"
#include "ui/ControlCategories.h"
#include "ui/VerWindow.h"
#include "ui/XLCDView.h"

#include <QColor>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {
constexpr int kWidth = 640;
constexpr int kHeight = 420;

QPushButton* flatButton(QWidget* parent, const char* title, QRect frame) {
    auto* b = new QPushButton(QString::fromUtf8(title), parent);
    b->setGeometry(frame);
    b->setFlat(true);
    return b;
}
}  // namespace

StartMainWindow::StartMainWindow(GCData& store, XCoreData& core, LinkSettings settings, QWidget* parent)
    : QWidget(parent),
      link_(std::make_unique<StartMainView>(store, core, std::move(settings))),
      pageControl_(store.program()) {
    setFixedSize(kWidth, kHeight);
    backView_ = this;
    // Made in this order, which is also the order of the keyboard focus.
    createDeviceRow();
    createPageButtons();
    createAboutButton();
    createBusyDisplay();
    link_->setView(this);
    connectActions();
}

// The device caption and field, the connection lamp, the Connect and refresh buttons.
void StartMainWindow::createDeviceRow() {
    auto* deviceCaption = new QLabel(QStringLiteral("Device:"), this);
    deviceCaption->setGeometry(40, 40, 70, 24);
    deviceCaption->setStyleSheet(QStringLiteral("color: white;"));
    deviceLabel_ = new QLabel(this);
    deviceLabel_->setGeometry(110, 40, 300, 24);
    deviceLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    deviceLabel_->setStyleSheet(QStringLiteral("color: white;"));

    connectLCD_ = new XLCDView(QRect(430, 44, 16, 16), this);
    connectBtn_ = flatButton(this, "Connect", QRect(460, 38, 120, 28));
    refleshBtn_ = flatButton(this, "Refresh", QRect(460, 76, 120, 28));
}

// The Preset and Firmware buttons with their switcher tags, enabled as their windows are registered.
void StartMainWindow::createPageButtons() {
    enterSaveLoadBtn_ = flatButton(this, "Preset", QRect(40, 160, 260, 120));
    enterUpdateBtn_ = flatButton(this, "Firmware", QRect(340, 160, 260, 120));
    setPageControlTag(enterSaveLoadBtn_, DirazuzeControl::kPresetPage);
    setPageControlTag(enterUpdateBtn_, DirazuzeControl::kFirmwarePage);
    // A program without the firmware update shows no button for it.
    if (!link_->store().program().firmwarePage) enterUpdateBtn_->hide();
    updatePageButtons();
}

void StartMainWindow::createAboutButton() { aboutBtn_ = flatButton(this, "About", QRect(40, 360, 100, 28)); }

// The busy label and spinner, hidden until the link shows them.
void StartMainWindow::createBusyDisplay() {
    lbsync_ = new QLabel(QStringLiteral("Communicating with the mixer..."), this);
    lbsync_->setGeometry(180, 320, 280, 24);
    lbsync_->setStyleSheet(QStringLiteral("color: white;"));
    lbsync_->setHidden(true);
    pbar_ = new BusySpinner(this);
    pbar_->setGeometry(180, 350, 280, 12);
    pbar_->setHidden(true);
}

// Each button to its action: Connect, refresh and about to the link, the page buttons to the switcher.
void StartMainWindow::connectActions() {
    connect(connectBtn_, &QPushButton::clicked, this, [this] { link_->switchLighted(); });
    connect(refleshBtn_, &QPushButton::clicked, this, [this] { link_->refleshSearchDevice(); });
    connect(aboutBtn_, &QPushButton::clicked, this, [this] { link_->AboutVersionClick(); });
    for (QPushButton* page : {enterSaveLoadBtn_, enterUpdateBtn_})
        connect(page, &QPushButton::clicked, this, [this, page] { pageControl_.changePageControlClick(page); });
}

StartMainWindow::~StartMainWindow() {
    // The link goes first: it reports to the controls until it is gone.
    link_.reset();
}

void StartMainWindow::awakeFromNib() {
    link_->awakeFromNib();
    updatePageButtons();
}

void StartMainWindow::updatePageButtons() {
    enterSaveLoadBtn_->setEnabled(DirazuzeControl::hasPage(DirazuzeControl::kPresetPage));
    enterUpdateBtn_->setEnabled(DirazuzeControl::hasPage(DirazuzeControl::kFirmwarePage));
}

QWidget* StartMainWindow::spinner() const { return pbar_; }

// Made when first shown: a start-up without it reaches the main window sooner.
VerWindow* StartMainWindow::aboutWindow() {
    if (!verWindow_) {
        verWindow_ = new VerWindow(this);
        verWindow_->setWindowFlag(Qt::Window);
        verWindow_->setWindowWillClose([this] { link_->windowWillClose(); });
        setTextColor(verWindow_->lb_Product_URL(), QColor(Qt::white));
    }
    return verWindow_;
}

void StartMainWindow::prepareControls() {
    loadBackGroundImage(backView_, "body_off");
    const QColor white(Qt::white);
    // The web address of the about window gets its white title when that window is made.
    for (QPushButton* b : {enterSaveLoadBtn_, enterUpdateBtn_, connectBtn_, refleshBtn_}) setTextColor(b, white);
    setTextColor(aboutBtn_, white);
}

util::StatusLamp* StartMainWindow::connectLCD() { return connectLCD_; }

void StartMainWindow::setConnectTitle(const std::string& title) {
    connectBtn_->setText(QString::fromStdString(title));
    setTextColor(connectBtn_, QColor(Qt::white));
}

void StartMainWindow::setConnectEnabled(bool enabled) { connectBtn_->setEnabled(enabled); }

void StartMainWindow::setRefreshEnabled(bool enabled) { refleshBtn_->setEnabled(enabled); }

std::string StartMainWindow::deviceLabel() const { return deviceLabel_->text().toStdString(); }

void StartMainWindow::setDeviceLabel(const std::string& text) { deviceLabel_->setText(QString::fromStdString(text)); }

void StartMainWindow::setBusyLabelHidden(bool hidden) { lbsync_->setHidden(hidden); }

platform::Spinner* StartMainWindow::pbar() { return pbar_; }

void StartMainWindow::setAboutTexts(const std::string& name, const std::string& version, const std::string& company,
                                    const std::string& url) {
    VerWindow* about = aboutWindow();
    about->lb_Product_name()->setText(QString::fromStdString(name));
    about->lb_Product_version()->setText(QString::fromStdString(version));
    about->lb_Product_company()->setText(QString::fromStdString(company));
    QPushButton* link = about->lb_Product_URL();
    link->setText(QString::fromStdString(url));
    link->setFlat(true);
    setTextColor(link, QColor(Qt::white));
}

platform::ModalWindow* StartMainWindow::verWindow() { return aboutWindow(); }

void StartMainWindow::bringToFront() {
    showInFront(this);
}

AppDelegate::ManifestEntries readManifestEntries(XCoreData& core) {
    core.jsonFileRead_forVer(9);
    AppDelegate::ManifestEntries entries;
    for (size_t i = 0; i < 9 && i < core.firmware_ver.size(); ++i) entries.push_back(core.firmware_ver[i]);
    return entries;
}
