// The serial link: the mixer's USB serial adapter is opened when present or plugged in, gets the
// search frame, and a frame header from it during the search makes it the active transport; when
// that link ends, the network search comes back.

#include "link/StartMainView.h"

#include "platform/Trace.h"
#include "serial/SerialPortList.h"
#include "util/Duziz.h"
#include "util/Userprofile.h"

namespace {
// Every port the main window makes carries these, whatever its real path.
constexpr const char* kPortName = "/dev/cu.usbserial";
constexpr const char* kPortType = "IORS232SerialStream";
}  // namespace

void StartMainView::cxhPort() {
    if (!settings_.serialLink) return;
    portsObserver_ = platform::NotificationCenter::defaultCenter().addObserver(
        SerialPortListDidAddPortsNotification, [this](const platform::Notification&) { didAddPorts(); });
    SerialPortList::sharedPortList();
    listSerialDev();
}

void StartMainView::didAddPorts() { listSerialDev(true); }

void StartMainView::listSerialDev(bool plugIn) {
    if (!settings_.serialLink) return;
    std::string chosen;
    auto ports = SerialPortList::portEnumerator();
    while (auto port = ports->nextObject()) {
        if (port->bsdPath().find(settings_.serialPathMarker) != std::string::npos) {
            chosen = trimmed(port->bsdPath());
            break;
        }
    }
    // A plug-in report for the device that is open already leaves its link alone.
    if (plugIn && !chosen.empty() && comport_ && comport_->isOpen() && comport_->bsdPath() == chosen) return;
    m_device_ = chosen;
    platform::trace("search comport device is :%s", m_device_.c_str());
    if (m_device_.size() > 1) initComPort();
}

void StartMainView::initComPort() {
    if (m_device_.empty()) return;
    platform::trace("init comport with  port  %s", m_device_.c_str());
    setCompPort(SerialPort::initWithNameType(m_device_, kPortName, kPortType));
    if (!comport_) return;
    comport_->setDelegate(serialDelegate());
    if (!comport_->open()) {
        setCompPort(nullptr);
        platform::trace("port cannot opened with  %s", m_device_.c_str());
        return;
    }
    // A fresh Linux terminal is cooked, and an adapter keeps the settings of the program that
    // used it last: the frames need a raw 8N1 line without any flow control.
    comport_->makeRaw();
    comport_->setSpeed(settings_.serialSpeed);
    comport_->commitChanges();
    serialHeaderScan_.reset();
    // While the search runs (at start-up and on refresh it is about to), the answer to the search
    // frame comes once per open: leftovers of an earlier connection (in the adapter, or a partial
    // frame in the accumulator) must not swallow it. An open while the network carries the link
    // (a plug-in) touches neither.
    const bool networkCarriesLink = connectType_ == kConnectTypeTcp && (isNetworkOpen_ || gc_.isconnected);
    if (!networkCarriesLink) {
        comport_->flushInputOutput(true, false);
        ClearBuffer();
    }
    uint8_t search[11] = {};
    XCoreData::PackageofSearchDevice(search);
    comport_->writeBytesLengthError(search, sizeof search, nullptr);
    comport_->readDataInBackground();
}

void StartMainView::serialPortReadData(const SerialPortReadData& info) {
    const std::shared_ptr<SerialPort>& port = info.serialPort;
    if (info.data.empty() && port && !port->isOpen()) {
        // End of input: the port closed itself; nothing more will come from it.
        serialEnded(port);
        return;
    }
    try {
        if (port) port->readDataInBackground();
    } catch (...) {
    }
    // Only the transport that carries the link feeds the reassembly: bytes of an adapter that
    // does not (another device, or the mixer's adapter while the network carries the frames)
    // would be spliced into the frames of the link.
    if (!port || port != comport_ || info.data.empty()) return;
    if (serialCarriesLink()) {
        parseData(info.data);
        return;
    }
    if (!begin_verifyDevice_withSearchIP) return;
    const size_t end = serialHeaderScan_.find(info.data.data(), info.data.size());
    if (end == frame::HeaderScan::kNotFound) {
        parseData(info.data);
        return;
    }
    // A mixer's frame: the link is the adapter's. The mixer's answer is fed from its header on,
    // so that a partial frame fed before it cannot swallow it and the replies after it.
    claimSerialLink();
    ClearBuffer();
    parseData(serialHeaderScan_.header(), frame::HeaderScan::kLength);
    parseData(info.data.data() + end, info.data.size() - end);
}

void StartMainView::claimSerialLink() {
    begin_verifyDevice_withSearchIP = false;
    platform::trace("found  device is :%s", m_device_.c_str());
    if (view_) view_->setDeviceLabel(m_device_);
    connectType_ = kConnectTypeSerial;
    closeAllSocket();
    isFounded = 1;
    serialClaimed_ = true;
    gc_.isconnected = linkUp();
    if (view_) view_->setConnectEnabled(true);
}

void StartMainView::serialEnded(const std::shared_ptr<SerialPort>& port) {
    if (port != comport_) return;  // a port replaced earlier
    platform::trace("serial device ended: %s", m_device_.c_str());
    const bool carried = serialCarriesLink();
    setCompPort(nullptr);
    if (!carried) return;
    gc_.isconnected = linkUp();
    Duziz::sendMsg(MSG_DISCONNECTED, 0, kMessageBusName);
    // Back to the state before the adapter answered: the adapter claims the link again when it
    // comes back, and meanwhile the network search runs again on new sockets and its own tick
    // (closeAllSocket stopped both when the adapter claimed the link).
    setLinkSwitch(kConnectTypeSerial, false);
    connectType_ = 0;
    ResetAllDevices();
    createTimer_Ready_searchDevice();
}

void StartMainView::setCompPort(std::shared_ptr<SerialPort> port) {
    try {
        if (comport_) freePort(comport_);
        if (port != comport_) serialClaimed_ = false;
        comport_ = std::move(port);
    } catch (...) {
    }
}

void StartMainView::freePort(const std::shared_ptr<SerialPort>& port) {
    if (!port) return;
    if (port->isOpen()) port->close();
    port->free();
}

void StartMainView::closePort() {
    freePort(comport_);
    setCompPort(nullptr);
}

bool StartMainView::isComportConnect() const { return comport_ && comport_->isOpen(); }
