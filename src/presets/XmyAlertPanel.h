#pragma once
// The preset-name panel over the panel picture: a title, a name field, OK and Cancel. Its buttons
// and the Enter key run the plain steps of PresetNamePanel; the preset window shows it
// application-modal and closes it when its modal run ends.

#include "presets/PresetNamePanel.h"

#include <QWidget>

class QLineEdit;
class QPushButton;

class XmyAlertPanel : public QWidget, public PresetNamePanel {
public:
    explicit XmyAlertPanel(GCData& store, QWidget* parent = nullptr);

    QPushButton* firstBtn() const { return firstBtn_; }
    QPushButton* secondBtn() const { return secondBtn_; }
    QLineEdit* inputEd() const { return inputEd_; }
    QLineEdit* lbTitle() const { return lbTitle_; }
    void setAlertTitile(const std::string& title);

    // PresetNamePanel.
    std::string inputText() const override;
    void clearInputEd() override;
    void orderOut() override;
    // Shown in front, centred on the preset window, with the name field ready for typing; hidden
    // without a close, which would end a modal run once more.
    void makeKeyWindow() override;
    void closeWindow() override;

protected:
    // Closing the panel from its title bar cancels, so that its modal run ends.
    void closeEvent(QCloseEvent* event) override;

private:
    void awakeFromNib();

    QLineEdit* lbTitle_ = nullptr;
    QLineEdit* inputEd_ = nullptr;
    QPushButton* firstBtn_ = nullptr;
    QPushButton* secondBtn_ = nullptr;
};
