// Accepting: the checks made before listening, one listening descriptor per address family with
// a read source that accepts every pending connection, and the new connected socket that each
// connection becomes on the delegate's queue.

#include "net/AsyncTcpSocket.h"
#include "net/detail/SocketAddress.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

using platform::Bytes;
using platform::Error;
using platform::dispatch::Source;
using namespace net::detail;

namespace {

// How long the accept sources rest after the system ran out of descriptors or memory: the
// pending connection stays ready, so a source that went on listening would fire again at once.
constexpr std::chrono::milliseconds kAcceptPause{100};

}  // namespace

AsyncTcpSocketSystemCalls AsyncTcpSocketSystemCalls::real() {
    AsyncTcpSocketSystemCalls calls;
    calls.accept4 = [](int fd, sockaddr* address, socklen_t* addressLength, int flags) {
        return ::accept4(fd, address, addressLength, flags);
    };
    return calls;
}

void AsyncTcpSocket::setSystemCalls(AsyncTcpSocketSystemCalls newCalls) {
    runSync([&] { calls = std::move(newCalls); });
}

bool AsyncTcpSocket::acceptOnPortError(uint16_t port, Error* errPtr) {
    return acceptOnInterfacePortError({}, port, errPtr);
}

bool AsyncTcpSocket::acceptOnInterfacePortError(const std::string& inInterface, uint16_t port, Error* errPtr) {
    const std::string interface = inInterface;
    Error err;
    const bool result = runSync([&] {
        if (delegate_.expired()) {
            err = badConfigError("Attempting to accept without a delegate. Set a delegate first.");
            return false;
        }
        if (!delegateQueue_) {
            err = badConfigError("Attempting to accept without a delegate queue. Set a delegate queue first.");
            return false;
        }
        const bool isIPv4Disabled = (config & ConfigNoIPv4) != 0;
        const bool isIPv6Disabled = (config & ConfigNoIPv6) != 0;
        if (isIPv4Disabled && isIPv6Disabled) {
            err = badConfigError("Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first.");
            return false;
        }
        if (flags & FlagStarted) {
            err = badConfigError("Attempting to accept while connected or accepting connections. Disconnect first.");
            return false;
        }
        readQueue.clear();
        writeQueue.clear();

        Bytes interface4, interface6;
        getInterfaceAddress4Address6FromDescriptionPort(&interface4, &interface6, interface, port);
        if (const char* refusal = interfaceRefusal(interface4, interface6, isIPv4Disabled, isIPv6Disabled)) {
            err = badParamError(refusal);
            return false;
        }
        const bool enableIPv4 = !isIPv4Disabled && !interface4.empty();
        const bool enableIPv6 = !isIPv6Disabled && !interface6.empty();

        if (enableIPv4) {
            socket4FD_ = createListeningSocket(AF_INET, interface4, &err);
            if (socket4FD_ == -1) return false;
        }
        if (enableIPv6) {
            // A system-chosen port: IPv6 listens on the one that IPv4 received.
            if (enableIPv4 && portFromAddress(interface6) == 0) {
                const uint16_t port4 = localPort4();
                sockaddr_in6 addr6;
                std::memcpy(&addr6, interface6.data(), sizeof addr6);
                addr6.sin6_port = htons(port4);
                std::memcpy(interface6.data(), &addr6, sizeof addr6);
            }
            socket6FD_ = createListeningSocket(AF_INET6, interface6, &err);
            if (socket6FD_ == -1) {
                if (socket4FD_ != -1) ::close(socket4FD_);
                socket4FD_ = -1;
                return false;
            }
        }

        if (enableIPv4) accept4Source = makeAcceptSource(socket4FD_);
        if (enableIPv6) accept6Source = makeAcceptSource(socket6FD_);
        flags |= FlagStarted;
        return true;
    });

    if (!result) setError(errPtr, err);
    return result;
}

int AsyncTcpSocket::createListeningSocket(int domain, const Bytes& interfaceAddr, Error* errPtr) {
    // Each failure closes the new descriptor after its error has read errno.
    auto fail = [errPtr](int fd, const char* reason) {
        setError(errPtr, errnoErrorWithReason(reason));
        if (fd != -1) ::close(fd);
        return -1;
    };

    const int socketFD = ::socket(domain, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socketFD == -1) return fail(-1, "Error in socket() function");
    const int fl = ::fcntl(socketFD, F_GETFL);
    if (fl == -1 || ::fcntl(socketFD, F_SETFL, fl | O_NONBLOCK) == -1)
        return fail(socketFD, "Error enabling non-blocking IO on socket (fcntl)");
    int reuseOn = 1;
    if (::setsockopt(socketFD, SOL_SOCKET, SO_REUSEADDR, &reuseOn, sizeof reuseOn) == -1)
        return fail(socketFD, "Error enabling address reuse (setsockopt)");
    if (domain == AF_INET6) {
        // Without it an IPv6 listener takes IPv4 connections too and cannot share its port with
        // the IPv4 listener; a failure shows as the bind's.
        int v6OnlyOn = 1;
        ::setsockopt(socketFD, IPPROTO_IPV6, IPV6_V6ONLY, &v6OnlyOn, sizeof v6OnlyOn);
    }
    if (::bind(socketFD, reinterpret_cast<const sockaddr*>(interfaceAddr.data()),
               static_cast<socklen_t>(interfaceAddr.size())) == -1)
        return fail(socketFD, "Error in bind() function");
    if (::listen(socketFD, 1024) == -1) return fail(socketFD, "Error in listen() function");
    return socketFD;
}

