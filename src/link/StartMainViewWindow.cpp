// The main window's start-up, its connection state, the busy display, the link check, the about
// window and the warning alert; and the callback objects through which the sockets and the serial
// port report to the main window.

#include "link/StartMainView.h"

#include "net/AsyncTcpSocket.h"
#include "net/AsyncUdpSocket.h"
#include "platform/MainExecutor.h"
#include "platform/Trace.h"
#include "platform/dispatch/Dispatch.h"
#include "serial/SerialPort.h"
#include "util/Duziz.h"
#include "util/PresetWindow.h"

// The sockets hold their delegates weakly and the port strongly; each callback object forwards to
// the main window while it lives and drops reports that arrive after it is gone.
struct StartMainView::TcpCallbacks : AsyncTcpSocketDelegate {
    StartMainView* owner = nullptr;
    unsigned capabilities() const override {
        return kSocketDidConnectToHostPort | kSocketDidReadDataWithTag | kSocketDidDisconnectWithError;
    }
    void socketDidConnectToHostPort(const SocketPtr& sock, const std::string& host, uint16_t port) override {
        if (owner) owner->socketDidConnectToHostPort(sock, host, port);
    }
    void socketDidReadDataWithTag(const SocketPtr& sock, const platform::Bytes& data, long tag) override {
        if (owner) owner->socketDidReadDataWithTag(sock, data, tag);
    }
    void socketDidDisconnectWithError(const SocketPtr& sock, const platform::Error* err) override {
        if (owner) owner->socketDidDisconnectWithError(sock, err);
    }
};

struct StartMainView::UdpCallbacks : AsyncUdpSocketDelegate {
    StartMainView* owner = nullptr;
    unsigned capabilities() const override { return kDidReceiveDataFromAddressWithFilterContext; }
    void udpSocketDidReceiveDataFromAddressWithFilterContext(const SocketPtr& sock, const platform::Bytes& data,
                                                             const platform::Bytes& address,
                                                             const std::any& context) override {
        if (owner) owner->udpSocketDidReceiveDataFromAddressWithFilterContext(sock, data, address, context);
    }
};

struct StartMainView::SerialCallbacks : SerialPortDelegate {
    StartMainView* owner = nullptr;
    bool respondsToSerialPortReadData() const override { return true; }
    void serialPortReadData(const SerialPortReadData& info) override {
        if (owner) owner->serialPortReadData(info);
    }
};

std::shared_ptr<AsyncTcpSocket> StartMainView::makeTcpSocket() {
    if (!tcpCallbacks_) {
        tcpCallbacks_ = std::make_shared<TcpCallbacks>();
        tcpCallbacks_->owner = this;
    }
    std::weak_ptr<AsyncTcpSocketDelegate> delegate = tcpCallbacks_;
    return AsyncTcpSocket::initWithDelegateDelegateQueue(delegate, platform::dispatch::Queue::main());
}

std::shared_ptr<AsyncUdpSocket> StartMainView::makeUdpSocket() {
    if (!udpCallbacks_) {
        udpCallbacks_ = std::make_shared<UdpCallbacks>();
        udpCallbacks_->owner = this;
    }
    std::weak_ptr<AsyncUdpSocketDelegate> delegate = udpCallbacks_;
    return AsyncUdpSocket::initWithDelegateDelegateQueue(delegate, platform::dispatch::Queue::main());
}

std::shared_ptr<SerialPortDelegate> StartMainView::serialDelegate() {
    if (!serialCallbacks_) {
        serialCallbacks_ = std::make_shared<SerialCallbacks>();
        serialCallbacks_->owner = this;
    }
    return serialCallbacks_;
}

