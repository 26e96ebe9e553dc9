// The TCP link: the socket to the mixer, the Connect button and the socket's reports.

#include "link/StartMainView.h"

#include "net/AsyncTcpSocket.h"
#include "platform/Trace.h"
#include "serial/SerialPort.h"
#include "util/Duziz.h"
#include "util/Userprofile.h"

namespace {
constexpr const char* kConnectTitle = "Connect";
constexpr const char* kDisconnectTitle = "Disconnect";
}  // namespace

void StartMainView::initTCPSocket() {
    if (!tcpCilent_) tcpCilent_ = makeTcpSocket();
}

void StartMainView::switchLighted() {
    nc = 0;
    platform::trace("switch lighted now......");

    if (connectType_ == kConnectTypeSerial) {
        // Only decides whether frames may be sent; the port stays as it is.
        if (!gc_.isconnected) return;
        setLinkSwitch(kConnectTypeSerial, !isSerialComportOpen_);
        return;
    }

    if (connectType_ == kConnectTypeTcp && connectPending()) {
        // The connect has no time-out: to an unreachable address it is pending for minutes of the
        // kernel's retries. The press ends it at once; the device field and list stay, so the
        // next press connects to the same address. The socket's own report posts 263.
        tcpCilent_->disconnect();
        setLinkSwitch(kConnectTypeTcp, false);
        return;
    }
    if (connectType_ == kConnectTypeTcp && deviceList.empty()) {
        PopMessage("No Device,you should connect to the device first~!");
        return;
    }
    netPost = true;
    begin_verifyDevice_withSearchIP = false;
    if (verifyTcpSocket_ && verifyTcpSocket_->isConnected()) verifyTcpSocket_->disconnect();
    sleeper_->sleep(2.0);
    const std::string address = trimmed(view_ ? view_->deviceLabel() : std::string());

    if (!gc_.isconnected && connectType_ == kConnectTypeTcp) {
        if (tcpCilent_) tcpCilent_->connectToHostOnPortError(address, settings_.tcpPort, nullptr);
        setLinkSwitch(kConnectTypeTcp, true);
        return;
    }
    if (gc_.isconnected && connectType_ == kConnectTypeTcp) {
        if (tcpCilent_) tcpCilent_->disconnect();
        ResetAllDevices();
        setBar(false);
        setLinkSwitch(kConnectTypeTcp, false);
    }
}

void StartMainView::setLinkSwitch(int32_t transport, bool on) {
    (transport == kConnectTypeSerial ? isSerialComportOpen_ : isNetworkOpen_) = on;
    if (!view_) return;
    if (util::StatusLamp* lamp = view_->connectLCD()) lamp->setIsLighted(on);
    view_->setConnectTitle(on ? kDisconnectTitle : kConnectTitle);
    view_->setRefreshEnabled(!on);
}

bool StartMainView::connectPending() const {
    // Requested by the button and not yet reported up; the socket has not given up either.
    return isNetworkOpen_ && !gc_.isconnected && tcpCilent_ && !tcpCilent_->isDisconnected();
}

void StartMainView::socketDidConnectToHostPort(const std::shared_ptr<AsyncTcpSocket>& sock, const std::string& host,
                                               uint16_t port) {
    platform::trace("connected to %s port %u", host.c_str(), static_cast<unsigned>(port));
    if (sock && sock == tcpCilent_) {
        // An attempt the button ended already is no link.
        if (!isNetworkOpen_) return;
        // A partial frame the adapter left during the search would swallow the first replies.
        ClearBuffer();
    }
    gc_.isconnected = linkUp();
    if (view_) {
        view_->setConnectTitle(kDisconnectTitle);
        view_->setConnectEnabled(true);
    }
    sendCMD_ReadPresetList(0);
    // The Connect button's own request would leave before the link is up (or after it is
    // down): the version is asked for here, where the link has just come up.
    if (gc_.program().mcuVersion) sendCMD_ReadMCUVersion();
    if (tcpCilent_) tcpCilent_->readDataWithTimeoutTag(-1, 0);
}

void StartMainView::socketDidReadDataWithTag(const std::shared_ptr<AsyncTcpSocket>&, const platform::Bytes& data,
                                             long) {
    parseData(data);
    if (tcpCilent_) tcpCilent_->readDataWithTimeoutTag(-1, 0);
}

void StartMainView::socketDidDisconnectWithError(const std::shared_ptr<AsyncTcpSocket>& sock,
                                                 const platform::Error*) {
    // Only the link socket's end concerns the link; the probe socket's does not, and a serial
    // link that carries the frames stays up.
    if (!sock || sock != tcpCilent_) return;
    gc_.isconnected = linkUp();
    if (gc_.isconnected) return;
    Duziz::sendMsg(MSG_DISCONNECTED, 0, kMessageBusName);
    // The controls show the link as it is: down, ready to connect again.
    setLinkSwitch(kConnectTypeTcp, false);
}

// ---- The transport over the own socket and port ------------------------------------------------

void StartMainView::writeTcp(const uint8_t* bytes, size_t length) {
    if (tcpCilent_) tcpCilent_->writeDataWithTimeoutTag(platform::Bytes(bytes, bytes + length), -1, 0);
}

void StartMainView::readNextTcp() {
    if (tcpCilent_) tcpCilent_->readDataWithTimeoutTag(-1, 0);
}

void StartMainView::writeSerial(const uint8_t* bytes, size_t length) {
    if (comport_ && comport_->isOpen()) comport_->writeBytesLengthError(bytes, length, nullptr);
}
