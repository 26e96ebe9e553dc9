// The main window's link without sockets on the wire: start-up, the connection state, the busy
// display and link check, the about window and alerts, the search's bookkeeping, the Connect
// button's refusals and the broadcast address rule.

#include "MainWindowFixture.h"

#include "link/NetUtil.h"
#include "net/AsyncTcpSocket.h"
#include "net/AsyncUdpSocket.h"
#include "support/DescriptorWatch.h"
#include "util/PresetWindow.h"

#include <ifaddrs.h>
#include <net/if.h>

#include <cstring>
#include <deque>
#include <functional>

using namespace mainwindowtest;

namespace {

platform::Bytes ipv4Address(const std::string& host, uint16_t port) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    inet_pton(AF_INET, host.c_str(), &in.sin_addr);
    const auto* p = reinterpret_cast<const uint8_t*>(&in);
    return platform::Bytes(p, p + sizeof in);
}

// A reply datagram from host to the search.
void reply(StartMainView& link, const std::string& host, size_t length) {
    link.udpSocketDidReceiveDataFromAddressWithFilterContext(nullptr, platform::Bytes(length, 0x33),
                                                             ipv4Address(host, 8000), {});
}

struct ScriptedConnection : LinkConnectionState {
    int32_t connectType() const override { return kConnectTypeTcp; }
    bool isSerialComportOpen() const override { return false; }
    bool isNetworkOpen() const override { return true; }
};

struct CountingTransport : LinkTransport {
    int writes = 0;
    void writeTcp(const uint8_t*, size_t) override { ++writes; }
    void readNextTcp() override {}
    void writeSerial(const uint8_t*, size_t) override { ++writes; }
};

}  // namespace

TEST_F(MainWindowTest, StartUpPreparesTheWindowAndStartsTheSearch) {
    StartMainView& link = start();
    EXPECT_EQ(mainVctl, &link);
    EXPECT_TRUE(view.prepared);
    EXPECT_EQ(view.lamp.lit, util::LampColor::greenColor());
    EXPECT_EQ(view.lamp.unlit, util::LampColor::grayColor());
    EXPECT_FALSE(view.lamp.lighted);
    EXPECT_FALSE(link.isLinkCheckRunning());
    EXPECT_TRUE(link.begin_verifyDevice_withSearchIP);
    EXPECT_TRUE(link.isSearchTimerValid());
    EXPECT_EQ(link.bAddr, "127.0.0.1");
    EXPECT_EQ(link.connectType(), 0);
    EXPECT_FALSE(link.isNetworkOpen());
    EXPECT_FALSE(link.isSerialComportOpen());
    ASSERT_NE(link.tcpCilent(), nullptr);
    // Nothing found: the link is never usable, whatever the store says.
    gc.isconnected = true;
    EXPECT_FALSE(link.isRealConnect());
}

TEST_F(MainWindowTest, BusyDisplayDrivesTheLinkCheckTimer) {
    StartMainView& link = start();
    link.nc = 5;
    link.setBar(true);
    EXPECT_FALSE(view.busyHidden);
    EXPECT_TRUE(view.spinner.visible && view.spinner.animating);
    EXPECT_TRUE(link.isLinkCheckRunning());
    EXPECT_EQ(link.nc, 0);
    link.setBar(false);
    EXPECT_TRUE(view.busyHidden);
    EXPECT_FALSE(view.spinner.visible || view.spinner.animating);
    EXPECT_FALSE(link.isLinkCheckRunning());
    // Pausing a paused check leaves it paused and the count at 0.
    link.nc = 3;
    link.setBar(false);
    EXPECT_FALSE(link.isLinkCheckRunning());
    EXPECT_EQ(link.nc, 0);
}

