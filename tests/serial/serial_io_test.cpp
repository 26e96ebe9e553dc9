// Blocking reads and writes against a peer on the controller side of a pseudo-terminal, and the
// polling read on the main loop.

#include "platform/Trace.h"
#include "platform/testing/TestMainLoop.h"
#include "serial/PtyPair.h"
#include "serial/SerialPort.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <thread>

using namespace serialtest;
using platform::Bytes;
using platform::Error;

namespace {

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

class SerialIoTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::setTraceEnabled(false);
        port = SerialPort::initWithNameType(pty.path(), "ttyTEST", "IORS232SerialStream");
        ASSERT_TRUE(port->open());
        port->makeRaw();
        ASSERT_TRUE(port->commitChanges());
    }

    PtyPair pty;
    std::shared_ptr<SerialPort> port;
};

// The peer sends the first chunk before the read starts and each further chunk once the port
// has taken everything before it, so every chunk reaches the read as a chunk of its own.
TEST_F(SerialIoTest, BlockingReadsStopOnCountCharacterDeadlineOrFullBuffer) {
    using Read = std::function<std::optional<Bytes>(SerialPort&, Error*)>;
    struct Case {
        const char* name;
        Read read;
        double timeout;
        std::vector<std::string> chunks;
        bool hangUp;
        long code;
        std::optional<int> endCode;
        std::optional<std::string> data;
        uint64_t bytesRead;
    };
    const std::string a4000(4000, 'a'), b1000(1000, 'b'), b96(96, 'b');
    const Case cases[] = {
        {"count over two chunks", [](SerialPort& p, Error* e) { return p.readBytesError(10, e); }, 5, {"abcd", "efghij"},
         false, SerialErrorNone, SerialEndCodeByteCount, "abcdefghij", 10},
        {"stop character only at the end of a chunk", [](SerialPort& p, Error* e) { return p.readUpToCharError('\n', e); },
         5, {"ab\nc", "d\n"}, false, SerialErrorNone, SerialEndCodeStopChar, "ab\ncd\n", 6},
        {"count and character together: the count wins",
         [](SerialPort& p, Error* e) { return p.readBytesUpToCharError(6, '\n', e); }, 5, {"abc", "de\n"}, false,
         SerialErrorNone, SerialEndCodeByteCount, "abcde\n", 6},
        {"character before the count", [](SerialPort& p, Error* e) { return p.readBytesUpToCharError(10, '\n', e); }, 5,
         {"ab\n"}, false, SerialErrorNone, SerialEndCodeStopChar, "ab\n", 3},
        {"more than 4096 asked", [](SerialPort& p, Error* e) { return p.readBytesError(5000, e); }, 5, {a4000, b1000},
         false, SerialErrorBufferFull, std::nullopt, a4000 + b96, 4096},
        {"exactly 4096 asked", [](SerialPort& p, Error* e) { return p.readBytesError(4096, e); }, 5, {a4000, b96}, false,
         SerialErrorNone, SerialEndCodeByteCount, a4000 + b96, 4096},
        {"deadline after some bytes", [](SerialPort& p, Error* e) { return p.readBytesError(10, e); }, 0.3, {"abc"},
         false, SerialErrorTimeout, std::nullopt, "abc", 3},
        {"no stop condition ends at the deadline", [](SerialPort& p, Error* e) { return p.readAndReturnError(e); }, 0.3,
         {"hello"}, false, SerialErrorTimeout, std::nullopt, "hello", 5},
        {"time-out 0 with input pending", [](SerialPort& p, Error* e) { return p.readBytesError(3, e); }, 0, {"abc"},
         false, SerialErrorTimeout, std::nullopt, std::nullopt, 0},
        {"negative time-out", [](SerialPort& p, Error* e) { return p.readAndReturnError(e); }, -1, {"abc"}, false,
         SerialErrorTimeout, std::nullopt, std::nullopt, 0},
        {"zero bytes asked with input pending", [](SerialPort& p, Error* e) { return p.readBytesError(0, e); }, 5, {"x"},
         false, SerialErrorSystem, std::nullopt, std::nullopt, 0},
        {"peer hangs up after some bytes", [](SerialPort& p, Error* e) { return p.readBytesError(10, e); }, 5, {"ab"},
         true, SerialErrorSystem, std::nullopt, std::nullopt, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PtyPair peer;
        auto reader = SerialPort::initWithNameType(peer.path(), "peer", "");
        ASSERT_TRUE(reader->open());
        reader->makeRaw();
        ASSERT_TRUE(reader->commitChanges());
        reader->setReadTimeout(c.timeout);
        peer.send(c.chunks[0]);
        ASSERT_TRUE(waitFor([&] { return peer.pendingInput() == static_cast<int>(c.chunks[0].size()); }));
        std::thread sender([&] {
            for (size_t i = 1; i < c.chunks.size(); ++i) {
                waitFor([&] { return peer.pendingInput() == 0; });
                peer.send(c.chunks[i]);
            }
            if (c.hangUp) {
                waitFor([&] { return peer.pendingInput() == 0; });
                peer.hangUp();
            }
        });
        Error error;
        std::optional<Bytes> data = c.read(*reader, &error);
        sender.join();

        EXPECT_EQ(error.domain, SerialErrorDomain);
        EXPECT_EQ(error.code, c.code);
        EXPECT_EQ(std::any_cast<uint64_t>(error.userInfo.at(SerialErrorBytesReadKey)), c.bytesRead);
        ASSERT_EQ(error.userInfo.count(SerialErrorEndCodeKey), c.endCode ? 1u : 0u);
        if (c.endCode) {
            EXPECT_EQ(std::any_cast<int>(error.userInfo.at(SerialErrorEndCodeKey)), *c.endCode);
        }
        EXPECT_EQ(data, c.data ? std::optional<Bytes>(bytesOf(*c.data)) : std::nullopt);
    }
}

TEST_F(SerialIoTest, TheDeadlineCountsFromTheStartOfTheCallNotFromEachChunk) {
    port->setReadTimeout(0.5);
    std::atomic<bool> done{false};
    std::thread trickle([&] {
        while (!done) {
            pty.send("t");
            std::this_thread::sleep_for(100ms);
        }
    });
    Error error;
    const auto start = std::chrono::steady_clock::now();
    auto data = port->readAndReturnError(&error);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    done = true;
    trickle.join();
    EXPECT_EQ(error.code, SerialErrorTimeout);
    ASSERT_TRUE(data);
    EXPECT_GE(data->size(), 2u);
    EXPECT_GE(elapsed, 490ms);
    EXPECT_LT(elapsed, 4s);
}

TEST_F(SerialIoTest, ReadsOnAClosedPortFailAtOnce) {
    port->close();
    Error error;
    EXPECT_FALSE(port->readBytesError(3, &error));
    EXPECT_EQ(error.code, SerialErrorSystem);
    EXPECT_EQ(port->bytesAvailable(), -1);
}

TEST_F(SerialIoTest, StringReadThatDoesNotDecodeKeepsTheReadsCode) {
    pty.send(Bytes{0xFF, 0xFE});
    Error error;
    EXPECT_FALSE(port->readBytesUsingEncodingError(2, StringEncoding::UTF8, &error));
    EXPECT_EQ(error.code, SerialErrorNone);
    pty.send("ok\n");
    EXPECT_EQ(port->readUpToCharUsingEncodingError('\n', StringEncoding::UTF8, &error), "ok\n");
}

TEST_F(SerialIoTest, BytesAvailableCountsPendingInput) {
    pty.send("abc");
    EXPECT_TRUE(waitFor([&] { return port->bytesAvailable() == 3; }));
}

TEST_F(SerialIoTest, WritesReportWhatTheSystemCallDid) {
    struct Case {
        const char* name;
        std::function<bool(SerialPort&, Error*)> write;
        bool ok;
        long code;
        std::optional<int64_t> bytesWritten;
        std::string received;
    };
    const Case cases[] = {
        {"data", [](SerialPort& p, Error* e) { return p.writeDataError(bytesOf("abc"), e); }, true, SerialErrorNone, 3,
         "abc"},
        {"bytes", [](SerialPort& p, Error* e) { return p.writeBytesLengthError("\r\n\x11\x13", 4, e); }, true,
         SerialErrorNone, 4, "\r\n\x11\x13"},
        {"empty data", [](SerialPort& p, Error* e) { return p.writeDataError({}, e); }, false, SerialErrorNoDataToWrite,
         std::nullopt, ""},
        {"no bytes", [](SerialPort& p, Error* e) { return p.writeBytesLengthError(nullptr, 5, e); }, false,
         SerialErrorNoDataToWrite, std::nullopt, ""},
        {"text that does not convert", [](SerialPort& p, Error* e) {
             return p.writeStringUsingEncodingError("\xFF", StringEncoding::UTF8, e);
         }, false, SerialErrorNoDataToWrite, std::nullopt, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Error error;
        EXPECT_EQ(c.write(*port, &error), c.ok);
        EXPECT_EQ(error.code, c.code);
        EXPECT_EQ(error.userInfo.count(SerialErrorBytesWrittenKey), c.bytesWritten ? 1u : 0u);
        if (c.bytesWritten) {
            EXPECT_EQ(std::any_cast<int64_t>(error.userInfo.at(SerialErrorBytesWrittenKey)), *c.bytesWritten);
        }
        EXPECT_EQ(pty.receive(c.received.size(), 2s), bytesOf(c.received));
    }

    port->close();
    Error error;
    EXPECT_FALSE(port->writeDataError(bytesOf("abc"), &error));
    EXPECT_EQ(error.code, SerialErrorSystem);
}

TEST_F(SerialIoTest, AShortWriteReportsTheCountWritten) {
    port->close();
    ASSERT_TRUE(port->openExclusively());  // non-blocking: the write stops when the line is full
    port->makeRaw();
    ASSERT_TRUE(port->commitChanges());
    const Bytes big(1 << 20, 0x55);
    Error error;
    EXPECT_FALSE(port->writeDataError(big, &error));
    EXPECT_EQ(error.code, SerialErrorShortWrite);
    const int64_t written = std::any_cast<int64_t>(error.userInfo.at(SerialErrorBytesWrittenKey));
    EXPECT_GT(written, 0);
    EXPECT_LT(written, static_cast<int64_t>(big.size()));
}

TEST_F(SerialIoTest, PollingReadHandsOneStringToTheTargetAndEnds) {
    platform::TestMainLoop loop(true);
    port->setReadTimeout(0.2);
    std::vector<std::optional<std::string>> received;
    auto target = std::make_shared<int>(0);
    port->waitForInputSelector(target, [&](const std::optional<std::string>& text) { received.push_back(text); });
    loop.advance(250ms);  // two polls, no input yet
    EXPECT_TRUE(received.empty());
    EXPECT_EQ(port->tyv_readTarget(), target);
    pty.send("hi");
    ASSERT_TRUE(waitFor([&] { return port->bytesAvailable() == 2; }));
    loop.advance(100ms);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0], "hi");
    EXPECT_EQ(port->tyv_readTarget(), nullptr);
    pty.send("more");
    loop.advance(500ms);
    EXPECT_EQ(received.size(), 1u) << "one string, then the polling read is over";
}

