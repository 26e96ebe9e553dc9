// The main window's link against the simulated mixer on loopback: the UDP search finds it, the
// Connect button opens the TCP link and the preset lists come in; a dropped link and a failed
// connect show the real state and connecting again works.

#include "MainWindowFixture.h"

#include "net/AsyncTcpSocket.h"
#include "simfront/SimFronts.h"

#include <algorithm>
#include <cstring>

using namespace mainwindowtest;

namespace {

class MainWindowNetwork : public MainWindowTest {
protected:
    sim::UdpFront::Options udpOptions(const std::string& from = "127.0.0.1", size_t length = 32,
                                      std::chrono::milliseconds delay = 0ms) const {
        return {settings.probePort, from, length, delay};
    }
    // Search ticks begun so far (each sleeps 0.05 s before its probe).
    size_t ticks() const {
        const auto sleeps = sleeper.sleeps();
        return size_t(std::count(sleeps.begin(), sleeps.end(), 0.05));
    }
    // Runs until n more ticks have begun, so that n - 1 have run whole.
    bool runTicks(size_t n, std::chrono::milliseconds timeout = 10s) {
        const size_t until = ticks() + n;
        return runUntil([&] { return ticks() >= until; }, timeout);
    }
    // Searches, finds the mixer at host and presses Connect.
    void connectTo(const std::string& host) {
        ASSERT_TRUE(runUntil([&] { return link->connectType() == kConnectTypeTcp; })) << "no mixer found";
        ASSERT_EQ(view.device, host);
        link->switchLighted();
    }
};

// The preset-list requests the mixer received, by sub-code.
std::vector<int> presetListSubs(sim::LockedMixer& mixer) {
    return mixer.with([](sim::SimMixer& m) {
        std::vector<int> subs;
        for (const auto& f : m.received)
            if (f.size() == 11 && f[8] == 0x18) subs.push_back(f[9]);
        return subs;
    });
}

}  // namespace

TEST_F(MainWindowNetwork, SearchOnLoopbackBroadcastFindsTheMixerAndStopsProbing) {
    settings.broadcastAddress = "127.255.255.255";
    sim::UdpFront mixer(udpOptions());
    ASSERT_TRUE(mixer.ok());
    start();
    ASSERT_TRUE(runUntil([&] { return link->connectType() == kConnectTypeTcp; }));
    EXPECT_EQ(view.device, "127.0.0.1");
    EXPECT_EQ(link->deviceList, std::vector<std::string>{"127.0.0.1"});
    EXPECT_FALSE(link->begin_verifyDevice_withSearchIP);
    EXPECT_EQ(link->isFounded, 1);
    // The ticks go on (receives stay armed) but no more probes go out. Probes already on their
    // way when the reply was handled are let arrive first (two ticks, and the mixer has dealt
    // with all that reached it); four ticks then send none.
    ASSERT_TRUE(runTicks(2));
    ASSERT_TRUE(runUntil([&] { return mixer.settled(); }));
    const int probes = mixer.probes();
    ASSERT_TRUE(runTicks(4));
    EXPECT_TRUE(runUntil([&] { return mixer.settled(); }));
    EXPECT_EQ(mixer.probes(), probes);
}

TEST_F(MainWindowNetwork, TwentyByteAnswersAreIgnored) {
    sim::UdpFront mixer(udpOptions("127.0.0.1", 20));
    ASSERT_TRUE(mixer.ok());
    start();
    ASSERT_TRUE(runUntil([&] { return mixer.replies() >= 3; }));
    loop.runFor(100ms);
    EXPECT_EQ(link->connectType(), 0);
    EXPECT_TRUE(link->deviceList.empty());
    EXPECT_TRUE(link->begin_verifyDevice_withSearchIP);
    EXPECT_EQ(view.device, "");
}