TEST_F(MainWindowTest, LinkCheckRequestsOnEvenTicksAndCountsUnansweredOddTicks) {
    StartMainView& link = start(false);
    ScriptedConnection connection;
    CountingTransport transport;
    link.setConnectionState(&connection);
    link.setTransport(&transport);
    gc.isconnected = true;
    const platform::Bytes answer = {0x01, 0x20, 0x03, 0x0C, 0x00, 0x01, 0x00, 0x01, 0x25, 0x00, 0x00, 0x40};

    // A link that answers every request never counts a miss.
    for (int tick = 0; tick < 8; ++tick) {
        link.setAnimate();
        if (tick % 2 == 0) link.parseData(answer);
    }
    EXPECT_EQ(link.tcoffline, 0);
    EXPECT_EQ(transport.writes, 4);

    // A silent link: nc and tcoffline after each tick.
    struct Tick {
        int nc;
        int tcoffline;
        int writes;
    };
    const Tick expected[] = {{1, 0, 5}, {2, 1, 5}, {3, 1, 6}, {1, 0, 6}, {2, 1, 6}, {3, 1, 7}};
    link.nc = 0;
    for (const Tick& t : expected) {
        link.setAnimate();
        EXPECT_EQ(link.nc, t.nc);
        EXPECT_EQ(link.tcoffline, t.tcoffline);
        EXPECT_EQ(transport.writes, t.writes);
    }
    EXPECT_TRUE(gc.isconnected);  // the count changes nothing else
}

TEST_F(MainWindowTest, AboutWindowShowsTheManifestEntriesModally) {
    StartMainView& link = start(false);
    const char* entries[] = {"Varnel Utility", "2.1.0", "Varnel Audio", "www.varnel.example"};
    for (size_t i = 0; i < 4; ++i) core.firmware_ver[4 + i] = entries[i];
    ui.onModal([](platform::ModalWindow&) { return -60006; });
    link.AboutVersionClick();
    EXPECT_EQ(view.aboutTexts, std::vector<std::string>(entries, entries + 4));
    EXPECT_EQ(view.about.shown, 1);
    EXPECT_EQ(view.about.closed, 1);
    EXPECT_EQ(ui.callsOf("modal").size(), 1u);
}

TEST_F(MainWindowTest, WarningAlertAndWindowClosing) {
    StartMainView& link = start(false);
    link.PopMessage("Something went wrong");
    const auto alerts = ui.callsOf("alert");
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].title, "Warning!");
    EXPECT_EQ(alerts[0].message, "Something went wrong");
    EXPECT_EQ(alerts[0].options, std::vector<std::string>{"OK"});

    link.windowWillClose();
    const auto stops = ui.callsOf("stopModal");
    ASSERT_EQ(stops.size(), 1u);
    EXPECT_EQ(stops[0].code, -60006);
    link.reopenClick();
    EXPECT_EQ(view.fronted, 1);
}

