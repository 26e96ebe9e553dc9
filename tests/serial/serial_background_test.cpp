// Background reads and writes: their threads, what reaches the delegate on the main loop, and
// how closing the port or losing the peer ends them; a blocking write racing the reader's close.

#include "platform/Trace.h"
#include "platform/testing/TestMainLoop.h"
#include "serial/PtyPair.h"
#include "serial/SerialPort.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <thread>

using namespace serialtest;
using platform::Bytes;
using platform::Error;

namespace {

Bytes pattern(size_t size) {
    Bytes data(size);
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 251);
    return data;
}

// Owns the loop, the port and its delegate; at the end it closes the port and waits until every
// background thread has let go of it, so that nothing outlives the loop.
class Background {
public:
    explicit Background(bool manualClock, bool reads = true, bool progress = true)
        : loop(manualClock), delegate(std::make_shared<RecordingDelegate>(reads, progress)) {
        platform::setTraceEnabled(false);
        port = SerialPort::initWithNameType(pty.path(), "ttyTEST", "IORS232SerialStream");
        port->setDelegate(delegate);
    }

    ::testing::AssertionResult openRaw(unsigned long speed = 57600) {
        if (!port->open()) return ::testing::AssertionFailure() << "open failed";
        port->makeRaw();
        port->setSpeed(speed);
        if (!port->commitChanges()) return ::testing::AssertionFailure() << "commit failed";
        return ::testing::AssertionSuccess();
    }

    // Waits until a background read holds its own descriptor on the device: it is then waiting.
    bool readerWaiting() { return waitFor([&] { return pty.openCount() == baseOpen + 2; }); }

    void finish() {
        if (!port) return;
        delegate->rearm = false;
        port->close();
        std::weak_ptr<SerialPort> weak = port;
        port.reset();
        const bool released = loop.runUntil(
            [&] {
                delegate->senders.clear();
                return weak.expired();
            },
            10s);
        EXPECT_TRUE(released) << "a background thread still holds the port";
    }

    ~Background() { finish(); }

    platform::TestMainLoop loop;
    PtyPair pty;
    const int baseOpen = pty.openCount();
    std::shared_ptr<RecordingDelegate> delegate;
    std::shared_ptr<SerialPort> port;
};

TEST(SerialBackgroundRead, FiveThousandBytesComeInChunksOfAtMost4096) {
    Background b(false);
    ASSERT_TRUE(b.openRaw());
    b.delegate->rearm = true;
    const Bytes sent = pattern(5000);
    b.pty.send(sent);
    b.port->readDataInBackground();
    Bytes received;
    ASSERT_TRUE(b.loop.runUntil([&] {
        received.clear();
        for (const auto& chunk : b.delegate->chunks) received.insert(received.end(), chunk.begin(), chunk.end());
        return received.size() >= sent.size();
    }));
    EXPECT_EQ(received, sent);
    ASSERT_GE(b.delegate->chunks.size(), 2u);
    for (const auto& chunk : b.delegate->chunks) EXPECT_LE(chunk.size(), SerialPort::kBufferSize);
    EXPECT_EQ(b.delegate->senders.front(), b.port);
}

TEST(SerialBackgroundRead, TwoReadsInARowDeliverTwoChunksOneAfterTheOther) {
    Background b(false);
    ASSERT_TRUE(b.openRaw());
    b.port->readDataInBackground();
    b.port->readDataInBackground();
    b.pty.send("first");
    ASSERT_TRUE(b.loop.runUntil([&] { return b.delegate->chunks.size() == 1; }));
    b.pty.send("second");
    ASSERT_TRUE(b.loop.runUntil([&] { return b.delegate->chunks.size() == 2; }));
    EXPECT_EQ(b.delegate->chunks[0], Bytes({'f', 'i', 'r', 's', 't'}));
    EXPECT_EQ(b.delegate->chunks[1], Bytes({'s', 'e', 'c', 'o', 'n', 'd'}));
}

TEST(SerialBackgroundRead, ADelegateWithoutTheCallbackStartsNoRead) {
    Background b(false, /*reads=*/false);
    ASSERT_TRUE(b.openRaw());
    b.port->readDataInBackground();
    b.pty.send("abc");
    b.loop.runFor(200ms);
    EXPECT_TRUE(b.delegate->chunks.empty());
    EXPECT_TRUE(waitFor([&] { return b.port->bytesAvailable() == 3; })) << "something read the input";
}

