#include "firmware/FirmwareUpdateWindow.h"

#include "ui/ControlCategories.h"
#include "ui/TimerView.h"
#include "ui/XLCDView.h"
#include "ui/XProgressView.h"
#include "ui/XoemTextField.h"

#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {

constexpr int kWidth = 960;
constexpr int kHeight = 400;

// The frames the logic gives its own controls count y upwards from the window's bottom edge.
QRect fromBottom(int x, int y, int width, int height) {
    return QRect(x, kHeight - y - height, width, height);
}

// The board rows: name, version label and lamp, one row per board from the top.
constexpr int kRowTop = 158;
constexpr int kRowPitch = 28;
constexpr int kNameX = 40;
constexpr int kVersionX = 250;
constexpr int kLampX = 600;

const QColor kOrange(255, 128, 0);

QLabel* whiteLabel(QWidget* parent, const QString& text, const QRect& frame) {
    auto* label = new QLabel(text, parent);
    label->setGeometry(frame);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, Qt::white);
    label->setPalette(palette);
    return label;
}

QLineEdit* plainLabel(QWidget* parent, const QRect& frame, int pointSize) {
    auto* field = new QLineEdit(parent);
    field->setGeometry(frame);
    setAsLabel(field);
    field->setFocusPolicy(Qt::NoFocus);
    QFont font = field->font();
    font.setPointSize(pointSize);
    field->setFont(font);
    return field;
}

void setRoleColor(QWidget* widget, QPalette::ColorRole role, const QColor& color) {
    QPalette palette = widget->palette();
    palette.setColor(role, color);
    widget->setPalette(palette);
}

}  // namespace

FirmwareUpdateWindow::FirmwareUpdateWindow(GCData& store, XCoreData& core, QWidget* parent)
    : QWidget(parent, Qt::Window), logic_(std::make_unique<CFirmwareUpdate>(*this, store, core)) {
    setWindowTitle(QStringLiteral("Firmware Update"));
    setFixedSize(kWidth, kHeight);
    setWindowModality(Qt::ApplicationModal);
    // Made in this order, which is also the order of the keyboard focus.
    createBoardRows();
    createConnectionLamp();
    createProgressRow();
    createCodedLabels();
    createProductUrl();
    connectActions();
}

FirmwareUpdateWindow::~FirmwareUpdateWindow() {
    // The logic goes first: it drives the controls until it is gone.
    logic_.reset();
}

// A row per board: its name, the version of its image and its lamp. The main-board and keyboard
// MCU rows show the crossed labels lbfMcu2 and lbfMcu1; the lamps follow the boards.
void FirmwareUpdateWindow::createBoardRows() {
    QLabel** versions[kFirmwareBoards] = {&lbfMcu2_, &lbfMcu1_, &lbfDsp1_, &lbfDsp2_};
    XLCDView** lamps[kFirmwareBoards] = {&mcuLCD1_, &mcuLCD2_, &dspLCD1_, &dspLCD2_};
    for (int board = 0; board < kFirmwareBoards; ++board) {
        const int y = kRowTop + board * kRowPitch;
        whiteLabel(this, QString::fromUtf8(NAME_FIRWARE_STR[board]), QRect(kNameX, y, 200, 24));
        *versions[board] = whiteLabel(this, QString(), QRect(kVersionX, y, 420, 24));
        *lamps[board] = new XLCDView(QRect(kLampX, y + 4, 16, 16), this);
    }
}

void FirmwareUpdateWindow::createConnectionLamp() {
    statusLCD_ = new XLCDView(QRect(890, 21, 16, 16), this);
}

// The status line (two lines for the final notice), the bar and the Program button.
void FirmwareUpdateWindow::createProgressRow() {
    lbstatusUpdate_ = whiteLabel(this, QString(), QRect(40, 16, 600, 60));
    lbstatusUpdate_->setWordWrap(true);
    QFont font = lbstatusUpdate_->font();
    font.setPointSize(15);
    lbstatusUpdate_->setFont(font);
    progressBar_ = new XProgressView(QRect(40, 320, 700, 24), this);
    programGoBtn_ = new QPushButton(this);
    programGoBtn_->setGeometry(780, 310, 140, 40);
    programGoBtn_->setFlat(true);
}

// The countdown, the notice and the manifest error line, at the frames the logic's set-up gives
// them; nothing lies under the countdown.
void FirmwareUpdateWindow::createCodedLabels() {
    bigNotingLabel_ = new TimerView(fromBottom(253, 251, 700, 50), this);
    QFont bold = bigNotingLabel_->LabelTitile()->font();
    bold.setPointSize(30);
    bold.setBold(true);
    bigNotingLabel_->LabelTitile()->setFont(bold);
    setRoleColor(bigNotingLabel_->LabelTitile(), QPalette::Text, QColor(255, 0, 0));
    noticeLabel_ = plainLabel(this, fromBottom(215, 83, 380, 45), 20);
    noticeLabel_->setHidden(true);
    errolLabel_ = plainLabel(this, fromBottom(lbfMcu1_->x(), 26, 550, 23), 17);
    setRoleColor(errolLabel_, QPalette::Text, kOrange);
}