// A backup or restore of the preset window keeps its lock: its own end unlocks the window.
TEST_F(MainWindowTest, ClosingAWindowUnlocksTheRegisteredPresetWindowBeforeEndingTheModalRun) {
    // Records each LockGUI with the number of modal stops made before it.
    struct PresetWindow : util::PresetWindow {
        explicit PresetWindow(const platform::ScriptedUiServices& ui) : ui_(ui) {}
        void LockGUI(bool enable) override { locks.push_back({enable, ui_.callsOf("stopModal").size()}); }
        void UpdatePresetList() override {}
        void syncStatusLCD() override {}
        void setFalse() override {}
        platform::ModalWindow& window() override { return modal_; }
        void setDelegate(util::WindowDelegate*) override {}
        bool memoryTransferUnderWay() const override { return transferring; }
        std::vector<std::pair<bool, size_t>> locks;
        bool transferring = false;

    private:
        const platform::ScriptedUiServices& ui_;
        RecordingModal modal_;
    };
    StartMainView& link = start(false);
    PresetWindow preset(ui);
    using Locks = std::vector<std::pair<bool, size_t>>;
    struct Case {
        const char* name;
        bool registered;
        bool transferring;
        Locks expected;
    };
    const Case cases[] = {
        {"no preset window", false, false, {}},
        {"preset window registered", true, false, {{true, 0u}}},
        {"preset window with a backup or restore under way", true, true, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        saveLoadView = c.registered ? &preset : nullptr;
        preset.transferring = c.transferring;
        ui.clearCalls();
        preset.locks.clear();
        link.windowWillClose();
        saveLoadView = nullptr;
        const auto stops = ui.callsOf("stopModal");
        ASSERT_EQ(stops.size(), 1u);
        EXPECT_EQ(stops[0].code, -60006);
        EXPECT_EQ(preset.locks, c.expected);
    }
}

TEST_F(MainWindowTest, SearchRepliesNameTheFirstMixerOnly) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, size_t>> replies;
        bool searching;
        std::string device;  // empty: nothing found
    };
    const Case cases[] = {
        {"twenty bytes are too short", {{"10.1.1.1", 20}}, true, ""},
        {"twenty-one bytes name the mixer", {{"10.1.1.1", 21}}, true, "10.1.1.1"},
        {"the first of two wins", {{"10.1.1.1", 40}, {"10.1.1.2", 40}}, true, "10.1.1.1"},
        {"a short reply does not end the search", {{"10.1.1.1", 5}, {"10.1.1.2", 30}}, true, "10.1.1.2"},
        {"ignored once the search is off", {{"10.1.1.1", 40}}, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        view.device.clear();
        StartMainView& link = start(false);
        link.begin_verifyDevice_withSearchIP = c.searching;
        for (const auto& [host, length] : c.replies) reply(link, host, length);
        EXPECT_EQ(view.device, c.device);
        if (c.device.empty()) {
            EXPECT_EQ(link.connectType(), 0);
            EXPECT_TRUE(link.deviceList.empty());
            EXPECT_EQ(link.begin_verifyDevice_withSearchIP, c.searching);
        } else {
            EXPECT_EQ(link.connectType(), kConnectTypeTcp);
            EXPECT_EQ(link.deviceList, std::vector<std::string>{c.device});
            EXPECT_EQ(link.searchIPList, std::vector<std::string>{c.device});
            EXPECT_FALSE(link.begin_verifyDevice_withSearchIP);
            EXPECT_EQ(link.isFounded, 1);
        }
    }
}

