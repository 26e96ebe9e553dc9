// Address services: the peer's and the local host and port, raw socket addresses, the parsing of
// an interface description for binding, and resolving host names into socket addresses.

#include "net/AsyncTcpSocket.h"
#include "net/detail/SocketAddress.h"

#include <algorithm>
#include <cstdlib>

using platform::Bytes;
using platform::Error;
using namespace net::detail;

// ---- instance queries ----

namespace {

// The local or the peer's address of whichever descriptors are open, the IPv6 one when both are
// and it can be read.
Bytes addressOfDescriptors(int socket4FD, int socket6FD, bool peer) {
    Bytes result;
    if (socket4FD != -1) result = socketAddressOf(socket4FD, AF_INET, peer);
    if (socket6FD != -1) {
        Bytes address6 = socketAddressOf(socket6FD, AF_INET6, peer);
        if (!address6.empty()) result = std::move(address6);
    }
    return result;
}

}  // namespace

std::string AsyncTcpSocket::connectedHost() {
    return runSync([&] {
        if (socket4FD_ != -1) return connectedHostFromSocket4(socket4FD_);
        return socket6FD_ != -1 ? connectedHostFromSocket6(socket6FD_) : std::string();
    });
}

uint16_t AsyncTcpSocket::connectedPort() {
    return runSync([&]() -> uint16_t {
        if (socket4FD_ != -1) return connectedPortFromSocket4(socket4FD_);
        return socket6FD_ != -1 ? connectedPortFromSocket6(socket6FD_) : 0;
    });
}

std::string AsyncTcpSocket::localHost() {
    return runSync([&] {
        if (socket4FD_ != -1) return localHostFromSocket4(socket4FD_);
        return socket6FD_ != -1 ? localHostFromSocket6(socket6FD_) : std::string();
    });
}

uint16_t AsyncTcpSocket::localPort() {
    return runSync([&]() -> uint16_t {
        if (socket4FD_ != -1) return localPortFromSocket4(socket4FD_);
        return socket6FD_ != -1 ? localPortFromSocket6(socket6FD_) : 0;
    });
}

Bytes AsyncTcpSocket::connectedAddress() {
    return runSync([&] { return addressOfDescriptors(socket4FD_, socket6FD_, true); });
}

Bytes AsyncTcpSocket::localAddress() {
    return runSync([&] { return addressOfDescriptors(socket4FD_, socket6FD_, false); });
}

bool AsyncTcpSocket::isIPv4() {
    return runSync([&] { return socket4FD_ != -1; });
}

bool AsyncTcpSocket::isIPv6() {
    return runSync([&] { return socket6FD_ != -1; });
}

bool AsyncTcpSocket::isSecure() {
    return runSync([&] { return (flags & FlagSecured) != 0; });
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

std::string AsyncTcpSocket::hostFromSockaddr4(const sockaddr_in* a) { return net::detail::hostFromSockaddr4(a); }
std::string AsyncTcpSocket::hostFromSockaddr6(const sockaddr_in6* a) { return net::detail::hostFromSockaddr6(a); }
uint16_t AsyncTcpSocket::portFromSockaddr4(const sockaddr_in* a) { return net::detail::portFromSockaddr4(a); }
uint16_t AsyncTcpSocket::portFromSockaddr6(const sockaddr_in6* a) { return net::detail::portFromSockaddr6(a); }

bool AsyncTcpSocket::isIPv4Address(const Bytes& address) {
    return address.size() >= sizeof(sockaddr_in) && familyOf(address) == AF_INET;
}

bool AsyncTcpSocket::isIPv6Address(const Bytes& address) {
    return address.size() >= sizeof(sockaddr_in) && familyOf(address) == AF_INET6;
}

bool AsyncTcpSocket::getHostPortFamilyFromAddress(std::string* hostPtr, uint16_t* portPtr, sa_family_t* afPtr,
                                                  const Bytes& address) {
    int family = 0;
    if (!hostPortFamilyOf(address, hostPtr, portPtr, &family)) return false;
    if (afPtr) *afPtr = static_cast<sa_family_t>(family);
    return true;
}

bool AsyncTcpSocket::getHostPortFromAddress(std::string* hostPtr, uint16_t* portPtr, const Bytes& address) {
    return hostPortFamilyOf(address, hostPtr, portPtr, nullptr);
}

std::string AsyncTcpSocket::hostFromAddress(const Bytes& address) {
    std::string host;
    return hostPortFamilyOf(address, &host, nullptr, nullptr) ? host : std::string();
}

uint16_t AsyncTcpSocket::portFromAddress(const Bytes& address) {
    uint16_t port = 0;
    return hostPortFamilyOf(address, nullptr, &port, nullptr) ? port : 0;
}

std::vector<Bytes> AsyncTcpSocket::lookupHostPortError(const std::string& host, uint16_t port, Error* errPtr) {
    std::vector<Bytes> addresses;
    const int gai = lookupHost(host, port, SOCK_STREAM, &addresses);
    if (gai != 0) platform::setError(errPtr, gaiError(gai));
    return addresses;
}

void AsyncTcpSocket::getInterfaceAddress4Address6FromDescriptionPort(Bytes* interfaceAddr4Ptr,
                                                                     Bytes* interfaceAddr6Ptr,
                                                                     const std::string& interfaceDescription,
                                                                     uint16_t port) {
    Bytes addr4, addr6;

    // "interface:port": the port after the first colon applies only when none was given. A text
    // with two or more colons is an IPv6 address and names the interface whole: cut at its first
    // colon it would leave no interface, which means every address of both families. "::" keeps
    // that meaning.
    const bool isIPv6Address =
        std::count(interfaceDescription.begin(), interfaceDescription.end(), ':') >= 2 && interfaceDescription != "::";
    const size_t colon = isIPv6Address ? std::string::npos : interfaceDescription.find(':');
    const std::string interface = interfaceDescription.substr(0, colon);
    if (colon != std::string::npos && port == 0) {
        const size_t next = interfaceDescription.find(':', colon + 1);
        const std::string portText = interfaceDescription.substr(colon + 1, next == std::string::npos
                                                                                 ? std::string::npos
                                                                                 : next - colon - 1);
        const long portL = std::strtol(portText.c_str(), nullptr, 10);
        if (portL > 0 && portL <= UINT16_MAX) port = static_cast<uint16_t>(portL);
    }

    if (interface.empty()) {
        addr4 = bytesOf(sockaddr4Of(INADDR_ANY, port));
        addr6 = bytesOf(sockaddr6Of(in6addr_any, port));
    } else if (interface == "localhost" || interface == "loopback") {
        addr4 = bytesOf(sockaddr4Of(INADDR_LOOPBACK, port));
        addr6 = bytesOf(sockaddr6Of(in6addr_loopback, port));
    } else {
        interfaceAddresses(interface, port, &addr4, &addr6);
    }
    if (interfaceAddr4Ptr) *interfaceAddr4Ptr = addr4;
    if (interfaceAddr6Ptr) *interfaceAddr6Ptr = addr6;
}