TEST_F(MainWindowNetwork, OfTwoMixersTheFirstToAnswerWins) {
    settings.broadcastAddress = "127.255.255.255";
    sim::UdpFront first(udpOptions("127.0.0.2"));
    // The second answers each probe only after the first has answered it, however busy the machine.
    auto later = udpOptions("127.0.0.3");
    later.answersAfter = &first;
    sim::UdpFront second(later);
    ASSERT_TRUE(first.ok() && second.ok());
    start();
    ASSERT_TRUE(runUntil([&] { return second.replies() >= 1 && link->connectType() == kConnectTypeTcp; }));
    loop.runFor(300ms);
    EXPECT_EQ(view.device, "127.0.0.2");
    EXPECT_EQ(link->deviceList, std::vector<std::string>{"127.0.0.2"});
}

TEST_F(MainWindowNetwork, ConnectRunsThePresetListsAndADroppedLinkShowsTheRealState) {
    sim::LockedMixer mixer;
    sim::TcpFront tcp(mixer, "127.0.0.1", 0);
    ASSERT_TRUE(tcp.ok());
    settings.tcpPort = tcp.port();
    sim::UdpFront udp(udpOptions());
    start();
    connectTo("127.0.0.1");
    ASSERT_FALSE(sleeper.sleeps().empty());
    EXPECT_EQ(sleeper.sleeps().back(), 2.0);  // after the 0.05 s of each search tick
    EXPECT_TRUE(link->isNetworkOpen());
    EXPECT_FALSE(view.refreshEnabled);

    ASSERT_TRUE(runUntil([&] { return bus.count(MSG_PRESET_LIST_LOADED) == 1; }));
    EXPECT_EQ(presetListSubs(mixer), (std::vector<int>{1, 2, 3, 4}));
    EXPECT_TRUE(gc.isconnected);
    EXPECT_TRUE(link->isRealConnect());
    EXPECT_TRUE(view.lamp.lighted);
    EXPECT_EQ(view.connectTitle, "Disconnect");
    EXPECT_TRUE(view.connectEnabled);
    const auto names = mixer.with([](sim::SimMixer& m) { return m.names[3][0]; });
    EXPECT_EQ(0, std::memcmp(gc.m_scenPreset[0], names.data(), 16));

    // The mixer drops the link: 263, and the controls show the link down.
    tcp.dropClient();
    ASSERT_TRUE(runUntil([&] { return bus.count(MSG_DISCONNECTED) == 1; }));
    EXPECT_FALSE(gc.isconnected);
    EXPECT_FALSE(link->isNetworkOpen());
    EXPECT_FALSE(view.lamp.lighted);
    EXPECT_EQ(view.connectTitle, "Connect");
    EXPECT_TRUE(view.refreshEnabled);

    // One press connects again to the address in the device field.
    link->switchLighted();
    ASSERT_TRUE(runUntil([&] { return bus.count(MSG_PRESET_LIST_LOADED) == 2; }));
    EXPECT_EQ(tcp.connections(), 2);
    EXPECT_TRUE(gc.isconnected);
    EXPECT_EQ(view.connectTitle, "Disconnect");

    // Disconnecting by the button: lists cleared, the search resumes, 263 from the socket.
    link->switchLighted();
    EXPECT_FALSE(link->isNetworkOpen());
    EXPECT_TRUE(link->begin_verifyDevice_withSearchIP);
    EXPECT_TRUE(link->deviceList.empty());
    EXPECT_EQ(view.connectTitle, "Connect");
    ASSERT_TRUE(runUntil([&] { return bus.count(MSG_DISCONNECTED) == 2; }));
    EXPECT_FALSE(gc.isconnected);
}

