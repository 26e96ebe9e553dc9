#pragma once
// The fixed values of the main window's links in one place. The program uses the defaults; tests
// set free loopback ports, a loopback broadcast address and a pseudo-terminal path marker.

#include <chrono>
#include <cstdint>
#include <string>

struct LinkSettings {
    // The mixer's TCP port.
    uint16_t tcpPort = 5000;
    // The search sockets: replies are read on wlanPort and searchPort; hfPort only holds its port.
    uint16_t wlanPort = 48899;
    uint16_t hfPort = 48888;
    uint16_t searchPort = 8000;
    // Where the probe goes: broadcastAddress (empty = the machine's, from NetUtil), probePort.
    uint16_t probePort = 8000;
    std::string broadcastAddress;
    // Whether the main window looks for the mixer's USB serial adapter at all. Off, no serial
    // device is listed, chosen or opened, at start-up, on a plug-in or on refresh: the demo runs
    // beside a simulated mixer, and a real mixer on an adapter must never receive what it sends.
    bool serialLink = true;
    // A serial device is the mixer's adapter when its path contains this.
    std::string serialPathMarker = "/dev/ttyUSB";
    unsigned long serialSpeed = 57600;
    // Search tick and link check.
    std::chrono::milliseconds searchInterval{200};
    std::chrono::milliseconds checkInterval{8000};
};
