// AsyncUdpSocket: making the datagram sockets, their read and write sources, suspending and
// resuming those, closing one family or the whole socket, and the socket-queue utilities.

#include "net/AsyncUdpSocket.h"
#include "platform/Fatal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

using platform::Bytes;
using platform::Error;
using platform::dispatch::Source;
using namespace net::detail;

// ----- making the sockets -----

int AsyncUdpSocket::createSocket(int domain, Error* errPtr) {
    int socketFD = calls.socket(domain, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socketFD == -1) {
        platform::setError(errPtr, errnoErrorWithReason("Error in socket() function"));
        return -1;
    }
    auto fail = [&](const char* reason) {
        platform::setError(errPtr, errnoErrorWithReason(reason));
        ::close(socketFD);
        return -1;
    };
    if (fcntl(socketFD, F_SETFL, O_NONBLOCK) == -1) {
        return fail("Error enabling non-blocking IO on socket (fcntl)");
    }
    int reuseaddr = 1;
    if (setsockopt(socketFD, SOL_SOCKET, SO_REUSEADDR, &reuseaddr, sizeof reuseaddr) == -1) {
        return fail("Error enabling address reuse (setsockopt)");
    }
    // No broken-pipe signal: every send passes MSG_NOSIGNAL. An IPv6 socket carries IPv6 alone;
    // otherwise every IPv4 datagram would also arrive there as an ::ffff: address.
    if (domain == AF_INET6) {
        int v6only = 1;
        if (setsockopt(socketFD, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only) == -1) {
            return fail("Error enabling IPv6 only (setsockopt)");
        }
    }
    return socketFD;
}

bool AsyncUdpSocket::createSockets(Error* errPtr) {
    assertOnSocketQueue();
    const bool useIPv4 = (config & Config::ipv4Disabled) == 0;
    const bool useIPv6 = (config & Config::ipv6Disabled) == 0;
    return createSocket4Socket6Error(useIPv4, useIPv6, errPtr);
}

bool AsyncUdpSocket::createSocket4Socket6Error(bool useIPv4, bool useIPv6, Error* errPtr) {
    assertOnSocketQueue();
    platform::fatalUnless((flags & Flag::socketsCreated) == 0, "AsyncUdpSocket: Sockets have already been created");
    if (useIPv4) {
        socket4FD_ = createSocket(AF_INET, errPtr);
        if (socket4FD_ == -1) return false;
    }
    if (useIPv6) {
        socket6FD_ = createSocket(AF_INET6, errPtr);
        if (socket6FD_ == -1) {
            if (socket4FD_ != -1) {
                ::close(socket4FD_);
                socket4FD_ = -1;
            }
            return false;
        }
    }
    if (useIPv4) setupSendAndReceiveSourcesForSocket4();
    if (useIPv6) setupSendAndReceiveSourcesForSocket6();
    flags |= Flag::socketsCreated;
    return true;
}

// ----- sources -----

void AsyncUdpSocket::setupSendAndReceiveSourcesForSocket4() { setupSourcesForSocket(true); }

void AsyncUdpSocket::setupSendAndReceiveSourcesForSocket6() { setupSourcesForSocket(false); }

void AsyncUdpSocket::setupSourcesForSocket(bool ipv4) {
    assertOnSocketQueue();
    const int socketFD = ipv4 ? socket4FD_ : socket6FD_;
    SourcePtr sendSource = Source::makeWrite(socketFD, socketQueue);
    SourcePtr receiveSource = Source::makeRead(socketFD, socketQueue);
    std::weak_ptr<AsyncUdpSocket> weakSelf = weak_from_this();

    sendSource->setEventHandler([weakSelf, ipv4] {
        auto self = weakSelf.lock();
        if (!self) return;
        self->flags |= ipv4 ? Flag::socket4CanAcceptBytes : Flag::socket6CanAcceptBytes;
        // Nothing to send on this socket: no current request, a connect request (it waits for its
        // host and is no datagram), a datagram still resolving, filtering or backing off, or one
        // for the other family (it waits for its own socket; trying it here would repeat on every
        // turn while this socket stays writable).
        auto* packet = self->currentSend && !self->currentSend->isSpecial
                           ? static_cast<AsyncUdpSendPacket*>(self->currentSend.get())
                           : nullptr;
        if (!packet || packet->resolveInProgress || packet->filterInProgress || packet->backoffInProgress ||
            (packet->addressFamily == AF_INET) != ipv4) {
            if (ipv4) {
                self->suspendSend4Source();
            } else {
                self->suspendSend6Source();
            }
        } else {
            self->doSend();
        }
    });

    // The read source reports through its own source object, captured weakly so the source does
    // not keep itself alive.
    std::weak_ptr<Source> weakReceiveSource = receiveSource;
    receiveSource->setEventHandler([weakSelf, weakReceiveSource, ipv4] {
        auto self = weakSelf.lock();
        auto source = weakReceiveSource.lock();
        if (!self || !source) return;
        self->handleReadEvent(ipv4, source->getData());
    });

    // Both cancel handlers share one counter; the last one to run closes the descriptor, so it is
    // closed exactly once, after neither source can touch it any more.
    auto socketFDRefCount = std::make_shared<int>(2);
    auto cancelHandler = [socketFDRefCount, socketFD] {
        if (--*socketFDRefCount == 0) ::close(socketFD);
    };
    sendSource->setCancelHandler(cancelHandler);
    receiveSource->setCancelHandler(cancelHandler);

    if (ipv4) {
        send4Source = std::move(sendSource);
        receive4Source = std::move(receiveSource);
        socket4FDBytesAvailable = 0;
        flags |= Flag::socket4CanAcceptBytes | Flag::send4SourceSuspended | Flag::receive4SourceSuspended;
    } else {
        send6Source = std::move(sendSource);
        receive6Source = std::move(receiveSource);
        socket6FDBytesAvailable = 0;
        flags |= Flag::socket6CanAcceptBytes | Flag::send6SourceSuspended | Flag::receive6SourceSuspended;
    }
}

