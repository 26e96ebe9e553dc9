// The port object: identity, ownership, open and close, settings as the device receives them,
// the options dictionary, the error latch, line control and the text encodings.

#include "platform/SerialRegistryWatchLoop.h"
#include "platform/Trace.h"
#include "platform/testing/FakeSerialRegistry.h"
#include "serial/PtyPair.h"
#include "serial/SerialPort.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace serialtest;

namespace {

class SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::setTraceEnabled(false);
        port = SerialPort::initWithNameType(pty.path(), "ttyTEST", "IORS232SerialStream");
    }
    void openRaw() {
        ASSERT_TRUE(port->open());
        port->makeRaw();
        ASSERT_TRUE(port->commitChanges());
    }

    PtyPair pty;
    std::shared_ptr<SerialPort> port;
};

TEST_F(SerialPortTest, NewPortIsClosedAvailableAndDescribesItself) {
    EXPECT_FALSE(port->isOpen());
    EXPECT_TRUE(port->available());
    EXPECT_EQ(port->readTimeout(), 1.0);
    EXPECT_EQ(port->errorCode(), 0);
    EXPECT_EQ(port->bsdPath(), pty.path());
    EXPECT_EQ(port->name(), "ttyTEST");
    EXPECT_EQ(port->type(), "IORS232SerialStream");
    const std::string text = port->description();
    EXPECT_NE(text.find("name: ttyTEST, path: " + pty.path() + ", type: IORS232SerialStream"), std::string::npos);
    EXPECT_NE(text.find("fileHandle: (null), fileDescriptor: -1>"), std::string::npos) << text;
    EXPECT_EQ(SerialPort::initWithName("/dev/x", "x")->type(), "");
}

TEST_F(SerialPortTest, EqualityAndHashFollowThePathOnly) {
    auto samePath = SerialPort::initWithNameType(pty.path(), "other", "");
    auto otherPath = SerialPort::initWithNameType(pty.path() + "x", "ttyTEST", "IORS232SerialStream");
    EXPECT_TRUE(port->isEqual(samePath.get()));
    EXPECT_EQ(port->hash(), samePath->hash());
    EXPECT_FALSE(port->isEqual(otherPath.get()));
    EXPECT_FALSE(port->isEqual(nullptr));
}

TEST_F(SerialPortTest, OwnershipTokenAndFree) {
    auto first = std::make_shared<int>(1);
    EXPECT_EQ(port->obtainBy(first), port);
    EXPECT_EQ(port->obtainBy(std::make_shared<int>(2)), nullptr);
    EXPECT_EQ(port->owner(), first);
    ASSERT_TRUE(port->open());
    port->free();
    EXPECT_TRUE(port->available());
    EXPECT_FALSE(port->isOpen());
}

TEST_F(SerialPortTest, OpeningAMissingPathFailsAndLeavesThePortClosed) {
    auto missing = SerialPort::initWithNameType("/dev/no-such-serial-device", "none", "");
    EXPECT_EQ(missing->open(), nullptr);
    EXPECT_FALSE(missing->isOpen());
    missing->close();
    EXPECT_EQ(missing->fileDescriptor(), -1);
}

TEST_F(SerialPortTest, OpenGivesABlockingDescriptorAndOpeningAgainClosesTheFirst) {
    const int before = pty.openCount();
    auto handle = port->open();
    ASSERT_TRUE(handle);
    EXPECT_EQ(handle->fileDescriptor, port->fileDescriptor());
    EXPECT_EQ(fcntl(port->fileDescriptor(), F_GETFL) & O_NONBLOCK, 0);
    ASSERT_TRUE(port->open());
    EXPECT_EQ(pty.openCount(), before + 1) << "the first descriptor leaked";
    port->close();
    EXPECT_EQ(pty.openCount(), before);
    EXPECT_EQ(port->fileHandle(), nullptr);
}

