// Address services: the peer's and the local host and port, raw socket addresses, the parsing of
// an interface description for binding, and resolving host names into socket addresses.

#include "net/AsyncTcpSocket.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

using platform::Bytes;
using platform::Error;

namespace {

sa_family_t familyOf(const Bytes& address) {
    sa_family_t family = 0;
    if (address.size() >= offsetof(sockaddr, sa_family) + sizeof family)
        std::memcpy(&family, address.data() + offsetof(sockaddr, sa_family), sizeof family);
    return family;
}

template <typename T>
Bytes bytesOf(const T& value) {
    const auto* p = reinterpret_cast<const uint8_t*>(&value);
    return Bytes(p, p + sizeof value);
}

Bytes anyOrLoopback4(in_addr_t hostOrderAddress, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(hostOrderAddress);
    return bytesOf(a);
}

Bytes anyOrLoopback6(const in6_addr& address, uint16_t port) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    a.sin6_addr = address;
    return bytesOf(a);
}

}  // namespace

// ---- instance queries ----

std::string AsyncTcpSocket::connectedHost() {
    std::string result;
    runSync([&] {
        if (socket4FD_ != -1)
            result = connectedHostFromSocket4(socket4FD_);
        else if (socket6FD_ != -1)
            result = connectedHostFromSocket6(socket6FD_);
    });
    return result;
}

uint16_t AsyncTcpSocket::connectedPort() {
    uint16_t result = 0;
    runSync([&] {
        if (socket4FD_ != -1)
            result = connectedPortFromSocket4(socket4FD_);
        else if (socket6FD_ != -1)
            result = connectedPortFromSocket6(socket6FD_);
    });
    return result;
}

std::string AsyncTcpSocket::localHost() {
    std::string result;
    runSync([&] {
        if (socket4FD_ != -1)
            result = localHostFromSocket4(socket4FD_);
        else if (socket6FD_ != -1)
            result = localHostFromSocket6(socket6FD_);
    });
    return result;
}

uint16_t AsyncTcpSocket::localPort() {
    uint16_t result = 0;
    runSync([&] {
        if (socket4FD_ != -1)
            result = localPortFromSocket4(socket4FD_);
        else if (socket6FD_ != -1)
            result = localPortFromSocket6(socket6FD_);
    });
    return result;
}

Bytes AsyncTcpSocket::connectedAddress() {
    Bytes result;
    runSync([&] {
        if (socket4FD_ != -1) {
            sockaddr_in a{};
            socklen_t len = sizeof a;
            if (::getpeername(socket4FD_, reinterpret_cast<sockaddr*>(&a), &len) == 0)
                result.assign(reinterpret_cast<uint8_t*>(&a), reinterpret_cast<uint8_t*>(&a) + len);
        }
        if (socket6FD_ != -1) {
            sockaddr_in6 a{};
            socklen_t len = sizeof a;
            if (::getpeername(socket6FD_, reinterpret_cast<sockaddr*>(&a), &len) == 0)
                result.assign(reinterpret_cast<uint8_t*>(&a), reinterpret_cast<uint8_t*>(&a) + len);
        }
    });
    return result;
}

Bytes AsyncTcpSocket::localAddress() {
    Bytes result;
    runSync([&] {
        if (socket4FD_ != -1) {
            sockaddr_in a{};
            socklen_t len = sizeof a;
            if (::getsockname(socket4FD_, reinterpret_cast<sockaddr*>(&a), &len) == 0)
                result.assign(reinterpret_cast<uint8_t*>(&a), reinterpret_cast<uint8_t*>(&a) + len);
        }
        if (socket6FD_ != -1) {
            sockaddr_in6 a{};
            socklen_t len = sizeof a;
            if (::getsockname(socket6FD_, reinterpret_cast<sockaddr*>(&a), &len) == 0)
                result.assign(reinterpret_cast<uint8_t*>(&a), reinterpret_cast<uint8_t*>(&a) + len);
        }
    });
    return result;
}

bool AsyncTcpSocket::isIPv4() {
    bool result = false;
    runSync([&] { result = socket4FD_ != -1; });
    return result;
}

bool AsyncTcpSocket::isIPv6() {
    bool result = false;
    runSync([&] { result = socket6FD_ != -1; });
    return result;
}

bool AsyncTcpSocket::isSecure() {
    bool result = false;
    runSync([&] { result = (flags & FlagSecured) != 0; });
    return result;
}

