// The main window's serial link over a socat pseudo-terminal pair with the simulated mixer on the
// far end: the adapter is opened and gets the search frame, its answer claims the link and shuts
// the network side, frames cross unchanged, the adapter's end of stream takes the link down and
// brings the network search back, and the adapter announced again claims it anew. A device that
// is not a mixer claims nothing, and an adapter that does not carry the link feeds nothing into
// the frames of the network link.

#include "MainWindowFixture.h"

#include "link/DeviceFrame.h"
#include "serial/SerialPort.h"
#include "simfront/SimFronts.h"
#include "support/TestFiles.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>

using namespace mainwindowtest;

namespace {

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

class MainWindowSerial : public MainWindowTest {
protected:
    ~MainWindowSerial() override {
        link.reset();
        loop.drain();
    }
    // A line whose computer end looks like a USB serial adapter.
    std::unique_ptr<sim::SocatPair> line(const std::string& adapter) {
        auto pair = std::make_unique<sim::SocatPair>(folder_ / ("dev/" + adapter), folder_ / ("mixer-" + adapter));
        EXPECT_TRUE(pair->ready()) << "socat did not start";
        return pair;
    }
    platform::SerialDevice device(const sim::SocatPair& pair, const std::string& name) {
        return {name, pair.first, std::string(platform::kSerialRS232Type)};
    }
    // Devices present before start-up (the shared port list may exist already: they are reported).
    void present(std::vector<platform::SerialDevice> devices) {
        fakeRegistry().plug(std::move(devices));
        loop.drain();
    }
    bool claimed() { return link->connectType() == kConnectTypeSerial && gc.isconnected; }
    // Opens and closes the computer's end once: from then on the line keeps what the far end
    // writes while nobody has it open, as a line used before does.
    void prime(const sim::SocatPair& pair) {
        const int fd = ::open(pair.first.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        termios raw{};
        ASSERT_EQ(tcgetattr(fd, &raw), 0);
        cfmakeraw(&raw);
        ASSERT_EQ(tcsetattr(fd, TCSANOW, &raw), 0);
        ::close(fd);
    }
    // Searches over UDP, finds the mixer at 127.0.0.1, presses Connect and waits for the lists.
    void connectOverTcp() {
        ASSERT_TRUE(runUntil([&] { return link->connectType() == kConnectTypeTcp; })) << "no mixer found";
        ASSERT_EQ(view.device, "127.0.0.1");
        link->switchLighted();
        ASSERT_TRUE(runUntil([&] { return bus.count(MSG_PRESET_LIST_LOADED) == 1; }));
    }

    testsupport::TempDir folder_;
    sim::LockedMixer mixer;
};

}  // namespace

TEST_F(MainWindowSerial, AdapterAnswerClaimsTheLinkAndFramesCrossUnchanged) {
    auto pair = line("ttyUSB0");
    sim::SerialFront far(mixer, pair->second);
    ASSERT_TRUE(far.ok());
    present({{"ttyS0", "/dev/ttyS0-not-an-adapter", std::string(platform::kSerialRS232Type)},
                               device(*pair, "ttyUSB0")});
    start();
    EXPECT_EQ(link->m_device(), pair->first);
    ASSERT_TRUE(runUntil([&] { return claimed(); }));

    // The search frame arrived whole; the answer made the link serial and closed the network side.
    const auto first = mixer.with([](sim::SimMixer& m) { return m.received.empty() ? sim::Bytes() : m.received[0]; });
    uint8_t search[11] = {};
    XCoreData::PackageofSearchDevice(search);
    EXPECT_EQ(first, sim::Bytes(search, search + 11));
    EXPECT_EQ(view.device, pair->first);
    EXPECT_FALSE(link->begin_verifyDevice_withSearchIP);
    EXPECT_FALSE(link->isSearchTimerValid());
    EXPECT_TRUE(view.connectEnabled);
    EXPECT_EQ(link->comport()->speed(), 57600u);
    EXPECT_FALSE(link->isRealConnect());  // until the button switches it on

    link->switchLighted();
    EXPECT_TRUE(link->isSerialComportOpen());
    EXPECT_TRUE(view.lamp.lighted);
    EXPECT_EQ(view.connectTitle, "Disconnect");
    EXPECT_FALSE(view.refreshEnabled);

    // Names holding the bytes a cooked line would eat or change cross both ways unchanged.
    const std::array<uint8_t, 16> awkward = {0x0A, 0x0D, 0x11, 0x13, 0x03, 0x1C, 0x7F, 0x00,
                                             0xFF, 0x0D, 0x0A, 0x04, 0x15, 0x17, 0x12, 0x16};
    mixer.with([&](sim::SimMixer& m) { return m.names[0][5] = awkward; });
    link->sendCMD_ReadPresetList(0);
    ASSERT_TRUE(runUntil([&] { return bus.count(MSG_PRESET_LIST_LOADED) == 1; }));
    EXPECT_EQ(0, std::memcmp(gc.m_DSPPreset[5], awkward.data(), 16));

    std::memcpy(gc.m_GEQPreset[7], awkward.data(), 16);
    link->sendCMD_savePresetNameToD(1, 7, 0);
    ASSERT_TRUE(runUntil([&] { return mixer.with([&](sim::SimMixer& m) { return m.names[1][7] == awkward; }); }));

    // The end of the (unused) TCP link socket leaves the live serial link up.
    link->socketDidDisconnectWithError(link->tcpCilent(), nullptr);
    EXPECT_TRUE(gc.isconnected);
    EXPECT_EQ(bus.count(MSG_DISCONNECTED), 0u);
    EXPECT_TRUE(view.lamp.lighted);

    // The button switches the link off without touching the port.
    link->switchLighted();
    EXPECT_FALSE(link->isSerialComportOpen());
    EXPECT_FALSE(view.lamp.lighted);
    EXPECT_TRUE(link->comport()->isOpen());
    // Refresh on a live serial link does nothing.
    const auto port = link->comport();
    link->refleshSearchDevice();
    EXPECT_EQ(link->comport(), port);
    EXPECT_FALSE(link->begin_verifyDevice_withSearchIP);
}

TEST_F(MainWindowSerial, EndOfStreamTakesTheLinkDownAndTheAdapterAnnouncedAgainClaimsIt) {
    auto pair = line("ttyUSB0");
    auto far = std::make_unique<sim::SerialFront>(mixer, pair->second);
    present({device(*pair, "ttyUSB0")});
    // Counts the search's probes; its answers are too short to name a mixer.
    sim::UdpFront probes({settings.probePort, "127.0.0.1", 20, 0ms});
    ASSERT_TRUE(probes.ok());
    start();
    ASSERT_TRUE(runUntil([&] { return claimed(); }));
    link->switchLighted();
    ASSERT_TRUE(link->isSerialComportOpen());
    // The serial link carries the frames: no probes go out. The claim closed the search sockets
    // on their queues, so every probe they sent has reached the front: once it has dealt with
    // them, the count stays.
    ASSERT_TRUE(runUntil([&] { return probes.settled(); }));
    const int probesWhileSerial = probes.probes();
    loop.runFor(500ms);
    EXPECT_TRUE(runUntil([&] { return probes.settled(); }));
    EXPECT_EQ(probes.probes(), probesWhileSerial);

    // Unplugged: the line ends.
    far.reset();
    pair->kill();
    ASSERT_TRUE(runUntil([&] { return bus.count(MSG_DISCONNECTED) == 1; }));
    EXPECT_FALSE(gc.isconnected);
    EXPECT_EQ(link->comport(), nullptr);
    EXPECT_FALSE(link->isSerialComportOpen());
    EXPECT_FALSE(view.lamp.lighted);
    EXPECT_EQ(view.connectTitle, "Connect");
    EXPECT_TRUE(view.refreshEnabled);
    // The search is back as before the adapter answered: new sockets, its tick, probes.
    EXPECT_TRUE(link->begin_verifyDevice_withSearchIP);
    EXPECT_EQ(link->connectType(), 0);
    EXPECT_TRUE(link->isSearchTimerValid());
    ASSERT_TRUE(runUntil([&] { return probes.probes() >= probesWhileSerial + 2; })) << "no probes after the unplug";

    // Nothing keeps reading a dead line.
    const double before = cpuSeconds();
    loop.runFor(500ms);
    EXPECT_LT(cpuSeconds() - before, 0.3);
    EXPECT_EQ(bus.count(MSG_DISCONNECTED), 1u);

    // A new adapter is announced: opened, searched and claimed as the first time.
    fakeRegistry().unplug({device(*pair, "ttyUSB0")});
    auto again = line("ttyUSB1");
    sim::SerialFront far2(mixer, again->second);
    ASSERT_TRUE(far2.ok());
    fakeRegistry().plug({device(*again, "ttyUSB1")});
    ASSERT_TRUE(runUntil([&] { return claimed(); }));
    EXPECT_EQ(link->m_device(), again->first);
    EXPECT_EQ(view.device, again->first);
    link->switchLighted();
    link->sendCMD_ReadPresetList(0);
    ASSERT_TRUE(runUntil([&] { return bus.count(MSG_PRESET_LIST_LOADED) == 1; }));
}

TEST_F(MainWindowSerial, AnAdapterThatNeverAnsweredDoesNotHoldUpTheNetworkLink) {
    // An adapter is open but silent (its far end raw and never answering); the mixer is found on
    // the network.
    auto pair = line("ttyUSB0");
    const int silent = ::open(pair->second.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(silent, 0);
    termios raw{};
    ASSERT_EQ(tcgetattr(silent, &raw), 0);
    cfmakeraw(&raw);
    ASSERT_EQ(tcsetattr(silent, TCSANOW, &raw), 0);
    present({device(*pair, "ttyUSB0")});
    sim::UdpFront udp({settings.probePort, "127.0.0.1", 32, 0ms});
    ASSERT_TRUE(udp.ok());
    start();
    ASSERT_NE(link->comport(), nullptr);
    ASSERT_TRUE(runUntil([&] { return link->connectType() == kConnectTypeTcp; }));
    ASSERT_TRUE(link->comport()->isOpen());

    // Nothing listens yet: the failed connect shows the link down, not up.
    link->switchLighted();
    ASSERT_TRUE(runUntil([&] { return bus.count(MSG_DISCONNECTED) == 1; }));
    EXPECT_FALSE(gc.isconnected);
    EXPECT_FALSE(link->isRealConnect());
    EXPECT_FALSE(link->isNetworkOpen());
    EXPECT_FALSE(view.lamp.lighted);
    EXPECT_EQ(view.connectTitle, "Connect");

    // Connected, then dropped by the mixer: the same.
    sim::TcpFront tcp(mixer, "127.0.0.1", settings.tcpPort);
    ASSERT_TRUE(tcp.ok());
    link->switchLighted();
    ASSERT_TRUE(runUntil([&] { return bus.count(MSG_PRESET_LIST_LOADED) == 1; }));
    EXPECT_TRUE(gc.isconnected);
    tcp.dropClient();
    ASSERT_TRUE(runUntil([&] { return bus.count(MSG_DISCONNECTED) == 2; }));
    EXPECT_FALSE(gc.isconnected);
    EXPECT_FALSE(link->isNetworkOpen());
    EXPECT_EQ(view.connectTitle, "Connect");
    // One press connects again.
    link->switchLighted();
    ASSERT_TRUE(runUntil([&] { return bus.count(MSG_PRESET_LIST_LOADED) == 2; }));
    EXPECT_EQ(tcp.connections(), 2);
    ::close(silent);
}

TEST_F(MainWindowSerial, AnAdapterLeftCookedWithFlowControlIsOpenedAsARawLine) {
    auto pair = line("ttyUSB0");
    // An earlier program left the adapter cooked, 7E2, with hardware and software flow control.
    const int held = ::open(pair->first.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    termios cooked{};
    ASSERT_EQ(tcgetattr(held, &cooked), 0);
    cooked.c_cflag = (cooked.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB | CRTSCTS;
    cooked.c_iflag |= IXON | IXOFF | ICRNL;
    cooked.c_lflag |= ICANON | ECHO | ISIG;
    cooked.c_oflag |= OPOST;
    ASSERT_EQ(tcsetattr(held, TCSANOW, &cooked), 0);
    sim::SerialFront far(mixer, pair->second);
    present({device(*pair, "ttyUSB0")});
    start();
    ASSERT_TRUE(runUntil([&] { return claimed(); }));

    termios now{};
    ASSERT_EQ(tcgetattr(held, &now), 0);
    ::close(held);
    struct Flag {
        const char* name;
        tcflag_t value;
        tcflag_t bits;
        tcflag_t expected;
    };
    const Flag flags[] = {
        {"8 data bits", now.c_cflag, CSIZE, CS8},
        {"no parity", now.c_cflag, PARENB, 0},
        {"one stop bit", now.c_cflag, CSTOPB, 0},
        {"no hardware flow control", now.c_cflag, CRTSCTS, 0},
        {"no software flow control", now.c_iflag, IXON | IXOFF, 0},
        {"no CR/LF translation", now.c_iflag, ICRNL, 0},
        {"not canonical, no echo", now.c_lflag, ICANON | ECHO | ISIG, 0},
        {"no output processing", now.c_oflag, OPOST, 0},
    };
    for (const Flag& f : flags) EXPECT_EQ(f.value & f.bits, f.expected) << f.name;
    EXPECT_EQ(cfgetospeed(&now), B57600);
}

TEST_F(MainWindowSerial, PlugInReportsLeaveAnOpenAdapterAloneAndOtherDevicesAreNotOpened) {
    // Only devices without the marker: nothing is opened.
    present({{"ttyS0", "/dev/ttyS0", std::string(platform::kSerialRS232Type)}});
    start();
    EXPECT_EQ(link->m_device(), "");
    EXPECT_EQ(link->comport(), nullptr);

    auto pair = line("ttyUSB0");
    sim::SerialFront far(mixer, pair->second);
    fakeRegistry().plug({device(*pair, "ttyUSB0")});
    ASSERT_TRUE(runUntil([&] { return claimed(); }));
    const auto port = link->comport();

    // Another device arrives: the open adapter keeps its port and its link.
    fakeRegistry().plug({{"ttyS1", "/dev/ttyS1", std::string(platform::kSerialRS232Type)}});
    loop.runFor(200ms);
    EXPECT_EQ(link->comport(), port);
    EXPECT_TRUE(gc.isconnected);
    const size_t searches = mixer.with([](sim::SimMixer& m) {
        size_t n = 0;
        for (const auto& f : m.received) n += f.size() == 11 && f[8] == 0xF9;
        return n;
    });
    EXPECT_EQ(searches, 1u);
}

// Bytes arriving on an open adapter while the mixer's memory is backed up over TCP are dropped
// when they arrive: the file holds the mixer's memory.
TEST_F(MainWindowSerial, BytesOnAnAdapterDuringATcpBackupLeaveTheFileEqualToTheMixersMemory) {
    auto pair = line("ttyUSB0");
    sim::TextFront adapter(pair->second, "");  // silent: it never answers the search frame
    ASSERT_TRUE(adapter.ok());
    present({device(*pair, "ttyUSB0")});
    sim::TcpFront tcp(mixer, "127.0.0.1", 0);
    ASSERT_TRUE(tcp.ok());
    tcp.setPieces(1460, 300us);  // the backup takes a while, in many reads
    settings.tcpPort = tcp.port();
    sim::UdpFront udp({settings.probePort, "127.0.0.1", 32, 0ms});
    start();
    ASSERT_TRUE(runUntil([&] { return adapter.received() >= 11; })) << "the adapter was not opened";
    connectOverTcp();
    ASSERT_NE(link->comport(), nullptr);
    ASSERT_TRUE(link->comport()->isOpen());

    gc.memoryFilePath = folder_ / "backup.mprt";
    link->sendCMD_MemoryExport();
    // A whole frame, a frame start and text, at three points of the backup.
    const std::vector<sim::Bytes> strays = {
        {0x01, 0x20, 0x03, 0x0B, 0x00, 0x01, 0x00, 0x01, 0x33, 0x01, 0x40},
        {0x01, 0x20, 0x03, 0x0B, 0x00, 0x01},
        {'$', 'G', 'P', 'G', 'G', 'A', ',', '1', '2', '\r', '\n'}};
    for (size_t i = 0; i < strays.size(); ++i) {
        ASSERT_TRUE(runUntil([&] { return bus.count(MSG_BACKUP_PACKET) >= 3 + 8 * i; }, 20s));
        adapter.send(strays[i]);
    }
    ASSERT_TRUE(runUntil([&] { return bus.count(MSG_BACKUP_PACKET) == 30 || bus.count(MSG_PRESET_IDLE) > 0; }, 30s));
    EXPECT_EQ(bus.count(MSG_PRESET_IDLE), 0u);
    EXPECT_TRUE(ui.callsOf("alert").empty());
    EXPECT_EQ(testsupport::readFile(gc.memoryFilePath), mixer.with([](sim::SimMixer& m) { return m.memoryImage(); }));
    EXPECT_EQ(bus.count(MSG_PRESET_WRITTEN), 0u) << "the stray frame on the adapter reached the dispatcher";
    EXPECT_EQ(link->connectType(), kConnectTypeTcp);
}

// A device that is not a mixer (here one that answers with text) claims nothing: the mixer on the
// network is found and connected, and the network side stays.
TEST_F(MainWindowSerial, AChattyAdapterClaimsNothingAndTheMixerOnTheNetworkIsConnected) {
    auto pair = line("ttyUSB0");
    sim::TextFront gps(pair->second, "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n");
    ASSERT_TRUE(gps.ok());
    present({device(*pair, "ttyUSB0")});
    sim::TcpFront tcp(mixer, "127.0.0.1", 0);
    settings.tcpPort = tcp.port();
    // The mixer on the network answers well after the device's text has arrived.
    sim::UdpFront udp({settings.probePort, "127.0.0.1", 32, 600ms});
    ASSERT_TRUE(udp.ok());
    start();
    ASSERT_TRUE(runUntil([&] { return gps.answers() >= 1; })) << "the device never answered";
    loop.runFor(200ms);
    EXPECT_EQ(link->connectType(), 0) << "the text claimed the link";
    EXPECT_TRUE(link->begin_verifyDevice_withSearchIP);
    gps.send(sim::Bytes(200, '#'));  // more text while the search runs
    connectOverTcp();
    EXPECT_EQ(link->connectType(), kConnectTypeTcp);
    EXPECT_TRUE(link->isSearchTimerValid()) << "the network side was closed";
    EXPECT_TRUE(gc.isconnected);
    EXPECT_EQ(view.device, "127.0.0.1");
}

// Leftovers of an earlier connection wait in the adapter when it is opened, and the mixer's
// answer comes after a frame it had begun: the adapter is claimed all the same, and the first
// replies on the serial link are not swallowed.
TEST_F(MainWindowSerial, TheMixersAnswerAfterAStalePartialFrameStillClaimsAndTheLinkWorks) {
    auto pair = line("ttyUSB0");
    prime(*pair);
    sim::SerialFront far(mixer, pair->second);
    ASSERT_TRUE(far.ok());
    // Left in the adapter: the head of a DSP name list, header included.
    far.send({0x01, 0x20, 0x03, 0x0B, 0x00, 0x01, 0x00, 0x01, 0x18, 0x01, 0x41, 0x42});
    // Sent right before the answer: the head of a frame, cut before its header ends.
    far.prefixNextReply({0x01, 0x20, 0x03, 0x0B, 0x00, 0x01});
    present({device(*pair, "ttyUSB0")});
    loop.runFor(100ms);
    start();
    ASSERT_TRUE(runUntil([&] { return claimed(); }));
    EXPECT_EQ(link->receivedLength(), 0u) << "the answer completed";
    link->switchLighted();
    link->sendCMD_ReadPresetList(0);
    ASSERT_TRUE(runUntil([&] { return bus.count(MSG_PRESET_LIST_LOADED) == 1; }));
    const auto names = mixer.with([](sim::SimMixer& m) { return m.names[0][0]; });
    EXPECT_EQ(0, std::memcmp(gc.m_DSPPreset[0], names.data(), 16));
}

// With the serial link off (the demo beside the simulated mixer), an adapter present at start-up,
// one plugged in later and one there at a refresh are never chosen nor opened, though a mixer on
// them would answer: they receive no byte, and the mixer on the network is found and connected.
TEST_F(MainWindowSerial, WithTheSerialLinkOffNoAdapterIsChosenOrOpened) {
    sim::LockedMixer onAdapter;
    auto pair = line("ttyUSB0");
    sim::SerialFront far(onAdapter, pair->second);
    ASSERT_TRUE(far.ok());
    present({device(*pair, "ttyUSB0")});
    sim::TcpFront tcp(mixer, "127.0.0.1", 0);
    ASSERT_TRUE(tcp.ok());
    settings.tcpPort = tcp.port();
    settings.serialLink = false;
    sim::UdpFront udp({settings.probePort, "127.0.0.1", 32, 0ms});
    ASSERT_TRUE(udp.ok());
    start();
    link->refleshSearchDevice();
    auto plugged = line("ttyUSB1");
    sim::SerialFront far2(onAdapter, plugged->second);
    ASSERT_TRUE(far2.ok());
    fakeRegistry().plug({device(*plugged, "ttyUSB1")});
    connectOverTcp();
    loop.runFor(200ms);

    EXPECT_EQ(link->m_device(), "");
    EXPECT_EQ(link->comport(), nullptr);
    EXPECT_EQ(onAdapter.with([](sim::SimMixer& m) { return m.received.size(); }), 0u);
    EXPECT_EQ(link->connectType(), kConnectTypeTcp);
    EXPECT_TRUE(gc.isconnected);
}