TEST_F(SerialPortTest, ExclusiveOpenLocksTheDeviceAndStaysNonBlocking) {
    ASSERT_TRUE(port->openExclusively());
    EXPECT_NE(fcntl(port->fileDescriptor(), F_GETFL) & O_NONBLOCK, 0);
    auto rival = SerialPort::initWithNameType(pty.path(), "rival", "");
    EXPECT_EQ(rival->openExclusively(), nullptr);
    EXPECT_TRUE(rival->open()) << "a plain open takes no lock";
    rival->close();
    port->close();
    EXPECT_TRUE(rival->openExclusively());
}

// Each setting is set on the working copy, committed, and checked as the device has it.
// A pseudo-terminal always runs 8 bits without parity, so those rows check the getters only.
TEST_F(SerialPortTest, SettingsReachTheDeviceWhenCommitted) {
    struct Case {
        const char* name;
        std::function<void(SerialPort&)> set;
        std::function<bool(const SerialPort&)> getter;
        std::function<bool(const termios&)> device;  // null: not observable on a pseudo-terminal
    };
    const Case cases[] = {
        {"data bits 7", [](SerialPort& p) { p.setDataBits(7); }, [](const SerialPort& p) { return p.dataBits() == 7; }, nullptr},
        {"data bits 6", [](SerialPort& p) { p.setDataBits(6); }, [](const SerialPort& p) { return p.dataBits() == 6; }, nullptr},
        {"data bits 9 clears the size", [](SerialPort& p) { p.setDataBits(9); },
         [](const SerialPort& p) { return p.dataBits() == 5; }, nullptr},
        {"data bits 8", [](SerialPort& p) { p.setDataBits(5), p.setDataBits(8); },
         [](const SerialPort& p) { return p.dataBits() == 8; }, [](const termios& t) { return (t.c_cflag & CSIZE) == CS8; }},
        {"odd parity", [](SerialPort& p) { p.setParity(1); }, [](const SerialPort& p) { return p.parity() == 1; }, nullptr},
        {"even parity", [](SerialPort& p) { p.setParity(1), p.setParity(2); },
         [](const SerialPort& p) { return p.parity() == 2 && !p.testParityOdd(); }, nullptr},
        {"no parity keeps the odd bit", [](SerialPort& p) { p.setParity(1), p.setParity(0); },
         [](const SerialPort& p) { return p.parity() == 0 && p.testParityOdd(); }, nullptr},
        {"parity 7 changes nothing", [](SerialPort& p) { p.setParity(2), p.setParity(7); },
         [](const SerialPort& p) { return p.parity() == 2; }, nullptr},
        {"two stop bits", [](SerialPort& p) { p.setStopBits(2); }, [](const SerialPort& p) { return p.stopBits() == 2; },
         [](const termios& t) { return (t.c_cflag & CSTOPB) != 0; }},
        {"stop bits 3 changes nothing", [](SerialPort& p) { p.setStopBits(2), p.setStopBits(3); },
         [](const SerialPort& p) { return p.stopBits() == 2; }, [](const termios& t) { return (t.c_cflag & CSTOPB) != 0; }},
        {"echo off", [](SerialPort& p) { p.setEchoEnabled(false); }, [](const SerialPort& p) { return !p.echoEnabled(); },
         [](const termios& t) { return !(t.c_lflag & ECHO); }},
        {"canonical mode off", [](SerialPort& p) { p.setCanonicalMode(false); },
         [](const SerialPort& p) { return !p.canonicalMode(); }, [](const termios& t) { return !(t.c_lflag & ICANON); }},
        {"RTS input flow control is RTS/CTS", [](SerialPort& p) { p.setRTSInputFlowControl(true); },
         [](const SerialPort& p) { return p.RTSInputFlowControl() && p.CTSOutputFlowControl(); },
         [](const termios& t) { return (t.c_cflag & CRTSCTS) != 0; }},
        {"CTS output off clears RTS/CTS", [](SerialPort& p) { p.setRTSInputFlowControl(true), p.setCTSOutputFlowControl(false); },
         [](const SerialPort& p) { return !p.RTSInputFlowControl(); }, [](const termios& t) { return !(t.c_cflag & CRTSCTS); }},
        {"DTR, DSR and carrier flow control are kept, not applied",
         [](SerialPort& p) { p.setDTRInputFlowControl(true), p.setDSROutputFlowControl(true), p.setCAROutputFlowControl(true); },
         [](const SerialPort& p) { return p.DTRInputFlowControl() && p.DSROutputFlowControl() && p.CAROutputFlowControl(); },
         [](const termios& t) { return !(t.c_cflag & CRTSCTS); }},
        {"no hang-up on close", [](SerialPort& p) { p.setHangupOnClose(false); },
         [](const SerialPort& p) { return !p.hangupOnClose(); }, [](const termios& t) { return !(t.c_cflag & HUPCL); }},
        {"local mode", [](SerialPort& p) { p.setLocalMode(true); }, [](const SerialPort& p) { return p.localMode(); },
         [](const termios& t) { return (t.c_cflag & CLOCAL) != 0; }},
        {"end-of-line character", [](SerialPort& p) { p.setEndOfLineCharacter('\x04'); },
         [](const SerialPort& p) { return p.endOfLineCharacter() == '\x04'; }, [](const termios& t) { return t.c_cc[VEOL] == 4; }},
        {"speed 57600", [](SerialPort& p) { p.setSpeed(57600); },
         [](const SerialPort& p) { return p.speed() == 57600 && p.ispeed() == 57600; },
         [](const termios& t) { return cfgetospeed(&t) == B57600 && cfgetispeed(&t) == B57600; }},
        {"raw 8N1 line", [](SerialPort& p) { p.setParity(2), p.setStopBits(2), p.setRTSInputFlowControl(true), p.makeRaw(); },
         [](const SerialPort& p) {
             return p.dataBits() == 8 && p.parity() == 0 && p.stopBits() == 1 && !p.echoEnabled() && !p.canonicalMode();
         },
         [](const termios& t) {
             return !(t.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN)) && !(t.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP)) &&
                    !(t.c_oflag & OPOST) && (t.c_cflag & CSIZE) == CS8 && !(t.c_cflag & (PARENB | CSTOPB | CRTSCTS)) && t.c_cc[VMIN] == 1 &&
                    t.c_cc[VTIME] == 0;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(port->open());
        c.set(*port);
        EXPECT_TRUE(c.getter(*port));
        if (c.device) {
            ASSERT_TRUE(port->commitChanges());
            EXPECT_TRUE(c.device(pty.settings()));
        }
        port->close();
    }
}

