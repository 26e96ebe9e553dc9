// mixer-sim: the simulated mixer on loopback, for trying the program by hand.
//   mixer-sim [--address 127.0.0.1] [--udp-port 8000] [--reply-port 48899] [--tcp-port 5000]
//             [--serial PATH] [--firmware-version N] [--fail-board B] [--silent-after N]
//             [--resume-after S]
// Answers the search probe that reaches address:udp-port (to the sender's reply port, or to the
// port the probe came from), serves the link on the TCP port and, with --serial, answers on the
// given terminal line. Runs until interrupted. On one machine the program holds port 8000 on all
// addresses; the simulator takes it on its own address and answers on the program's port 48899.
// With a firmware version below 64 the mixer keeps its scenes in the old layout; SIGUSR1 updates
// its firmware to version 64 (new-layout scenes), as the firmware update of the mixer does.
// It tells on stderr when it first answers the search, of each connection and the command of the
// first request on it, of a firmware update, and what it received when it stops.
// To try how the program ends what cannot finish: --fail-board B makes board B (0-3) report a
// failure at every firmware start; --silent-after N stops answering after N reply frames (an
// export packet, the acknowledgement of a restore packet or of a firmware block: each counts);
// with --resume-after S it sends what it held back S seconds after it fell silent and answers
// again from then on, as a mixer busy for a while (erasing its flash) may.

#include "simfront/SimFronts.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>

namespace {
volatile std::sig_atomic_t g_stop = 0;
volatile std::sig_atomic_t g_update = 0;
void onSignal(int) { g_stop = 1; }
void onUpdate(int) { g_update = 1; }
}  // namespace

int main(int argc, char** argv) {
    std::string address = "127.0.0.1";
    unsigned udpPort = 8000;
    unsigned tcpPort = 5000;
    unsigned replyPort = 48899;
    std::string serial;
    int firmwareVersion = sim::SimMixer::kNewLayoutVersion;
    int failBoard = -1;
    int silentAfter = -1;
    double resumeAfter = -1;
    for (int i = 1; i < argc; i += 2) {
        const std::string key = i + 1 < argc ? argv[i] : "";  // a flag without its value: usage
        const char* value = i + 1 < argc ? argv[i + 1] : "";
        if (key == "--address") address = value;
        else if (key == "--udp-port") udpPort = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
        else if (key == "--reply-port") replyPort = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
        else if (key == "--tcp-port") tcpPort = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
        else if (key == "--serial") serial = value;
        else if (key == "--firmware-version") firmwareVersion = static_cast<int>(std::strtol(value, nullptr, 10));
        else if (key == "--fail-board") failBoard = static_cast<int>(std::strtol(value, nullptr, 10));
        else if (key == "--silent-after") silentAfter = static_cast<int>(std::strtol(value, nullptr, 10));
        else if (key == "--resume-after") resumeAfter = std::strtod(value, nullptr);
        else {
            std::fprintf(stderr,
                         "usage: %s [--address A] [--udp-port P] [--reply-port P] [--tcp-port P] [--serial PATH] "
                         "[--firmware-version N] [--fail-board B] [--silent-after N] [--resume-after S]\n",
                         argv[0]);
            return 2;
        }
    }
    if (address.rfind("127.", 0) != 0) {
        std::fprintf(stderr, "mixer-sim serves loopback addresses only\n");
        return 2;
    }
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGUSR1, onUpdate);
    if (firmwareVersion < 1 || firmwareVersion > 255) {
        std::fprintf(stderr, "mixer-sim: the firmware version is a number from 1 to 255\n");
        return 2;
    }

    sim::LockedMixer mixer(1, firmwareVersion);
    mixer.with([&](sim::SimMixer& m) {
        if (failBoard >= 0) m.failBoard(failBoard);
        if (silentAfter >= 0) m.holdRepliesAfter(silentAfter);
    });
    sim::UdpFront::Options search;
    search.port = static_cast<uint16_t>(udpPort);
    search.replyFrom = address;
    search.listenAddress = address;
    search.replyPort = static_cast<uint16_t>(replyPort);
    sim::UdpFront udp(search);
    sim::TcpFront tcp(mixer, address, static_cast<uint16_t>(tcpPort));
    std::unique_ptr<sim::SerialFront> line;
    if (!serial.empty()) line = std::make_unique<sim::SerialFront>(mixer, serial);
    if (!udp.ok() || !tcp.ok() || (line && !line->ok())) {
        std::fprintf(stderr, "mixer-sim: cannot open its ports (%s)\n", std::strerror(errno));
        return 1;
    }
    std::fprintf(stderr, "mixer-sim: search on udp %u, link on %s:%u%s%s, firmware version %d\n", udpPort,
                 address.c_str(), tcp.port(), serial.empty() ? "" : ", serial ", serial.c_str(), firmwareVersion);
    // What a person (or the demo's test) watches for: the search answered once, each connection,
    // and the first request that arrives on it.
    auto framesReceived = [&mixer] { return mixer.with([](sim::SimMixer& m) { return m.received.size(); }); };
    bool answered = false;
    int lastConnections = 0;
    size_t framesAtLastLook = 0;
    size_t framesBeforeConnection = 0;
    bool requestSeen = true;
    // When the mixer first held a reply back (for --resume-after).
    std::optional<std::chrono::steady_clock::time_point> silentSince;
    while (!g_stop) {
        ::usleep(100000);
        if (resumeAfter >= 0) {
            const bool holding = mixer.with([](sim::SimMixer& m) { return m.holdingReplies() && m.heldLength() > 0; });
            if (holding && !silentSince) silentSince = std::chrono::steady_clock::now();
            if (silentSince &&
                std::chrono::steady_clock::now() - *silentSince >= std::chrono::duration<double>(resumeAfter)) {
                silentSince.reset();
                const sim::Bytes late = mixer.with([](sim::SimMixer& m) {
                    m.holdRepliesAfter(-1);
                    return m.takeHeldReplies();
                });
                if (tcp.hasClient()) tcp.send(late);
                if (line) line->send(late);
                std::fprintf(stderr, "mixer-sim: answers again (%zu bytes held back sent)\n", late.size());
            }
        }
        if (g_update) {
            g_update = 0;
            mixer.with([](sim::SimMixer& m) { m.updateFirmware(); });
            std::fprintf(stderr, "mixer-sim: firmware updated to version %d\n", sim::SimMixer::kNewLayoutVersion);
        }
        if (!answered && udp.replies() > 0) {
            answered = true;
            std::fprintf(stderr, "mixer-sim: answered the search\n");
        }
        // Counted before the look at the connections: a connection seen now was accepted after the
        // previous count, so every frame past that count came on it.
        const size_t frames = framesReceived();
        if (tcp.connections() != lastConnections) {
            lastConnections = tcp.connections();
            framesBeforeConnection = framesAtLastLook;
            requestSeen = false;
            std::fprintf(stderr, "mixer-sim: connection %d\n", lastConnections);
        }
        framesAtLastLook = frames;
        if (!requestSeen) {
            const int command = mixer.with([&](sim::SimMixer& m) {
                if (m.received.size() <= framesBeforeConnection) return -1;
                const sim::Bytes& first = m.received[framesBeforeConnection];
                return first.size() > 8 ? int{first[8]} : 0;
            });
            if (command >= 0) {
                requestSeen = true;
                std::fprintf(stderr, "mixer-sim: first request on connection %d: command 0x%02X\n", lastConnections,
                             static_cast<unsigned>(command));
            }
        }
    }
    std::fprintf(stderr, "mixer-sim: %d probes answered, %zu frames received\n", udp.replies(), framesReceived());
    return 0;
}
