#pragma once
// The about window: the product's name, version, company and web address over the panel
// picture "body_off". The main window fills the texts before it runs the window modally.

#include "platform/UiServices.h"

#include <QWidget>
#include <functional>

class QLabel;
class QPushButton;

class VerWindow : public QWidget, public platform::ModalWindow {
public:
    explicit VerWindow(QWidget* parent = nullptr);
    ~VerWindow() override;

    // The view that carries the background picture; it covers the whole window.
    QWidget* backView() const { return backView_; }
    void setBackView(QWidget* view) { backView_ = view; }

    // The about texts: labels of one line each, which end a text too long for it with an
    // ellipsis, and the web address as a link, elided the same way.
    QLabel* lb_Product_name() const { return name_; }
    QLabel* lb_Product_version() const { return version_; }
    QLabel* lb_Product_company() const { return company_; }
    QPushButton* lb_Product_URL() const { return url_; }

    // Told when the window is about to close; it must end the modal run that shows the window.
    // Until one is set, closing ends the current modal run with the code -60006.
    void setWindowWillClose(std::function<void()> handler) { windowWillClose_ = std::move(handler); }

    // Shows the window in front, centred on the window it belongs to, and makes it the active
    // window.
    void makeKeyWindow() override;
    // Closes the window when it is still shown.
    void closeWindow() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // Lays the background picture under the window's texts.
    void awakeFromNib();

    QWidget* backView_ = nullptr;
    QLabel* name_ = nullptr;
    QLabel* version_ = nullptr;
    QLabel* company_ = nullptr;
    QPushButton* url_ = nullptr;
    std::function<void()> windowWillClose_;
};