TEST_F(SerialPortTest, CloseRestoresTheSettingsFoundAtOpen) {
    const termios original = pty.settings();
    openRaw();
    port->setSpeed(115200);
    ASSERT_TRUE(port->commitChanges());
    ASSERT_NE(pty.settings().c_lflag, original.c_lflag);
    port->close();
    const termios restored = pty.settings();
    EXPECT_EQ(restored.c_iflag, original.c_iflag);
    EXPECT_EQ(restored.c_oflag, original.c_oflag);
    EXPECT_EQ(restored.c_cflag, original.c_cflag);
    EXPECT_EQ(restored.c_lflag, original.c_lflag);
    EXPECT_EQ(cfgetospeed(&restored), cfgetospeed(&original));
}

TEST_F(SerialPortTest, ErrorLatchHoldsUntilCleared) {
    // Committing a port that was never opened latches the bad descriptor.
    EXPECT_FALSE(port->commitChanges());
    EXPECT_EQ(port->errorCode(), EBADF);
    ASSERT_TRUE(port->open());
    EXPECT_FALSE(port->commitChanges()) << "the latch must hold after opening";
    port->clearError();
    EXPECT_EQ(port->errorCode(), EBADF) << "clearError keeps the number";
    EXPECT_TRUE(port->commitChanges());

    // A speed the terminal interface lacks: refused, latched, and nothing reaches the device.
    ASSERT_TRUE(pty.settings().c_lflag & ECHO);
    port->setEchoEnabled(false);
    EXPECT_FALSE(port->setSpeed(12345));
    EXPECT_EQ(port->errorCode(), EINVAL);
    EXPECT_FALSE(port->commitChanges());
    EXPECT_TRUE(pty.settings().c_lflag & ECHO);
    port->clearError();
    EXPECT_TRUE(port->commitChanges());
    EXPECT_FALSE(pty.settings().c_lflag & ECHO);
}