TEST(SerialBackgroundRead, AReadOnAClosedPortEndsWithoutDelivering) {
    Background b(false);
    b.port->readDataInBackground();
    b.finish();
    EXPECT_TRUE(b.delegate->chunks.empty());
}

TEST(SerialBackgroundRead, AStopRequestDoesNotShortenAWaitThatHasBegun) {
    Background b(false);
    ASSERT_TRUE(b.openRaw());
    b.port->readDataInBackground();
    ASSERT_TRUE(b.readerWaiting());
    b.port->stopReadInBackground();
    b.pty.send("x");
    ASSERT_TRUE(b.loop.runUntil([&] { return b.delegate->chunks.size() == 1; }));
    EXPECT_EQ(b.delegate->chunks[0], Bytes{'x'});
}

// Closing ends the wait at once with one empty chunk; the old read never touches a later open,
// even one that reuses the descriptor number; a read started after the close delivers nothing.
TEST(SerialBackgroundRead, CloseDuringTheWaitDeliversExactlyOneEmptyChunk) {
    Background b(false);
    ASSERT_TRUE(b.openRaw());
    b.port->readDataInBackground();
    ASSERT_TRUE(b.readerWaiting());
    b.port->close();
    ASSERT_TRUE(b.loop.runUntil([&] { return b.delegate->chunks.size() == 1; }, 5s));
    EXPECT_TRUE(b.delegate->chunks[0].empty());

    PtyPair other;
    auto next = SerialPort::initWithNameType(other.path(), "next", "");
    ASSERT_TRUE(next->open());
    next->makeRaw();
    ASSERT_TRUE(next->commitChanges());
    other.send("new");
    b.port->readDataInBackground();
    b.finish();
    EXPECT_EQ(b.delegate->chunks.size(), 1u);
    EXPECT_TRUE(waitFor([&] { return next->bytesAvailable() == 3; })) << "the old read took the new open's input";
}

// A delegate that starts the next read from each chunk, as the device link does: when the peer
// hangs up, the port closes and the reads end instead of spinning on empty chunks.
TEST(SerialBackgroundRead, ThePeerHangingUpClosesThePortAndEndsTheReads) {
    Background b(false);
    ASSERT_TRUE(b.openRaw());
    b.delegate->rearm = true;
    b.port->readDataInBackground();
    b.pty.send("abc");
    ASSERT_TRUE(b.loop.runUntil([&] { return b.delegate->chunks.size() == 1; }));
    ASSERT_TRUE(b.readerWaiting());
    b.pty.hangUp();
    ASSERT_TRUE(b.loop.runUntil([&] { return b.delegate->chunks.size() == 2; }));
    EXPECT_TRUE(b.delegate->chunks[1].empty());
    EXPECT_FALSE(b.port->isOpen());
    b.loop.runFor(200ms);
    EXPECT_EQ(b.delegate->chunks.size(), 2u);
}

// A background thread can outlive the program's main executor (a read woken by the close at
// exit): its callbacks are dropped instead of ending the process.
TEST(SerialBackground, WithoutAMainExecutorCallbacksAreDroppedNotFatal) {
    platform::setTraceEnabled(false);
    ASSERT_FALSE(platform::MainExecutor::hasCurrent());
    PtyPair pty;
    auto port = SerialPort::initWithNameType(pty.path(), "ttyTEST", "");
    port->setDelegate(std::make_shared<RecordingDelegate>());
    ASSERT_TRUE(port->open());
    port->makeRaw();
    ASSERT_TRUE(port->commitChanges());
    port->readDataInBackground();
    pty.send("x");
    port->writeDataInBackground(pattern(30000));  // a long transfer: reports at once
    EXPECT_EQ(pty.receive(30000).size(), 30000u);
    std::weak_ptr<SerialPort> weak = port;
    port->close();
    port.reset();
    EXPECT_TRUE(waitFor([&] { return weak.expired(); })) << "a background thread still holds the port";
}

