// The device search over UDP: three search sockets, a probe every search tick to the broadcast
// address, the first reply longer than 20 bytes names the mixer; refresh clears and searches again.

#include "link/NetUtil.h"
#include "link/StartMainView.h"

#include "net/AsyncTcpSocket.h"
#include "net/AsyncUdpSocket.h"
#include "platform/MainExecutor.h"
#include "platform/Trace.h"

#include <algorithm>
#include <cctype>
#include <strings.h>
#include <sys/socket.h>

namespace {

// The 12-byte search probe; it is not a device frame.
const platform::Bytes kSearchProbe = {0x01, 0x02, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0xFF, 0xFF};

// A reply must be longer than this to name a mixer.
constexpr int kShortestReply = 20;

}  // namespace

std::string StartMainView::trimmed(const std::string& text) {
    auto isSpace = [](unsigned char c) { return std::isspace(c) != 0; };
    const auto begin = std::find_if_not(text.begin(), text.end(), isSpace);
    if (begin == text.end()) return {};
    const auto end = std::find_if_not(text.rbegin(), text.rend(), isSpace).base();
    return std::string(begin, end);
}

void StartMainView::createTimer_Ready_searchDevice() {
    cxhSearchSocket();
    begin_verifyDevice_withSearchIP = true;
    if (!searchTimer_) {
        searchTimer_ = std::make_unique<platform::PausableTimer>(
            platform::MainExecutor::current(), settings_.searchInterval, [this] { searchDevice(); },
            platform::PausableTimer::Mode::Default);
    }
}

void StartMainView::cxhSearchSocket() {
    bAddr = settings_.broadcastAddress.empty() ? NetUtil().getBroadcastAddress() : settings_.broadcastAddress;
    if (!verifyTcpSocket_) verifyTcpSocket_ = makeTcpSocket();

    // The sockets of an earlier search are closed before new ones take their ports.
    for (auto* udp : {&wlanRevSock_, &m_sockHFAl_, &hIP210RevSock_}) {
        if (*udp) (*udp)->close();
    }

    searchProbed_ = false;
    platform::Error error;
    wlanRevSock_ = makeUdpSocket();
    if (!wlanRevSock_->bindToPortError(settings_.wlanPort, &error)) {
        platform::trace("wlan socket bind error:%s", error.description.c_str());
        return;
    }
    wlanRevSock_->enableBroadcastError(true, nullptr);

    m_sockHFAl_ = makeUdpSocket();
    m_sockHFAl_->bindToPortError(settings_.hfPort, nullptr);
    m_sockHFAl_->enableBroadcastError(true, nullptr);

    hIP210RevSock_ = makeUdpSocket();
    if (!hIP210RevSock_->bindToPortError(settings_.searchPort, &error))
        platform::trace("IP210revs socket bind error:%s", error.description.c_str());
    else
        hIP210RevSock_->enableBroadcastError(true, nullptr);
}

void StartMainView::searchDevice() {
    // The new sockets of a refresh bind the ports of the old ones, so a reply to a probe sent
    // before the refresh can wait on them, and the reply carries nothing to tell it from a reply
    // to a new probe: what waits before this search's first probe goes out is dropped unread.
    if (!searchProbed_ && begin_verifyDevice_withSearchIP) dropWaitingSearchReplies();
    if (wlanRevSock_) wlanRevSock_->receiveOnce(nullptr);
    sleeper_->sleep(0.05);
    if (begin_verifyDevice_withSearchIP && hIP210RevSock_) {
        hIP210RevSock_->sendDataToHostPortWithTimeoutTag(kSearchProbe, bAddr, settings_.probePort, -1, 0);
        searchProbed_ = true;
    }
    if (hIP210RevSock_) hIP210RevSock_->receiveOnce(nullptr);
}

void StartMainView::dropWaitingSearchReplies() {
    for (const auto& udp : {wlanRevSock_, m_sockHFAl_, hIP210RevSock_}) {
        if (!udp) continue;
        udp->performBlock([&udp] {
            uint8_t datagram[2048];
            for (const int fd : {udp->socket4FD(), udp->socket6FD()}) {
                if (fd < 0) continue;
                while (::recv(fd, datagram, sizeof datagram, MSG_DONTWAIT) >= 0) {
                }
            }
        });
    }
}

bool StartMainView::isInDeveList(const std::string& address, const std::vector<std::string>* list) {
    if (!list || list->empty()) return false;
    return std::any_of(list->begin(), list->end(),
                       [&](const std::string& item) { return strcasecmp(item.c_str(), address.c_str()) == 0; });
}

void StartMainView::addDeviceIP(const std::string& address, std::vector<std::string>* list) {
    if (!list || trimmed(address).empty() || isInDeveList(address, list)) return;
    list->push_back(address);
}

void StartMainView::udpSocketDidReceiveDataFromAddressWithFilterContext(const std::shared_ptr<AsyncUdpSocket>&,
                                                                        const platform::Bytes& data,
                                                                        const platform::Bytes& address,
                                                                        const std::any&) {
    if (!begin_verifyDevice_withSearchIP) return;
    if (static_cast<int32_t>(data.size()) <= kShortestReply) return;
    std::string host;
    uint16_t port = 0;
    AsyncUdpSocket::getHostPortFromAddress(&host, &port, address);
    if (isInDeveList(host, &searchIPList) || !begin_verifyDevice_withSearchIP) return;
    searchIPList.push_back(host);
    addDeviceIP(host, &ipList);
    platform::trace("scaned ip is :%s-------", host.c_str());
    deviceList.push_back(host);
    if (view_) view_->setDeviceLabel(trimmed(host));
    connectType_ = kConnectTypeTcp;
    begin_verifyDevice_withSearchIP = false;
    isFounded = 1;
}

void StartMainView::verfyDevice_with_TCPSocket() {
    if (!begin_verifyDevice_withSearchIP) return;
    for (const std::string& address : searchIPList) {
        if (!begin_verifyDevice_withSearchIP || isInDeveList(address, &ipList) || address.size() <= 1) continue;
        platform::trace("begin verifyDevce....");
        if (!verifyTcpSocket_) verifyTcpSocket_ = makeTcpSocket();
        if (verifyTcpSocket_->isConnected()) verifyTcpSocket_->disconnect();
        verifyTcpSocket_->connectToHostOnPortError(address, settings_.tcpPort, nullptr);
    }
    sleeper_->sleep(1.0);
}

void StartMainView::refleshSearchDevice() {
    platform::trace("refresh device begin.....");
    if (connectType_ == kConnectTypeSerial && gc_.isconnected) return;
    listSerialDev();
    ResetAllDevices();
    cxhSearchSocket();
}

void StartMainView::ResetAllDevices() {
    ClearBuffer();
    ipList.clear();
    searchIPList.clear();
    deviceList.clear();
    begin_verifyDevice_withSearchIP = true;
}

void StartMainView::closeAllSocket() {
    searchTimer_.reset();
    begin_verifyDevice_withSearchIP = false;
    if (tcpCilent_) tcpCilent_->disconnect();
    if (verifyTcpSocket_) verifyTcpSocket_->disconnect();
    for (auto* udp : {&m_sockHFAl_, &wlanRevSock_, &hIP210RevSock_}) {
        if (*udp) (*udp)->close();
    }
}