TEST_F(MainWindowNetwork, AFailedConnectShowsTheLinkDownAndCanBeRetried) {
    sim::UdpFront udp(udpOptions());
    start();  // nothing listens on settings.tcpPort
    connectTo("127.0.0.1");
    EXPECT_TRUE(view.lamp.lighted);  // the request is shown at once
    ASSERT_TRUE(runUntil([&] { return bus.count(MSG_DISCONNECTED) == 1; }));
    EXPECT_FALSE(gc.isconnected);
    EXPECT_FALSE(link->isNetworkOpen());
    EXPECT_FALSE(view.lamp.lighted);
    EXPECT_EQ(view.connectTitle, "Connect");
    EXPECT_TRUE(view.refreshEnabled);

    // The mixer comes up: the next press connects.
    sim::LockedMixer mixer;
    sim::TcpFront tcp(mixer, "127.0.0.1", settings.tcpPort);
    ASSERT_TRUE(tcp.ok());
    link->switchLighted();
    ASSERT_TRUE(runUntil([&] { return bus.count(MSG_PRESET_LIST_LOADED) == 1; }));
    EXPECT_TRUE(gc.isconnected);
}

TEST_F(MainWindowNetwork, RefreshForgetsTheMixerAndFindsItAgainOnNewSockets) {
    sim::UdpFront mixer(udpOptions());
    start();
    ASSERT_TRUE(runUntil([&] { return link->connectType() == kConnectTypeTcp; }));
    // The probes of this search are let arrive and be answered on the old sockets first, as in
    // the test above (a late answer would reach the new sockets, and the new search drops what
    // waits there before its first probe, as the next test shows).
    ASSERT_TRUE(runTicks(2));
    ASSERT_TRUE(runUntil([&] { return mixer.settled(); }));
    const int probes = mixer.probes();
    // The old sockets give up their ports before the new ones bind them, and the search resumes.
    link->refleshSearchDevice();
    EXPECT_TRUE(link->deviceList.empty());
    EXPECT_TRUE(link->begin_verifyDevice_withSearchIP);
    ASSERT_TRUE(runUntil([&] { return !link->deviceList.empty(); }));
    EXPECT_GT(mixer.probes(), probes);
    EXPECT_EQ(link->deviceList, std::vector<std::string>{"127.0.0.1"});
    EXPECT_FALSE(link->begin_verifyDevice_withSearchIP);
}

// The new sockets of a refresh bind the old ones' ports, so a reply to a probe sent before the
// refresh can wait there when the new search begins. It is dropped: the mixer found is the one
// that answers a probe of the new search. Here the test is the mixer: it answers the new probes
// from 127.0.0.2, after a reply from 127.0.0.3 came in late for an old one.
TEST_F(MainWindowNetwork, AReplyToAProbeSentBeforeARefreshIsNotTakenForTheNewSearch) {
    auto udpSocket = [](const char* address, uint16_t port) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(port);
        ::inet_pton(AF_INET, address, &at.sin_addr);
        if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
            ::close(fd);
            return -1;
        }
        return fd;
    };
    const int probeSink = udpSocket("127.0.0.1", settings.probePort);
    const int late = udpSocket("127.0.0.3", 0);
    const int fresh = udpSocket("127.0.0.2", 0);
    ASSERT_GE(probeSink, 0);
    ASSERT_GE(late, 0);
    ASSERT_GE(fresh, 0);
    const std::shared_ptr<void> closeAll(nullptr, [&](void*) {
        for (int fd : {probeSink, late, fresh}) ::close(fd);
    });
    // The probes that came in (the last one's sender kept); each is answered by `from` when set.
    sockaddr_in sender{};
    auto takeProbes = [&](int from) {
        int n = 0;
        uint8_t probe[64];
        socklen_t length = sizeof sender;
        while (::recvfrom(probeSink, probe, sizeof probe, 0, reinterpret_cast<sockaddr*>(&sender), &length) >= 0) {
            ++n;
            const std::string reply = "VARNEL-MIXER                    ";  // 32 bytes
            if (from >= 0)
                ::sendto(from, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&sender), sizeof sender);
            length = sizeof sender;
        }
        return n;
    };

    start();
    ASSERT_TRUE(runUntil([&] { return takeProbes(-1) > 0; }));
    link->refleshSearchDevice();
    takeProbes(-1);  // probes of the old search still on their way are not answered
    // The late reply to an old probe reaches the new sockets before the new search probes.
    const std::string reply = "VARNEL-MIXER                    ";
    ASSERT_EQ(::sendto(late, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&sender), sizeof sender),
              static_cast<ssize_t>(reply.size()));
    ASSERT_TRUE(runUntil([&] {
        takeProbes(fresh);
        return !link->deviceList.empty();
    }));
    EXPECT_EQ(link->deviceList, std::vector<std::string>{"127.0.0.2"});
    EXPECT_EQ(view.device, "127.0.0.2");
}