TEST_F(SerialPortTest, OptionsDictionaryDescribesTheWorkingSettings) {
    struct Case {
        const char* name;
        std::function<void(SerialPort&)> set;
        SerialOptions expected;  // besides the name entry
    };
    const Case cases[] = {
        {"raw 57600", [](SerialPort& p) { p.setSpeed(57600); },
         {{SerialOptionSpeed, "57600"}, {SerialOptionDataBits, "8"}, {SerialOptionStopBits, "1"}}},
        {"odd parity, 7 bits, 2 stop bits", [](SerialPort& p) { p.setParity(1), p.setDataBits(7), p.setStopBits(2); },
         {{SerialOptionSpeed, "9600"}, {SerialOptionDataBits, "7"}, {SerialOptionStopBits, "2"}, {SerialOptionParity, "Odd"}}},
        {"even parity, echo, canonical", [](SerialPort& p) { p.setParity(2), p.setEchoEnabled(true), p.setCanonicalMode(true); },
         {{SerialOptionSpeed, "9600"}, {SerialOptionDataBits, "8"}, {SerialOptionStopBits, "1"}, {SerialOptionParity, "Even"},
          {SerialOptionEcho, "YES"}, {SerialOptionCanonicalMode, "YES"}}},
        {"DTR wins over RTS, carrier over CTS",
         [](SerialPort& p) { p.setRTSInputFlowControl(true), p.setDTRInputFlowControl(true), p.setCAROutputFlowControl(true); },
         {{SerialOptionSpeed, "9600"}, {SerialOptionDataBits, "8"}, {SerialOptionStopBits, "1"},
          {SerialOptionInputFlowControl, "DTR"}, {SerialOptionOutputFlowControl, "CAR"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        openRaw();
        port->setSpeed(9600);
        c.set(*port);
        ASSERT_TRUE(port->commitChanges());
        SerialOptions expected = c.expected;
        expected[SerialOptionServiceName] = "ttyTEST";
        EXPECT_EQ(port->options(), expected);
        port->close();
    }
}

TEST_F(SerialPortTest, OptionsOfANeverBuiltPortAreReadFromTheDevice) {
    termios device = pty.settings();
    cfsetspeed(&device, B19200);
    device.c_lflag &= ~(ECHO | ICANON);  // a fresh pseudo-terminal has both on
    auto reader = SerialPort::initWithNameType(pty.path(), "reader", "");
    const int setter = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(setter, 0);
    ASSERT_EQ(tcsetattr(setter, TCSANOW, &device), 0);
    ::close(setter);
    SerialOptions options = reader->options();
    EXPECT_EQ(options[SerialOptionSpeed], "19200");
    EXPECT_EQ(options.count(SerialOptionEcho), 0u);
    EXPECT_EQ(options.count(SerialOptionCanonicalMode), 0u);
    EXPECT_EQ(options[SerialOptionServiceName], "reader");
    EXPECT_FALSE(reader->isOpen());
}

TEST_F(SerialPortTest, SetOptionsAppliesAMatchingDictionaryAndClearsTheLatch) {
    openRaw();
    SerialOptions wanted = {{SerialOptionServiceName, "ttyTEST"}, {SerialOptionSpeed, "38400"},
                            {SerialOptionDataBits, "7"},          {SerialOptionParity, "Even"},
                            {SerialOptionStopBits, "2"},          {SerialOptionInputFlowControl, "RTS"},
                            {SerialOptionEcho, "anything"}};
    port->setSpeed(1);  // latched
    port->setOptions(wanted);
    EXPECT_EQ(port->speed(), 38400u);
    EXPECT_EQ(port->dataBits(), 7u);
    EXPECT_EQ(port->parity(), 2);
    EXPECT_EQ(port->stopBits(), 2);
    EXPECT_TRUE(port->RTSInputFlowControl());
    EXPECT_TRUE(port->echoEnabled());
    EXPECT_FALSE(port->canonicalMode());
    const termios device = pty.settings();
    EXPECT_EQ(cfgetospeed(&device), B38400) << "setOptions commits";
    EXPECT_TRUE(device.c_cflag & CRTSCTS);

    // A missing stop-bits entry keeps the merged one; a dictionary for another port does nothing.
    port->setOptions({{SerialOptionServiceName, "ttyTEST"}, {SerialOptionDataBits, "6"}});
    EXPECT_EQ(port->stopBits(), 2);
    EXPECT_EQ(port->dataBits(), 6u);
    port->setSpeed(1);
    port->setOptions({{SerialOptionServiceName, "someone else"}, {SerialOptionDataBits, "8"}});
    EXPECT_EQ(port->dataBits(), 6u);
    EXPECT_FALSE(port->commitChanges()) << "the latch stays when the name differs";
}

TEST_F(SerialPortTest, SetOptionsOnAnUnbuiltDictionaryKeepsStopBitsAndZeroesTheSpeed) {
    ASSERT_TRUE(port->open());
    port->setSpeed(9600);
    port->setStopBits(2);
    port->setOptions({{SerialOptionServiceName, "ttyTEST"}, {SerialOptionDataBits, "8"}});
    EXPECT_EQ(port->stopBits(), 2);
    EXPECT_EQ(port->speed(), 0u);
}

TEST_F(SerialPortTest, LineControlAnswersWhatTheDeviceDoes) {
    struct Case {
        const char* name;
        std::function<bool(SerialPort&)> call;
        bool whenOpen;
    };
    const Case cases[] = {
        {"flush neither queue", [](SerialPort& p) { return p.flushInputOutput(false, false); }, false},
        {"flush input", [](SerialPort& p) { return p.flushInputOutput(true, false); }, true},
        {"flush output", [](SerialPort& p) { return p.flushInputOutput(false, true); }, true},
        {"flush both", [](SerialPort& p) { return p.flushInputOutput(true, true); }, true},
        {"drain", [](SerialPort& p) { return p.drainInput(); }, true},
        {"break", [](SerialPort& p) { return p.sendBreak(); }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(c.call(*port)) << "closed port";
        ASSERT_TRUE(port->open());
        EXPECT_EQ(c.call(*port), c.whenOpen);
        port->close();
    }
    EXPECT_FALSE(port->setDTR());
    EXPECT_FALSE(port->clearDTR());

    // Flushing input drops what is pending.
    openRaw();
    pty.send("abc");
    ASSERT_TRUE(waitFor([&] { return port->bytesAvailable() == 3; }));
    EXPECT_TRUE(port->flushInputOutput(true, false));
    EXPECT_EQ(port->bytesAvailable(), 0);
}

TEST(SerialPortTimeval, ReadTimeoutConvertsToSecondsAndMicroseconds) {
    struct Case {
        double seconds;
        long sec;
        long usec;
    };
    const Case cases[] = {{2.5, 2, 500000}, {0.0, 0, 0}, {3.75, 3, 750000}, {-1.25, -1, -250000}};
    auto port = SerialPort::initWithNameType("/dev/null", "null", "");
    for (const Case& c : cases) {
        port->setReadTimeout(c.seconds);
        EXPECT_EQ(port->readTimeout(), c.seconds);
        timeval tv{};
        port->readTimeoutAsTimeval(&tv);
        EXPECT_EQ(tv.tv_sec, c.sec) << c.seconds;
        EXPECT_EQ(tv.tv_usec, c.usec) << c.seconds;
    }
}

TEST_F(SerialPortTest, OlderNamesActLikeTheCurrentOnes) {
    ASSERT_TRUE(port->open());
    port->setParityOdd();
    EXPECT_TRUE(port->testParity() && port->testParityOdd());
    port->setParityEven();
    EXPECT_TRUE(port->testParity() && !port->testParityOdd());
    port->setParityOdd();
    port->setParityNone();
    EXPECT_TRUE(!port->testParity() && port->testParityOdd());
    port->setStopBits2(true);
    EXPECT_EQ(port->getStopBits(), 2);
    port->setStopBits2(false);
    EXPECT_EQ(port->getStopBits(), 1);
    port->setLocal(true);
    EXPECT_TRUE(port->getLocal());
    port->setSpeed(4800);
    port->setDataBits(6);
    EXPECT_EQ(port->getSpeed(), 4800);
    EXPECT_EQ(port->getDataBits(), 6);
    port->close();
    EXPECT_EQ(port->checkRead(), -1);
}

TEST_F(SerialPortTest, StringWriteAndReadUseMacRoman) {
    openRaw();
    port->setReadTimeout(5);  // ends on the count
    EXPECT_EQ(port->writeString("caf\xC3\xA9 \xE2\x82\xAC"), 6);
    EXPECT_EQ(pty.receive(6), (platform::Bytes{'c', 'a', 'f', 0x8E, ' ', 0xDB}));
    EXPECT_EQ(port->writeString("\xC4\x85"), 0) << "a character Mac Roman lacks writes nothing";
    pty.send(platform::Bytes{0x8E, 0xF0});
    EXPECT_EQ(port->readStringOfLength(2), "\xC3\xA9\xEF\xA3\xBF");
}

TEST(TextEncoding, MacRomanRoundTripsEveryByteAndRefusesWhatItLacks) {
    platform::Bytes all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
    auto text = decodeString(all.data(), all.size(), StringEncoding::MacOSRoman);
    ASSERT_TRUE(text);
    EXPECT_EQ(encodeString(*text, StringEncoding::MacOSRoman), all);

    struct Case {
        const char* utf8;
        std::optional<platform::Bytes> macRoman;
    };
    const Case cases[] = {
        {"A\x7F", platform::Bytes{'A', 0x7F}},     {"\xC3\x84", platform::Bytes{0x80}},
        {"\xEF\xAC\x81", platform::Bytes{0xDE}},   {"\xCB\x87", platform::Bytes{0xFF}},
        {"\xC2\xA0", platform::Bytes{0xCA}},       {"\xC4\x85", std::nullopt},
        {"\xF0\x9F\x98\x80", std::nullopt},        {"\xC3", std::nullopt},
        {"\xED\xA0\x80", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(encodeString(c.utf8, StringEncoding::MacOSRoman), c.macRoman) << c.utf8;

    const uint8_t invalid[] = {0xC0, 0x80};
    EXPECT_FALSE(decodeString(invalid, 2, StringEncoding::UTF8));
    EXPECT_FALSE(encodeString("\xFF", StringEncoding::UTF8));
    EXPECT_EQ(decodeString(invalid, 2, StringEncoding::MacOSRoman), "\xC2\xBF\xC3\x84");
}

TEST(SerialPortDelegateTest, DelegateIsAskedOnceWhatItAnswers) {
    auto port = SerialPort::initWithNameType("/dev/null", "null", "");
    auto delegate = std::make_shared<RecordingDelegate>();
    port->setDelegate(delegate);
    port->setDelegate(delegate);
    EXPECT_EQ(delegate->respondsAsked, 1);
    EXPECT_EQ(port->delegate(), delegate);
    port->setDelegate(nullptr);
    EXPECT_EQ(port->delegate(), nullptr);
}

TEST(SerialPortProperties, ComeFromTheRegistryByTtyName) {
    platform::FakeSerialRegistry registry;
    platform::SerialRegistry::setShared(&registry);
    registry.setDetails("ttyUSB0", {{"IOCalloutDevice", "/dev/ttyUSB0"}, {"ID_VENDOR", "acme"}});
    auto port = SerialPort::initWithNameType("/dev/ttyUSB0", "ttyUSB0", "IORS232SerialStream");
    auto unknown = SerialPort::initWithNameType("/dev/ttyUSB0", "ttyUSB9", "IORS232SerialStream");
    const auto properties = port->properties();
    const auto none = unknown->properties();
    platform::SerialRegistry::setShared(nullptr);
    ASSERT_TRUE(properties);
    EXPECT_EQ(properties->at("ID_VENDOR"), "acme");
    EXPECT_FALSE(none);
}

}  // namespace

namespace {

// The system's registry on this machine: whatever it lists must be a serial line with a node.
TEST(SystemSerialRegistry, ListsTerminalLinesWithNodesAndNoVirtualConsoles) {
    auto& registry = platform::SerialRegistry::shared();
    for (const platform::SerialDevice& device : registry.enumerate()) {
        ASSERT_TRUE(device.name && device.path && device.type);
        SCOPED_TRACE(*device.name);
        EXPECT_EQ(device.path->rfind("/dev/", 0), 0u);
        EXPECT_EQ(*device.type, platform::kSerialRS232Type);
        const bool virtualConsole = *device.name == "tty" || *device.name == "console" || *device.name == "ptmx" ||
                                    device.name->find_first_not_of("0123456789", 3) == std::string::npos;
        EXPECT_FALSE(virtualConsole);
        auto details = registry.details(*device.name);
        ASSERT_TRUE(details);
        EXPECT_EQ(details->at(platform::kSerialCalloutDeviceKey), *device.path);
    }
    EXPECT_FALSE(registry.details("no-such-tty"));
    // A watch starts and stops cleanly whether or not the machine offers a device monitor.
    auto watch = registry.watch([](const std::vector<platform::SerialDevice>&) {},
                                [](const std::vector<platform::SerialDevice>&) {});
    watch.reset();
}

}  // namespace

namespace {

// A loopback datagram socket stands in for the device monitor's socket: a send to a port where
// nobody listens leaves an error pending on it (as an overrun leaves ENOBUFS on the monitor),
// and the events behind the error must still be received.
TEST(SerialRegistryWatchLoop, AnErrorOnTheEventSocketDoesNotEndTheWatch) {
    const auto loopback = [](uint16_t port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        return address;
    };
    const auto portOf = [](int fd) {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        return ntohs(address.sin_port);
    };
    const int events = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(events, 0);
    ASSERT_GE(sender, 0);
    sockaddr_in any = loopback(0);
    ASSERT_EQ(bind(events, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    ASSERT_EQ(bind(sender, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    // Nobody listens on the sender's port until the error is pending.
    const uint16_t senderPort = portOf(sender);
    ::close(sender);
    sockaddr_in peer = loopback(senderPort);
    ASSERT_EQ(connect(events, reinterpret_cast<sockaddr*>(&peer), sizeof peer), 0);
    ASSERT_EQ(send(events, "?", 1, 0), 1);
    ASSERT_TRUE(waitFor([&] {
        pollfd fd{events, POLLIN, 0};
        return poll(&fd, 1, 0) == 1 && (fd.revents & POLLERR);
    })) << "no error became pending";

    const int again = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(bind(again, reinterpret_cast<sockaddr*>(&peer), sizeof peer), 0);
    sockaddr_in eventsAddress = loopback(portOf(events));
    ASSERT_EQ(sendto(again, "add", 3, 0, reinterpret_cast<sockaddr*>(&eventsAddress), sizeof eventsAddress), 3);

    int stop[2];
    ASSERT_EQ(pipe(stop), 0);
    std::atomic<int> received{0};
    std::thread watch([&] {
        platform::runSerialWatchLoop(events, stop[0], [&] {
            char buffer[16];
            if (recv(events, buffer, sizeof buffer, 0) == 3) ++received;
        });
    });
    EXPECT_TRUE(waitFor([&] { return received == 1; })) << "the event behind the error was not received";
    ASSERT_EQ(write(stop[1], "x", 1), 1);
    watch.join();
    for (int fd : {events, again, stop[0], stop[1]}) ::close(fd);
}

}  // namespace
