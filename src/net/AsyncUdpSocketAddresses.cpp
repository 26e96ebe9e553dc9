// AsyncUdpSocket: host resolution, the choice of a destination, interface and numeric host
// conversion, endpoint queries with their caches, and the address utilities.

#include "net/AsyncUdpSocket.h"
#include "net/detail/SocketAddress.h"
#include "platform/Fatal.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>

#include <cstdio>
#include <cstring>

using platform::Bytes;
using platform::Error;
using platform::dispatch::Queue;
using namespace net::detail;

// ----- host resolution -----

void AsyncUdpSocket::asyncResolveHostPortWithCompletionBlock(
    const std::optional<std::string>& host, uint16_t port,
    std::function<void(std::vector<Bytes>, std::optional<Error>)> completion) {
    if (!host) {
        Error error = badParamError("The host param is nil. Should be domain name or IP address string.");
        socketQueue->async([completion = std::move(completion), error] { completion({}, error); });
        return;
    }
    // The look-up blocks, so it runs on a global queue with its own copy of the host text and
    // touches no field; its outcome goes back to the socket queue.
    Queue::global(platform::dispatch::Priority::Default)
        ->async([hostCopy = *host, port, sq = socketQueue, completion = std::move(completion)]() mutable {
            std::vector<Bytes> addresses;
            std::optional<Error> error;
            if (const int gai = lookupHost(hostCopy, port, SOCK_DGRAM, &addresses)) error = gaiError(gai);
            sq->async([completion = std::move(completion), addresses = std::move(addresses), error]() mutable {
                completion(std::move(addresses), error);
            });
        });
}

// ----- the choice of one destination -----

int AsyncUdpSocket::chooseAddress(const AddressChoiceState& state, const std::vector<Bytes>& addresses,
                                  Bytes* addressPtr, Error* errPtr) {
    platform::fatalUnless(!addresses.empty(), "AsyncUdpSocket: Expected at least one address");
    bool resolvedIPv4Address = false;
    bool resolvedIPv6Address = false;
    for (const Bytes& address : addresses) {
        switch (familyFromAddress(address)) {
            case AF_INET:
                resolvedIPv4Address = true;
                break;
            case AF_INET6:
                resolvedIPv6Address = true;
                break;
            default:
                platform::fatal("AsyncUdpSocket: Addresses array contains invalid address");
        }
    }

    auto refuse = [&](const char* message) {
        if (addressPtr) addressPtr->clear();
        platform::setError(errPtr, otherError(message));
        return 0;
    };
    const bool ipv4Disabled = (state.config & Config::ipv4Disabled) != 0;
    const bool ipv6Disabled = (state.config & Config::ipv6Disabled) != 0;
    if (ipv4Disabled && !resolvedIPv6Address) {
        return refuse("IPv4 has been disabled and DNS lookup found no IPv6 address(es).");
    }
    if (ipv6Disabled && !resolvedIPv4Address) {
        return refuse("IPv6 has been disabled and DNS lookup found no IPv4 address(es).");
    }
    if ((state.flags & Flag::ipv4Deactivated) && !resolvedIPv6Address) {
        return refuse("IPv4 has been deactivated due to bind/connect, and DNS lookup found no IPv6 address(es).");
    }
    if ((state.flags & Flag::ipv6Deactivated) && !resolvedIPv4Address) {
        return refuse("IPv6 has been deactivated due to bind/connect, and DNS lookup found no IPv4 address(es).");
    }

    // A family that is disabled or has no socket is left out before the preference applies, so a
    // datagram never goes to a socket that does not exist.
    const bool usable4 = !ipv4Disabled && (!state.socketsCreated || state.hasSocket4);
    const bool usable6 = !ipv6Disabled && (!state.socketsCreated || state.hasSocket6);
    const bool has4 = resolvedIPv4Address && usable4;
    const bool has6 = resolvedIPv6Address && usable6;
    if (!has4 && !has6) {
        return refuse(resolvedIPv4Address
                          ? "IPv4 has been deactivated due to bind/connect, and DNS lookup found no IPv6 address(es)."
                          : "IPv6 has been deactivated due to bind/connect, and DNS lookup found no IPv4 address(es).");
    }

    const Bytes* address4 = nullptr;
    const Bytes* address6 = nullptr;
    bool ipv4WasFirstInList = true;
    for (const Bytes& address : addresses) {
        const int family = familyFromAddress(address);
        if (family == AF_INET && has4 && !address4) {
            address4 = &address;
            if (!address6) ipv4WasFirstInList = true;
        } else if (family == AF_INET6 && has6 && !address6) {
            address6 = &address;
            if (!address4) ipv4WasFirstInList = false;
        }
        if (address4 && address6) break;
    }

    const bool preferIPv4 = (state.config & Config::preferIPv4) != 0;
    const bool preferIPv6 = (state.config & Config::preferIPv6) != 0;
    platform::fatalUnless(!(preferIPv4 && preferIPv6), "AsyncUdpSocket: Invalid config state");
    const bool useIPv4 = (preferIPv4 && address4) || !address6;
    const bool useIPv6 = (preferIPv6 && address6) || !address4;
    platform::fatalUnless(!(useIPv4 && useIPv6), "AsyncUdpSocket: Invalid logic");

    platform::setError(errPtr, Error{});
    if (useIPv4 || (!useIPv6 && ipv4WasFirstInList)) {
        if (addressPtr) *addressPtr = *address4;
        return AF_INET;
    }
    if (addressPtr) *addressPtr = *address6;
    return AF_INET6;
}