// The background read closes the port on its own thread when the line ends, while the main
// thread may be writing a frame. Each round hangs the line up under a stream of writes while
// another thread takes the port's descriptor number as soon as the system gives it out again:
// the file behind that number never receives a byte, and writes on the closed port fail at once.
TEST(SerialBackground, AWriteRacingTheReadersCloseNeverReachesAnotherDescriptor) {
    static const char kFrame[] = "01-20-03-VARNEL-FRAME";
    int reused = 0;
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE(round);
        Background b(false);
        ASSERT_TRUE(b.port->openExclusively());  // non-blocking: a full line fails a write, never holds it
        b.port->makeRaw();
        ASSERT_TRUE(b.port->commitChanges());
        const int number = b.port->fileDescriptor();
        b.port->readDataInBackground();
        ASSERT_TRUE(b.readerWaiting());

        std::atomic<bool> stop{false};
        const int file = memfd_create("varnel-victim", MFD_CLOEXEC);
        ASSERT_GE(file, 0);
        std::atomic<int> victim{-1};
        std::thread taker([&] {
            // Takes the port's number for the file as soon as the system gives it out again.
            while (!stop && victim < 0) {
                const int fd = fcntl(file, F_DUPFD_CLOEXEC, number);
                if (fd == number)
                    victim = fd;
                else if (fd >= 0)
                    ::close(fd);
            }
        });
        std::thread hangUp([&] {
            std::this_thread::sleep_for(std::chrono::microseconds(round % 7 * 150));
            b.pty.hangUp();
        });
        int afterClose = 0;
        for (int i = 0; i < 200000 && afterClose < 50; ++i) {
            const bool closed = !b.port->isOpen();
            Error error;
            b.port->writeBytesLengthError(kFrame, sizeof kFrame - 1, &error);
            if (closed) {
                ++afterClose;
                EXPECT_EQ(error.code, SerialErrorSystem);
                EXPECT_EQ(error.userInfo.count(SerialErrorBytesWrittenKey), 0u);
            }
        }
        hangUp.join();
        EXPECT_FALSE(b.port->isOpen()) << "the reader did not close the port at the end of the line";
        // Once the port is closed its number comes free; give the taker a moment to get it.
        const auto until = std::chrono::steady_clock::now() + 200ms;
        while (victim < 0 && std::chrono::steady_clock::now() < until) std::this_thread::yield();
        stop = true;
        taker.join();
        if (victim >= 0) {
            ++reused;
            ::close(victim);
        }
        char content[64];
        const ssize_t n = ::pread(file, content, sizeof content, 0);
        EXPECT_EQ(n, 0) << "a frame went into the file that took the port's descriptor: "
                        << std::string(content, static_cast<size_t>(std::max<ssize_t>(n, 0)));
        ::close(file);
    }
    EXPECT_GT(reused, 150) << "the port's descriptor number was seldom given out again";
}

// ---- background writes, on the loop's manual clock ----

// Reads the controller side on a thread of its own once released.
class Peer {
public:
    Peer(const PtyPair& pty, size_t expected, bool stalled) : pty_(pty), expected_(expected), stalled_(stalled) {
        thread_ = std::thread([this] {
            while (stalled_ && !quit_) std::this_thread::sleep_for(1ms);
            while (!quit_ && received_ < expected_) {
                Bytes chunk = pty_.receive(expected_ - received_, 50ms);
                received_ += chunk.size();
            }
        });
    }
    ~Peer() {
        quit_ = true;
        thread_.join();
    }
    void release() { stalled_ = false; }
    size_t received() const { return received_; }
    // Bytes the port has written that the peer has not taken yet.
    int queued() const {
        int count = 0;
        ioctl(pty_.controller(), FIONREAD, &count);
        return count;
    }

private:
    const PtyPair& pty_;
    const size_t expected_;
    std::atomic<bool> stalled_;
    std::atomic<bool> quit_{false};
    std::atomic<size_t> received_{0};
    std::thread thread_;
};

using Reports = std::vector<std::pair<uint64_t, uint64_t>>;

bool writesDone(Background& b) {
    return b.loop.runUntil([&] { return b.port->numberOfWriteInBackgroundThreads() == 0; }, 20s) && b.loop.drain() >= 0;
}

