// Connecting: the checks made before anything starts, the host look-up that runs on a global queue
// while the socket queue stays free, the connect whose outcome the socket queue waits for on the
// reactor, the attempt number by which late results are ignored, the choice of address family,
// binding to a local interface and the connect timeout.

#include "net/AsyncTcpSocket.h"
#include "net/SocketTimeout.h"
#include "net/detail/SocketAddress.h"
#include "platform/Fatal.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

using platform::Error;
using platform::dispatch::Priority;
using platform::dispatch::Queue;
using platform::dispatch::Source;
using namespace net::detail;

namespace {

// The outcome of a non-blocking connect on fd that has become writable: 0 or an errno.
int connectOutcome(int fd) {
    int soError = 0;
    socklen_t len = sizeof soError;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) < 0) return errno;
    return soError;
}

}  // namespace

bool AsyncTcpSocket::connectToHostOnPortError(const std::string& host, uint16_t port, Error* errPtr) {
    return connectToHostOnPortViaInterfaceWithTimeoutError(host, port, {}, -1.0, errPtr);
}

bool AsyncTcpSocket::connectToHostOnPortWithTimeoutError(const std::string& host, uint16_t port, double timeout,
                                                         Error* errPtr) {
    return connectToHostOnPortViaInterfaceWithTimeoutError(host, port, {}, timeout, errPtr);
}

bool AsyncTcpSocket::connectToHostOnPortViaInterfaceWithTimeoutError(const std::string& inHost, uint16_t port,
                                                                     const std::string& inInterface, double timeout,
                                                                     Error* errPtr) {
    const std::string host = inHost;
    const std::string interface = inInterface;
    return runSyncReportingError(errPtr, [&](Error& preConnectErr) {
        if (host.empty()) {
            preConnectErr = badParamError(
                "Invalid host parameter (nil or \"\"). Should be a domain name or IP address string.");
            return false;
        }
        if (!preConnectWithInterfaceError(interface, &preConnectErr)) return false;

        flags |= FlagStarted;
        const int aStateIndex = connectIndex;
        std::weak_ptr<AsyncTcpSocket> weakSelf = weak_from_this();
        QueuePtr sq = socketQueue;
        Queue::global(Priority::Default)->async([weakSelf, sq, host, port, aStateIndex] {
            Error lookupErr;
            std::vector<Bytes> addresses = lookupHostPortError(host, port, &lookupErr);
            if (weakSelf.expired()) return;
            if (!lookupErr.domain.empty()) {
                sq->async([weakSelf, aStateIndex, lookupErr] {
                    if (auto self = weakSelf.lock()) self->lookupDidFail(aStateIndex, lookupErr);
                });
                return;
            }
            Bytes address4, address6;
            for (const Bytes& address : addresses) {
                if (address4.empty() && isIPv4Address(address)) address4 = address;
                if (address6.empty() && isIPv6Address(address)) address6 = address;
            }
            sq->async([weakSelf, aStateIndex, address4, address6] {
                if (auto self = weakSelf.lock()) self->lookupDidSucceedWithAddress4Address6(aStateIndex, address4, address6);
            });
        });

        startConnectTimeout(timeout);
        return true;
    });
}

bool AsyncTcpSocket::connectToAddressError(const Bytes& remoteAddr, Error* errPtr) {
    return connectToAddressViaInterfaceWithTimeoutError(remoteAddr, {}, -1.0, errPtr);
}

bool AsyncTcpSocket::connectToAddressWithTimeoutError(const Bytes& remoteAddr, double timeout, Error* errPtr) {
    return connectToAddressViaInterfaceWithTimeoutError(remoteAddr, {}, timeout, errPtr);
}

bool AsyncTcpSocket::connectToAddressViaInterfaceWithTimeoutError(const Bytes& inRemoteAddr,
                                                                  const std::string& inInterface, double timeout,
                                                                  Error* errPtr) {
    const Bytes remoteAddr = inRemoteAddr;
    const std::string interface = inInterface;
    Error err;
    const bool result = runSync([&] {
        Bytes address4, address6;
        if (remoteAddr.size() >= sizeof(sockaddr_in)) {
            sa_family_t family;
            std::memcpy(&family, remoteAddr.data() + offsetof(sockaddr, sa_family), sizeof family);
            if (family == AF_INET && remoteAddr.size() == sizeof(sockaddr_in)) address4 = remoteAddr;
            if (family == AF_INET6 && remoteAddr.size() == sizeof(sockaddr_in6)) address6 = remoteAddr;
        }
        if (address4.empty() && address6.empty()) {
            err = badParamError("A valid IPv4 or IPv6 address was not given");
            return false;
        }
        if ((config & ConfigNoIPv4) && !address4.empty()) {
            err = badParamError("IPv4 has been disabled and an IPv4 address was passed.");
            return false;
        }
        if ((config & ConfigNoIPv6) && !address6.empty()) {
            err = badParamError("IPv6 has been disabled and an IPv6 address was passed.");
            return false;
        }
        if (!preConnectWithInterfaceError(interface, &err)) return false;
        if (!connectWithAddress4Address6Error(address4, address6, &err)) {
            // Not started: the descriptor made for the attempt goes again and nobody is told. The
            // interface was this attempt's only, as after a close.
            if (socket4FD_ != -1) ::close(socket4FD_);
            if (socket6FD_ != -1) ::close(socket6FD_);
            socket4FD_ = socket6FD_ = -1;
            connectInterface4.clear();
            connectInterface6.clear();
            return false;
        }
        flags |= FlagStarted;
        startConnectTimeout(timeout);
        return true;
    });

    if (!result) setError(errPtr, err);
    return result;
}