TEST_F(MainWindowNetwork, RepliesSplitAcrossManyReadsStillCompleteTheirFrames) {
    sim::LockedMixer mixer;
    sim::TcpFront tcp(mixer, "127.0.0.1", 0);
    tcp.setPieces(7, 200us);
    settings.tcpPort = tcp.port();
    sim::UdpFront udp(udpOptions());
    start();
    connectTo("127.0.0.1");
    ASSERT_TRUE(runUntil([&] { return bus.count(MSG_PRESET_LIST_LOADED) == 1; }, 20s));
    const auto names = mixer.with([](sim::SimMixer& m) { return m.names; });
    EXPECT_EQ(0, std::memcmp(gc.m_DSPPreset[47], names[0][47].data(), 16));
    EXPECT_EQ(0, std::memcmp(gc.m_FXPreset[103], names[2][103].data(), 16));
    EXPECT_EQ(0, std::memcmp(gc.m_scenPreset[23], names[3][23].data(), 16));
    EXPECT_EQ(link->receivedLength(), 0u);
}

// A connect to an address that does not answer is pending for minutes of the kernel's retries.
// A press of the button ends it at once: no 2 s wait, the controls show the link down, the device
// stays for the next press, and the socket reports the end once and never a connection.
TEST_F(MainWindowNetwork, APressWhileTheConnectIsPendingEndsItAtOnce) {
    // A listener whose accept queue is full: the kernel drops further connection requests, so a
    // connect to it stays pending, as to an address that does not answer.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof at;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&at), &length), 0);
    std::vector<int> fillers;
    for (int i = 0; i < 2; ++i) {
        fillers.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        ::connect(fillers.back(), reinterpret_cast<sockaddr*>(&at), sizeof at);
    }
    settings.tcpPort = ntohs(at.sin_port);
    sim::UdpFront udp(udpOptions());
    start();
    connectTo("127.0.0.1");
    loop.runFor(500ms);
    ASSERT_EQ(bus.count(MSG_DISCONNECTED), 0u) << "the connect did not stay pending";
    ASSERT_FALSE(gc.isconnected);
    ASSERT_EQ(view.connectTitle, "Disconnect");

    sleeper.clear();
    link->switchLighted();
    EXPECT_TRUE(sleeper.sleeps().empty()) << "the press waited";
    EXPECT_FALSE(view.lamp.lighted);
    EXPECT_EQ(view.connectTitle, "Connect");
    EXPECT_FALSE(link->isNetworkOpen());
    EXPECT_TRUE(view.refreshEnabled);
    EXPECT_EQ(view.device, "127.0.0.1");
    EXPECT_EQ(link->deviceList, std::vector<std::string>{"127.0.0.1"});
    EXPECT_TRUE(link->tcpCilent()->isDisconnected());
    ASSERT_TRUE(runUntil([&] { return bus.count(MSG_DISCONNECTED) >= 1; }));
    loop.runFor(500ms);
    EXPECT_EQ(bus.count(MSG_DISCONNECTED), 1u);
    EXPECT_FALSE(gc.isconnected) << "a connection was reported after the attempt ended";
    EXPECT_EQ(view.connectTitle, "Connect");
    EXPECT_FALSE(view.lamp.lighted);

    // The address answers now: the next press connects to it.
    for (int fd : fillers) ::close(fd);
    for (int fd; (fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) ::close(fd);
    link->switchLighted();
    ASSERT_TRUE(runUntil([&] { return gc.isconnected; }));
    EXPECT_EQ(view.connectTitle, "Disconnect");
    EXPECT_TRUE(link->isNetworkOpen());
    ::close(listener);
}
