#pragma once
// The main window's links on loopback for tests and benchmarks: search sockets on free UDP ports,
// probes to 127.0.0.1, and the mixer's TCP port as given.

#include "link/LinkSettings.h"
#include "support/FreePorts.h"

#include <cstdint>

namespace testsupport {

inline LinkSettings loopbackLinkSettings(uint16_t tcpPort) {
    const auto udp = freePorts(SOCK_DGRAM, 4);
    LinkSettings settings;
    settings.wlanPort = udp.at(0);
    settings.hfPort = udp.at(1);
    settings.searchPort = udp.at(2);
    settings.probePort = udp.at(3);
    settings.broadcastAddress = "127.0.0.1";
    settings.tcpPort = tcpPort;
    return settings;
}

}  // namespace testsupport
