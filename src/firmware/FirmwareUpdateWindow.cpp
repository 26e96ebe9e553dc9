#include "firmware/FirmwareUpdateWindow.h"

#include "ui/ControlCategories.h"
#include "ui/PanelButton.h"
#include "ui/TextFit.h"
#include "ui/TimerView.h"
#include "ui/XLCDView.h"
#include "ui/XProgressView.h"
#include "ui/XoemTextField.h"

#include <QCloseEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>

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
    setFontPoints(field, pointSize);
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
    setFontPoints(this, 10);
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

// A row per board: its name, the version of its image (from the manifest, so of any length: one
// too long for its place ends with an ellipsis) and its lamp. The main-board and keyboard MCU rows
// show the crossed labels lbfMcu2 and lbfMcu1; the lamps follow the boards.
void FirmwareUpdateWindow::createBoardRows() {
    QLabel** versions[kFirmwareBoards] = {&lbfMcu2_, &lbfMcu1_, &lbfDsp1_, &lbfDsp2_};
    XLCDView** lamps[kFirmwareBoards] = {&mcuLCD1_, &mcuLCD2_, &dspLCD1_, &dspLCD2_};
    for (int board = 0; board < kFirmwareBoards; ++board) {
        const int y = kRowTop + board * kRowPitch;
        whiteLabel(this, QString::fromUtf8(NAME_FIRWARE_STR[board]), QRect(kNameX, y, 200, 24));
        *versions[board] = new FitLabel(QRect(kVersionX, y, kLampX - kVersionX - 16, 24), this);
        (*versions[board])->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        setRoleColor(*versions[board], QPalette::WindowText, Qt::white);
        *lamps[board] = new XLCDView(QRect(kLampX, y + 4, 16, 16), this);
    }
}

void FirmwareUpdateWindow::createConnectionLamp() {
    statusLCD_ = new XLCDView(QRect(890, 25, 16, 16), this);
}

// The status line across the top (two lines for the final notice, wrapped when longer; 18 points,
// so that its red text reads as large text does), the bar and the Program button.
void FirmwareUpdateWindow::createProgressRow() {
    lbstatusUpdate_ = new FitLabel(QRect(40, 22, 830, 60), this);
    lbstatusUpdate_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    setRoleColor(lbstatusUpdate_, QPalette::WindowText, Qt::white);
    setFontPoints(lbstatusUpdate_, 18);
    progressBar_ = new XProgressView(QRect(40, 320, 700, 24), this);
    programGoBtn_ = new PanelButton(QString(), QRect(780, 312, 140, 40), this);
    setFontPoints(programGoBtn_, 12, true);
}

// The countdown, the notice and the manifest error line, at the frames the logic's set-up gives
// them; nothing lies under the countdown. The countdown spans the window's width, so that its
// 30-point text with the seconds fits, and its font shrinks only where it still would not.
void FirmwareUpdateWindow::createCodedLabels() {
    // Widened to the left as far as its right edge lies from the window's, so that it stays
    // centred.
    const QRect frame = fromBottom(253, 251, 700, 50);
    const int margin = kWidth - 1 - frame.right();
    bigNotingLabel_ = new TimerView(QRect(margin, frame.y(), kWidth - 2 * margin, frame.height()), this);
    bigNotingLabel_->LabelTitile()->setAlignment(Qt::AlignCenter);
    QFont bold = bigNotingLabel_->LabelTitile()->font();
    bold.setPointSize(30);
    bold.setBold(true);
    bigNotingLabel_->setLabelFont(bold);
    setRoleColor(bigNotingLabel_->LabelTitile(), QPalette::Text, QColor(255, 0, 0));
    noticeLabel_ = plainLabel(this, fromBottom(215, 83, 380, 45), 20);
    noticeLabel_->setHidden(true);
    // The error line keeps its origin and width; it is as high as its 17-point font's line,
    // which in most fonts is more than 23 pixels.
    errolLabel_ = plainLabel(this, QRect(), 17);
    const int errorHeight = std::max(23, QFontMetrics(errolLabel_->font()).height());
    errolLabel_->setGeometry(fromBottom(lbfMcu1_->x(), 26, 550, errorHeight));
    setRoleColor(errolLabel_, QPalette::Text, kOrange);
}

// The maker's web address as a link at the foot of the window, left of the manifest error line.
void FirmwareUpdateWindow::createProductUrl() {
    productUrlBtn_ = new PanelButton(QString(), QRect(34, 350, 206, 24), this, PanelButton::Look::Link);
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
    setFontPoints(button, 16);
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
    setLabelText(errolLabel_, QString::fromStdString(text));
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
