// End to end over a socat pseudo-terminal pair: two ports opened the way the device link opens
// its adapter (raw 8N1 at 57600) carry every byte value unchanged in both directions.

#include "platform/Trace.h"
#include "platform/testing/TestMainLoop.h"
#include "serial/PtyPair.h"
#include "serial/SerialPort.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace serialtest;
using platform::Bytes;

namespace {

// A socat process joining two pseudo-terminals, reachable through two links in a fresh folder.
class SocatPair {
public:
    SocatPair() {
        char folder[] = "/tmp/varnel-serial-XXXXXX";
        if (!mkdtemp(folder)) return;
        folder_ = folder;
        first = folder_ + "/a";
        second = folder_ + "/b";
        // The lines start cooked, as a fresh terminal does: the ports must make them raw.
        const std::string a = "pty,link=" + first;
        const std::string b = "pty,link=" + second;
        const char* argv[] = {"socat", a.c_str(), b.c_str(), nullptr};
        if (posix_spawnp(&pid_, "socat", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) pid_ = -1;
    }
    ~SocatPair() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (!folder_.empty()) {
            unlink(first.c_str());
            unlink(second.c_str());
            rmdir(folder_.c_str());
        }
    }
    bool ready() const {
        struct stat info{};
        return pid_ > 0 && waitFor([&] { return stat(first.c_str(), &info) == 0 && stat(second.c_str(), &info) == 0; });
    }

    std::string first, second;

private:
    pid_t pid_ = -1;
    std::string folder_;
};

std::shared_ptr<SerialPort> openLine(const std::string& path) {
    auto port = SerialPort::initWithNameType(path, "/dev/cu.usbserial", "IORS232SerialStream");
    if (!port->open()) return nullptr;
    port->makeRaw();
    port->setSpeed(57600);
    if (!port->commitChanges()) return nullptr;
    return port;
}

TEST(SerialLine, EveryByteValueCrossesARawLineUnchangedBothWays) {
    platform::setTraceEnabled(false);
    platform::TestMainLoop loop;
    SocatPair socat;
    ASSERT_TRUE(socat.ready()) << "socat did not start";
    auto near = openLine(socat.first);
    auto far = openLine(socat.second);
    ASSERT_TRUE(near && far);

    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
    const Bytes frame = {0x01, 0x20, 0x03, 0x0B, 0x00, 0x01, 0x00, 0x01, 0x18, 0x0D, 0x40};

    // Near side reads in the background, far side writes with blocking writes.
    auto delegate = std::make_shared<RecordingDelegate>();
    delegate->rearm = true;
    near->setDelegate(delegate);
    near->readDataInBackground();
    ASSERT_TRUE(far->writeDataError(all, nullptr));
    ASSERT_TRUE(far->writeBytesLengthError(frame.data(), frame.size(), nullptr));
    Bytes received;
    ASSERT_TRUE(loop.runUntil([&] {
        received.clear();
        for (const auto& chunk : delegate->chunks) received.insert(received.end(), chunk.begin(), chunk.end());
        return received.size() >= all.size() + frame.size();
    }));
    Bytes expected = all;
    expected.insert(expected.end(), frame.begin(), frame.end());
    EXPECT_EQ(received, expected);

    // And back: near writes, far reads with a blocking read.
    far->setReadTimeout(5);
    ASSERT_TRUE(near->writeDataError(all, nullptr));
    platform::Error error;
    EXPECT_EQ(far->readBytesError(all.size(), &error), all);
    EXPECT_EQ(error.code, SerialErrorNone);

    delegate->rearm = false;
    near->close();
    std::weak_ptr<SerialPort> weak = near;
    near.reset();
    EXPECT_TRUE(loop.runUntil([&] {
        delegate->senders.clear();
        return weak.expired();
    }));
}

}  // namespace
