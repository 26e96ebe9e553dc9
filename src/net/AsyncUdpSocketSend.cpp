// AsyncUdpSocket: the send queue, the send filter, the system call and the send timeout.

#include "net/AsyncUdpSocket.h"
#include "net/SocketTimeout.h"
#include "platform/Fatal.h"

#include <cerrno>
#include <chrono>

using platform::Bytes;
using platform::Error;
using platform::dispatch::Source;
using namespace net::detail;

namespace {

// After the system had no buffer space for a datagram, the send is tried again after this pause:
// the socket stays writable meanwhile, so waiting for a write event would spin.
constexpr std::chrono::milliseconds kNoBufferBackoff{5};

// Errors that concern one datagram (its size, its destination, the route to it): they fail that
// send alone and leave the socket open.
bool isPerDatagramError(int err) {
    switch (err) {
        case EMSGSIZE:
        case ENETUNREACH:
        case EHOSTUNREACH:
        case ENETDOWN:
        case EACCES:
        case EPERM:
            return true;
        default:
            return false;
    }
}

}  // namespace

// ----- queuing -----

void AsyncUdpSocket::sendDataWithTag(Bytes data, int64_t tag) { sendDataWithTimeoutTag(std::move(data), -1.0, tag); }

void AsyncUdpSocket::sendDataWithTimeoutTag(Bytes data, double timeout, int64_t tag) {
    if (data.empty()) return;
    queueSend(std::make_shared<AsyncUdpSendPacket>(std::move(data), timeout, tag));
}

void AsyncUdpSocket::sendDataToHostPortWithTimeoutTag(Bytes data, const std::optional<std::string>& host,
                                                      uint16_t port, double timeout, int64_t tag) {
    if (data.empty()) return;
    auto packet = std::make_shared<AsyncUdpSendPacket>(std::move(data), timeout, tag);
    packet->resolveInProgress = true;
    asyncResolveHostPortWithCompletionBlock(
        host, port, [self = shared_from_this(), packet](std::vector<Bytes> addresses, std::optional<Error> error) {
            packet->resolveInProgress = false;
            packet->resolvedAddresses = std::move(addresses);
            packet->resolveError = std::move(error);
            if (self->currentSend == packet) self->doPreSend();
        });
    queueSend(packet);
}

void AsyncUdpSocket::sendDataToAddressWithTimeoutTag(Bytes data, const Bytes& remoteAddr, double timeout, int64_t tag) {
    if (data.empty()) return;
    auto packet = std::make_shared<AsyncUdpSendPacket>(std::move(data), timeout, tag);
    packet->address = remoteAddr;
    packet->addressFamily = familyFromAddress(remoteAddr);
    queueSend(packet);
}

void AsyncUdpSocket::queueSend(const PacketPtr& packet) {
    socketQueue->async([self = shared_from_this(), packet] {
        self->sendQueue.push_back(packet);
        self->maybeDequeueSend();
    });
}

void AsyncUdpSocket::setSendFilterWithQueue(SendFilter filterBlock, QueuePtr filterQueue) {
    setSendFilterWithQueueIsAsynchronous(std::move(filterBlock), std::move(filterQueue), true);
}

void AsyncUdpSocket::setSendFilterWithQueueIsAsynchronous(SendFilter filterBlock, QueuePtr filterQueue,
                                                          bool isAsynchronous) {
    if (filterBlock && !filterQueue)
        platform::fatal("AsyncUdpSocket: Must provide a dispatch_queue in which to run the filter block.");
    runAsync([this, filterBlock = std::move(filterBlock), filterQueue = std::move(filterQueue), isAsynchronous] {
        std::lock_guard<std::mutex> lock(filterMutex);
        sendFilterBlock = filterBlock;
        sendFilterQueue = filterBlock ? filterQueue : nullptr;
        sendFilterAsync = isAsynchronous;
    });
}

AsyncUdpSocket::SendFilter AsyncUdpSocket::currentSendFilter() {
    std::lock_guard<std::mutex> lock(filterMutex);
    return sendFilterBlock;
}

// ----- serving the queue -----

void AsyncUdpSocket::maybeDequeueSend() {
    assertOnSocketQueue();
    if (dequeueing) {
        dequeueAgain = true;
        return;
    }
    dequeueing = true;
    do {
        dequeueAgain = false;
        maybeDequeueSendStep();
    } while (dequeueAgain);
    dequeueing = false;
}