std::string AsyncTcpSocket::connectedHost4() {
    checkOnSocketQueue();
    return socket4FD_ != -1 ? connectedHostFromSocket4(socket4FD_) : std::string();
}
std::string AsyncTcpSocket::connectedHost6() {
    checkOnSocketQueue();
    return socket6FD_ != -1 ? connectedHostFromSocket6(socket6FD_) : std::string();
}
uint16_t AsyncTcpSocket::connectedPort4() {
    checkOnSocketQueue();
    return socket4FD_ != -1 ? connectedPortFromSocket4(socket4FD_) : 0;
}
uint16_t AsyncTcpSocket::connectedPort6() {
    checkOnSocketQueue();
    return socket6FD_ != -1 ? connectedPortFromSocket6(socket6FD_) : 0;
}
std::string AsyncTcpSocket::localHost4() {
    checkOnSocketQueue();
    return socket4FD_ != -1 ? localHostFromSocket4(socket4FD_) : std::string();
}
std::string AsyncTcpSocket::localHost6() {
    checkOnSocketQueue();
    return socket6FD_ != -1 ? localHostFromSocket6(socket6FD_) : std::string();
}
uint16_t AsyncTcpSocket::localPort4() {
    checkOnSocketQueue();
    return socket4FD_ != -1 ? localPortFromSocket4(socket4FD_) : 0;
}
uint16_t AsyncTcpSocket::localPort6() {
    checkOnSocketQueue();
    return socket6FD_ != -1 ? localPortFromSocket6(socket6FD_) : 0;
}

// ---- per-descriptor forms ----

namespace {

template <typename Addr, typename Fn>
auto queryAddress(int fd, bool peer, Fn fn) -> decltype(fn(static_cast<const Addr*>(nullptr))) {
    Addr a{};
    socklen_t len = sizeof a;
    const int rc = peer ? ::getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len)
                        : ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    if (rc < 0) return {};
    return fn(&a);
}

}  // namespace

std::string AsyncTcpSocket::connectedHostFromSocket4(int fd) {
    return queryAddress<sockaddr_in>(fd, true, [](const sockaddr_in* a) { return hostFromSockaddr4(a); });
}
std::string AsyncTcpSocket::connectedHostFromSocket6(int fd) {
    return queryAddress<sockaddr_in6>(fd, true, [](const sockaddr_in6* a) { return hostFromSockaddr6(a); });
}
uint16_t AsyncTcpSocket::connectedPortFromSocket4(int fd) {
    return queryAddress<sockaddr_in>(fd, true, [](const sockaddr_in* a) { return portFromSockaddr4(a); });
}
uint16_t AsyncTcpSocket::connectedPortFromSocket6(int fd) {
    return queryAddress<sockaddr_in6>(fd, true, [](const sockaddr_in6* a) { return portFromSockaddr6(a); });
}
std::string AsyncTcpSocket::localHostFromSocket4(int fd) {
    return queryAddress<sockaddr_in>(fd, false, [](const sockaddr_in* a) { return hostFromSockaddr4(a); });
}
std::string AsyncTcpSocket::localHostFromSocket6(int fd) {
    return queryAddress<sockaddr_in6>(fd, false, [](const sockaddr_in6* a) { return hostFromSockaddr6(a); });
}
uint16_t AsyncTcpSocket::localPortFromSocket4(int fd) {
    return queryAddress<sockaddr_in>(fd, false, [](const sockaddr_in* a) { return portFromSockaddr4(a); });
}
uint16_t AsyncTcpSocket::localPortFromSocket6(int fd) {
    return queryAddress<sockaddr_in6>(fd, false, [](const sockaddr_in6* a) { return portFromSockaddr6(a); });
}

// ---- class utilities ----

std::string AsyncTcpSocket::hostFromSockaddr4(const sockaddr_in* pSockaddr4) {
    char addrBuf[INET_ADDRSTRLEN];
    if (!::inet_ntop(AF_INET, &pSockaddr4->sin_addr, addrBuf, sizeof addrBuf)) return std::string();
    return addrBuf;
}

std::string AsyncTcpSocket::hostFromSockaddr6(const sockaddr_in6* pSockaddr6) {
    char addrBuf[INET6_ADDRSTRLEN];
    if (!::inet_ntop(AF_INET6, &pSockaddr6->sin6_addr, addrBuf, sizeof addrBuf)) return std::string();
    return addrBuf;
}

uint16_t AsyncTcpSocket::portFromSockaddr4(const sockaddr_in* pSockaddr4) { return ntohs(pSockaddr4->sin_port); }

uint16_t AsyncTcpSocket::portFromSockaddr6(const sockaddr_in6* pSockaddr6) { return ntohs(pSockaddr6->sin6_port); }

bool AsyncTcpSocket::isIPv4Address(const Bytes& address) {
    return address.size() >= sizeof(sockaddr_in) && familyOf(address) == AF_INET;
}

bool AsyncTcpSocket::isIPv6Address(const Bytes& address) {
    return address.size() >= sizeof(sockaddr_in) && familyOf(address) == AF_INET6;
}

