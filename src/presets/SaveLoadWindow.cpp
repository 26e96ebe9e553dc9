#include "presets/SaveLoadWindow.h"

#include "platform/Trace.h"
#include "ui/CRProgressIndicator.h"
#include "ui/ControlCategories.h"
#include "ui/PanelButton.h"
#include "ui/TextFit.h"
#include "ui/XoemTextField.h"

#include <QAbstractItemView>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QStandardItemModel>
#include <QStyledItemDelegate>
#include <QTableView>

#include <functional>

namespace {

constexpr int kWidth = 875;
constexpr int kHeight = 600;
constexpr int kRowHeight = 23;
constexpr int kColumnWidth = 890;
constexpr int kTextPoints = 10;
constexpr int kStatusPoints = 18;

// A frame given from the bottom-left corner of its holder, as a frame in Qt's top-left terms.
QRect fromBottomLeft(const QWidget* holder, int x, int y, int width, int height) {
    return QRect(x, holder->height() - y - height, width, height);
}

QPushButton* button(QWidget* parent, const char* title, QRect frame) {
    return new PanelButton(QString::fromUtf8(title), frame, parent);
}

QLabel* whiteCaption(QWidget* parent, const char* text, QRect frame) {
    auto* label = new QLabel(QString::fromUtf8(text), parent);
    label->setGeometry(frame);
    label->setStyleSheet(QStringLiteral("color: white;"));
    return label;
}

// A text field shown as a plain label.
QLineEdit* labelField(QWidget* parent, QRect frame) {
    auto* field = new QLineEdit(parent);
    field->setGeometry(frame);
    setAsLabel(field);
    field->setFocusPolicy(Qt::NoFocus);
    return field;
}

// The colour of a field's text (Text) or a label's (WindowText), enabled or not.
void setFieldColor(QWidget* field, const QColor& color, QPalette::ColorRole role = QPalette::Text) {
    QPalette palette = field->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) palette.setColor(group, role, color);
    field->setPalette(palette);
}

// A highlighted row or item in white on a blue dark enough for it (the desktop's light blue
// gives white text less than 4:1), whether or not the window is active.
void setReadableHighlight(QWidget* view) {
    QPalette palette = view->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive}) {
        palette.setColor(group, QPalette::Highlight, QColor(0x1d, 0x5f, 0xa3));
        palette.setColor(group, QPalette::HighlightedText, Qt::white);
    }
    view->setPalette(palette);
}

// Draws a line under each row and none between columns.
class HorizontalGridDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QStyledItemDelegate::paint(painter, option, index);
        painter->save();
        painter->setPen(option.palette.color(QPalette::Mid));
        painter->drawLine(option.rect.bottomLeft(), option.rect.bottomRight());
        painter->restore();
    }
};

}  // namespace

// The list: the user's presses and keys onto a row are reported as selections, the highlighted
// row included (a second press on it after a message selects it again); a press on empty space
// keeps the highlight; a double-click reports its row, -1 below the rows. The list is never left
// without a highlighted row: Ctrl with a press or Space selects the row instead of clearing it.
class SaveLoadWindow::PresetTable : public QTableView {
public:
    explicit PresetTable(QWidget* parent) : QTableView(parent) {}

    std::function<void(int)> onUserSelect;
    std::function<void(int)> onDoubleClick;

protected:
    QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index,
                                                         const QEvent* event) const override {
        if (!index.isValid()) return QItemSelectionModel::NoUpdate;
        // Without an event the selection comes from the program (a fill), not from the user.
        if (event && onUserSelect) onUserSelect(index.row());
        const auto command = QTableView::selectionCommand(index, event);
        // Load, delete and rename act on the row last selected: it must stay in view.
        if (command & (QItemSelectionModel::Deselect | QItemSelectionModel::Toggle))
            return QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows;
        return command;
    }

    void mouseDoubleClickEvent(QMouseEvent* event) override {
        const int row = indexAt(event->position().toPoint()).row();
        QTableView::mouseDoubleClickEvent(event);
        if (onDoubleClick) onDoubleClick(row);
    }
};