bool AsyncTcpSocket::preConnectWithInterfaceError(const std::string& interface, Error* errPtr) {
    checkOnSocketQueue();
    if (delegate_.expired()) {
        setError(errPtr, badConfigError("Attempting to connect without a delegate. Set a delegate first."));
        return false;
    }
    if (!delegateQueue_) {
        setError(errPtr,
                 badConfigError("Attempting to connect without a delegate queue. Set a delegate queue first."));
        return false;
    }
    if (flags & FlagStarted) {
        setError(errPtr, badConfigError(
                             "Attempting to connect while connected or accepting connections. Disconnect first."));
        return false;
    }
    if ((config & ConfigNoIPv4) && (config & ConfigNoIPv6)) {
        setError(errPtr, badConfigError(
                             "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first."));
        return false;
    }
    if (!interface.empty()) {
        Bytes interface4, interface6;
        getInterfaceAddress4Address6FromDescriptionPort(&interface4, &interface6, interface, 0);
        const bool noIPv4 = (config & ConfigNoIPv4) != 0;
        const bool noIPv6 = (config & ConfigNoIPv6) != 0;
        if (const char* refusal = interfaceRefusal(interface4, interface6, noIPv4, noIPv6)) {
            setError(errPtr, badParamError(refusal));
            return false;
        }
        connectInterface4 = interface4;
        connectInterface6 = interface6;
    }
    // Requests queued before the connect are dropped; those queued after it wait for the connection.
    readQueue.clear();
    writeQueue.clear();
    return true;
}

void AsyncTcpSocket::lookupDidSucceedWithAddress4Address6(int aStateIndex, Bytes address4, Bytes address6) {
    checkOnSocketQueue();
    if (address4.empty() && address6.empty()) platform::fatal("AsyncTcpSocket: Expected at least one valid address");
    if (aStateIndex != connectIndex) return;  // an abandoned attempt

    const bool isIPv4Disabled = (config & ConfigNoIPv4) != 0;
    const bool isIPv6Disabled = (config & ConfigNoIPv6) != 0;
    if (isIPv4Disabled && address6.empty()) {
        Error err = otherError("IPv4 has been disabled and DNS lookup found no IPv6 address.");
        closeWithError(&err);
        return;
    }
    if (isIPv6Disabled && address4.empty()) {
        Error err = otherError("IPv6 has been disabled and DNS lookup found no IPv4 address.");
        closeWithError(&err);
        return;
    }
    if (isIPv4Disabled) address4.clear();
    if (isIPv6Disabled) address6.clear();
    Error err;
    if (!connectWithAddress4Address6Error(address4, address6, &err)) closeWithError(&err);
}

void AsyncTcpSocket::lookupDidFail(int aStateIndex, const Error& error) {
    checkOnSocketQueue();
    if (aStateIndex != connectIndex) return;
    endConnectTimeout();
    closeWithError(&error);
}

