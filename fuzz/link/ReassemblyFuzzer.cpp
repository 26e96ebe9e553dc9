// Random bytes into the link's byte feed, with a transport that swallows whatever the dispatcher
// sends. The accumulator must never hold more than the longest frame.

#include "link/StartMainView.h"
#include "platform/Sleeper.h"
#include "platform/Trace.h"

#include <cstdio>
#include <cstdlib>

namespace {

struct NullTransport : LinkTransport {
    size_t written = 0;
    void writeTcp(const uint8_t*, size_t length) override { written += length; }
    void readNextTcp() override {}
    void writeSerial(const uint8_t*, size_t length) override { written += length; }
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
    Harness() : core("/nonexistent-varnel-resources"), link(gc, core) {
        platform::setTraceEnabled(false);
        link.setTransport(&transport);
        link.setConnectionState(&connection);
        link.setSleeper(&sleeper);
        gc.isconnected = true;
        const int32_t counts[4] = {5, 1024, 0, 3};
        for (int b = 0; b < 4; ++b) core.dSegement[b] = counts[b];
    }
    GCData gc;
    XCoreData core;
    StartMainView link;
    NullTransport transport;
    Connection connection;
    Silent sleeper;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Harness* h = new Harness();
    if (size == 0) return 0;
    // The first byte picks the transport and the board being programmed.
    h->connection.type = (data[0] & 1) ? kConnectTypeSerial : kConnectTypeTcp;
    h->gc.setCurrentProgramItem((data[0] >> 1) & 7);
    h->gc.memoryFilePath.clear();
    h->link.ClearBuffer();
    for (size_t i = 1; i < size; ++i) {
        h->link.RecByte(data[i]);
        if (h->link.receivedLength() > 4612) {
            std::fprintf(stderr, "accumulator holds %zu bytes\n", h->link.receivedLength());
            std::abort();
        }
    }
    return 0;
}
