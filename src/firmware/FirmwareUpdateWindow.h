#pragma once
// Varnel Utility's firmware update window: a row per board (its name, the version of the shipped
// image, its lamp), the connection lamp, the progress bar, the status line, the Program button,
// the maker's web address and, made by the logic, the reboot countdown, the notice and the
// manifest error line, over the panel picture. It owns the window's logic (CFirmwareUpdate) and
// is the logic's view of the controls.

#include "firmware/CFirmwareUpdate.h"

#include <QWidget>

#include <memory>

class QAbstractButton;
class QColor;
class QLabel;
class QLineEdit;
class QPushButton;
class TimerView;
class XLCDView;
class XProgressView;

class FirmwareUpdateWindow : public QWidget, public FirmwareUpdateView, public platform::ModalWindow {
public:
    explicit FirmwareUpdateWindow(GCData& store = GCData::shareGCData(), XCoreData& core = XCoreData::shareData(),
                                  QWidget* parent = nullptr);
    ~FirmwareUpdateWindow() override;

    // The logic's set-up: registers the window in fmUpdateVctl, reads the images and the
    // versions. Needs the main executor (the countdown's timer).
    void awakeFromNib();
    CFirmwareUpdate& logic() { return *logic_; }

    // The controls.
    QLabel* versionLabel(VersionLabel which) const;
    XLCDView* lampView(Lamp which) const;
    QLabel* lbstatusUpdate() const { return lbstatusUpdate_; }
    QPushButton* programGoBtn() const { return programGoBtn_; }
    QPushButton* productUrlBtn() const { return productUrlBtn_; }
    XProgressView* progressBar() const { return progressBar_; }
    TimerView* bigNotingLabel() const { return bigNotingLabel_; }
    QLineEdit* noticeLabel() const { return noticeLabel_; }
    QLineEdit* errolLabel() const { return errolLabel_; }

    // A button's title in a colour, left-aligned, in the 16-point system font.
    static void setButtonTitleForToStringWithColor(QAbstractButton* button, const QString& title, const QColor& color);

    // FirmwareUpdateView.
    void loadBackGround() override;
    void setNoticeHidden(bool hidden) override;
    void setProgramTitle(const std::string& title) override;
    void setProgramEnabled(bool enabled) override;
    void prepareCountdown(const std::string& title, int seconds, std::function<void()> done) override;
    void startCountdown() override;
    void setErrorText(const std::string& text) override;
    void setProductUrl(const std::string& url) override;
    void setVersionText(VersionLabel label, const std::string& text) override;
    void setStatusText(const std::string& text) override;
    void setStatusColor(TextColor color) override;
    void setStatusHidden(bool hidden) override;
    void resetProgressBar() override;
    void setProgressMax(int fullScale) override;
    int progressMax() const override;
    void setProgress(int position) override;
    util::StatusLamp* lamp(Lamp which) override;
    platform::ModalWindow& modalWindow() override { return *this; }
    void orderOut() override;

    // ModalWindow.
    void makeKeyWindow() override;
    void closeWindow() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // The parts of the window, made by the constructor in this order.
    void createBoardRows();
    void createConnectionLamp();
    void createProgressRow();
    void createCodedLabels();
    void createProductUrl();
    void connectActions();

    std::unique_ptr<CFirmwareUpdate> logic_;
    QLabel* lbfMcu1_ = nullptr;
    QLabel* lbfMcu2_ = nullptr;
    QLabel* lbfDsp1_ = nullptr;
    QLabel* lbfDsp2_ = nullptr;
    XLCDView* statusLCD_ = nullptr;
    XLCDView* mcuLCD1_ = nullptr;
    XLCDView* mcuLCD2_ = nullptr;
    XLCDView* dspLCD1_ = nullptr;
    XLCDView* dspLCD2_ = nullptr;
    QLabel* lbstatusUpdate_ = nullptr;
    QPushButton* programGoBtn_ = nullptr;
    QPushButton* productUrlBtn_ = nullptr;
    XProgressView* progressBar_ = nullptr;
    TimerView* bigNotingLabel_ = nullptr;
    QLineEdit* noticeLabel_ = nullptr;
    QLineEdit* errolLabel_ = nullptr;
};
