#pragma once
// The one list of the machine's serial devices: a SerialPort per device the registry reports,
// kept in step with devices that appear and disappear, with a notification for each change.

#include "platform/SerialRegistry.h"
#include "serial/SerialPort.h"
#include "serial/StandardEnumerator.h"

#include <memory>
#include <string>
#include <vector>

// Notification names and their user-information keys (each holds its own name as text).
// The object of both notifications is the list (std::shared_ptr<SerialPortList>); the value
// under the key is a SerialPortList::PortArray.
inline constexpr const char* SerialPortListDidAddPortsNotification = "SerialPortListDidAddPortsNotification";
inline constexpr const char* SerialPortListDidRemovePortsNotification = "SerialPortListDidRemovePortsNotification";
inline constexpr const char* SerialPortListAddedPorts = "SerialPortListAddedPorts";
inline constexpr const char* SerialPortListRemovedPorts = "SerialPortListRemovedPorts";

// The devices of one registry answer (a listing, an arrival or a removal), taken in order.
struct SerialDeviceIterator {
    std::vector<platform::SerialDevice> devices;
    size_t next = 0;
};

class SerialPortList : public std::enable_shared_from_this<SerialPortList> {
    struct Passkey {};

public:
    using PortArray = std::vector<std::shared_ptr<SerialPort>>;
    using PortEnumerator = StandardEnumerator<std::shared_ptr<SerialPort>>;

    // The one list, made, filled and watching on the first call. Make the first call on the
    // main thread: the registry's changes are applied there.
    static std::shared_ptr<SerialPortList> sharedPortList();
    // A new (empty, not yet initialised) list on the first call only; null on every later call.
    static std::shared_ptr<SerialPortList> allocWithZone();
    std::shared_ptr<SerialPortList> copyWithZone() { return shared_from_this(); }
    // An enumerator over the shared list itself: it sees ports added after it was made.
    static std::shared_ptr<PortEnumerator> portEnumerator();
    // An enumerator over a snapshot of the shared list's ports of that type.
    static std::shared_ptr<PortEnumerator> portEnumeratorForSerialPortsOfType(const std::string& type);

    explicit SerialPortList(Passkey) {}

    // Fills the list from the registry and starts the watch.
    std::shared_ptr<SerialPortList> init();
    size_t count() const { return portList_.size(); }
    std::shared_ptr<SerialPort> objectAtIndex(size_t index) const { return portList_.at(index); }
    PortArray serialPorts() const { return portList_; }
    std::shared_ptr<SerialPort> objectWithName(const std::string& name) const;
    PortArray serialPortsOfType(const std::string& type) const;
    std::shared_ptr<SerialPort> portByPath(const std::string& path) const;

    // The port for the iterator's next device (the listed one for its path, else a new one);
    // null at the end. A device without a TTY name or a path is skipped.
    std::shared_ptr<SerialPort> getNextSerialPort(SerialDeviceIterator& iterator);
    void addAllSerialPortsToArray(PortArray& array);
    void registerForSerialPortChangeNotifications();
    void portsWereAdded(SerialDeviceIterator& iterator);
    void portsWereRemoved(SerialDeviceIterator& iterator);

    // Older name.
    PortArray getPortList() const { return serialPorts(); }

private:
    PortArray portList_;
};

// The registry's callbacks: they hand the devices of one event to the shared list.
void TyvSerialPortWasAddedNotification(void* refCon, SerialDeviceIterator& iterator);
void TyvSerialPortWasRemovedNotification(void* refCon, SerialDeviceIterator& iterator);
