#pragma once
// The machine's own IPv4 address and broadcast address, for the device search.

#include <string>

struct ifaddrs;

class NetUtil {
public:
    // The broadcast address of the first interface that is up, not loopback, IPv4, able to
    // broadcast and running (it has a carrier); when none of those runs, of the first of them
    // that does not; "127.0.0.1" when there is none or the interfaces cannot be listed.
    std::string getBroadcastAddress() const;
    // The address of that same interface, or "127.0.0.1".
    std::string getIPAddress() const;

    // The same choices over a given interface list (null = empty list).
    static std::string broadcastAddressFrom(const ifaddrs* list);
    static std::string ipAddressFrom(const ifaddrs* list);
};
