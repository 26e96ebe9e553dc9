// AsyncUdpSocket: the receive modes, reading one datagram, the receive filter and delivery.

#include "net/AsyncUdpSocket.h"
#include "platform/Fatal.h"
#include "platform/Trace.h"

#include <algorithm>
#include <cerrno>

using platform::Bytes;
using platform::Error;
using namespace net::detail;

namespace {

// No datagram is longer than this; a larger maximum would only make the read buffer bigger.
constexpr uint32_t kLargestDatagram = 65535;
constexpr int kReadsPerTurn = 64;

}  // namespace

bool AsyncUdpSocket::receiveOnce(Error* errPtr) {
    return runSyncReportingError(errPtr, [&](Error& err) {
        if (flags & Flag::receiveOnce) return true;
        if (!(flags & Flag::socketsCreated)) {
            err = badConfigError(
                "Must bind socket before you can receive data. You can do this explicitly via bind, or implicitly "
                "via connect or by sending data.");
            return false;
        }
        flags |= Flag::receiveOnce;
        flags &= ~Flag::receiveContinuous;
        socketQueue->async([self = shared_from_this()] { self->doReceive(); });
        return true;
    });
}

bool AsyncUdpSocket::beginReceiving(Error* errPtr) {
    return runSyncReportingError(errPtr, [&](Error& err) {
        if (flags & Flag::receiveContinuous) return true;
        if (!(flags & Flag::socketsCreated)) {
            err = badConfigError(
                "Must bind socket before you can receive data. You can do this explicitly via bind, or implicitly "
                "via connect or by sending data.");
            return false;
        }
        platform::trace("receive gogog...");
        flags |= Flag::receiveContinuous;
        flags &= ~Flag::receiveOnce;
        socketQueue->async([self = shared_from_this()] { self->doReceive(); });
        return true;
    });
}

void AsyncUdpSocket::pauseReceiving() {
    runAsync([this] {
        flags &= ~(Flag::receiveOnce | Flag::receiveContinuous);
        if (socket4FDBytesAvailable > 0) suspendReceive4Source();
        if (socket6FDBytesAvailable > 0) suspendReceive6Source();
    });
}

void AsyncUdpSocket::setReceiveFilterWithQueue(ReceiveFilter filterBlock, QueuePtr filterQueue) {
    setReceiveFilterWithQueueIsAsynchronous(std::move(filterBlock), std::move(filterQueue), true);
}

void AsyncUdpSocket::setReceiveFilterWithQueueIsAsynchronous(ReceiveFilter filterBlock, QueuePtr filterQueue,
                                                             bool isAsynchronous) {
    if (filterBlock && !filterQueue)
        platform::fatal("AsyncUdpSocket: Must provide a dispatch_queue in which to run the filter block.");
    runAsync([this, filterBlock = std::move(filterBlock), filterQueue = std::move(filterQueue), isAsynchronous] {
        std::lock_guard<std::mutex> lock(filterMutex);
        receiveFilterBlock = filterBlock;
        receiveFilterQueue = filterBlock ? filterQueue : nullptr;
        receiveFilterAsync = isAsynchronous;
    });
}

AsyncUdpSocket::ReceiveFilter AsyncUdpSocket::currentReceiveFilter() {
    std::lock_guard<std::mutex> lock(filterMutex);
    return receiveFilterBlock;
}

void AsyncUdpSocket::handleReadEvent(bool ipv4, size_t available) {
    assertOnSocketQueue();
    // A readable datagram socket that reports no bytes holds an empty datagram (or a pending
    // error): it is marked readable all the same, and the read consumes it.
    const uint64_t count = available > 0 ? available : 1;
    if (ipv4) {
        socket4FDBytesAvailable = count;
    } else {
        socket6FDBytesAvailable = count;
    }
    doReceive();
}

void AsyncUdpSocket::doReceive() {
    assertOnSocketQueue();
    // A burst is read out in a loop rather than by recursion; after a stretch of reads the rest
    // waits for a later turn of the queue, so that a long burst does not hold up sends and requests.
    int reads = 0;
    while (reads < kReadsPerTurn && doReceiveStep()) ++reads;
    flushReceived();
    if (reads == kReadsPerTurn) {
        socketQueue->async([weakSelf = weak_from_this()] {
            if (auto self = weakSelf.lock()) self->doReceive();
        });
    }
}

