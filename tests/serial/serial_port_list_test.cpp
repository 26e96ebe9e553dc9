// The port list on a fake registry: what init lists, arrivals and removals with their
// notifications, the live and snapshot enumerators and the queries.

#include "platform/NotificationCenter.h"
#include "platform/Trace.h"
#include "platform/testing/FakeSerialRegistry.h"
#include "platform/testing/TestMainLoop.h"
#include "serial/PtyPair.h"
#include "serial/SerialPortList.h"

#include <gtest/gtest.h>

using namespace serialtest;
using platform::SerialDevice;
using PortArray = SerialPortList::PortArray;

namespace {

SerialDevice device(const std::string& name, std::string path = {}, std::string type = "IORS232SerialStream") {
    return SerialDevice{name, path.empty() ? "/dev/" + name : path, type};
}

std::vector<std::string> pathsOf(const PortArray& ports) {
    std::vector<std::string> paths;
    for (const auto& port : ports) paths.push_back(port->bsdPath());
    return paths;
}

struct Posted {
    std::string name;
    std::shared_ptr<SerialPortList> object;
    PortArray ports;
};

class SerialPortListTest : public ::testing::Test {
protected:
    // The list is made once per process, on a fake registry holding these devices.
    static void SetUpTestSuite() {
        platform::setTraceEnabled(false);
        if (registry) return;
        registry = new platform::FakeSerialRegistry;  // watched by the list for the rest of the run
        registry->setDevices({device("ttyUSB0"), SerialDevice{std::nullopt, "/dev/ttyNONAME", "IORS232SerialStream"},
                              device("ttyS0", "", "IOModemSerialStream"), SerialDevice{"ttyNOPATH", std::nullopt, {}},
                              device("ttyUSB1")});
        platform::SerialRegistry::setShared(registry);
        initial = new PortArray(SerialPortList::sharedPortList()->serialPorts());
    }

    // Each test starts from an empty list.
    void SetUp() override {
        list = SerialPortList::sharedPortList();
        std::vector<SerialDevice> present;
        for (const auto& port : list->serialPorts()) present.push_back(device(port->name(), port->bsdPath()));
        if (!present.empty()) registry->unplug(present);
        loop.drain();
        ASSERT_EQ(list->count(), 0u);
        registry->setDevices({});
        const auto record = [this](const platform::Notification& n) {
            const char* key = n.name == SerialPortListDidAddPortsNotification ? SerialPortListAddedPorts
                                                                              : SerialPortListRemovedPorts;
            posted.push_back({n.name, std::any_cast<std::shared_ptr<SerialPortList>>(n.object),
                              std::any_cast<PortArray>(n.userInfo.at(key))});
        };
        auto& center = platform::NotificationCenter::defaultCenter();
        observers = {center.addObserver(SerialPortListDidAddPortsNotification, record),
                     center.addObserver(SerialPortListDidRemovePortsNotification, record)};
    }

    void plug(std::vector<SerialDevice> devices) {
        registry->plug(std::move(devices));
        loop.drain();
    }
    void unplug(std::vector<SerialDevice> devices) {
        registry->unplug(std::move(devices));
        loop.drain();
    }