TEST(SerialBackgroundWrite, ProgressFollowsTheEstimatedTransferTime) {
    struct Case {
        const char* name;
        unsigned long speed;
        size_t size;
        bool lateFinish;  // the peer stalls until the clock has moved past the first report time
        size_t reportsExpected;
        bool reportsZeroFirst;
    };
    const Case cases[] = {
        {"4 s at 57600: 0 at once, then the full length", 57600, 28800, false, 2, true},
        {"3 s at 57600, done within 2 s: no report at all", 57600, 21600, false, 0, false},
        {"speed 0 counts as a long transfer", 0, 100, false, 2, true},
        {"35 s at 57600: 0, one more after a second, the full length", 57600, 256 * 1024, true, 3, true},
        {"2 s at 460800 finishing late: a report after 2 s, then the full length", 460800, 150000, true, 2, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Background b(true);
        ASSERT_TRUE(b.openRaw(57600));
        b.port->setSpeed(c.speed);  // the working speed is what the estimate uses
        Peer peer(b.pty, c.size, c.lateFinish);
        const Bytes data = pattern(c.size);
        b.port->writeDataInBackground(data);
        if (c.lateFinish) {
            // Once a chunk is out, the writer has fixed its first report time on the clock.
            ASSERT_TRUE(waitFor([&] { return peer.queued() > 0; })) << "the write has not started";
            b.loop.advance(c.reportsZeroFirst ? 1500ms : 2500ms);
            peer.release();
        }
        ASSERT_TRUE(writesDone(b));
        ASSERT_TRUE(waitFor([&] { return peer.received() == c.size; }));
        const Reports& reports = b.delegate->reports;
        ASSERT_EQ(reports.size(), c.reportsExpected);
        if (reports.empty()) continue;
        EXPECT_EQ(reports.front().first == 0, c.reportsZeroFirst);
        EXPECT_EQ(reports.back(), std::make_pair(uint64_t{c.size}, uint64_t{c.size}));
        for (size_t i = 1; i + 1 < reports.size(); ++i) {
            EXPECT_GT(reports[i].first, reports[i - 1].first);
            EXPECT_LT(reports[i].first, c.size);
        }
    }
}

TEST(SerialBackgroundWrite, StopEndsTheWriteBeforeItsNextChunkAndTheNextWriteRunsInFull) {
    Background b(true);
    ASSERT_TRUE(b.openRaw());
    const size_t size = 1 << 20;
    Peer peer(b.pty, size + 28800, /*stalled=*/true);
    b.port->writeDataInBackground(pattern(size));
    ASSERT_TRUE(b.loop.runUntil([&] { return !b.delegate->reports.empty(); }));
    b.port->stopWriteInBackground();
    peer.release();
    ASSERT_TRUE(writesDone(b));
    ASSERT_EQ(b.delegate->reports.size(), 2u);
    const uint64_t reached = b.delegate->reports.back().first;
    EXPECT_LT(reached, size);
    EXPECT_TRUE(waitFor([&] { return peer.received() == reached; }));

    b.delegate->reports.clear();
    b.port->writeDataInBackground(pattern(28800));
    ASSERT_TRUE(writesDone(b));
    EXPECT_EQ(b.delegate->reports, (Reports{{0, 28800}, {28800, 28800}}));
    EXPECT_TRUE(waitFor([&] { return peer.received() == reached + 28800; }));
}

// The exclusive lock belongs to the open, not to the descriptors that background threads hold:
// once the port is closed (or reopened), the device can be locked again at once, even while an
// old read is still waking up or an old write is still blocked on a peer that does not read.
TEST(SerialBackground, CloseGivesUpTheExclusiveLockAtOnce) {
    Background b(false);
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(b.port->openExclusively());
        b.port->readDataInBackground();
        ASSERT_TRUE(b.readerWaiting());
        ASSERT_TRUE(b.port->openExclusively()) << "reopening while a read waits, round " << i;
        b.port->close();
        ASSERT_TRUE(b.loop.runUntil([&] { return b.delegate->chunks.size() == size_t(i + 1); }));
    }

    // A blocking descriptor with the lock: the write blocks on the stalled peer.
    ASSERT_TRUE(b.port->openWithFlags(O_RDWR | O_NOCTTY | O_EXLOCK_SERIAL));
    const size_t size = 1 << 20;
    Peer peer(b.pty, size, /*stalled=*/true);
    b.port->writeDataInBackground(pattern(size));
    ASSERT_TRUE(waitFor([&] { return peer.queued() > 0; })) << "the write has not started";
    b.port->close();
    auto rival = SerialPort::initWithNameType(b.pty.path(), "rival", "");
    EXPECT_TRUE(rival->openExclusively()) << "the blocked write still holds the lock";
    rival->close();
    peer.release();
    ASSERT_TRUE(writesDone(b));
}

TEST(SerialBackgroundWrite, ADelegateWithoutTheProgressCallbackWritesNothing) {
    Background b(true, /*reads=*/true, /*progress=*/false);
    ASSERT_TRUE(b.openRaw());
    b.port->writeDataInBackground(pattern(100));
    EXPECT_EQ(b.port->numberOfWriteInBackgroundThreads(), 0);
    EXPECT_TRUE(b.pty.receive(1, 200ms).empty());
}

}  // namespace