SaveLoadWindow::SaveLoadWindow(GCData& store, std::chrono::nanoseconds watchdogInterval, QWidget* parent)
    : QWidget(parent, Qt::Window), logic_(*this, store, watchdogInterval) {
    setWindowTitle("Presets");
    setFixedSize(kWidth, kHeight);
    setWindowModality(Qt::ApplicationModal);
    setFontPoints(this, kTextPoints);
    view_ = new QWidget(this);
    view_->setGeometry(0, 0, kWidth, kHeight);
    // Made in this order, which is also the order of the keyboard focus. Below the list, from the
    // top: the type selector and the backup pane side by side, the preset buttons, the progress
    // bar with the busy spinner and the lamp, and the status line, clear of the panel's slots.
    createList();
    createTypeSelector();
    createPresetButtons();
    createBackupPane();
    createStatusRow();
    alertPanel_ = new XmyAlertPanel(store, this);
    connectActions();
    // Without the preset library there is no list to show and nothing to delete.
    if (!store.program().presetLibrary) {
        tableContainer_->hide();
        deleteBtn_->hide();
    }
}

SaveLoadWindow::~SaveLoadWindow() = default;

QTableView* SaveLoadWindow::table() const { return table_; }

// The list of presets in its red-backed container, one column wider than the view.
void SaveLoadWindow::createList() {
    tableContainer_ = new QWidget(view_);
    tableContainer_->setGeometry(fromBottomLeft(view_, 20, 290, 835, 280));
    QPalette red = tableContainer_->palette();
    red.setColor(QPalette::Window, Qt::red);
    tableContainer_->setPalette(red);
    tableContainer_->setAutoFillBackground(true);

    myContentArray_ = new QStandardItemModel(0, 1, this);
    myContentArray_->setHorizontalHeaderLabels({QStringLiteral("PresetList")});
    table_ = new PresetTable(tableContainer_);
    table_->setGeometry(1, 1, 834, 280);
    table_->setModel(myContentArray_);
    table_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    table_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    table_->horizontalHeader()->hide();
    table_->verticalHeader()->hide();
    table_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table_->verticalHeader()->setDefaultSectionSize(kRowHeight);
    table_->horizontalHeader()->setStretchLastSection(false);
    table_->setColumnWidth(0, kColumnWidth);
    table_->setShowGrid(false);
    table_->setItemDelegate(new HorizontalGridDelegate(table_));
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    setReadableHighlight(table_);
}

// The five type cells (tags 0-4), the channel box and the bus box.
void SaveLoadWindow::createTypeSelector() {
    choseBox_ = new QGroupBox(QStringLiteral("Preset Type"), view_);
    choseBox_->setGeometry(20, 318, 410, 92);
    radioGroup_ = new QButtonGroup(this);
    radioGroup_->setExclusive(true);
    const struct {
        const char* title;
        QRect frame;
    } cells[] = {{"Scene", {12, 24, 76, 24}},
                 {"Dsp Channel", {90, 24, 116, 24}},
                 {"DFX 1", {208, 24, 64, 24}},
                 {"DFX 2", {274, 24, 64, 24}},
                 {"GEQ", {340, 24, 62, 24}}};
    int tag = 0;
    for (const auto& cell : cells) {
        auto* radio = new QRadioButton(QString::fromUtf8(cell.title), choseBox_);
        radio->setGeometry(cell.frame);
        radioGroup_->addButton(radio, tag++);
    }
    radioGroup_->button(0)->setChecked(true);

    whiteCaption(choseBox_, "Channel:", {12, 56, 64, 28});
    chbox_ = new QComboBox(choseBox_);
    chbox_->setGeometry(78, 56, 110, 28);
    whiteCaption(choseBox_, "Bus:", {212, 56, 40, 28});
    auxbox_ = new QComboBox(choseBox_);
    auxbox_->setGeometry(254, 56, 110, 28);
    // The open pop-up list is a window of its own that takes the style's menu colours, not the
    // box's: its list gets the readable highlight itself.
    for (QComboBox* box : {chbox_, auxbox_}) {
        setReadableHighlight(box);
        setReadableHighlight(box->view());
    }
}

