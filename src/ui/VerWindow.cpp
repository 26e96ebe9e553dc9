#include "ui/VerWindow.h"

#include "platform/qt/DialogPlacement.h"
#include "ui/ControlCategories.h"
#include "ui/PanelButton.h"
#include "ui/TextFit.h"

#include <QCloseEvent>
#include <QPushButton>

namespace {

constexpr int kWidth = 460;
constexpr int kHeight = 240;

// A label one line high: the manifest's texts may be of any length, and one too long for the
// line ends with an ellipsis instead of being cut inside a letter.
QLabel* makeLabel(QWidget* parent, const QRect& frame, int pointSize, bool bold) {
    auto* label = new FitLabel(frame, parent);
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    setFontPoints(label, pointSize, bold);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, Qt::white);
    label->setPalette(palette);
    return label;
}

}  // namespace

VerWindow::VerWindow(QWidget* parent) : QWidget(parent, Qt::Dialog) {
    setWindowTitle("About");
    setFixedSize(kWidth, kHeight);
    setWindowModality(Qt::ApplicationModal);

    backView_ = new QWidget(this);
    backView_->setGeometry(0, 0, kWidth, kHeight);

    name_ = makeLabel(backView_, QRect(32, 40, kWidth - 64, 34), 18, true);
    version_ = makeLabel(backView_, QRect(32, 84, kWidth - 64, 26), 12, false);
    company_ = makeLabel(backView_, QRect(32, 116, kWidth - 64, 26), 12, false);
    url_ = new PanelButton(QString(), QRect(26, 160, kWidth - 52, 30), backView_, PanelButton::Look::Link);
    setFontPoints(url_, 12);
    url_->setFocusPolicy(Qt::NoFocus);

    awakeFromNib();
}

VerWindow::~VerWindow() = default;

void VerWindow::awakeFromNib() { loadBackGroundImage(backView_, "body_off"); }

void VerWindow::makeKeyWindow() {
    platform::placeOver(this, parentWidget());
    showInFront(this);
}

void VerWindow::closeWindow() {
    if (isVisible()) close();
}

void VerWindow::closeEvent(QCloseEvent* event) {
    if (windowWillClose_)
        windowWillClose_();
    else
        platform::UiServices::shared().stopModal(-60006);
    event->accept();
}