int AsyncUdpSocket::getAddressErrorFromAddresses(Bytes* addressPtr, Error* errorPtr,
                                                 const std::vector<Bytes>& addresses) {
    assertOnSocketQueue();
    AddressChoiceState state;
    state.config = config;
    state.flags = flags;
    state.socketsCreated = (flags & Flag::socketsCreated) != 0;
    state.hasSocket4 = socket4FD_ != -1;
    state.hasSocket6 = socket6FD_ != -1;
    return chooseAddress(state, addresses, addressPtr, errorPtr);
}

// ----- interface and numeric host texts -----

void AsyncUdpSocket::convertIntefaceDescriptionPortIntoAddress4Address6(
    const std::optional<std::string>& interfaceDescription, uint16_t port, Bytes* interfaceAddr4Ptr,
    Bytes* interfaceAddr6Ptr) {
    Bytes addr4;
    Bytes addr6;
    if (!interfaceDescription) {
        addr4 = bytesOf(sockaddr4Of(INADDR_ANY, port));
        addr6 = bytesOf(sockaddr6Of(in6addr_any, port));
    } else if (*interfaceDescription == "localhost" || *interfaceDescription == "loopback") {
        addr4 = bytesOf(sockaddr4Of(INADDR_LOOPBACK, port));
        addr6 = bytesOf(sockaddr6Of(in6addr_loopback, port));
    } else {
        interfaceAddresses(*interfaceDescription, port, &addr4, &addr6);
    }
    if (interfaceAddr4Ptr) *interfaceAddr4Ptr = std::move(addr4);
    if (interfaceAddr6Ptr) *interfaceAddr6Ptr = std::move(addr6);
}

void AsyncUdpSocket::convertNumericHostPortIntoAddress4Address6(const std::string& numericHost, uint16_t port,
                                                                Bytes* addr4Ptr, Bytes* addr6Ptr) {
    Bytes addr4;
    Bytes addr6;
    if (!numericHost.empty()) {
        char portText[8];
        std::snprintf(portText, sizeof portText, "%hu", port);
        addrinfo hints{};
        hints.ai_flags = AI_NUMERICHOST;
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_DGRAM;
        hints.ai_protocol = IPPROTO_UDP;
        addrinfo* res0 = nullptr;
        if (getaddrinfo(numericHost.c_str(), portText, &hints, &res0) == 0) {
            for (addrinfo* res = res0; res; res = res->ai_next) {
                if (res->ai_family == AF_INET && addr4.empty()) {
                    addr4 = bytesOf(res->ai_addr, res->ai_addrlen);
                } else if (res->ai_family == AF_INET6 && addr6.empty()) {
                    addr6 = bytesOf(res->ai_addr, res->ai_addrlen);
                }
            }
            freeaddrinfo(res0);
        }
    }
    if (addr4Ptr) *addr4Ptr = std::move(addr4);
    if (addr6Ptr) *addr6Ptr = std::move(addr6);
}

// ----- the connected peer and the interfaces -----