void StartMainView::shutDownLinks() {
    if (tcpCallbacks_) tcpCallbacks_->owner = nullptr;
    if (udpCallbacks_) udpCallbacks_->owner = nullptr;
    if (serialCallbacks_) serialCallbacks_->owner = nullptr;
    searchTimer_.reset();
    m_timer.reset();
    portsObserver_ = {};
    for (auto* tcp : {&tcpCilent_, &verifyTcpSocket_})
        if (*tcp) (*tcp)->disconnect();
    for (auto* udp : {&wlanRevSock_, &m_sockHFAl_, &hIP210RevSock_})
        if (*udp) (*udp)->close();
    if (comport_) {
        // Without a delegate the read thread that the close wakes reports nothing.
        comport_->setDelegate(nullptr);
        comport_->stopReadInBackground();
        freePort(comport_);
        comport_.reset();
    }
}

// ---- Start-up --------------------------------------------------------------------------------

void StartMainView::awakeFromNib() {
    nc = 0;
    XCoreData::shareData();
    platform::trace("load begin  in strartmain view control");
    mainVctl = this;
    isSerialComportOpen_ = false;
    isNetworkOpen_ = false;
    if (view_) {
        view_->prepareControls();
        GCData::resetLCD(view_->connectLCD());
    }
    // The link check also runs while a modal window is up.
    m_timer = std::make_unique<platform::PausableTimer>(
        platform::MainExecutor::current(), settings_.checkInterval, [this] { setAnimate(); },
        platform::PausableTimer::Mode::Common, true);
    setTimerInvalid();
    cxhPort();
    ipList.clear();
    searchIPList.clear();
    initTCPSocket();
    createTimer_Ready_searchDevice();
    ClearBuffer();
    isFounded = 0;
    deviceList.clear();
    platform::trace("load finish  in strartmain view control");
    setnupMenu();
}

// ---- Busy display and link check -------------------------------------------------------------

void StartMainView::setBar(bool busy) {
    if (view_) {
        view_->setBusyLabelHidden(!busy);
        Duziz::setSpinBarStatus(busy, view_->pbar());
    }
    if (busy)
        setTimeBegin();
    else
        setTimerInvalid();
}

void StartMainView::setTimeBegin() {
    nc = 0;
    Duziz::timerBegin(m_timer.get());
}

void StartMainView::setTimerInvalid() {
    Duziz::timerStop(m_timer.get());
    nc = 0;
}

void StartMainView::setAnimate() {
    if (nc % 2 == 0) {
        sendCMD_CheckDevice();
    } else if (isRealConnect() && !isOnLine_) {
        ++tcoffline;
        platform::trace("tcoffline count number is :%d", tcoffline);
        if (tcoffline >= 2) {
            tcoffline = 0;
            nc = 0;
            platform::trace("detect device is ofline .....");
        }
    }
    ++nc;
    platform::trace("timer loop now............nc value :. %d.. %d", nc, isOnLine_ ? 1 : 0);
}

// ---- Alerts, about window, closing -----------------------------------------------------------

void StartMainView::PopMessage(const std::string& message) {
    platform::UiServices::shared().alert("Warning!", message, {"OK"});
}

void StartMainView::updateVerAboutForm() {
    if (!view_) return;
    auto entry = [this](size_t index) { return core_.firmware_ver[index].value_or(std::string()); };
    view_->setAboutTexts(entry(4), entry(5), entry(6), entry(7));
}

void StartMainView::AboutVersionClick() {
    updateVerAboutForm();
    if (view_ && view_->verWindow()) Duziz::showModal(*view_->verWindow());
}

void StartMainView::reopenClick() {
    if (view_) view_->bringToFront();
}

void StartMainView::windowWillClose() {
    // Whichever window closes, the preset window's controls are enabled again, unless a backup
    // or restore still runs: its own end unlocks them.
    if (saveLoadView && !saveLoadView->memoryTransferUnderWay()) saveLoadView->LockGUI(true);
    platform::UiServices::shared().stopModal(-60006);
}

// ---- Connection state ------------------------------------------------------------------------

bool StartMainView::linkUp() const {
    if (tcpCilent_ && tcpCilent_->isConnected()) return true;
    // An open adapter counts only once it has answered and carries the link: one that never
    // answered (another device, or the mixer switched off) would otherwise keep a failed or
    // dropped network link showing as up.
    return serialClaimed_ && comport_ && comport_->isOpen();
}