// Signals interrupt the polling read's wait; each retry waits only for the time left, so a
// steady stream of signals cannot stretch the wait beyond the read timeout.
TEST_F(SerialIoTest, PollingReadWaitKeepsItsTimeLimitUnderSignals) {
    struct sigaction quiet{}, previous{};
    quiet.sa_handler = [](int) {};
    sigemptyset(&quiet.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR2, &quiet, &previous), 0);
    platform::TestMainLoop loop(true);
    port->setReadTimeout(0.3);
    port->waitForInputSelector(std::make_shared<int>(0), [](const std::optional<std::string>&) {});
    const pthread_t waiter = pthread_self();
    std::atomic<bool> done{false};
    std::thread signaller([&] {
        const auto end = std::chrono::steady_clock::now() + 6s;
        while (!done && std::chrono::steady_clock::now() < end) {
            pthread_kill(waiter, SIGUSR2);
            std::this_thread::sleep_for(20ms);
        }
    });
    const auto start = std::chrono::steady_clock::now();
    loop.advance(100ms);  // one wait, no input
    const auto elapsed = std::chrono::steady_clock::now() - start;
    done = true;
    signaller.join();
    sigaction(SIGUSR2, &previous, nullptr);
    EXPECT_GE(elapsed, 290ms);
    EXPECT_LT(elapsed, 4s);
    port->close();
    loop.advance(100ms);
}

TEST_F(SerialIoTest, PollingReadOnAClosedPortEndsWithoutCallingTheTarget) {
    platform::TestMainLoop loop(true);
    bool called = false;
    port->waitForInputSelector(std::make_shared<int>(0), [&](const std::optional<std::string>&) { called = true; });
    port->close();
    loop.advance(100ms);
    EXPECT_EQ(port->tyv_readTarget(), nullptr);
    EXPECT_FALSE(called);
    loop.advance(1s);
    EXPECT_FALSE(called);
}

}  // namespace
