// Random bytes into the link's byte feed, with transports that record whatever the dispatcher
// sends. The same input goes to two links: one fed byte by byte through RecByte, one through
// parseData in chunks (whose sizes the input picks), the way the transports deliver data. The
// chunked link also gets every other chunk a second time, first, from its serial adapter, which
// does not carry the link: those bytes must change nothing. Both links must reach the same state,
// and neither accumulator may ever hold more than the longest frame. The first byte also picks the
// program whose link is fed: Varnel Utility's or Varnel Preset Conversion's (old-layout scenes,
// the version reply, no preset library).

#include "link/StartMainView.h"
#include "platform/Sleeper.h"
#include "platform/Trace.h"
#include "serial/SerialPort.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct RecordingTransport : LinkTransport {
    size_t written = 0;
    uint64_t hash = 1469598103934665603ull;
    void add(const uint8_t* bytes, size_t length) {
        written += length;
        for (size_t i = 0; i < length; ++i) hash = (hash ^ bytes[i]) * 1099511628211ull;
    }
    void writeTcp(const uint8_t* bytes, size_t length) override { add(bytes, length); }
    void readNextTcp() override {}
    void writeSerial(const uint8_t* bytes, size_t length) override { add(bytes, length); }
};

struct Connection : LinkConnectionState {
    int32_t type = kConnectTypeTcp;
    int32_t connectType() const override { return type; }
    bool isSerialComportOpen() const override { return true; }
    bool isNetworkOpen() const override { return true; }
};

struct Silent : platform::Sleeper {
    void sleep(double) override {}
};

struct Harness {
    explicit Harness(const ProgramConstants& program)
        : gc(program), core("/nonexistent-varnel-resources"), link(gc, core) {
        platform::setTraceEnabled(false);
        link.setTransport(&transport);
        link.setConnectionState(&connection);
        link.setSleeper(&sleeper);
        gc.isconnected = true;
        const int32_t counts[4] = {5, 1024, 0, 3};
        for (int b = 0; b < 4; ++b) core.dSegement[b] = counts[b];
    }
    // The same starting point for every input.
    void reset(uint8_t flags) {
        connection.type = (flags & 1) ? kConnectTypeSerial : kConnectTypeTcp;
        gc.setCurrentProgramItem((flags >> 1) & 7);
        gc.memoryFilePath.clear();
        gc.memoryExportData.clear();
        gc.presetExportData.clear();
        link.ClearBuffer();
        link.setIsOnLine(false);
        transport.written = 0;
        transport.hash = 1469598103934665603ull;
    }
    void checkBound() const {
        if (link.receivedLength() > 4612) {
            std::fprintf(stderr, "accumulator holds %zu bytes\n", link.receivedLength());
            std::abort();
        }
    }
    GCData gc;
    XCoreData core;
    StartMainView link;
    RecordingTransport transport;
    Connection connection;
    Silent sleeper;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Harness* const bytewiseOf[2] = {new Harness(kUtilityConstants), new Harness(kConversionConstants)};
    static Harness* const chunkedOf[2] = {new Harness(kUtilityConstants), new Harness(kConversionConstants)};
    if (size < 2) return 0;
    // The first byte picks the transport, the board being programmed and the program, the second
    // the chunks.
    const int program = (data[0] >> 4) & 1;
    Harness* const bytewise = bytewiseOf[program];
    Harness* const chunked = chunkedOf[program];
    static const size_t kChunks[8] = {1, 2, 3, 11, 64, 1460, 4096, 12000};
    const size_t first = kChunks[data[1] & 7], second = kChunks[(data[1] >> 3) & 7];
    bytewise->reset(data[0]);
    chunked->reset(data[0]);
    const uint8_t* bytes = data + 2;
    const size_t length = size - 2;
    for (size_t i = 0; i < length; ++i) {
        bytewise->link.RecByte(bytes[i]);
        bytewise->checkBound();
    }
    // An adapter that is open but never claimed the link (the link's search is not running).
    static const std::shared_ptr<SerialPort> adapters[2] = {
        SerialPort::initWithNameType("/nonexistent-varnel-adapter", "/dev/cu.usbserial", ""),
        SerialPort::initWithNameType("/nonexistent-varnel-adapter", "/dev/cu.usbserial", "")};
    const std::shared_ptr<SerialPort>& adapter = adapters[program];
    if (chunked->link.comport() != adapter) chunked->link.setCompPort(adapter);
    for (size_t at = 0, turn = 0; at < length; ++turn) {
        const size_t n = std::min(turn % 2 ? second : first, length - at);
        if (turn % 2 == 0) chunked->link.serialPortReadData({adapter, platform::Bytes(bytes + at, bytes + at + n)});
        chunked->link.parseData(bytes + at, n);
        chunked->checkBound();
        at += n;
    }
    const bool same = bytewise->link.receivedLength() == chunked->link.receivedLength() &&
                      bytewise->transport.written == chunked->transport.written &&
                      bytewise->transport.hash == chunked->transport.hash &&
                      bytewise->gc.memoryExportData == chunked->gc.memoryExportData &&
                      bytewise->gc.presetExportData == chunked->gc.presetExportData &&
                      std::memcmp(bytewise->gc.m_FXPreset, chunked->gc.m_FXPreset, sizeof bytewise->gc.m_FXPreset) == 0 &&
                      bytewise->link.isOnLine() == chunked->link.isOnLine() &&
                      bytewise->gc.m_mcuVer == chunked->gc.m_mcuVer &&
                      chunked->link.connectType() == 0 && chunked->link.comport() == adapter;
    if (!same) {
        std::fprintf(stderr, "chunked feed differs from the byte feed (held %zu and %zu bytes)\n",
                     bytewise->link.receivedLength(), chunked->link.receivedLength());
        std::abort();
    }
    return 0;
}
