#include "ui/StartMainWindow.h"

#include "ui/BusySpinner.h"
#include "ui/ControlCategories.h"
#include "ui/PanelButton.h"
#include "ui/TextFit.h"
#include "ui/VerWindow.h"
#include "ui/XLCDView.h"

#include <QColor>
#include <QLabel>
#include <QPushButton>

namespace {
constexpr int kWidth = 640;
constexpr int kHeight = 420;
constexpr int kTextPoints = 11;
constexpr int kPagePoints = 20;

QLabel* whiteLabel(QWidget* parent, QLabel* label, const QRect& frame) {
    label->setParent(parent);
    label->setGeometry(frame);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, Qt::white);
    label->setPalette(palette);
    return label;
}
}  // namespace

StartMainWindow::StartMainWindow(GCData& store, XCoreData& core, LinkSettings settings, QWidget* parent)
    : QWidget(parent),
      link_(std::make_unique<StartMainView>(store, core, std::move(settings))),
      pageControl_(store.program()) {
    setFixedSize(kWidth, kHeight);
    setFontPoints(this, kTextPoints);
    backView_ = this;
    // Made in this order, which is also the order of the keyboard focus.
    createDeviceRow();
    createPageButtons();
    createAboutButton();
    createBusyDisplay();
    link_->setView(this);
    connectActions();
}

// The device caption and field (up to three lines, for an IPv6 address or a long device path),
// the connection lamp, the Connect and refresh buttons.
void StartMainWindow::createDeviceRow() {
    whiteLabel(this, new QLabel(QStringLiteral("Device:")), QRect(40, 26, 64, 54))
        ->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    deviceLabel_ = whiteLabel(this, new FitLabel, QRect(104, 26, 300, 54));
    deviceLabel_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    deviceLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);

    connectLCD_ = new XLCDView(QRect(418, 44, 16, 16), this);
    connectBtn_ = new PanelButton(QStringLiteral("Connect"), QRect(450, 36, 150, 32), this);
    refleshBtn_ = new PanelButton(QStringLiteral("Refresh"), QRect(450, 78, 150, 32), this);
}

// The Preset and Firmware buttons with their switcher tags, enabled as their windows are
// registered. A program without the firmware update shows no button for it, and its Preset
// button stands in the middle.
void StartMainWindow::createPageButtons() {
    const bool firmwarePage = link_->store().program().firmwarePage;
    enterSaveLoadBtn_ = new PanelButton(QStringLiteral("Preset"),
                                        firmwarePage ? QRect(40, 140, 270, 120) : QRect(185, 140, 270, 120), this);
    enterUpdateBtn_ = new PanelButton(QStringLiteral("Firmware"), QRect(330, 140, 270, 120), this);
    for (QPushButton* page : {enterSaveLoadBtn_, enterUpdateBtn_}) setFontPoints(page, kPagePoints, true);
    setPageControlTag(enterSaveLoadBtn_, DirazuzeControl::kPresetPage);
    setPageControlTag(enterUpdateBtn_, DirazuzeControl::kFirmwarePage);
    if (!firmwarePage) enterUpdateBtn_->hide();
    updatePageButtons();
}

void StartMainWindow::createAboutButton() {
    aboutBtn_ = new PanelButton(QStringLiteral("About"), QRect(40, 336, 110, 32), this);
}

// The busy label and spinner, hidden until the link shows them.
void StartMainWindow::createBusyDisplay() {
    lbsync_ = whiteLabel(this, new QLabel(QStringLiteral("Communicating with the mixer...")), QRect(40, 280, 560, 24));
    lbsync_->setAlignment(Qt::AlignCenter);
    lbsync_->setHidden(true);
    pbar_ = new BusySpinner(this);
    pbar_->setGeometry(220, 310, 200, 10);
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
        // The web address reads as a link, and opens as one.
        QPushButton* address = verWindow_->lb_Product_URL();
        connect(address, &QPushButton::clicked, this,
                [address] { platform::UiServices::shared().openUrl(address->text().toStdString()); });
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
    setTextColor(link, QColor(Qt::white));
    // Without an address there is no link to show, nor to press.
    link->setHidden(url.empty());
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