AsyncTcpSocket::SourcePtr AsyncTcpSocket::makeAcceptSource(int socketFD) {
    SourcePtr acceptSource = Source::makeRead(socketFD, socketQueue);
    std::weak_ptr<AsyncTcpSocket> weakSelf = weak_from_this();
    acceptSource->setEventHandler([weakSelf, socketFD] {
        auto self = weakSelf.lock();
        if (!self) return;
        // A listener reports no count of pending connections: accept until accept says no.
        while (self->doAccept(socketFD)) {
        }
    });
    acceptSource->setCancelHandler([socketFD] { ::close(socketFD); });
    acceptSource->resume();
    return acceptSource;
}

bool AsyncTcpSocket::doAccept(int parentSocketFD) {
    checkOnSocketQueue();
    const bool isIPv4 = parentSocketFD == socket4FD_;
    sockaddr_storage addr{};
    socklen_t addrLen = isIPv4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    // Non-blocking from the start; no SIGPIPE comes from MSG_NOSIGNAL on every send.
    const int childSocketFD =
        calls.accept4(parentSocketFD, reinterpret_cast<sockaddr*>(&addr), &addrLen, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (childSocketFD == -1) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) pauseAcceptSources();
        return false;
    }
    const auto* addrBytes = reinterpret_cast<const uint8_t*>(&addr);
    Bytes childSocketAddress(addrBytes, addrBytes + addrLen);

    if (!delegateQueue_) {
        // Nobody to hand it to.
        ::close(childSocketFD);
        return true;
    }

    DelegatePtr theDelegate = delegate_.lock();
    QueuePtr theDelegateQueue = delegateQueue_;
    std::shared_ptr<AsyncTcpSocket> listener = shared_from_this();
    theDelegateQueue->async([theDelegate, theDelegateQueue, listener, childSocketAddress, childSocketFD, isIPv4] {
        const unsigned capabilities = theDelegate ? theDelegate->capabilities() : 0;
        QueuePtr childSocketQueue;
        if (capabilities & AsyncTcpSocketDelegate::kNewSocketQueueForConnectionFromAddressOnSocket)
            childSocketQueue = theDelegate->newSocketQueueForConnectionFromAddressOnSocket(childSocketAddress, listener);

        // Nobody else knows the new socket yet: its fields are set before its queue runs anything.
        std::shared_ptr<AsyncTcpSocket> acceptedSocket =
            initWithDelegateDelegateQueueSocketQueue(theDelegate, theDelegateQueue, childSocketQueue);
        (isIPv4 ? acceptedSocket->socket4FD_ : acceptedSocket->socket6FD_) = childSocketFD;
        acceptedSocket->flags = FlagStarted | FlagConnected;
        acceptedSocket->runAsync(
            [childSocketFD](AsyncTcpSocket& s) { s.setupReadAndWriteSourcesForNewlyConnectedSocket(childSocketFD); });

        // The delegate keeps the new socket; one that nobody keeps closes after its set-up.
        if (capabilities & AsyncTcpSocketDelegate::kSocketDidAcceptNewSocket)
            theDelegate->socketDidAcceptNewSocket(listener, acceptedSocket);
    });
    return true;
}

void AsyncTcpSocket::pauseAcceptSources() {
    if (acceptResumeTimer) return;  // already resting
    if (accept4Source) accept4Source->suspend();
    if (accept6Source) accept6Source->suspend();
    acceptResumeTimer = Source::makeTimer(socketQueue);
    std::weak_ptr<AsyncTcpSocket> weakSelf = weak_from_this();
    acceptResumeTimer->setEventHandler([weakSelf] {
        if (auto self = weakSelf.lock()) self->resumeAcceptSources();
    });
    acceptResumeTimer->setTimer(kAcceptPause);
    acceptResumeTimer->resume();
}

void AsyncTcpSocket::resumeAcceptSources() {
    if (!acceptResumeTimer) return;
    acceptResumeTimer->cancel();
    acceptResumeTimer.reset();
    if (accept4Source) accept4Source->resume();
    if (accept6Source) accept6Source->resume();
}

void AsyncTcpSocket::closeAcceptSources() {
    // A resting source is resumed after its cancel, so that its cancel handler closes the listener.
    const bool resting = acceptResumeTimer != nullptr;
    if (acceptResumeTimer) {
        acceptResumeTimer->cancel();
        acceptResumeTimer.reset();
    }
    if (accept4Source) {
        accept4Source->cancel();
        if (resting) accept4Source->resume();
        accept4Source.reset();
    }
    if (accept6Source) {
        accept6Source->cancel();
        if (resting) accept6Source->resume();
        accept6Source.reset();
    }
}
