// AsyncUdpSocket: binding, the broadcast switch, connecting and multicast membership.

#include "net/AsyncUdpSocket.h"
#include "net/detail/SocketAddress.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

using platform::Bytes;
using platform::Error;
using namespace net::detail;

namespace {

bool bindDescriptor(int fd, const Bytes& address) {
    return ::bind(fd, reinterpret_cast<const sockaddr*>(address.data()), static_cast<socklen_t>(address.size())) == 0;
}

// Connects the socket through a duplicate of its descriptor. The descriptor itself is watched by
// the dispatch reactor on another thread; the kernel allows a connect meanwhile, but
// ThreadSanitizer counts a connect as a change of the descriptor number and reports the reactor's
// next use of it. On failure errno is the connect's (or the duplication's).
bool connectDescriptor(int fd, const Bytes& address, socklen_t length) {
    const int connectFD = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (connectFD == -1) return false;
    const bool connected = ::connect(connectFD, reinterpret_cast<const sockaddr*>(address.data()), length) == 0;
    const int savedErrno = errno;
    ::close(connectFD);
    errno = savedErrno;
    return connected;
}

}  // namespace

// ----- binding -----

bool AsyncUdpSocket::preBind(Error* errPtr) {
    if (!preOp(errPtr)) return false;
    if (flags & Flag::bound) {
        platform::setError(errPtr, badConfigError("Cannot bind a socket more than once."));
        return false;
    }
    if (flags & (Flag::connecting | Flag::connected)) {
        platform::setError(errPtr, badConfigError("Cannot bind after connecting. If needed, bind first, then connect."));
        return false;
    }
    if ((config & Config::ipv4Disabled) && (config & Config::ipv6Disabled)) {
        platform::setError(errPtr, badConfigError(
                                       "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first."));
        return false;
    }
    return true;
}

bool AsyncUdpSocket::bindToPortError(uint16_t port, Error* errPtr) {
    return bindToPortInterfaceError(port, std::nullopt, errPtr);
}

bool AsyncUdpSocket::bindToPortInterfaceError(uint16_t port, const std::optional<std::string>& interface,
                                              Error* errPtr) {
    return runSyncReportingError(errPtr, [&](Error& err) {
        if (!preBind(&err)) return false;

        Bytes interface4;
        Bytes interface6;
        convertIntefaceDescriptionPortIntoAddress4Address6(interface, port, &interface4, &interface6);
        const bool isIPv4Disabled = (config & Config::ipv4Disabled) != 0;
        const bool isIPv6Disabled = (config & Config::ipv6Disabled) != 0;
        if (const char* refusal = interfaceRefusal(interface4, interface6, isIPv4Disabled, isIPv6Disabled)) {
            err = badParamError(refusal);
            return false;
        }
        const bool useIPv4 = !isIPv4Disabled && !interface4.empty();
        const bool useIPv6 = !isIPv6Disabled && !interface6.empty();

        if (!(flags & Flag::socketsCreated) && !createSocket4Socket6Error(useIPv4, useIPv6, &err)) return false;

        if (useIPv4 && !bindDescriptor(socket4FD_, interface4)) {
            err = errnoErrorWithReason("Error in bind() function");
            closeSockets();
            return false;
        }
        if (useIPv6 && !bindDescriptor(socket6FD_, interface6)) {
            err = errnoErrorWithReason("Error in bind() function");
            closeSockets();
            return false;
        }
        flags |= Flag::bound;
        if (!useIPv4) flags |= Flag::ipv4Deactivated;
        if (!useIPv6) flags |= Flag::ipv6Deactivated;
        return true;
    });
}

bool AsyncUdpSocket::bindToAddressError(const Bytes& localAddr, Error* errPtr) {
    return runSyncReportingError(errPtr, [&](Error& err) {
        if (!preBind(&err)) return false;
        const int addressFamily = familyFromAddress(localAddr);
        if (addressFamily == AF_UNSPEC) {
            err = badParamError("A valid IPv4 or IPv6 address was not given");
            return false;
        }
        const bool isIPv4Disabled = (config & Config::ipv4Disabled) != 0;
        const bool isIPv6Disabled = (config & Config::ipv6Disabled) != 0;
        if (addressFamily == AF_INET && isIPv4Disabled) {
            err = badParamError("IPv4 has been disabled and an IPv4 address was passed.");
            return false;
        }
        if (addressFamily == AF_INET6 && isIPv6Disabled) {
            err = badParamError("IPv6 has been disabled and an IPv6 address was passed.");
            return false;
        }
        const bool useIPv4 = addressFamily == AF_INET;
        const bool useIPv6 = addressFamily == AF_INET6;

        if (!(flags & Flag::socketsCreated) && !createSocket4Socket6Error(useIPv4, useIPv6, &err)) return false;

        // The address buffer may be longer than the structure of its family.
        Bytes exact(localAddr.begin(),
                    localAddr.begin() + static_cast<long>(useIPv4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6)));
        const int fd = useIPv4 ? socket4FD_ : socket6FD_;
        if (fd == -1 || !bindDescriptor(fd, exact)) {
            if (fd == -1) errno = EBADF;
            err = errnoErrorWithReason("Error in bind() function");
            closeSockets();
            return false;
        }
        flags |= Flag::bound;
        if (!useIPv4) flags |= Flag::ipv4Deactivated;
        if (!useIPv6) flags |= Flag::ipv6Deactivated;
        return true;
    });
}