namespace {

// The suspension flag keeps the source's count at 0 or 1: any number of suspends is undone by
// one resume.
void suspendSource(const std::shared_ptr<Source>& source, uint32_t& flags, uint32_t flag) {
    if (source && !(flags & flag)) {
        source->suspend();
        flags |= flag;
    }
}

void resumeSource(const std::shared_ptr<Source>& source, uint32_t& flags, uint32_t flag) {
    if (source && (flags & flag)) {
        source->resume();
        flags &= ~flag;
    }
}

}  // namespace

void AsyncUdpSocket::suspendSend4Source() { suspendSource(send4Source, flags, Flag::send4SourceSuspended); }
void AsyncUdpSocket::suspendSend6Source() { suspendSource(send6Source, flags, Flag::send6SourceSuspended); }
void AsyncUdpSocket::suspendReceive4Source() { suspendSource(receive4Source, flags, Flag::receive4SourceSuspended); }
void AsyncUdpSocket::suspendReceive6Source() { suspendSource(receive6Source, flags, Flag::receive6SourceSuspended); }
void AsyncUdpSocket::resumeSend4Source() { resumeSource(send4Source, flags, Flag::send4SourceSuspended); }
void AsyncUdpSocket::resumeSend6Source() { resumeSource(send6Source, flags, Flag::send6SourceSuspended); }
void AsyncUdpSocket::resumeReceive4Source() { resumeSource(receive4Source, flags, Flag::receive4SourceSuspended); }
void AsyncUdpSocket::resumeReceive6Source() { resumeSource(receive6Source, flags, Flag::receive6SourceSuspended); }

// ----- closing -----

void AsyncUdpSocket::closeSocket4() {
    assertOnSocketQueue();
    if (socket4FD_ == -1) return;
    send4Source->cancel();
    receive4Source->cancel();
    // A suspended source never runs its cancel handler; resuming lets the handlers close the descriptor.
    resumeSend4Source();
    resumeReceive4Source();
    send4Source.reset();
    receive4Source.reset();
    socket4FD_ = -1;
    socket4FDBytesAvailable = 0;
    flags &= ~Flag::socket4CanAcceptBytes;
    cachedLocalAddress4.clear();
    cachedLocalHost4.clear();
    cachedLocalPort4 = 0;
}

void AsyncUdpSocket::closeSocket6() {
    assertOnSocketQueue();
    if (socket6FD_ == -1) return;
    send6Source->cancel();
    receive6Source->cancel();
    resumeSend6Source();
    resumeReceive6Source();
    send6Source.reset();
    receive6Source.reset();
    socket6FD_ = -1;
    socket6FDBytesAvailable = 0;
    flags &= ~Flag::socket6CanAcceptBytes;
    cachedLocalAddress6.clear();
    cachedLocalHost6.clear();
    cachedLocalPort6 = 0;
}

void AsyncUdpSocket::closeSockets() {
    closeSocket4();
    closeSocket6();
    flags &= ~Flag::socketsCreated;
}

void AsyncUdpSocket::closeWithError(const std::optional<Error>& error, bool report) {
    assertOnSocketQueue();
    // Datagrams read before the close are reported before it (a socket being destroyed reports
    // nothing; it has none waiting then, as they are posted at the end of each receive turn).
    if (report) flushReceived();
    receivedBatch.clear();
    if (currentSend) endCurrentSend();
    sendQueue.clear();
    const bool shouldCallDelegate = (flags & Flag::socketsCreated) != 0;
    closeSockets();
    flags = 0;
    // Filter answers still under way belong to the closed sockets; they will be dropped.
    ++closeCount;
    pendingFilterOperations = 0;
    if (shouldCallDelegate && report) notifyDidCloseWithError(error);
}

void AsyncUdpSocket::close() {
    runSync([this] { closeWithError(std::nullopt); });
}

void AsyncUdpSocket::closeAfterSending() {
    runAsync([this] {
        flags |= Flag::closeAfterSends;
        if (!currentSend && sendQueue.empty()) closeWithError(std::nullopt);
    });
}

// ----- the socket queue and the descriptors -----

void AsyncUdpSocket::performBlock(const std::function<void()>& block) { runSync([&] { block(); }); }

int AsyncUdpSocket::socketFD() {
    if (!onSocketQueue()) return -1;
    return socket4FD_ != -1 ? socket4FD_ : socket6FD_;
}

int AsyncUdpSocket::socket4FD() { return onSocketQueue() ? socket4FD_ : -1; }

int AsyncUdpSocket::socket6FD() { return onSocketQueue() ? socket6FD_ : -1; }

void AsyncUdpSocket::markSocketQueueTargetQueue(const QueuePtr& socketNewTargetQueue) {
    socketNewTargetQueue->setSpecific(IsOnSocketQueueOrTargetQueueKey, this);
}

void AsyncUdpSocket::unmarkSocketQueueTargetQueue(const QueuePtr& socketOldTargetQueue) {
    socketOldTargetQueue->setSpecific(IsOnSocketQueueOrTargetQueueKey, nullptr);
}

void AsyncUdpSocket::applicationWillEnterForeground() {
    runAsync([this] {
        resumeReceive4Source();
        resumeReceive6Source();
    });
}