TEST(MainWindowLists, DeviceListsCompareWithoutCaseAndSkipBlankAddresses) {
    struct Case {
        std::vector<std::string> list;
        std::string address;
        bool present;
        size_t sizeAfterAdd;
    };
    const Case cases[] = {
        {{}, "fe80::1", false, 1},
        {{"FE80::A"}, "fe80::a", true, 1},
        {{"10.0.0.1"}, "10.0.0.2", false, 2},
        {{"10.0.0.1"}, "   \n", false, 1},
        {{"10.0.0.1"}, "", false, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        EXPECT_EQ(StartMainView::isInDeveList(c.address, &c.list), c.present);
        std::vector<std::string> list = c.list;
        StartMainView::addDeviceIP(c.address, &list);
        EXPECT_EQ(list.size(), c.sizeAfterAdd);
    }
    EXPECT_FALSE(StartMainView::isInDeveList("x", nullptr));
    StartMainView::addDeviceIP("10.0.0.9", nullptr);  // no list: nothing to add to
    EXPECT_EQ(StartMainView::trimmed(" \t10.0.0.1\n "), "10.0.0.1");
    EXPECT_EQ(StartMainView::trimmed(" \n"), "");
}

TEST_F(MainWindowTest, ConnectButtonRefusalsOnANetworkLink) {
    // Found on the network but the list was emptied: the alert, and the search goes on.
    {
        StartMainView& link = start(false);
        link.begin_verifyDevice_withSearchIP = true;
        reply(link, "10.1.1.1", 30);
        ASSERT_EQ(link.connectType(), kConnectTypeTcp);
        link.deviceList.clear();
        link.begin_verifyDevice_withSearchIP = true;
        link.switchLighted();
        const auto alerts = ui.callsOf("alert");
        ASSERT_EQ(alerts.size(), 1u);
        EXPECT_EQ(alerts[0].message, "No Device,you should connect to the device first~!");
        EXPECT_TRUE(link.begin_verifyDevice_withSearchIP);
        EXPECT_FALSE(link.isNetworkOpen());
        EXPECT_TRUE(sleeper.sleeps().empty());
    }
    // Nothing found: the search stops, the button waits 2 s and changes nothing else.
    {
        StartMainView& link = start(false);
        link.begin_verifyDevice_withSearchIP = true;
        link.switchLighted();
        EXPECT_FALSE(link.begin_verifyDevice_withSearchIP);
        EXPECT_EQ(sleeper.sleeps(), std::vector<double>{2.0});
        EXPECT_FALSE(link.isNetworkOpen());
        EXPECT_FALSE(view.lamp.lighted);
        EXPECT_EQ(view.connectTitle, "Connect");
    }
}

TEST_F(MainWindowTest, DisconnectOfAnotherSocketLeavesTheLinkAlone) {
    StartMainView& link = start();
    gc.isconnected = true;
    view.lamp.lighted = true;
    auto other = AsyncTcpSocket::init();
    link.socketDidDisconnectWithError(other, nullptr);
    link.socketDidDisconnectWithError(nullptr, nullptr);
    EXPECT_TRUE(gc.isconnected);
    EXPECT_TRUE(view.lamp.lighted);
    EXPECT_EQ(bus.count(MSG_DISCONNECTED), 0u);
}

TEST_F(MainWindowTest, RefreshSearchesAgainWithNewSockets) {
    StartMainView& link = start();
    reply(link, "10.1.1.1", 30);
    ASSERT_FALSE(link.begin_verifyDevice_withSearchIP);
    // The old sockets give up their ports first, so the new ones can bind them.
    link.refleshSearchDevice();
    EXPECT_TRUE(link.begin_verifyDevice_withSearchIP);
    EXPECT_TRUE(link.deviceList.empty());
    EXPECT_TRUE(link.searchIPList.empty());
    EXPECT_TRUE(link.ipList.empty());
    reply(link, "10.1.1.2", 30);
    EXPECT_EQ(view.device, "10.1.1.2");

    // Each refresh gives back the descriptors of the sockets it replaces: once the old ones are
    // closed, what is open of all the refreshes made is what the last one opened.
    loop.drain();
    const testsupport::DescriptorWatch sinceFirst;
    for (int i = 0; i < 2; ++i) link.refleshSearchDevice();
    const testsupport::DescriptorWatch sinceLast;
    link.refleshSearchDevice();
    EXPECT_FALSE(sinceLast.opened().empty());  // the new sockets are seen
    EXPECT_TRUE(runUntil([&] { return sinceFirst.opened() == sinceLast.opened(); }, 10s))
        << "opened by all three: " << testsupport::DescriptorWatch::describe(sinceFirst.opened())
        << "; by the last: " << testsupport::DescriptorWatch::describe(sinceLast.opened());
}

// ---- The broadcast address ----

namespace {

// An interface list built in memory.
class Interfaces {
public:
    Interfaces() = default;
    Interfaces(const Interfaces&) = delete;
    Interfaces& operator=(const Interfaces&) = delete;
    Interfaces& add(const char* name, unsigned flags, const char* address, const char* broadcast, const char* mask,
                    int family = AF_INET) {
        Entry& e = entries_.emplace_back();
        e.name = name;
        auto fill = [&](sockaddr_in& in, const char* text) {
            in.sin_family = static_cast<sa_family_t>(family);
            if (text) inet_pton(AF_INET, text, &in.sin_addr);
        };
        fill(e.address, address);
        fill(e.broadcast, broadcast);
        fill(e.mask, mask);
        e.node.ifa_name = e.name.data();
        e.node.ifa_flags = flags;
        e.node.ifa_addr = reinterpret_cast<sockaddr*>(&e.address);
        e.node.ifa_broadaddr = broadcast ? reinterpret_cast<sockaddr*>(&e.broadcast) : nullptr;
        e.node.ifa_netmask = mask ? reinterpret_cast<sockaddr*>(&e.mask) : nullptr;
        for (size_t i = 0; i + 1 < entries_.size(); ++i) entries_[i].node.ifa_next = &entries_[i + 1].node;
        return *this;
    }
    const ifaddrs* list() const { return entries_.empty() ? nullptr : &entries_.front().node; }

private:
    struct Entry {
        std::string name;
        sockaddr_in address{}, broadcast{}, mask{};
        ifaddrs node{};
    };
    std::deque<Entry> entries_;
};

}  // namespace

TEST(NetUtilTest, BroadcastOfTheFirstUpNonLoopbackBroadcastCapableIPv4InterfaceThatRunsIfAny) {
    constexpr unsigned up = IFF_UP | IFF_BROADCAST;
    struct Case {
        const char* name;
        std::function<void(Interfaces&)> build;
        const char* broadcast;
        const char* ip;
    };
    std::vector<Case> cases;
    cases.push_back({"none", [](Interfaces&) {}, "127.0.0.1", "127.0.0.1"});
    cases.push_back({"loopback only",
                     [](Interfaces& i) { i.add("lo", IFF_UP | IFF_LOOPBACK, "127.0.0.1", nullptr, "255.0.0.0"); },
                     "127.0.0.1", "127.0.0.1"});
    cases.push_back({"none runs: the first qualifying wins",
                     [](Interfaces& i) {
                     i.add("lo", IFF_UP | IFF_LOOPBACK, "127.0.0.1", nullptr, "255.0.0.0")
                         .add("down0", IFF_BROADCAST, "10.9.0.5", "10.9.255.255", "255.255.0.0")
                         .add("ptp0", IFF_UP | IFF_POINTOPOINT, "10.8.0.5", nullptr, "255.255.255.255")
                         .add("eth0", up, "192.168.1.20", "192.168.1.255", "255.255.255.0")
                         .add("eth1", up, "172.16.4.2", "172.16.255.255", "255.255.0.0");
                     },
                     "192.168.1.255", "192.168.1.20"});
    cases.push_back({"an interface with a carrier wins over one without listed first",
                     [](Interfaces& i) {
                         i.add("lo", IFF_UP | IFF_LOOPBACK | IFF_RUNNING, "127.0.0.1", nullptr, "255.0.0.0")
                             .add("dock0", up, "169.254.7.7", "169.254.255.255", "255.255.0.0")
                             .add("wlan0", up | IFF_RUNNING, "192.168.5.9", "192.168.5.255", "255.255.255.0")
                             .add("eth1", up | IFF_RUNNING, "172.16.4.2", "172.16.255.255", "255.255.0.0");
                     },
                     "192.168.5.255", "192.168.5.9"});
    cases.push_back({"netmask when no broadcast address is given",
                     [](Interfaces& i) { i.add("eth0", up, "10.20.30.40", nullptr, "255.255.240.0"); }, "10.20.31.255",
                     "10.20.30.40"});
    cases.push_back({"IPv6 entries are skipped",
                     [](Interfaces& i) { i.add("eth0", up, nullptr, nullptr, nullptr, AF_INET6); }, "127.0.0.1",
                     "127.0.0.1"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Interfaces interfaces;
        c.build(interfaces);
        EXPECT_EQ(NetUtil::broadcastAddressFrom(interfaces.list()), c.broadcast);
        EXPECT_EQ(NetUtil::ipAddressFrom(interfaces.list()), c.ip);
    }
    // The machine's own answer is some dotted IPv4 address.
    in_addr parsed{};
    EXPECT_EQ(inet_pton(AF_INET, NetUtil().getBroadcastAddress().c_str(), &parsed), 1);
}