void AsyncUdpSocket::maybeDequeueSendStep() {
    if (currentSend) return;

    // Sockets are made for a waiting request only: a step that runs after this turn's requests
    // ended and closed the socket (close after sending) must not open it again.
    if (!(flags & Flag::socketsCreated) && !sendQueue.empty()) {
        Error err;
        if (!createSockets(&err)) {
            // No socket could be made: every waiting send is dropped, and each is reported.
            std::deque<RequestPtr> dropped;
            dropped.swap(sendQueue);
            closeWithError(err);
            for (const RequestPtr& request : dropped) {
                if (!request->isSpecial) {
                    notifyDidNotSendDataWithTagDueToError(static_cast<AsyncUdpSendPacket&>(*request).tag, err);
                }
            }
            return;
        }
    }

    while (!sendQueue.empty()) {
        currentSend = std::move(sendQueue.front());
        sendQueue.pop_front();
        if (currentSend->isSpecial) {
            maybeConnect();
            return;
        }
        auto* sendPacket = static_cast<AsyncUdpSendPacket*>(currentSend.get());
        if (sendPacket->resolveError) {
            notifyDidNotSendDataWithTagDueToError(sendPacket->tag, *sendPacket->resolveError);
            currentSend = nullptr;
            continue;
        }
        doPreSend();
        break;
    }

    if (!currentSend && (flags & Flag::closeAfterSends)) closeWithError(std::nullopt);
}

void AsyncUdpSocket::doPreSend() {
    assertOnSocketQueue();
    auto packet = std::static_pointer_cast<AsyncUdpSendPacket>(currentSend);

    bool waitingForResolve = false;
    std::optional<Error> error;
    if (flags & Flag::connected) {
        if (packet->resolveInProgress || !packet->resolvedAddresses.empty() || packet->resolveError) {
            error = badConfigError("Cannot specify destination of packet for connected socket");
        } else {
            packet->address = cachedConnectedAddress;
            packet->addressFamily = cachedConnectedFamily;
        }
    } else if (packet->resolveInProgress) {
        waitingForResolve = true;
    } else if (packet->resolveError) {
        error = packet->resolveError;
    } else if (!packet->address.empty()) {
        // A destination of the wrong family, or of a family without a socket, fails this send alone.
        const int family = packet->addressFamily;
        if (!((family == AF_INET && socket4FD_ != -1) || (family == AF_INET6 && socket6FD_ != -1))) {
            error = badParamError("A valid IPv4 or IPv6 address was not given");
        }
    } else if (packet->resolvedAddresses.empty()) {
        error = badConfigError("You must specify destination of packet for a non-connected socket");
    } else {
        Error choiceError;
        Bytes address;
        const int family = getAddressErrorFromAddresses(&address, &choiceError, packet->resolvedAddresses);
        if (family == AF_UNSPEC) {
            error = choiceError;
        } else {
            packet->address = std::move(address);
            packet->addressFamily = family;
        }
    }

    if (waitingForResolve) {
        // The write sources would fire for nothing until the destination is known.
        if (flags & Flag::socket4CanAcceptBytes) suspendSend4Source();
        if (flags & Flag::socket6CanAcceptBytes) suspendSend6Source();
        return;
    }
    if (error) {
        failCurrentSend(*error);
        return;
    }

    // As for receiving: the filter's queue and mode are socket-queue fields, null without a filter.
    if (!sendFilterQueue) {
        doSend();
        return;
    }
    const QueuePtr filterQueue = sendFilterQueue;
    const bool filterAsync = sendFilterAsync;
    if (filterAsync) {
        packet->filterInProgress = true;
        filterQueue->async([self = shared_from_this(), packet] {
            // The filter in place when it runs decides, even if it was replaced meanwhile.
            SendFilter filter = self->currentSendFilter();
            const bool allowed = !filter || filter(packet->buffer, packet->address, packet->tag);
            self->socketQueue->async([self, packet, allowed] {
                packet->filterInProgress = false;
                if (self->currentSend != packet) return;
                if (allowed) {
                    self->doSend();
                } else {
                    self->finishCurrentSend();
                }
            });
        });
        return;
    }
    bool allowed = true;
    filterQueue->sync([&] {
        SendFilter filter = currentSendFilter();
        allowed = !filter || filter(packet->buffer, packet->address, packet->tag);
    });
    if (allowed) {
        doSend();
    } else {
        // A datagram the filter refuses is dropped but reported as sent.
        finishCurrentSend();
    }
}