void SaveLoadWindow::createPresetButtons() {
    loadBtn_ = button(view_, "Load to Computer", {20, 418, 160, 30});
    savebtn_ = button(view_, "Save to Mixer", {190, 418, 140, 30});
    deleteBtn_ = button(view_, "Delete", {340, 418, 100, 30});
    recallBtn_ = button(view_, "Recall", {450, 418, 100, 30});
}

// The backup and restore buttons, the direction labels, the percentage and the progress bar.
void SaveLoadWindow::createBackupPane() {
    statusBox_ = new QGroupBox(QStringLiteral("All Presets"), view_);
    statusBox_->setGeometry(440, 318, 415, 92);
    memImptBtn_ = button(statusBox_, "Backup", {12, 22, 112, 28});
    memExBtn_ = button(statusBox_, "Restore", {12, 56, 112, 28});
    fromLb_ = labelField(statusBox_, {140, 24, 110, 24});
    whiteCaption(statusBox_, "→", {252, 24, 20, 24});
    toLb_ = labelField(statusBox_, {276, 24, 110, 24});
    memStsLb_ = labelField(statusBox_, {140, 58, 260, 24});

    pbar_bkview_ = new QWidget(view_);
    pbar_bkview_->setGeometry(20, 456, 640, 30);
    progresBar_ = new CRProgressIndicator(fromBottomLeft(pbar_bkview_, 67, 5, 562, 20), pbar_bkview_);
    progresBar_->setMaxValue(kMemoryPacketCount);
}

// The busy spinner and the connection lamp beside the progress bar, and the status line below:
// two lines of its 18-point text, wrapped.
void SaveLoadWindow::createStatusRow() {
    indcator_ = new BusySpinner(view_);
    indcator_->setGeometry(700, 466, 100, 10);
    indcator_->setHidden(true);
    statusLCD_ = new XLCDView(QRect(830, 463, 16, 16), view_);
    statusField_ = new FitLabel(QRect(20, 492, 835, 62), view_);
    statusField_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    setFontPoints(statusField_, kStatusPoints);
}

// Each control to its action in the logic.
void SaveLoadWindow::connectActions() {
    table_->onUserSelect = [this](int row) { logic_.tableViewShouldSelectRow(row); };
    table_->onDoubleClick = [this](int row) { logic_.tablvieDoubleClick(row); };
    connect(radioGroup_, &QButtonGroup::idClicked, this, [this](int) { logic_.radioGroupCLick(); });
    connect(chbox_, &QComboBox::activated, this, [this](int) { logic_.selectPopupSelectClick(); });
    const std::pair<QPushButton*, void (SaveLoadView::*)()> actions[] = {
        {loadBtn_, &SaveLoadView::loadPresetClick},   {savebtn_, &SaveLoadView::saveBtnClick},
        {deleteBtn_, &SaveLoadView::deletePresetClick}, {recallBtn_, &SaveLoadView::RecallAllPreset},
        {memImptBtn_, &SaveLoadView::memImportClick},  {memExBtn_, &SaveLoadView::memExportClick}};
    for (const auto& [b, action] : actions)
        connect(b, &QPushButton::clicked, this, [this, action = action] { (logic_.*action)(); });
}

void SaveLoadWindow::awakeFromNib() { logic_.awakeFromNib(); }

// ---- SaveLoadControls -------------------------------------------------------------------------

void SaveLoadWindow::prepareControls() {
    loadBackGroundImage(view_, "body_off");
    const QColor white(Qt::white);
    for (QPushButton* b : {memImptBtn_, memExBtn_, loadBtn_, savebtn_, deleteBtn_}) setTextColor(b, white);
    for (QGroupBox* box : {choseBox_, statusBox_}) setTextColor(box, white);
    for (QLineEdit* label : {fromLb_, toLb_}) setFieldColor(label, white);
    setTexColor(radioGroup_, white);
}

