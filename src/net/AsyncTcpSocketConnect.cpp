// Connecting: the checks made before anything starts, the host look-up and the connect that run on
// a global queue while the socket queue stays free, the attempt number by which late results are
// ignored, the choice of address family, binding to a local interface and the connect timeout.

#include "net/AsyncTcpSocket.h"
#include "net/SocketTimeout.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

using platform::Error;
using platform::dispatch::Priority;
using platform::dispatch::Queue;
using platform::dispatch::Source;

// The connect of one attempt runs on a global queue on a duplicate of the socket's descriptor, so
// that it never touches a descriptor number that the socket has closed and perhaps handed on.
// Closing the socket marks the attempt abandoned and, once the connect is under way, shuts the
// connection down, which ends the wait at once (closing a descriptor does not wake a wait on it).
struct AsyncTcpSocket::ConnectAttempt {
    std::mutex mutex;
    int socketFD = -1;      // the socket's own descriptor, open while the attempt is current
    bool abandoned = false;
    bool underWay = false;  // connect() has been called on the duplicate
};

namespace {

// Waits until a non-blocking connect on fd has an outcome; returns 0 or an errno.
int waitForConnect(int fd) {
    pollfd pfd{fd, POLLOUT, 0};
    while (::poll(&pfd, 1, -1) < 0) {
        if (errno != EINTR) return errno;
    }
    int soError = 0;
    socklen_t len = sizeof soError;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) < 0) return errno;
    if (soError != 0) return soError;
    // A connection shut down while connecting may report no error: it is not connected all the same.
    sockaddr_storage peer{};
    socklen_t peerLen = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLen) < 0) return errno;
    return 0;
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
    bool result = false;
    Error preConnectErr;

    runSync([&] {
        if (host.empty()) {
            preConnectErr = badParamError(
                "Invalid host parameter (nil or \"\"). Should be a domain name or IP address string.");
            return;
        }
        if (!preConnectWithInterfaceError(interface, &preConnectErr)) return;

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
        result = true;
    });

    setError(errPtr, result ? Error{} : preConnectErr);
    return result;
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
    bool result = false;
    Error err;

    runSync([&] {
        Bytes address4, address6;
        if (remoteAddr.size() >= sizeof(sockaddr_in)) {
            sa_family_t family;
            std::memcpy(&family, remoteAddr.data() + offsetof(sockaddr, sa_family), sizeof family);
            if (family == AF_INET && remoteAddr.size() == sizeof(sockaddr_in)) address4 = remoteAddr;
            if (family == AF_INET6 && remoteAddr.size() == sizeof(sockaddr_in6)) address6 = remoteAddr;
        }
        if (address4.empty() && address6.empty()) {
            err = badParamError("A valid IPv4 or IPv6 address was not given");
            return;
        }
        if ((config & ConfigNoIPv4) && !address4.empty()) {
            err = badParamError("IPv4 has been disabled and an IPv4 address was passed.");
            return;
        }
        if ((config & ConfigNoIPv6) && !address6.empty()) {
            err = badParamError("IPv6 has been disabled and an IPv6 address was passed.");
            return;
        }
        if (!preConnectWithInterfaceError(interface, &err)) return;
        if (!connectWithAddress4Address6Error(address4, address6, &err)) {
            // Not started: the descriptor made for the attempt goes again and nobody is told. The
            // interface was this attempt's only, as after a close.
            abandonConnectAttempt();
            if (socket4FD_ != -1) ::close(socket4FD_);
            if (socket6FD_ != -1) ::close(socket6FD_);
            socket4FD_ = socket6FD_ = -1;
            connectInterface4.clear();
            connectInterface6.clear();
            return;
        }
        flags |= FlagStarted;
        startConnectTimeout(timeout);
        result = true;
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
        if (interface4.empty() && interface6.empty()) {
            setError(errPtr, badParamError(
                                 "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address."));
            return false;
        }
        if ((config & ConfigNoIPv4) && interface6.empty()) {
            setError(errPtr, badParamError("IPv4 has been disabled and specified interface doesn't support IPv6."));
            return false;
        }
        if ((config & ConfigNoIPv6) && interface4.empty()) {
            setError(errPtr, badParamError("IPv6 has been disabled and specified interface doesn't support IPv4."));
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
    if (address4.empty() && address6.empty()) contractFailure("Expected at least one valid address");
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

    const int socketFD = ::socket(useIPv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
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

    const int connectFD = ::fcntl(socketFD, F_DUPFD_CLOEXEC, 0);
    if (connectFD < 0) {
        setError(errPtr, errnoErrorWithReason("Error in connect() function"));
        return false;
    }
    auto attempt = std::make_shared<ConnectAttempt>();
    attempt->socketFD = socketFD;
    connectAttempt = attempt;

    const int aStateIndex = connectIndex;
    std::weak_ptr<AsyncTcpSocket> weakSelf = weak_from_this();
    QueuePtr sq = socketQueue;
    Queue::global(Priority::Default)->async([weakSelf, sq, attempt, connectFD, address, aStateIndex] {
        // The wait is made interruptible: the descriptor is non-blocking for connect and poll, and a
        // shutdown of the connection by the socket ends the poll.
        int result = 0;
        const int fl = ::fcntl(connectFD, F_GETFL);
        if (fl < 0 || ::fcntl(connectFD, F_SETFL, fl | O_NONBLOCK) < 0) result = errno;
        if (result == 0 && ::connect(connectFD, reinterpret_cast<const sockaddr*>(address.data()),
                                     static_cast<socklen_t>(address.size())) != 0) {
            result = errno;
        }
        bool abandoned;
        {
            std::lock_guard<std::mutex> lock(attempt->mutex);
            abandoned = attempt->abandoned;
            attempt->underWay = true;
        }
        if (!abandoned && (result == EINPROGRESS || result == EINTR)) result = waitForConnect(connectFD);
        ::close(connectFD);

        if (abandoned || weakSelf.expired()) return;
        if (result == 0) {
            sq->async([weakSelf, aStateIndex] {
                if (auto self = weakSelf.lock()) self->didConnect(aStateIndex);
            });
        } else {
            Error err = Error::posix(result, "Error in connect() function");
            sq->async([weakSelf, aStateIndex, err] {
                if (auto self = weakSelf.lock()) self->didNotConnectError(aStateIndex, err);
            });
        }
    });
    return true;
}

void AsyncTcpSocket::abandonConnectAttempt() {
    if (!connectAttempt) return;
    {
        std::lock_guard<std::mutex> lock(connectAttempt->mutex);
        connectAttempt->abandoned = true;
        if (connectAttempt->underWay) ::shutdown(connectAttempt->socketFD, SHUT_RDWR);
    }
    connectAttempt.reset();
}

void AsyncTcpSocket::didConnect(int aStateIndex) {
    checkOnSocketQueue();
    if (aStateIndex != connectIndex) return;  // the descriptor belongs to a later state: not touched
    connectAttempt.reset();

    flags |= FlagConnected;
    endConnectTimeout();

    const std::string host = connectedHost();
    const uint16_t port = connectedPort();
    notifyDelegate(AsyncTcpSocketDelegate::kSocketDidConnectToHostPort,
                   [host, port](AsyncTcpSocketDelegate& d, const std::shared_ptr<AsyncTcpSocket>& sock) {
                       d.socketDidConnectToHostPort(sock, host, port);
                   });

    const int fd = socket4FD_ != -1 ? socket4FD_ : socket6FD_;
    const int fl = ::fcntl(fd, F_GETFL);
    if (fl < 0 || ::fcntl(fd, F_SETFL, fl | O_NONBLOCK) == -1) {
        Error err = otherError("Error enabling non-blocking IO on socket (fcntl)");
        closeWithError(&err);
        return;
    }
    setupReadAndWriteSourcesForNewlyConnectedSocket(fd);
    maybeDequeueRead();
    maybeDequeueWrite();
}

void AsyncTcpSocket::didNotConnectError(int aStateIndex, const Error& error) {
    checkOnSocketQueue();
    if (aStateIndex != connectIndex) return;
    connectAttempt.reset();
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
