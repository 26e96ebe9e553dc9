// Socket addresses, host look-up and the machine's interfaces, for both sockets.

#include "net/detail/SocketAddress.h"

#include <arpa/inet.h>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>

using platform::Bytes;

namespace net::detail {

Bytes bytesOf(const void* address, size_t length) {
    const auto* p = static_cast<const uint8_t*>(address);
    return Bytes(p, p + length);
}

sa_family_t familyOf(const Bytes& address) {
    sa_family_t family = 0;
    if (address.size() >= offsetof(sockaddr, sa_family) + sizeof family)
        std::memcpy(&family, address.data() + offsetof(sockaddr, sa_family), sizeof family);
    return family;
}

sockaddr_in sockaddr4Of(in_addr_t hostOrderAddress, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(hostOrderAddress);
    return a;
}

sockaddr_in6 sockaddr6Of(const in6_addr& address, uint16_t port) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    a.sin6_addr = address;
    return a;
}

std::string hostFromSockaddr4(const sockaddr_in* address) {
    char text[INET_ADDRSTRLEN];
    if (!::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text)) return {};
    return text;
}

std::string hostFromSockaddr6(const sockaddr_in6* address) {
    char text[INET6_ADDRSTRLEN];
    if (!::inet_ntop(AF_INET6, &address->sin6_addr, text, sizeof text)) return {};
    return text;
}

uint16_t portFromSockaddr4(const sockaddr_in* address) {
    return ntohs(address->sin_port);
}

uint16_t portFromSockaddr6(const sockaddr_in6* address) {
    return ntohs(address->sin6_port);
}

bool hostPortFamilyOf(const Bytes& address, std::string* hostPtr, uint16_t* portPtr, int* familyPtr) {
    if (address.size() < sizeof(sockaddr_in)) return false;
    const sa_family_t family = familyOf(address);
    if (family == AF_INET) {
        sockaddr_in a;
        std::memcpy(&a, address.data(), sizeof a);
        if (hostPtr) *hostPtr = hostFromSockaddr4(&a);
        if (portPtr) *portPtr = portFromSockaddr4(&a);
        if (familyPtr) *familyPtr = AF_INET;
        return true;
    }
    if (family == AF_INET6 && address.size() >= sizeof(sockaddr_in6)) {
        sockaddr_in6 a;
        std::memcpy(&a, address.data(), sizeof a);
        if (hostPtr) *hostPtr = hostFromSockaddr6(&a);
        if (portPtr) *portPtr = portFromSockaddr6(&a);
        if (familyPtr) *familyPtr = AF_INET6;
        return true;
    }
    return false;
}

Bytes socketAddressOf(int socketFD, int family, bool peer) {
    sockaddr_in6 a{};  // room for either family
    socklen_t length = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    auto* sa = reinterpret_cast<sockaddr*>(&a);
    const int rc = peer ? ::getpeername(socketFD, sa, &length) : ::getsockname(socketFD, sa, &length);
    if (rc != 0) return {};
    return bytesOf(&a, length);
}

int lookupHost(const std::string& host, uint16_t port, int socketType, std::vector<Bytes>* addresses) {
    if (host == "localhost" || host == "loopback") {
        addresses->push_back(bytesOf(sockaddr4Of(INADDR_LOOPBACK, port)));
        addresses->push_back(bytesOf(sockaddr6Of(in6addr_loopback, port)));
        return 0;
    }
    const std::string portText = std::to_string(port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = socketType;
    hints.ai_protocol = socketType == SOCK_DGRAM ? IPPROTO_UDP : IPPROTO_TCP;
    addrinfo* res0 = nullptr;
    const int gai = ::getaddrinfo(host.c_str(), portText.c_str(), &hints, &res0);
    if (gai != 0) return gai;
    const size_t before = addresses->size();
    for (addrinfo* res = res0; res; res = res->ai_next) {
        if (res->ai_family == AF_INET || res->ai_family == AF_INET6)
            addresses->push_back(bytesOf(res->ai_addr, res->ai_addrlen));
    }
    ::freeaddrinfo(res0);
    return addresses->size() == before ? EAI_FAIL : 0;
}

void interfaceAddresses(const std::string& interface, uint16_t port, Bytes* addr4Ptr, Bytes* addr6Ptr) {
    Bytes addr4, addr6;
    ifaddrs* addrs = nullptr;
    if (::getifaddrs(&addrs) == 0) {
        for (ifaddrs* cursor = addrs; cursor; cursor = cursor->ifa_next) {
            if (!cursor->ifa_addr) continue;
            const sa_family_t family = cursor->ifa_addr->sa_family;
            if (family == AF_INET && addr4.empty()) {
                sockaddr_in a;
                std::memcpy(&a, cursor->ifa_addr, sizeof a);
                if (interface == cursor->ifa_name || interface == hostFromSockaddr4(&a)) {
                    a.sin_port = htons(port);
                    addr4 = bytesOf(a);
                }
            } else if (family == AF_INET6 && addr6.empty()) {
                sockaddr_in6 a;
                std::memcpy(&a, cursor->ifa_addr, sizeof a);
                if (interface == cursor->ifa_name || interface == hostFromSockaddr6(&a)) {
                    a.sin6_port = htons(port);
                    addr6 = bytesOf(a);
                }
            }
        }
        ::freeifaddrs(addrs);
    }
    if (addr4Ptr) *addr4Ptr = std::move(addr4);
    if (addr6Ptr) *addr6Ptr = std::move(addr6);
}

uint32_t interfaceIndexOf(const Bytes& interfaceAddress, int family) {
    sockaddr_in wanted4{};
    sockaddr_in6 wanted6{};
    if (family == AF_INET && interfaceAddress.size() == sizeof wanted4)
        std::memcpy(&wanted4, interfaceAddress.data(), sizeof wanted4);
    else if (family == AF_INET6 && interfaceAddress.size() == sizeof wanted6)
        std::memcpy(&wanted6, interfaceAddress.data(), sizeof wanted6);
    else
        return 0;
    uint32_t result = 0;
    ifaddrs* addrs = nullptr;
    if (::getifaddrs(&addrs) != 0) return 0;
    for (ifaddrs* cursor = addrs; cursor; cursor = cursor->ifa_next) {
        if (!cursor->ifa_addr || cursor->ifa_addr->sa_family != family) continue;
        bool same;
        if (family == AF_INET) {
            sockaddr_in candidate;
            std::memcpy(&candidate, cursor->ifa_addr, sizeof candidate);
            same = candidate.sin_addr.s_addr == wanted4.sin_addr.s_addr;
        } else {
            sockaddr_in6 candidate;
            std::memcpy(&candidate, cursor->ifa_addr, sizeof candidate);
            same = std::memcmp(&candidate.sin6_addr, &wanted6.sin6_addr, sizeof wanted6.sin6_addr) == 0;
        }
        if (same) {
            result = ::if_nametoindex(cursor->ifa_name);
            break;
        }
    }
    ::freeifaddrs(addrs);
    return result;
}

const char* interfaceRefusal(const Bytes& interface4, const Bytes& interface6, bool ipv4Disabled, bool ipv6Disabled) {
    if (interface4.empty() && interface6.empty())
        return "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address.";
    if (ipv4Disabled && interface6.empty())
        return "IPv4 has been disabled and specified interface doesn't support IPv6.";
    if (ipv6Disabled && interface4.empty())
        return "IPv6 has been disabled and specified interface doesn't support IPv4.";
    return nullptr;
}

}  // namespace net::detail
