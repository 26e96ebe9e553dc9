#include "link/NetUtil.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace {

constexpr const char* kLoopback = "127.0.0.1";

// The first entry that is up, not loopback, IPv4 and broadcast-capable, preferring one that
// runs: an interface without carrier (a docking-station port with no cable, a Wi-Fi card not
// associated) is often listed first, and a probe sent there reaches no mixer. Null when none.
const ifaddrs* firstBroadcastInterface(const ifaddrs* list) {
    const ifaddrs* withoutCarrier = nullptr;
    for (const ifaddrs* it = list; it; it = it->ifa_next) {
        if (!it->ifa_addr || it->ifa_addr->sa_family != AF_INET) continue;
        const unsigned flags = it->ifa_flags;
        if (!(flags & IFF_UP) || (flags & IFF_LOOPBACK) || !(flags & IFF_BROADCAST)) continue;
        if (flags & IFF_RUNNING) return it;
        if (!withoutCarrier) withoutCarrier = it;
    }
    return withoutCarrier;
}

std::string dotted(const sockaddr* address) {
    char text[INET_ADDRSTRLEN] = {};
    const auto* in = reinterpret_cast<const sockaddr_in*>(address);
    if (!inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) return kLoopback;
    return text;
}

template <typename Choose>
std::string withInterfaces(Choose choose) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return kLoopback;
    std::string result = choose(list);
    freeifaddrs(list);
    return result;
}

}  // namespace

std::string NetUtil::broadcastAddressFrom(const ifaddrs* list) {
    const ifaddrs* chosen = firstBroadcastInterface(list);
    if (!chosen) return kLoopback;
    const sockaddr* broadcast = chosen->ifa_broadaddr;
    if (broadcast && broadcast->sa_family == AF_INET) return dotted(broadcast);
    // No broadcast address given: the interface's address with every host bit set.
    if (!chosen->ifa_netmask || chosen->ifa_netmask->sa_family != AF_INET) return kLoopback;
    sockaddr_in formed = *reinterpret_cast<const sockaddr_in*>(chosen->ifa_addr);
    const auto* mask = reinterpret_cast<const sockaddr_in*>(chosen->ifa_netmask);
    formed.sin_addr.s_addr |= ~mask->sin_addr.s_addr;
    return dotted(reinterpret_cast<const sockaddr*>(&formed));
}

std::string NetUtil::ipAddressFrom(const ifaddrs* list) {
    const ifaddrs* chosen = firstBroadcastInterface(list);
    return chosen ? dotted(chosen->ifa_addr) : kLoopback;
}

std::string NetUtil::getBroadcastAddress() const { return withInterfaces(broadcastAddressFrom); }

std::string NetUtil::getIPAddress() const { return withInterfaces(ipAddressFrom); }