// The maker's web address as a flat button, beside the connection lamp.
void FirmwareUpdateWindow::createProductUrl() {
    productUrlBtn_ = new QPushButton(this);
    productUrlBtn_->setGeometry(660, 16, 220, 26);
    productUrlBtn_->setFlat(true);
    productUrlBtn_->setHidden(true);
    setTextColor(productUrlBtn_, QColor(Qt::white));
}

void FirmwareUpdateWindow::connectActions() {
    connect(programGoBtn_, &QPushButton::clicked, this, [this] { logic_->beginToProgramBtnClick(); });
    connect(productUrlBtn_, &QPushButton::clicked, this, [this] { logic_->ProductURLClick(); });
}

void FirmwareUpdateWindow::awakeFromNib() {
    logic_->awakeFromNib();
}

QLabel* FirmwareUpdateWindow::versionLabel(VersionLabel which) const {
    switch (which) {
    case VersionLabel::lbfMcu1:
        return lbfMcu1_;
    case VersionLabel::lbfMcu2:
        return lbfMcu2_;
    case VersionLabel::lbfDsp1:
        return lbfDsp1_;
    case VersionLabel::lbfDsp2:
        return lbfDsp2_;
    }
    return nullptr;
}

XLCDView* FirmwareUpdateWindow::lampView(Lamp which) const {
    switch (which) {
    case Lamp::statusLCD:
        return statusLCD_;
    case Lamp::mcuLCD1:
        return mcuLCD1_;
    case Lamp::mcuLCD2:
        return mcuLCD2_;
    case Lamp::dspLCD1:
        return dspLCD1_;
    case Lamp::dspLCD2:
        return dspLCD2_;
    }
    return nullptr;
}

void FirmwareUpdateWindow::setButtonTitleForToStringWithColor(QAbstractButton* button, const QString& title,
                                                              const QColor& color) {
    if (!button) return;
    button->setText(title);
    QFont font = button->font();
    font.setPointSize(16);
    button->setFont(font);
    button->setStyleSheet(QStringLiteral("text-align: left;"));
    setTextColor(button, color);
}

// ---- FirmwareUpdateView ------------------------------------------------------------------------

void FirmwareUpdateWindow::loadBackGround() {
    loadBackGroundImage(this, "body_off");
}

void FirmwareUpdateWindow::setNoticeHidden(bool hidden) {
    noticeLabel_->setHidden(hidden);
}

void FirmwareUpdateWindow::setProgramTitle(const std::string& title) {
    programGoBtn_->setText(QString::fromStdString(title));
    setTextColor(programGoBtn_, QColor(Qt::white));
}

void FirmwareUpdateWindow::setProgramEnabled(bool enabled) {
    programGoBtn_->setEnabled(enabled);
}

void FirmwareUpdateWindow::prepareCountdown(const std::string& title, int seconds, std::function<void()> done) {
    bigNotingLabel_->setLbTitle(title);
    bigNotingLabel_->setGaimTime(seconds);
    bigNotingLabel_->setH_afterCounstDownGo(std::move(done));
}

void FirmwareUpdateWindow::startCountdown() {
    bigNotingLabel_->setTimeBegin();
}

void FirmwareUpdateWindow::setErrorText(const std::string& text) {
    errolLabel_->setText(QString::fromStdString(text));
}

void FirmwareUpdateWindow::setProductUrl(const std::string& url) {
    productUrlBtn_->setText(QString::fromStdString(url));
    productUrlBtn_->setHidden(url.empty());
}

void FirmwareUpdateWindow::setVersionText(VersionLabel label, const std::string& text) {
    versionLabel(label)->setText(QString::fromStdString(text));
}

void FirmwareUpdateWindow::setStatusText(const std::string& text) {
    lbstatusUpdate_->setText(QString::fromStdString(text));
}

void FirmwareUpdateWindow::setStatusColor(TextColor color) {
    const QColor colors[] = {Qt::white, QColor(255, 0, 0), kOrange};
    setRoleColor(lbstatusUpdate_, QPalette::WindowText, colors[static_cast<int>(color)]);
}

void FirmwareUpdateWindow::setStatusHidden(bool hidden) {
    lbstatusUpdate_->setHidden(hidden);
}

void FirmwareUpdateWindow::resetProgressBar() {
    progressBar_->setBackGroundColor(Qt::white);
    progressBar_->setMaxNum(100);
    progressBar_->setMinNum(0);
    progressBar_->setDrawColor(Qt::green);
    progressBar_->updateProgress(0);
}

void FirmwareUpdateWindow::setProgressMax(int fullScale) {
    progressBar_->setMaxNum(fullScale);
}

int FirmwareUpdateWindow::progressMax() const {
    return progressBar_->MaxNum();
}

void FirmwareUpdateWindow::setProgress(int position) {
    progressBar_->updateProgress(position);
}

util::StatusLamp* FirmwareUpdateWindow::lamp(Lamp which) {
    return lampView(which);
}

void FirmwareUpdateWindow::orderOut() {
    hide();
}

// ---- ModalWindow -------------------------------------------------------------------------------

void FirmwareUpdateWindow::makeKeyWindow() {
    showInFront(this);
}

void FirmwareUpdateWindow::closeWindow() {
    if (isVisible()) close();
}

void FirmwareUpdateWindow::closeEvent(QCloseEvent* event) {
    logic_->windowWillClose();
    event->accept();
}
