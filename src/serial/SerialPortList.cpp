#include "serial/SerialPortList.h"

#include "platform/NotificationCenter.h"

#include <algorithm>
#include <mutex>

namespace {

// Guards the making of the one list.
std::recursive_mutex& classLock() {
    static std::recursive_mutex lock;
    return lock;
}

// The one list and its registry watch, kept for the rest of the run (never destroyed, so that
// nothing tears them down while the watch may still report).
std::shared_ptr<SerialPortList>* g_singleton = nullptr;
bool g_allocated = false;
std::unique_ptr<platform::SerialRegistry::Watch>* g_watch = nullptr;

}  // namespace

std::shared_ptr<SerialPortList> SerialPortList::allocWithZone() {
    std::lock_guard lock(classLock());
    if (g_allocated) return nullptr;
    g_allocated = true;
    g_singleton = new std::shared_ptr<SerialPortList>(std::make_shared<SerialPortList>(Passkey{}));
    return *g_singleton;
}

std::shared_ptr<SerialPortList> SerialPortList::sharedPortList() {
    std::lock_guard lock(classLock());
    if (!g_singleton) allocWithZone()->init();
    return *g_singleton;
}

std::shared_ptr<SerialPortList::PortEnumerator> SerialPortList::portEnumerator() {
    std::shared_ptr<SerialPortList> list = sharedPortList();
    const SerialPortList* raw = list.get();
    return PortEnumerator::initWithCollectionCountSelectorObjectAtIndexSelector(
        list, [raw] { return raw->count(); }, [raw](size_t index) { return raw->objectAtIndex(index); });
}

std::shared_ptr<SerialPortList::PortEnumerator> SerialPortList::portEnumeratorForSerialPortsOfType(
    const std::string& type) {
    auto snapshot = std::make_shared<const PortArray>(sharedPortList()->serialPortsOfType(type));
    const PortArray* raw = snapshot.get();
    return PortEnumerator::initWithCollectionCountSelectorObjectAtIndexSelector(
        snapshot, [raw] { return raw->size(); }, [raw](size_t index) { return raw->at(index); });
}

std::shared_ptr<SerialPortList> SerialPortList::init() {
    portList_.clear();
    addAllSerialPortsToArray(portList_);
    registerForSerialPortChangeNotifications();
    return shared_from_this();
}

std::shared_ptr<SerialPort> SerialPortList::objectWithName(const std::string& name) const {
    for (const auto& port : portList_) {
        if (port->name() == name) return port;
    }
    return nullptr;
}

SerialPortList::PortArray SerialPortList::serialPortsOfType(const std::string& type) const {
    PortArray ports;
    for (const auto& port : portList_) {
        if (port->type() == type) ports.push_back(port);
    }
    return ports;
}

std::shared_ptr<SerialPort> SerialPortList::portByPath(const std::string& path) const {
    for (const auto& port : portList_) {
        if (port->bsdPath() == path) return port;
    }
    return nullptr;
}

std::shared_ptr<SerialPort> SerialPortList::getNextSerialPort(SerialDeviceIterator& iterator) {
    // An entry without a name or a path names no usable device: it is passed over, and the
    // entries behind it are still taken.
    while (iterator.next < iterator.devices.size()) {
        const platform::SerialDevice& device = iterator.devices[iterator.next++];
        if (!device.name || !device.path) continue;
        if (auto listed = portByPath(*device.path)) return listed;
        return SerialPort::initWithNameType(*device.path, *device.name, device.type.value_or(""));
    }
    return nullptr;
}

void SerialPortList::addAllSerialPortsToArray(PortArray& array) {
    SerialDeviceIterator iterator{platform::SerialRegistry::shared().enumerate()};
    while (auto port = getNextSerialPort(iterator)) array.push_back(std::move(port));
}

void SerialPortList::registerForSerialPortChangeNotifications() {
    auto watch = platform::SerialRegistry::shared().watch(
        [](const std::vector<platform::SerialDevice>& devices) {
            SerialDeviceIterator iterator{devices};
            TyvSerialPortWasAddedNotification(nullptr, iterator);
        },
        [](const std::vector<platform::SerialDevice>& devices) {
            SerialDeviceIterator iterator{devices};
            TyvSerialPortWasRemovedNotification(nullptr, iterator);
        });
    std::lock_guard lock(classLock());
    if (!g_watch) g_watch = new std::unique_ptr<platform::SerialRegistry::Watch>();
    *g_watch = std::move(watch);
}

void SerialPortList::portsWereAdded(SerialDeviceIterator& iterator) {
    PortArray added;
    while (auto port = getNextSerialPort(iterator)) {
        added.push_back(port);
        // A device whose port is still listed is named in the notification but not listed twice.
        if (std::find(portList_.begin(), portList_.end(), port) == portList_.end()) portList_.push_back(port);
    }
    platform::NotificationCenter::defaultCenter().postNotificationName(
        SerialPortListDidAddPortsNotification, shared_from_this(), {{SerialPortListAddedPorts, added}});
}

void SerialPortList::portsWereRemoved(SerialDeviceIterator& iterator) {
    PortArray removed;
    while (auto port = getNextSerialPort(iterator)) {
        port->close();
        removed.push_back(port);
        std::erase_if(portList_, [&](const std::shared_ptr<SerialPort>& listed) { return listed->isEqual(port.get()); });
    }
    platform::NotificationCenter::defaultCenter().postNotificationName(
        SerialPortListDidRemovePortsNotification, shared_from_this(), {{SerialPortListRemovedPorts, removed}});
}

void TyvSerialPortWasAddedNotification(void*, SerialDeviceIterator& iterator) {
    SerialPortList::sharedPortList()->portsWereAdded(iterator);
}

void TyvSerialPortWasRemovedNotification(void*, SerialDeviceIterator& iterator) {
    SerialPortList::sharedPortList()->portsWereRemoved(iterator);
}
