#pragma once
// A device link wired to recording seams: a transport that records every write (and can hand it to
// a simulated mixer), a connection state the test sets, a main window that records setBar, a
// recorder of the message bus, scripted dialogs and a recording sleeper.

#include "link/StartMainView.h"
#include "platform/Sleeper.h"
#include "platform/Trace.h"
#include "platform/testing/ScriptedUiServices.h"
#include "sim/SimMixer.h"
#include "support/TestFiles.h"
#include "util/Duziz.h"
#include "util/Userprofile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace linktest {

using platform::Bytes;

// "01 20 03 ..." to bytes.
inline Bytes hex(const std::string& text) {
    Bytes out;
    std::istringstream in(text);
    std::string token;
    while (in >> token) out.push_back(static_cast<uint8_t>(std::stoul(token, nullptr, 16)));
    return out;
}

// A frame of the given length: start bytes, byte 3 = length mod 256, 00 01 00 01, command, sub,
// payload bytes all fill, "@" last.
inline Bytes makeFrame(size_t length, uint8_t command, uint8_t sub, uint8_t fill = 0x11) {
    Bytes f(length, fill);
    const uint8_t head[] = {0x01, 0x20, 0x03, static_cast<uint8_t>(length % 256), 0x00, 0x01, 0x00, 0x01, command, sub};
    std::copy(std::begin(head), std::end(head), f.begin());
    f.back() = 0x40;
    return f;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// f with byte at set to value.
inline Bytes with(Bytes f, size_t at, uint8_t value) {
    f[at] = value;
    return f;
}

using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

struct RecordingTransport : LinkTransport {
    std::vector<Bytes> tcp;
    std::vector<Bytes> serial;
    int reads = 0;
    sim::SimMixer* mixer = nullptr;

    void writeTcp(const uint8_t* bytes, size_t length) override {
        tcp.emplace_back(bytes, bytes + length);
        if (mixer) mixer->receive(bytes, length);
    }
    void readNextTcp() override { ++reads; }
    void writeSerial(const uint8_t* bytes, size_t length) override {
        serial.emplace_back(bytes, bytes + length);
        if (mixer) mixer->receive(bytes, length);
    }
    std::vector<Bytes> all() const {
        std::vector<Bytes> frames = tcp;
        frames.insert(frames.end(), serial.begin(), serial.end());
        return frames;
    }
    void clear() {
        tcp.clear();
        serial.clear();
        reads = 0;
    }
};

struct FakeConnection : LinkConnectionState {
    int32_t type = kConnectTypeTcp;
    bool serialOpen = true;
    bool networkOpen = true;
    int32_t connectType() const override { return type; }
    bool isSerialComportOpen() const override { return serialOpen; }
    bool isNetworkOpen() const override { return networkOpen; }
};

struct RecordingWindow : LinkMainWindow {
    std::vector<bool> bars;
    void setBar(bool busy) override { bars.push_back(busy); }
};

// Every message on the bus, as (code, position).
class BusRecorder {
public:
    BusRecorder() {
        token_ = platform::NotificationCenter::defaultCenter().addObserver(
            kMessageBusName, [this](const platform::Notification& note) {
                if (auto* p = std::any_cast<UserprofilePtr>(&note.object); p && *p)
                    messages.emplace_back((*p)->cmdType, (*p)->mpos);
            });
    }
    std::vector<int> positions(int code) const {
        std::vector<int> out;
        for (auto& [c, pos] : messages)
            if (c == code) out.push_back(pos);
        return out;
    }
    size_t count(int code) const { return positions(code).size(); }
    std::vector<std::pair<int, int>> messages;

private:
    platform::NotificationCenter::ObserverToken token_;
};

class LinkTest : public ::testing::Test {
protected:
    // program: the constants of the program whose link is tested.
    explicit LinkTest(const ProgramConstants& program = kUtilityConstants) {
        platform::setTraceEnabled(false);
        gc = std::make_unique<GCData>(program);
        core = std::make_unique<XCoreData>(dir.path());
        link = std::make_unique<StartMainView>(*gc, *core);
        link->setTransport(&transport);
        link->setConnectionState(&connection);
        link->setMainWindow(&window);
        link->setSleeper(&sleeper);
        gc->isconnected = true;
        mainVctl = link.get();
    }
    ~LinkTest() override { mainVctl = nullptr; }

    // Connects the simulated mixer and feeds its replies to the link until it has nothing more to say.
    void attach(sim::SimMixer& mixer) { transport.mixer = &mixer; }
    void pump(sim::SimMixer& mixer) {
        while (mixer.hasOutput()) link->parseData(mixer.takeChunk());
        EXPECT_TRUE(mixer.rejected.empty()) << mixer.rejected.size() << " frames the mixer could not take";
    }
    void feed(const Bytes& bytes) { link->parseData(bytes); }

    std::vector<std::string> alerts() const {
        std::vector<std::string> out;
        for (auto& call : ui.callsOf("alert")) {
            EXPECT_EQ(call.title, "Warning!");
            out.push_back(call.message);
        }
        return out;
    }

    TempDir dir;
    platform::ScriptedUiServices ui;
    platform::RecordingSleeper sleeper;
    RecordingTransport transport;
    FakeConnection connection;
    RecordingWindow window;
    BusRecorder bus;
    std::unique_ptr<GCData> gc;
    std::unique_ptr<XCoreData> core;
    std::unique_ptr<StartMainView> link;
};

}  // namespace linktest