bool AsyncUdpSocket::doReceiveStep() {
    auto suspendWhereDataWaits = [this] {
        if (socket4FDBytesAvailable > 0) suspendReceive4Source();
        if (socket6FDBytesAvailable > 0) suspendReceive6Source();
    };
    auto resumeWhereEmpty = [this] {
        if (socket4FDBytesAvailable == 0) resumeReceive4Source();
        if (socket6FDBytesAvailable == 0) resumeReceive6Source();
    };

    if (!(flags & (Flag::receiveOnce | Flag::receiveContinuous))) {
        suspendWhereDataWaits();
        return false;
    }
    if ((flags & Flag::receiveOnce) && pendingFilterOperations > 0) {
        suspendWhereDataWaits();
        return false;
    }
    if (socket4FDBytesAvailable == 0 && socket6FDBytesAvailable == 0) {
        resumeWhereEmpty();
        return false;
    }

    const bool doReceive4 = receiveFromIPv4Next();

    // Every read takes up to the family's maximum: the readable count describes the datagram at the
    // head only, and a datagram cut at the maximum must not shorten the next one.
    const size_t readSize = doReceive4 ? max4ReceiveSize : std::min(max6ReceiveSize, kLargestDatagram);
    if (receiveBuffer.size() < readSize) receiveBuffer.resize(readSize);
    sockaddr_storage sender{};
    socklen_t senderLength = doReceive4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    const int fd = doReceive4 ? socket4FD_ : socket6FD_;
    const ssize_t result =
        ::recvfrom(fd, receiveBuffer.data(), readSize, 0, reinterpret_cast<sockaddr*>(&sender), &senderLength);
    const int err = result < 0 ? errno : 0;
    // The readable count is not carried over to the next read. After a datagram the socket may
    // hold more (1: look again); after an empty read it holds nothing until the next read event.
    (doReceive4 ? socket4FDBytesAvailable : socket6FDBytesAvailable) = result > 0 ? 1 : 0;

    if (result == 0 || (result < 0 && (err == EAGAIN || err == EWOULDBLOCK || err == EINTR))) {
        // Nothing to deliver: an empty datagram was consumed, or there was nothing after all.
        resumeWhereEmpty();
        return false;
    }
    if (result < 0) {
        closeWithError(Error::posix(err, "Error in recvfrom() function"));
        return false;
    }

    Bytes data(receiveBuffer.begin(), receiveBuffer.begin() + result);
    const auto* senderBytes = reinterpret_cast<const uint8_t*>(&sender);
    Bytes address(senderBytes, senderBytes + std::min<size_t>(senderLength, sizeof sender));
    Delivery delivery;
    if ((flags & Flag::connected) && !(doReceive4 ? isConnectedToAddress4(address) : isConnectedToAddress6(address)))
        delivery = Delivery::Ignored;
    else
        delivery = deliverThroughReceiveFilter(std::move(data), std::move(address));

    if (flags & Flag::receiveContinuous) return true;
    if (delivery == Delivery::Notified) {
        flags &= ~Flag::receiveOnce;
        return false;
    }
    return delivery == Delivery::Ignored;
}

bool AsyncUdpSocket::receiveFromIPv4Next() {
    bool doReceive4;
    if (flags & Flag::connected) {
        doReceive4 = socket4FD_ != -1;
    } else if (socket4FDBytesAvailable > 0 && socket6FDBytesAvailable == 0) {
        doReceive4 = true;
    } else if (socket4FDBytesAvailable == 0) {
        doReceive4 = false;
    } else {
        doReceive4 = (flags & Flag::nextReceiveIPv4) != 0;
        flags ^= Flag::nextReceiveIPv4;
    }
    platform::fatalUnless((doReceive4 ? socket4FDBytesAvailable : socket6FDBytesAvailable) > 0,
                          "AsyncUdpSocket: Invalid logic");
    return doReceive4;
}

AsyncUdpSocket::Delivery AsyncUdpSocket::deliverThroughReceiveFilter(Bytes data, Bytes address) {
    // The filter's queue and mode are written on the socket queue alone (the queue is null when
    // there is no filter): the lock guards only the block, which the filter queue reads.
    if (!receiveFilterQueue) {
        notifyDidReceiveDataFromAddressWithFilterContext(std::move(data), std::move(address), {});
        return Delivery::Notified;
    }
    const QueuePtr filterQueue = receiveFilterQueue;
    const bool filterAsync = receiveFilterAsync;

    if (!filterAsync) {
        std::any context;
        bool allowed = true;
        filterQueue->sync([&] {
            ReceiveFilter filter = currentReceiveFilter();
            allowed = !filter || filter(data, address, &context);
        });
        if (!allowed) return Delivery::Ignored;
        notifyDidReceiveDataFromAddressWithFilterContext(std::move(data), std::move(address), std::move(context));
        return Delivery::Notified;
    }

    // The filter's answer comes back to the socket queue; one for a datagram read before a later
    // close is dropped there.
    ++pendingFilterOperations;
    filterQueue->async([self = shared_from_this(), data = std::move(data), address = std::move(address),
                        closesAtRead = closeCount]() mutable {
        std::any context;
        ReceiveFilter filter = self->currentReceiveFilter();
        const bool allowed = !filter || filter(data, address, &context);
        self->socketQueue->async([self, data = std::move(data), address = std::move(address),
                                  context = std::move(context), allowed, closesAtRead]() mutable {
            if (self->closeCount != closesAtRead) return;
            --self->pendingFilterOperations;
            if (allowed) {
                self->notifyDidReceiveDataFromAddressWithFilterContext(std::move(data), std::move(address),
                                                                       std::move(context));
                self->flushReceived();
            }
            if (self->flags & Flag::receiveOnce) {
                if (allowed) {
                    self->flags &= ~Flag::receiveOnce;
                } else if (self->pendingFilterOperations == 0) {
                    self->doReceive();
                }
            }
        });
    });
    return Delivery::Filtering;
}