bool AsyncUdpSocket::enableBroadcastError(bool flag, Error* errPtr) {
    return runSyncReportingError(errPtr, [&](Error& err) {
        if (!preOp(&err)) return false;
        if (!(flags & Flag::socketsCreated) && !createSockets(&err)) return false;
        if (socket4FD_ == -1) {
            // IPv6 has no broadcast; nothing changes and there is no error to report.
            err = Error{};
            return false;
        }
        int value = flag ? 1 : 0;
        if (setsockopt(socket4FD_, SOL_SOCKET, SO_BROADCAST, &value, sizeof value) == -1) {
            err = errnoErrorWithReason("Error in setsockopt() function");
            return false;
        }
        return true;
    });
}

// ----- connecting -----

bool AsyncUdpSocket::preConnect(Error* errPtr) {
    if (!preOp(errPtr)) return false;
    if (flags & (Flag::connecting | Flag::connected)) {
        platform::setError(errPtr, badConfigError("Cannot connect a socket more than once."));
        return false;
    }
    if ((config & Config::ipv4Disabled) && (config & Config::ipv6Disabled)) {
        platform::setError(errPtr, badConfigError(
                                       "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first."));
        return false;
    }
    return true;
}

bool AsyncUdpSocket::connectToHostOnPortError(const std::optional<std::string>& host, uint16_t port, Error* errPtr) {
    return runSyncReportingError(errPtr, [&](Error& err) {
        if (!preConnect(&err)) return false;
        if (!host) {
            err = badParamError("The host param is nil. Should be domain name or IP address string.");
            return false;
        }
        if (!(flags & Flag::socketsCreated) && !createSockets(&err)) return false;

        auto packet = std::make_shared<AsyncUdpSpecialPacket>();
        packet->resolveInProgress = true;
        asyncResolveHostPortWithCompletionBlock(
            host, port,
            [self = shared_from_this(), packet](std::vector<Bytes> addresses, std::optional<Error> error) {
                packet->resolveInProgress = false;
                packet->addresses = std::move(addresses);
                packet->error = std::move(error);
                self->maybeConnect();
            });
        flags |= Flag::connecting;
        sendQueue.push_back(packet);
        maybeDequeueSend();
        return true;
    });
}

bool AsyncUdpSocket::connectToAddressError(const Bytes& remoteAddr, Error* errPtr) {
    return runSyncReportingError(errPtr, [&](Error& err) {
        if (!preConnect(&err)) return false;
        if (remoteAddr.empty()) {
            err = badParamError("The address param is nil. Should be a valid address.");
            return false;
        }
        // A buffer that holds no IPv4 or IPv6 address is refused here, before it could reach the
        // choice of a destination.
        if (familyFromAddress(remoteAddr) == AF_UNSPEC) {
            err = badParamError("A valid IPv4 or IPv6 address was not given");
            return false;
        }
        if (!(flags & Flag::socketsCreated) && !createSockets(&err)) return false;

        auto packet = std::make_shared<AsyncUdpSpecialPacket>();
        packet->addresses.push_back(remoteAddr);
        flags |= Flag::connecting;
        sendQueue.push_back(packet);
        maybeDequeueSend();
        return true;
    });
}

void AsyncUdpSocket::maybeConnect() {
    assertOnSocketQueue();
    if (!currentSend || !currentSend->isSpecial) return;
    auto* connectPacket = static_cast<AsyncUdpSpecialPacket*>(currentSend.get());
    if (connectPacket->resolveInProgress) return;

    std::optional<Error> failure;
    Bytes address;
    if (connectPacket->error) {
        failure = connectPacket->error;
    } else {
        Error error;
        const int addressFamily = getAddressErrorFromAddresses(&address, &error, connectPacket->addresses);
        bool ok = false;
        if (addressFamily == AF_INET) {
            ok = connectWithAddress4Error(address, &error);
        } else if (addressFamily == AF_INET6) {
            ok = connectWithAddress6Error(address, &error);
        }
        if (!ok) failure = error;
    }

    if (!failure) {
        flags |= Flag::bound | Flag::connected;
        cachedConnectedAddress = address;
        cachedConnectedHost = hostFromAddress(address).value_or("");
        cachedConnectedPort = portFromAddress(address);
        cachedConnectedFamily = familyFromAddress(address);
        notifyDidConnectToAddress(address);
    } else {
        notifyDidNotConnect(*failure);
    }
    flags &= ~Flag::connecting;
    endCurrentSend();
    maybeDequeueSend();
}