QWidget* SaveLoadWindow::control(Control which) const {
    switch (which) {
    case Control::radioGroup: return nullptr;
    case Control::chbox: return chbox_;
    case Control::auxbox: return auxbox_;
    case Control::memImptBtn: return memImptBtn_;
    case Control::memExBtn: return memExBtn_;
    case Control::savebtn: return savebtn_;
    case Control::deleteBtn: return deleteBtn_;
    case Control::recallBtn: return recallBtn_;
    case Control::loadBtn: return loadBtn_;
    }
    return nullptr;
}

void SaveLoadWindow::setControlEnabled(Control which, bool enabled) {
    // The type selector is its five cells; the group box around them also holds the two boxes.
    if (which == Control::radioGroup) {
        for (QAbstractButton* cell : radioGroup_->buttons()) cell->setEnabled(enabled);
        return;
    }
    if (QWidget* w = control(which)) w->setEnabled(enabled);
}

void SaveLoadWindow::setStatusText(const std::string& text) { statusField_->setText(QString::fromStdString(text)); }

void SaveLoadWindow::setStatusColor(util::LampColor color) {
    setFieldColor(statusField_, XLCDView::toQColor(color), QPalette::WindowText);
}

void SaveLoadWindow::setMemoryStatusText(const std::string& text, util::LampColor color) {
    setFieldColor(memStsLb_, XLCDView::toQColor(color));
    setLabelText(memStsLb_, QString::fromStdString(text));
}

void SaveLoadWindow::setMemoryStatusHidden(bool hidden) { memStsLb_->setHidden(hidden); }

void SaveLoadWindow::setProgressValue(double value) { progresBar_->setDoubleValue(value); }

void SaveLoadWindow::setProgressAnimating(bool animating) {
    if (animating)
        progresBar_->startAnimation();
    else
        progresBar_->stopAnimation();
}

void SaveLoadWindow::setProgressHolderHidden(bool hidden) { pbar_bkview_->setHidden(hidden); }

void SaveLoadWindow::setDirectionLabels(const std::string& from, const std::string& to) {
    setLabelText(fromLb_, QString::fromStdString(from));
    setLabelText(toLb_, QString::fromStdString(to));
}

int SaveLoadWindow::selectedTag() const { return radioGroup_->checkedId(); }

void SaveLoadWindow::fillBox(Control which, const std::vector<std::string>& items) {
    QComboBox* box = which == Control::chbox ? chbox_ : which == Control::auxbox ? auxbox_ : nullptr;
    if (!box) return;
    box->clear();
    for (const auto& item : items) box->addItem(QString::fromStdString(item));
    box->setCurrentIndex(0);
}

int SaveLoadWindow::boxIndex(Control which) const {
    const QComboBox* box = which == Control::chbox ? chbox_ : which == Control::auxbox ? auxbox_ : nullptr;
    return box ? box->currentIndex() : -1;
}

void SaveLoadWindow::clearRows() { myContentArray_->removeRows(0, myContentArray_->rowCount()); }

void SaveLoadWindow::addRow(const std::string& label) {
    auto* item = new QStandardItem(QString::fromStdString(label));
    item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    myContentArray_->appendRow(item);
    // The list highlights each row it takes in. Selected on the selection model, so the user's
    // selection (citemindex) is not touched, and not made current, which would scroll the list
    // to its end when the window is shown.
    table_->selectionModel()->select(item->index(), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void SaveLoadWindow::removeRow(int row) { myContentArray_->removeRow(row); }

int SaveLoadWindow::rowCount() const { return myContentArray_->rowCount(); }

void SaveLoadWindow::scrollToTop() { table_->scrollToTop(); }

// ---- The window -------------------------------------------------------------------------------

void SaveLoadWindow::makeKeyWindow() {
    showInFront(this);
}

void SaveLoadWindow::closeWindow() {
    if (isVisible()) close();
}

void SaveLoadWindow::closeEvent(QCloseEvent* event) {
    logic_.windowWillClose();
    event->accept();
}