bool AsyncTcpSocket::connectWithAddress4Address6Error(const Bytes& address4, const Bytes& address6, Error* errPtr) {
    checkOnSocketQueue();
    const bool useIPv6 = ((config & ConfigPreferIPv6) && !address6.empty()) || address4.empty();
    const Bytes& address = useIPv6 ? address6 : address4;
    const Bytes& connectInterface = useIPv6 ? connectInterface6 : connectInterface4;

    const int socketFD = ::socket(useIPv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (socketFD < 0) {
        setError(errPtr, errnoErrorWithReason("Error in socket() function"));
        return false;
    }
    (useIPv6 ? socket6FD_ : socket4FD_) = socketFD;

    if (!connectInterface.empty()) {
        if (portFromAddress(connectInterface) != 0) {
            int reuseOn = 1;
            ::setsockopt(socketFD, SOL_SOCKET, SO_REUSEADDR, &reuseOn, sizeof reuseOn);
        }
        if (::bind(socketFD, reinterpret_cast<const sockaddr*>(connectInterface.data()),
                   static_cast<socklen_t>(connectInterface.size())) != 0) {
            setError(errPtr, errnoErrorWithReason("Error in bind() function"));
            return false;
        }
    }
    // No SIGPIPE on Linux comes from MSG_NOSIGNAL on every send (see the write path).

    // The connect starts here and its outcome comes to the socket queue: at once, or when the
    // descriptor becomes writable. No thread waits for it, so a close, a disconnect or the
    // time-out ends the attempt at once: they stop the wait before the descriptor goes.
    const int aStateIndex = connectIndex;
    std::weak_ptr<AsyncTcpSocket> weakSelf = weak_from_this();
    int result = 0;
    if (::connect(socketFD, reinterpret_cast<const sockaddr*>(address.data()),
                  static_cast<socklen_t>(address.size())) != 0) {
        result = errno;
    }
    if (result == EINPROGRESS || result == EINTR) {
        // A peer on this machine has often answered by the time connect() returns: then no wait.
        pollfd ready{socketFD, POLLOUT, 0};
        if (::poll(&ready, 1, 0) == 1) result = connectOutcome(socketFD);
    }
    if (result == EINPROGRESS || result == EINTR) {
        connectSource = Source::makeWrite(socketFD, socketQueue);
        connectSource->setEventHandler([weakSelf, socketFD, aStateIndex] {
            auto self = weakSelf.lock();
            if (!self || aStateIndex != self->connectIndex) return;
            const int outcome = connectOutcome(socketFD);
            self->endConnectWait();
            if (outcome == 0) {
                self->didConnect(aStateIndex);
            } else {
                self->didNotConnectError(aStateIndex, Error::posix(outcome, "Error in connect() function"));
            }
        });
        connectSource->resume();
        return true;
    }
    // An outcome at once is reported as a later one would be: after the attempt has started.
    if (result == 0) {
        socketQueue->async([weakSelf, aStateIndex] {
            if (auto self = weakSelf.lock()) self->didConnect(aStateIndex);
        });
    } else {
        Error err = Error::posix(result, "Error in connect() function");
        socketQueue->async([weakSelf, aStateIndex, err] {
            if (auto self = weakSelf.lock()) self->didNotConnectError(aStateIndex, err);
        });
    }
    return true;
}

void AsyncTcpSocket::endConnectWait() {
    if (!connectSource) return;
    // Cancelled on the socket queue, where its handler runs: from here on nothing looks at the
    // descriptor on behalf of the attempt, whatever becomes of its number.
    connectSource->cancel();
    connectSource.reset();
}

void AsyncTcpSocket::didConnect(int aStateIndex) {
    checkOnSocketQueue();
    if (aStateIndex != connectIndex) return;  // the descriptor belongs to a later state: not touched

    flags |= FlagConnected;
    endConnectTimeout();

    const std::string host = connectedHost();
    const uint16_t port = connectedPort();
    notifyDelegate(AsyncTcpSocketDelegate::kSocketDidConnectToHostPort,
                   [host, port](AsyncTcpSocketDelegate& d, const std::shared_ptr<AsyncTcpSocket>& sock) {
                       d.socketDidConnectToHostPort(sock, host, port);
                   });

    // The descriptor has been non-blocking since it was made.
    setupReadAndWriteSourcesForNewlyConnectedSocket(socket4FD_ != -1 ? socket4FD_ : socket6FD_);
    maybeDequeueRead();
    maybeDequeueWrite();
}

void AsyncTcpSocket::didNotConnectError(int aStateIndex, const Error& error) {
    checkOnSocketQueue();
    if (aStateIndex != connectIndex) return;
    closeWithError(&error);
}

void AsyncTcpSocket::startConnectTimeout(double timeout) {
    if (timeout < 0.0) return;
    connectTimer = Source::makeTimer(socketQueue);
    std::weak_ptr<AsyncTcpSocket> weakSelf = weak_from_this();
    connectTimer->setEventHandler([weakSelf] {
        if (auto self = weakSelf.lock()) self->doConnectTimeout();
    });
    connectTimer->setTimer(net::timeoutToNanoseconds(timeout));
    connectTimer->resume();
}

void AsyncTcpSocket::endConnectTimeout() {
    if (connectTimer) {
        connectTimer->cancel();
        connectTimer.reset();
    }
    // Any result of this attempt still under way is ignored when it arrives.
    ++connectIndex;
    connectInterface4.clear();
    connectInterface6.clear();
}

void AsyncTcpSocket::doConnectTimeout() {
    endConnectTimeout();
    Error err = connectTimeoutError();
    closeWithError(&err);
}