bool AsyncTcpSocket::getHostPortFamilyFromAddress(std::string* hostPtr, uint16_t* portPtr, sa_family_t* afPtr,
                                                  const Bytes& address) {
    if (address.size() < sizeof(sockaddr_in)) return false;
    const sa_family_t family = familyOf(address);
    if (family == AF_INET) {
        sockaddr_in a;
        std::memcpy(&a, address.data(), sizeof a);
        if (hostPtr) *hostPtr = hostFromSockaddr4(&a);
        if (portPtr) *portPtr = portFromSockaddr4(&a);
        if (afPtr) *afPtr = AF_INET;
        return true;
    }
    if (family == AF_INET6 && address.size() >= sizeof(sockaddr_in6)) {
        sockaddr_in6 a;
        std::memcpy(&a, address.data(), sizeof a);
        if (hostPtr) *hostPtr = hostFromSockaddr6(&a);
        if (portPtr) *portPtr = portFromSockaddr6(&a);
        if (afPtr) *afPtr = AF_INET6;
        return true;
    }
    return false;
}

bool AsyncTcpSocket::getHostPortFromAddress(std::string* hostPtr, uint16_t* portPtr, const Bytes& address) {
    return getHostPortFamilyFromAddress(hostPtr, portPtr, nullptr, address);
}

std::string AsyncTcpSocket::hostFromAddress(const Bytes& address) {
    std::string host;
    return getHostPortFromAddress(&host, nullptr, address) ? host : std::string();
}

uint16_t AsyncTcpSocket::portFromAddress(const Bytes& address) {
    uint16_t port = 0;
    return getHostPortFromAddress(nullptr, &port, address) ? port : 0;
}

std::vector<Bytes> AsyncTcpSocket::lookupHostPortError(const std::string& host, uint16_t port, Error* errPtr) {
    std::vector<Bytes> addresses;
    Error error;

    if (host == "localhost" || host == "loopback") {
        // No name service for the loopback names.
        addresses.push_back(anyOrLoopback4(INADDR_LOOPBACK, port));
        addresses.push_back(anyOrLoopback6(in6addr_loopback, port));
    } else {
        const std::string portText = std::to_string(port);
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_protocol = IPPROTO_TCP;
        addrinfo* res0 = nullptr;
        const int gai = ::getaddrinfo(host.c_str(), portText.c_str(), &hints, &res0);
        if (gai != 0) {
            error = gaiError(gai);
        } else {
            for (addrinfo* res = res0; res; res = res->ai_next) {
                if (res->ai_family != AF_INET && res->ai_family != AF_INET6) continue;
                const auto* p = reinterpret_cast<const uint8_t*>(res->ai_addr);
                addresses.emplace_back(p, p + res->ai_addrlen);
            }
            ::freeaddrinfo(res0);
            if (addresses.empty()) error = gaiError(EAI_FAIL);
        }
    }
    if (errPtr && !error.domain.empty()) *errPtr = error;
    return addresses;
}

void AsyncTcpSocket::getInterfaceAddress4Address6FromDescriptionPort(Bytes* interfaceAddr4Ptr,
                                                                     Bytes* interfaceAddr6Ptr,
                                                                     const std::string& interfaceDescription,
                                                                     uint16_t port) {
    Bytes addr4, addr6;
    std::string interface;

    // "interface:port": the port after the first colon applies only when none was given. A text
    // with two or more colons is an IPv6 address and names the interface whole: cut at its first
    // colon it would leave no interface, which means every address of both families. "::" keeps
    // that meaning.
    const bool isIPv6Address =
        std::count(interfaceDescription.begin(), interfaceDescription.end(), ':') >= 2 && interfaceDescription != "::";
    const size_t colon = isIPv6Address ? std::string::npos : interfaceDescription.find(':');
    interface = interfaceDescription.substr(0, colon);
    if (colon != std::string::npos && port == 0) {
        const size_t next = interfaceDescription.find(':', colon + 1);
        const std::string portText = interfaceDescription.substr(colon + 1, next == std::string::npos
                                                                                 ? std::string::npos
                                                                                 : next - colon - 1);
        const long portL = std::strtol(portText.c_str(), nullptr, 10);
        if (portL > 0 && portL <= UINT16_MAX) port = static_cast<uint16_t>(portL);
    }

    if (interface.empty()) {
        addr4 = anyOrLoopback4(INADDR_ANY, port);
        addr6 = anyOrLoopback6(in6addr_any, port);
    } else if (interface == "localhost" || interface == "loopback") {
        addr4 = anyOrLoopback4(INADDR_LOOPBACK, port);
        addr6 = anyOrLoopback6(in6addr_loopback, port);
    } else {
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
    }
    if (interfaceAddr4Ptr) *interfaceAddr4Ptr = addr4;
    if (interfaceAddr6Ptr) *interfaceAddr6Ptr = addr6;
}