bool AsyncUdpSocket::connectWithAddress4Error(const Bytes& address4, Error* errPtr) {
    assertOnSocketQueue();
    if (!connectDescriptor(socket4FD_, address4, sizeof(sockaddr_in))) {
        platform::setError(errPtr, errnoErrorWithReason("Error in connect() function"));
        return false;
    }
    closeSocket6();
    flags |= Flag::ipv6Deactivated;
    return true;
}

bool AsyncUdpSocket::connectWithAddress6Error(const Bytes& address6, Error* errPtr) {
    assertOnSocketQueue();
    if (!connectDescriptor(socket6FD_, address6, sizeof(sockaddr_in6))) {
        platform::setError(errPtr, errnoErrorWithReason("Error in connect() function"));
        return false;
    }
    closeSocket4();
    flags |= Flag::ipv4Deactivated;
    return true;
}

// ----- multicast -----

bool AsyncUdpSocket::preJoin(Error* errPtr) {
    if (!preOp(errPtr)) return false;
    if (!(flags & Flag::bound)) {
        platform::setError(errPtr, badConfigError("Must bind a socket before joining a multicast group."));
        return false;
    }
    if (flags & (Flag::connecting | Flag::connected)) {
        platform::setError(errPtr, badConfigError("Cannot join a multicast group if connected."));
        return false;
    }
    return true;
}

bool AsyncUdpSocket::joinMulticastGroupError(const std::string& group, Error* errPtr) {
    return joinMulticastGroupOnInterfaceError(group, std::nullopt, errPtr);
}

bool AsyncUdpSocket::joinMulticastGroupOnInterfaceError(const std::string& group,
                                                        const std::optional<std::string>& interface, Error* errPtr) {
    return performMulticastRequestForGroupOnInterfaceError(kMulticastJoin, group, interface, errPtr);
}

bool AsyncUdpSocket::leaveMulticastGroupError(const std::string& group, Error* errPtr) {
    return leaveMulticastGroupOnInterfaceError(group, std::nullopt, errPtr);
}

bool AsyncUdpSocket::leaveMulticastGroupOnInterfaceError(const std::string& group,
                                                         const std::optional<std::string>& interface, Error* errPtr) {
    return performMulticastRequestForGroupOnInterfaceError(kMulticastLeave, group, interface, errPtr);
}

bool AsyncUdpSocket::performMulticastRequestForGroupOnInterfaceError(int requestType, const std::string& group,
                                                                     const std::optional<std::string>& interface,
                                                                     Error* errPtr) {
    return runSyncReportingError(errPtr, [&](Error& err) {
        if (!preJoin(&err)) return false;

        Bytes groupAddr4;
        Bytes groupAddr6;
        convertNumericHostPortIntoAddress4Address6(group, 0, &groupAddr4, &groupAddr6);
        if (groupAddr4.empty() && groupAddr6.empty()) {
            err = badParamError("Unknown group. Specify valid group IP address.");
            return false;
        }
        Bytes interfaceAddr4;
        Bytes interfaceAddr6;
        convertIntefaceDescriptionPortIntoAddress4Address6(interface, 0, &interfaceAddr4, &interfaceAddr6);
        if (interfaceAddr4.empty() && interfaceAddr6.empty()) {
            err = badParamError("Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address.");
            return false;
        }

        const bool join = requestType == kMulticastJoin;
        if (socket4FD_ != -1 && !groupAddr4.empty() && !interfaceAddr4.empty()) {
            sockaddr_in nativeGroup;
            sockaddr_in nativeIface;
            std::memcpy(&nativeGroup, groupAddr4.data(), sizeof nativeGroup);
            std::memcpy(&nativeIface, interfaceAddr4.data(), sizeof nativeIface);
            ip_mreq imreq{};
            imreq.imr_multiaddr = nativeGroup.sin_addr;
            imreq.imr_interface = nativeIface.sin_addr;
            if (setsockopt(socket4FD_, IPPROTO_IP, join ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP, &imreq,
                           sizeof imreq) != 0) {
                err = errnoErrorWithReason("Error in setsockopt() function");
                return false;
            }
            closeSocket6();
            return true;
        }
        if (socket6FD_ != -1 && !groupAddr6.empty() && !interfaceAddr6.empty()) {
            sockaddr_in6 nativeGroup;
            std::memcpy(&nativeGroup, groupAddr6.data(), sizeof nativeGroup);
            ipv6_mreq imreq{};
            imreq.ipv6mr_multiaddr = nativeGroup.sin6_addr;
            imreq.ipv6mr_interface = indexOfInterfaceAddr6(interfaceAddr6);
            if (setsockopt(socket6FD_, IPPROTO_IPV6, join ? IPV6_JOIN_GROUP : IPV6_LEAVE_GROUP, &imreq,
                           sizeof imreq) != 0) {
                err = errnoErrorWithReason("Error in setsockopt() function");
                return false;
            }
            closeSocket4();
            return true;
        }
        err = badParamError("Socket, group, and interface do not have matching IP versions");
        return false;
    });
}