void AsyncUdpSocket::doSend() {
    assertOnSocketQueue();
    platform::fatalUnless(currentSend != nullptr && !currentSend->isSpecial, "AsyncUdpSocket: Invalid logic");
    auto packet = std::static_pointer_cast<AsyncUdpSendPacket>(currentSend);
    const bool ipv4 = packet->addressFamily == AF_INET;
    const int fd = ipv4 ? socket4FD_ : socket6FD_;

    ssize_t result;
    int err = 0;
    do {
        if (flags & Flag::connected) {
            result = calls.sendto(fd, packet->buffer.data(), packet->buffer.size(), MSG_NOSIGNAL, nullptr, 0);
        } else {
            result = calls.sendto(fd, packet->buffer.data(), packet->buffer.size(), MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(packet->address.data()),
                                  static_cast<socklen_t>(packet->address.size()));
        }
        err = result < 0 ? errno : 0;
    } while (result < 0 && err == EINTR);

    // The first datagram binds an unbound socket to a port the system picks.
    flags |= Flag::bound;

    if (result > 0) {
        finishCurrentSend();
        return;
    }
    if (result == 0 || err == EAGAIN || err == EWOULDBLOCK) {
        flags &= ~(ipv4 ? Flag::socket4CanAcceptBytes : Flag::socket6CanAcceptBytes);
        if (!(flags & Flag::socket4CanAcceptBytes)) resumeSend4Source();
        if (!(flags & Flag::socket6CanAcceptBytes)) resumeSend6Source();
        if (!sendTimer && packet->timeout >= 0.0) setupSendTimerWithTimeout(packet->timeout);
        return;
    }
    if (err == ENOBUFS) {
        packet->backoffInProgress = true;
        if (!sendTimer && packet->timeout >= 0.0) setupSendTimerWithTimeout(packet->timeout);
        std::weak_ptr<AsyncUdpSocket> weakSelf = weak_from_this();
        platform::dispatch::after(kNoBufferBackoff, socketQueue, [weakSelf, packet] {
            auto self = weakSelf.lock();
            if (!self || self->currentSend != packet) return;
            packet->backoffInProgress = false;
            self->doSend();
        });
        return;
    }
    Error error = Error::posix(err, "Error in send() function.");
    if (isPerDatagramError(err)) {
        failCurrentSend(error);
    } else {
        closeWithError(error);
    }
}

void AsyncUdpSocket::finishCurrentSend() {
    notifyDidSendDataWithTag(static_cast<AsyncUdpSendPacket&>(*currentSend).tag);
    endCurrentSend();
    maybeDequeueSend();
}

void AsyncUdpSocket::failCurrentSend(const Error& error) {
    notifyDidNotSendDataWithTagDueToError(static_cast<AsyncUdpSendPacket&>(*currentSend).tag, error);
    endCurrentSend();
    maybeDequeueSend();
}

void AsyncUdpSocket::endCurrentSend() {
    if (sendTimer) {
        sendTimer->cancel();
        sendTimer.reset();
    }
    currentSend = nullptr;
}

// ----- the send timeout -----

void AsyncUdpSocket::setupSendTimerWithTimeout(double timeout) {
    platform::fatalUnless(!sendTimer && timeout >= 0.0, "AsyncUdpSocket: Invalid logic");
    sendTimer = Source::makeTimer(socketQueue);
    std::weak_ptr<AsyncUdpSocket> weakSelf = weak_from_this();
    sendTimer->setEventHandler([weakSelf] {
        if (auto self = weakSelf.lock()) self->doSendTimeout();
    });
    sendTimer->setTimer(net::timeoutToNanoseconds(timeout));
    sendTimer->resume();
}

void AsyncUdpSocket::doSendTimeout() {
    assertOnSocketQueue();
    if (!currentSend || currentSend->isSpecial) return;
    failCurrentSend(sendTimeoutError());
}