bool AsyncUdpSocket::isConnectedToAddress4(const Bytes& someAddr4) {
    platform::fatalUnless((flags & Flag::connected) != 0, "AsyncUdpSocket: Not connected");
    platform::fatalUnless(!cachedConnectedAddress.empty(), "AsyncUdpSocket: Expected cached connected address");
    if (cachedConnectedFamily != AF_INET || someAddr4.size() < sizeof(sockaddr_in) ||
        cachedConnectedAddress.size() < sizeof(sockaddr_in)) {
        return false;
    }
    sockaddr_in a;
    sockaddr_in b;
    std::memcpy(&a, someAddr4.data(), sizeof a);
    std::memcpy(&b, cachedConnectedAddress.data(), sizeof b);
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

bool AsyncUdpSocket::isConnectedToAddress6(const Bytes& someAddr6) {
    platform::fatalUnless((flags & Flag::connected) != 0, "AsyncUdpSocket: Not connected");
    platform::fatalUnless(!cachedConnectedAddress.empty(), "AsyncUdpSocket: Expected cached connected address");
    if (cachedConnectedFamily != AF_INET6 || someAddr6.size() < sizeof(sockaddr_in6) ||
        cachedConnectedAddress.size() < sizeof(sockaddr_in6)) {
        return false;
    }
    sockaddr_in6 a;
    sockaddr_in6 b;
    std::memcpy(&a, someAddr6.data(), sizeof a);
    std::memcpy(&b, cachedConnectedAddress.data(), sizeof b);
    return std::memcmp(&a.sin6_addr, &b.sin6_addr, sizeof a.sin6_addr) == 0 && a.sin6_port == b.sin6_port;
}

uint32_t AsyncUdpSocket::indexOfInterfaceAddr4(const Bytes& interfaceAddr4) {
    return interfaceIndexOf(interfaceAddr4, AF_INET);
}

uint32_t AsyncUdpSocket::indexOfInterfaceAddr6(const Bytes& interfaceAddr6) {
    return interfaceIndexOf(interfaceAddr6, AF_INET6);
}

// ----- endpoint queries -----

bool AsyncUdpSocket::getLocalAddressHostPortForSocketWithFamily(Bytes* dataPtr, std::string* hostPtr,
                                                                uint16_t* portPtr, int socketFD, int socketFamily) {
    Bytes data;
    std::string host;
    uint16_t port = 0;
    if (socketFamily == AF_INET || socketFamily == AF_INET6) {
        data = socketAddressOf(socketFD, socketFamily, false);
        hostPortFamilyOf(data, &host, &port, nullptr);
    }
    const bool ok = !data.empty();
    if (dataPtr) *dataPtr = std::move(data);
    if (hostPtr) *hostPtr = std::move(host);
    if (portPtr) *portPtr = port;
    return ok;
}

void AsyncUdpSocket::maybeUpdateCachedLocalAddress4Info() {
    assertOnSocketQueue();
    if (!cachedLocalAddress4.empty() || !(flags & Flag::bound) || socket4FD_ == -1) return;
    Bytes address;
    std::string host;
    uint16_t port = 0;
    if (getLocalAddressHostPortForSocketWithFamily(&address, &host, &port, socket4FD_, AF_INET)) {
        cachedLocalAddress4 = std::move(address);
        cachedLocalHost4 = std::move(host);
        cachedLocalPort4 = port;
    }
}

void AsyncUdpSocket::maybeUpdateCachedLocalAddress6Info() {
    assertOnSocketQueue();
    if (!cachedLocalAddress6.empty() || !(flags & Flag::bound) || socket6FD_ == -1) return;
    Bytes address;
    std::string host;
    uint16_t port = 0;
    if (getLocalAddressHostPortForSocketWithFamily(&address, &host, &port, socket6FD_, AF_INET6)) {
        cachedLocalAddress6 = std::move(address);
        cachedLocalHost6 = std::move(host);
        cachedLocalPort6 = port;
    }
}

void AsyncUdpSocket::maybeUpdateCachedConnectedAddressInfo() {
    assertOnSocketQueue();
    if (!cachedConnectedAddress.empty() || !(flags & Flag::connected)) return;
    Bytes data;
    std::string host;
    uint16_t port = 0;
    int family = 0;
    if (socket4FD_ != -1)
        data = socketAddressOf(socket4FD_, AF_INET, true);
    else if (socket6FD_ != -1)
        data = socketAddressOf(socket6FD_, AF_INET6, true);
    hostPortFamilyOf(data, &host, &port, &family);
    cachedConnectedAddress = std::move(data);
    cachedConnectedHost = std::move(host);
    cachedConnectedPort = port;
    cachedConnectedFamily = family;
}

Bytes AsyncUdpSocket::localAddress() {
    return runSync([this] {
        if (socket4FD_ != -1) {
            maybeUpdateCachedLocalAddress4Info();
            return cachedLocalAddress4;
        }
        maybeUpdateCachedLocalAddress6Info();
        return cachedLocalAddress6;
    });
}

std::string AsyncUdpSocket::localHost() {
    return runSync([this] {
        if (socket4FD_ != -1) {
            maybeUpdateCachedLocalAddress4Info();
            return cachedLocalHost4;
        }
        maybeUpdateCachedLocalAddress6Info();
        return cachedLocalHost6;
    });
}

uint16_t AsyncUdpSocket::localPort() {
    return runSync([this] {
        if (socket4FD_ != -1) {
            maybeUpdateCachedLocalAddress4Info();
            return cachedLocalPort4;
        }
        maybeUpdateCachedLocalAddress6Info();
        return cachedLocalPort6;
    });
}

Bytes AsyncUdpSocket::localAddress_IPv4() {
    return runSync([this] {
        maybeUpdateCachedLocalAddress4Info();
        return cachedLocalAddress4;
    });
}

std::string AsyncUdpSocket::localHost_IPv4() {
    return runSync([this] {
        maybeUpdateCachedLocalAddress4Info();
        return cachedLocalHost4;
    });
}

uint16_t AsyncUdpSocket::localPort_IPv4() {
    return runSync([this] {
        maybeUpdateCachedLocalAddress4Info();
        return cachedLocalPort4;
    });
}

Bytes AsyncUdpSocket::localAddress_IPv6() {
    return runSync([this] {
        maybeUpdateCachedLocalAddress6Info();
        return cachedLocalAddress6;
    });
}

std::string AsyncUdpSocket::localHost_IPv6() {
    return runSync([this] {
        maybeUpdateCachedLocalAddress6Info();
        return cachedLocalHost6;
    });
}

uint16_t AsyncUdpSocket::localPort_IPv6() {
    return runSync([this] {
        maybeUpdateCachedLocalAddress6Info();
        return cachedLocalPort6;
    });
}

Bytes AsyncUdpSocket::connectedAddress() {
    return runSync([this] {
        maybeUpdateCachedConnectedAddressInfo();
        return cachedConnectedAddress;
    });
}

std::string AsyncUdpSocket::connectedHost() {
    return runSync([this] {
        maybeUpdateCachedConnectedAddressInfo();
        return cachedConnectedHost;
    });
}

uint16_t AsyncUdpSocket::connectedPort() {
    return runSync([this] {
        maybeUpdateCachedConnectedAddressInfo();
        return cachedConnectedPort;
    });
}

bool AsyncUdpSocket::isConnected() {
    return runSync([this] { return (flags & Flag::connected) != 0; });
}

bool AsyncUdpSocket::isClosed() {
    return runSync([this] { return (flags & Flag::socketsCreated) == 0; });
}

bool AsyncUdpSocket::isIPv4() {
    return runSync([this] {
        if (flags & Flag::socketsCreated) return socket4FD_ != -1;
        return (config & Config::ipv4Disabled) == 0;
    });
}

bool AsyncUdpSocket::isIPv6() {
    return runSync([this] {
        if (flags & Flag::socketsCreated) return socket6FD_ != -1;
        return (config & Config::ipv6Disabled) == 0;
    });
}

// ----- address utilities -----

std::string AsyncUdpSocket::hostFromSockaddr4(const sockaddr_in* a) { return net::detail::hostFromSockaddr4(a); }
std::string AsyncUdpSocket::hostFromSockaddr6(const sockaddr_in6* a) { return net::detail::hostFromSockaddr6(a); }
uint16_t AsyncUdpSocket::portFromSockaddr4(const sockaddr_in* a) { return net::detail::portFromSockaddr4(a); }
uint16_t AsyncUdpSocket::portFromSockaddr6(const sockaddr_in6* a) { return net::detail::portFromSockaddr6(a); }

// A buffer that is no address leaves the outputs empty.
bool AsyncUdpSocket::getHostPortFamilyFromAddress(std::string* hostPtr, uint16_t* portPtr, int* afPtr,
                                                  const Bytes& address) {
    if (hostPortFamilyOf(address, hostPtr, portPtr, afPtr)) return true;
    if (hostPtr) hostPtr->clear();
    if (portPtr) *portPtr = 0;
    if (afPtr) *afPtr = AF_UNSPEC;
    return false;
}

bool AsyncUdpSocket::getHostPortFromAddress(std::string* hostPtr, uint16_t* portPtr, const Bytes& address) {
    return getHostPortFamilyFromAddress(hostPtr, portPtr, nullptr, address);
}

std::optional<std::string> AsyncUdpSocket::hostFromAddress(const Bytes& address) {
    std::string host;
    if (!getHostPortFamilyFromAddress(&host, nullptr, nullptr, address)) return std::nullopt;
    return host;
}

uint16_t AsyncUdpSocket::portFromAddress(const Bytes& address) {
    uint16_t port = 0;
    getHostPortFamilyFromAddress(nullptr, &port, nullptr, address);
    return port;
}

int AsyncUdpSocket::familyFromAddress(const Bytes& address) {
    int af = AF_UNSPEC;
    getHostPortFamilyFromAddress(nullptr, nullptr, &af, address);
    return af;
}

bool AsyncUdpSocket::isIPv4Address(const Bytes& address) { return familyFromAddress(address) == AF_INET; }

bool AsyncUdpSocket::isIPv6Address(const Bytes& address) { return familyFromAddress(address) == AF_INET6; }