    static inline platform::FakeSerialRegistry* registry = nullptr;
    static inline PortArray* initial = nullptr;
    platform::TestMainLoop loop;
    std::shared_ptr<SerialPortList> list;
    std::vector<Posted> posted;
    std::vector<platform::NotificationCenter::ObserverToken> observers;
};

TEST_F(SerialPortListTest, InitListsEveryDeviceWithANameAndAPathInRegistryOrder) {
    EXPECT_EQ(pathsOf(*initial), (std::vector<std::string>{"/dev/ttyUSB0", "/dev/ttyS0", "/dev/ttyUSB1"}));
    EXPECT_EQ((*initial)[1]->name(), "ttyS0");
    EXPECT_EQ((*initial)[1]->type(), "IOModemSerialStream");
    EXPECT_EQ(registry->watchCount(), 1u);
}

TEST_F(SerialPortListTest, ThereIsOnlyOneList) {
    EXPECT_EQ(SerialPortList::sharedPortList(), list);
    EXPECT_EQ(SerialPortList::allocWithZone(), nullptr);
    EXPECT_EQ(list->copyWithZone(), list);
}

TEST_F(SerialPortListTest, AnEmptyListEnumeratesNothing) {
    EXPECT_EQ(SerialPortList::portEnumerator()->nextObject(), nullptr);
    EXPECT_TRUE(list->serialPortsOfType("IORS232SerialStream").empty());
    EXPECT_TRUE(SerialPortList::portEnumeratorForSerialPortsOfType("IORS232SerialStream")->allObjects().empty());
}

TEST_F(SerialPortListTest, PlugAndUnplugPostTheSamePortObjectAndTheRemovedOneIsClosed) {
    PtyPair pty;
    const SerialDevice adapter = device("ttyUSB7", pty.path());
    auto live = SerialPortList::portEnumerator();
    plug({device("ttyUSB5")});
    plug({adapter});
    ASSERT_EQ(posted.size(), 2u);
    EXPECT_EQ(posted[1].name, SerialPortListDidAddPortsNotification);
    EXPECT_EQ(posted[1].object, list);
    ASSERT_EQ(posted[1].ports.size(), 1u);
    const auto port = posted[1].ports[0];
    EXPECT_EQ(port->bsdPath(), pty.path());
    EXPECT_EQ(port->name(), "ttyUSB7");
    EXPECT_EQ(live->allObjects(), (PortArray{list->objectAtIndex(0), port})) << "the new port comes last";

    // The program's own port for the same path is another object and stays open.
    auto own = SerialPort::initWithNameType(pty.path(), "own", "");
    ASSERT_TRUE(own->open());
    ASSERT_TRUE(port->open());
    unplug({adapter});
    ASSERT_EQ(posted.size(), 3u);
    EXPECT_EQ(posted[2].name, SerialPortListDidRemovePortsNotification);
    EXPECT_EQ(posted[2].ports, PortArray{port});
    EXPECT_FALSE(port->isOpen());
    EXPECT_TRUE(own->isOpen());
    EXPECT_EQ(pathsOf(list->serialPorts()), std::vector<std::string>{"/dev/ttyUSB5"});
    EXPECT_EQ(list->portByPath(pty.path()), nullptr);
}

TEST_F(SerialPortListTest, BatchesSkipNamelessEntriesAndNeverListAPortTwice) {
    plug({device("ttyUSB0")});
    plug({device("ttyUSB0"), SerialDevice{std::nullopt, "/dev/ttyX", {}}, device("ttyUSB1")});
    ASSERT_EQ(posted.size(), 2u);
    EXPECT_EQ(pathsOf(posted[1].ports), (std::vector<std::string>{"/dev/ttyUSB0", "/dev/ttyUSB1"}));
    EXPECT_EQ(posted[1].ports[0], posted[0].ports[0]) << "the listed port is named again";
    EXPECT_EQ(pathsOf(list->serialPorts()), (std::vector<std::string>{"/dev/ttyUSB0", "/dev/ttyUSB1"}));

    // Removing a device that is not listed still names it; an empty batch still posts.
    unplug({device("ttyUSB9")});
    unplug({});
    ASSERT_EQ(posted.size(), 4u);
    EXPECT_EQ(pathsOf(posted[2].ports), std::vector<std::string>{"/dev/ttyUSB9"});
    EXPECT_TRUE(posted[3].ports.empty());
    EXPECT_EQ(list->count(), 2u);
}

TEST_F(SerialPortListTest, TheLiveEnumeratorSeesArrivalsAndTheSnapshotDoesNot) {
    plug({device("ttyUSB0"), device("ttyS1", "", "IOModemSerialStream")});
    auto live = SerialPortList::portEnumerator();
    auto snapshot = SerialPortList::portEnumeratorForSerialPortsOfType("IORS232SerialStream");
    EXPECT_EQ(live->nextObject()->name(), "ttyUSB0");
    plug({device("ttyUSB1")});
    EXPECT_EQ(pathsOf(live->allObjects()), (std::vector<std::string>{"/dev/ttyS1", "/dev/ttyUSB1"}));
    EXPECT_EQ(pathsOf(snapshot->allObjects()), std::vector<std::string>{"/dev/ttyUSB0"});
    EXPECT_EQ(snapshot->nextObject(), nullptr);

    // A list shrinking below the position ends the walk.
    auto walker = SerialPortList::portEnumerator();
    walker->nextObject();
    walker->nextObject();
    unplug({device("ttyUSB0"), device("ttyS1")});
    EXPECT_EQ(walker->nextObject(), nullptr);
    plug({device("ttyUSB2"), device("ttyUSB3")});
    EXPECT_EQ(walker->nextObject()->name(), "ttyUSB3") << "the position is kept";
}

TEST_F(SerialPortListTest, QueriesAnswerTheFirstMatchInListOrder) {
    plug({device("ttyA", "/dev/one"), device("ttyB", "/dev/two", "IOModemSerialStream"), device("ttyA", "/dev/three")});
    EXPECT_EQ(list->objectWithName("ttyA")->bsdPath(), "/dev/one");
    EXPECT_EQ(list->objectWithName("ttyZ"), nullptr);
    EXPECT_EQ(list->portByPath("/dev/two")->name(), "ttyB");
    EXPECT_EQ(list->portByPath("/dev/none"), nullptr);
    EXPECT_EQ(pathsOf(list->serialPortsOfType("IORS232SerialStream")), (std::vector<std::string>{"/dev/one", "/dev/three"}));
    EXPECT_EQ(list->getPortList(), list->serialPorts());
}

}  // namespace
