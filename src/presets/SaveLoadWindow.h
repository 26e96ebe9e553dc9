#pragma once
// The preset window: the preset list of the chosen type, the type selector and the channel and
// bus boxes, the load, save, delete and recall buttons, the backup pane with its direction
// labels, percentage and progress bar, the status line, the busy spinner and the connection lamp,
// over the panel picture; in a program without the preset library, without the list and the
// delete button. Its logic is SaveLoadView; this class only draws and forwards the user's
// actions. The window switcher runs it modally.

#include "presets/SaveLoadView.h"
#include "presets/XmyAlertPanel.h"
#include "ui/BusySpinner.h"
#include "ui/XLCDView.h"

#include <QWidget>

#include <chrono>

class CRProgressIndicator;
class QButtonGroup;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QStandardItemModel;
class QTableView;

class SaveLoadWindow : public QWidget, public SaveLoadControls, public platform::ModalWindow {
public:
    explicit SaveLoadWindow(GCData& store = GCData::shareGCData(),
                            std::chrono::nanoseconds watchdogInterval = std::chrono::seconds(40),
                            QWidget* parent = nullptr);
    ~SaveLoadWindow() override;

    // Registers the window (saveLoadView) and builds its state; needs the main executor.
    void awakeFromNib();
    SaveLoadView& logic() { return logic_; }

    // The controls.
    QWidget* view() const { return view_; }
    QWidget* tableContainer() const { return tableContainer_; }
    QTableView* table() const;
    QStandardItemModel* myContentArray() const { return myContentArray_; }
    QButtonGroup* radioGroup() const { return radioGroup_; }
    QComboBox* chbox() const { return chbox_; }
    QComboBox* auxbox() const { return auxbox_; }
    QPushButton* loadBtn() const { return loadBtn_; }
    QPushButton* savebtn() const { return savebtn_; }
    QPushButton* deleteBtn() const { return deleteBtn_; }
    QPushButton* recallBtn() const { return recallBtn_; }
    QPushButton* memImptBtn() const { return memImptBtn_; }
    QPushButton* memExBtn() const { return memExBtn_; }
    QGroupBox* choseBox() const { return choseBox_; }
    QGroupBox* statusBox() const { return statusBox_; }
    QLabel* statusField() const { return statusField_; }
    QLineEdit* memStsLb() const { return memStsLb_; }
    QLineEdit* fromLb() const { return fromLb_; }
    QLineEdit* toLb() const { return toLb_; }
    QWidget* pbar_bkview() const { return pbar_bkview_; }
    CRProgressIndicator* progresBar() const { return progresBar_; }
    // The connection lamp, the busy spinner and the name panel.
    XLCDView* statusLCD() override { return statusLCD_; }
    BusySpinner* indcator() override { return indcator_; }
    XmyAlertPanel& alertPanel() override { return *alertPanel_; }

    // SaveLoadControls.
    void prepareControls() override;
    void setControlEnabled(Control control, bool enabled) override;
    void setStatusText(const std::string& text) override;
    void setStatusColor(util::LampColor color) override;
    void setMemoryStatusText(const std::string& text, util::LampColor color) override;
    void setMemoryStatusHidden(bool hidden) override;
    void setProgressValue(double value) override;
    void setProgressAnimating(bool animating) override;
    void setProgressHolderHidden(bool hidden) override;
    void setDirectionLabels(const std::string& from, const std::string& to) override;
    int selectedTag() const override;
    void fillBox(Control box, const std::vector<std::string>& items) override;
    int boxIndex(Control box) const override;
    void clearRows() override;
    void addRow(const std::string& label) override;
    void removeRow(int row) override;
    int rowCount() const override;
    void scrollToTop() override;
    platform::ModalWindow& modalWindow() override { return *this; }

    // ModalWindow: shown in front and active; closed when still shown.
    void makeKeyWindow() override;
    void closeWindow() override;

protected:
    // Closing the window ends the modal run that shows it.
    void closeEvent(QCloseEvent* event) override;

private:
    class PresetTable;

    // The parts of the window, made by the constructor in this order.
    void createList();
    void createTypeSelector();
    void createPresetButtons();
    void createBackupPane();
    void createStatusRow();
    void connectActions();
    QWidget* control(Control which) const;

    SaveLoadView logic_;
    QWidget* view_ = nullptr;
    QWidget* tableContainer_ = nullptr;
    PresetTable* table_ = nullptr;
    QStandardItemModel* myContentArray_ = nullptr;
    QGroupBox* choseBox_ = nullptr;
    QButtonGroup* radioGroup_ = nullptr;
    QComboBox* chbox_ = nullptr;
    QComboBox* auxbox_ = nullptr;
    QPushButton* loadBtn_ = nullptr;
    QPushButton* savebtn_ = nullptr;
    QPushButton* deleteBtn_ = nullptr;
    QPushButton* recallBtn_ = nullptr;
    QGroupBox* statusBox_ = nullptr;
    QPushButton* memImptBtn_ = nullptr;
    QPushButton* memExBtn_ = nullptr;
    QLineEdit* fromLb_ = nullptr;
    QLineEdit* toLb_ = nullptr;
    QLineEdit* memStsLb_ = nullptr;
    QWidget* pbar_bkview_ = nullptr;
    CRProgressIndicator* progresBar_ = nullptr;
    QLabel* statusField_ = nullptr;
    BusySpinner* indcator_ = nullptr;
    XLCDView* statusLCD_ = nullptr;
    XmyAlertPanel* alertPanel_ = nullptr;
};
