#pragma once
// The main window of both programs: the found device, the Connect and refresh buttons, the
// connection lamp, the busy label and spinner, the page buttons and the about button over the
// panel picture. It owns the device link (StartMainView) and is the link's view of the controls.

#include "link/StartMainView.h"
#include "ui/AppDelegate.h"
#include "ui/DirazuzeControl.h"

#include <QWidget>

#include <memory>

class BusySpinner;
class QLabel;
class QPushButton;
class VerWindow;
class XLCDView;

class StartMainWindow : public QWidget, public MainWindowView {
public:
    StartMainWindow(GCData& store, XCoreData& core, LinkSettings settings = {}, QWidget* parent = nullptr);
    ~StartMainWindow() override;

    // Start-up of the link and the window's controls; needs the main executor.
    void awakeFromNib();
    // The Preset and Firmware buttons (tags 1 and 2) open their windows through the window
    // switcher (the Firmware button is hidden in a program without the firmware page); each is
    // enabled only while its window is registered. Called on construction and by
    // awakeFromNib; the code that registers or unregisters a window calls it as well.
    void updatePageButtons();
    DirazuzeControl& pageControl() { return pageControl_; }
    StartMainView& link() { return *link_; }

    // The controls.
    QLabel* deviceField() const { return deviceLabel_; }
    QPushButton* connectBtn() const { return connectBtn_; }
    QPushButton* refleshBtn() const { return refleshBtn_; }
    QPushButton* enterSaveLoadBtn() const { return enterSaveLoadBtn_; }
    QPushButton* enterUpdateBtn() const { return enterUpdateBtn_; }
    QPushButton* aboutBtn() const { return aboutBtn_; }
    XLCDView* connectLamp() const { return connectLCD_; }
    QLabel* lbsync() const { return lbsync_; }
    QWidget* spinner() const;
    QWidget* backView() const { return backView_; }
    // The about window, made on its first use.
    VerWindow* aboutWindow();

    // MainWindowView.
    void prepareControls() override;
    util::StatusLamp* connectLCD() override;
    void setConnectTitle(const std::string& title) override;
    void setConnectEnabled(bool enabled) override;
    void setRefreshEnabled(bool enabled) override;
    std::string deviceLabel() const override;
    void setDeviceLabel(const std::string& text) override;
    void setBusyLabelHidden(bool hidden) override;
    platform::Spinner* pbar() override;
    void setAboutTexts(const std::string& name, const std::string& version, const std::string& company,
                       const std::string& url) override;
    platform::ModalWindow* verWindow() override;
    void bringToFront() override;

private:
    // The parts of the window, made by the constructor in this order.
    void createDeviceRow();
    void createPageButtons();
    void createAboutButton();
    void createBusyDisplay();
    void connectActions();

    std::unique_ptr<StartMainView> link_;
    DirazuzeControl pageControl_;
    QWidget* backView_ = nullptr;
    QLabel* deviceLabel_ = nullptr;
    QPushButton* connectBtn_ = nullptr;
    QPushButton* refleshBtn_ = nullptr;
    QPushButton* enterSaveLoadBtn_ = nullptr;
    QPushButton* enterUpdateBtn_ = nullptr;
    QPushButton* aboutBtn_ = nullptr;
    XLCDView* connectLCD_ = nullptr;
    QLabel* lbsync_ = nullptr;
    BusySpinner* pbar_ = nullptr;
    VerWindow* verWindow_ = nullptr;
};

// Has the firmware store read the manifest (nine keys) and returns its version entries 0-8.
AppDelegate::ManifestEntries readManifestEntries(XCoreData& core);
