#include "presets/XmyAlertPanel.h"

#include "platform/qt/DialogPlacement.h"
#include "ui/ControlCategories.h"
#include "ui/PanelButton.h"
#include "ui/XoemTextField.h"

#include <QCloseEvent>
#include <QLineEdit>
#include <QPushButton>

namespace {
constexpr int kWidth = 360;
constexpr int kHeight = 150;
}  // namespace

XmyAlertPanel::XmyAlertPanel(GCData& store, QWidget* parent) : QWidget(parent, Qt::Dialog), PresetNamePanel(store) {
    setWindowTitle("Preset Name");
    setFixedSize(kWidth, kHeight);
    setWindowModality(Qt::ApplicationModal);
    setFontPoints(this, 10);
    // The panel picture of the other windows, with the title in white over it.
    loadBackGroundImage(this, "body_off");
    lbTitle_ = new QLineEdit(QStringLiteral("Enter a new name for the preset:"), this);
    lbTitle_->setGeometry(20, 16, kWidth - 40, 24);
    lbTitle_->setFocusPolicy(Qt::NoFocus);
    QPalette white = lbTitle_->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive}) white.setColor(group, QPalette::Text, Qt::white);
    lbTitle_->setPalette(white);
    inputEd_ = new QLineEdit(this);
    inputEd_->setGeometry(20, 50, kWidth - 40, 28);
    secondBtn_ = new PanelButton(QStringLiteral("Cancel"), QRect(kWidth - 210, 96, 90, 30), this);
    firstBtn_ = new PanelButton(QStringLiteral("OK"), QRect(kWidth - 110, 96, 90, 30), this);
    // Enter belongs to the name field alone: a default button would take the same key twice.
    for (QPushButton* b : {firstBtn_, secondBtn_}) b->setAutoDefault(false);
    awakeFromNib();
}

void XmyAlertPanel::awakeFromNib() {
    inputEd_->clear();
    connect(inputEd_, &QLineEdit::returnPressed, this, [this] { fieldKeyDown(); });
    connect(firstBtn_, &QPushButton::clicked, this, [this] { btnOKConfirmClick(); });
    connect(secondBtn_, &QPushButton::clicked, this, [this] { btnCancelClick(); });
    setAsLabel(lbTitle_);
    setAsEdit(inputEd_);
    len_word_max = 16;
    inputEd_->setFocus();
    presetindex = 0;
    smodeindex = 0;
    chindex = 0;
}

void XmyAlertPanel::setAlertTitile(const std::string& title) { lbTitle_->setText(QString::fromStdString(title)); }

std::string XmyAlertPanel::inputText() const { return inputEd_->text().toStdString(); }

void XmyAlertPanel::clearInputEd() { inputEd_->clear(); }

void XmyAlertPanel::orderOut() { hide(); }

void XmyAlertPanel::makeKeyWindow() {
    platform::placeOver(this, parentWidget());
    showInFront(this);
    inputEd_->setFocus();
}

void XmyAlertPanel::closeWindow() { hide(); }

void XmyAlertPanel::closeEvent(QCloseEvent* event) {
    // Only a shown panel runs modally; closing a hidden one ends nobody's run.
    if (isVisible()) btnCancelClick();
    event->accept();
}
