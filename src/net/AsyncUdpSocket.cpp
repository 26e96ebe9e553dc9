// AsyncUdpSocket: creation, the socket-queue rule, delegate and configuration accessors,
// notifications, error builders and the shared precondition check.

#include "net/AsyncUdpSocket.h"
#include "platform/Fatal.h"
#include "platform/Trace.h"

#include <netdb.h>

#include <cerrno>

using platform::Bytes;
using platform::Error;
using platform::dispatch::Queue;
using namespace net::detail;

AsyncUdpSocketSystemCalls AsyncUdpSocketSystemCalls::real() {
    AsyncUdpSocketSystemCalls calls;
    calls.socket = [](int domain, int type, int protocol) { return ::socket(domain, type, protocol); };
    calls.sendto = [](int fd, const void* buffer, size_t length, int flags, const sockaddr* to, socklen_t toLength) {
        return ::sendto(fd, buffer, length, flags, to, toLength);
    };
    return calls;
}

// ----- creation and destruction -----

std::shared_ptr<AsyncUdpSocket> AsyncUdpSocket::init() {
    return initWithDelegateDelegateQueueSocketQueue({}, nullptr, nullptr);
}

std::shared_ptr<AsyncUdpSocket> AsyncUdpSocket::initWithSocketQueue(QueuePtr socketQueue) {
    return initWithDelegateDelegateQueueSocketQueue({}, nullptr, std::move(socketQueue));
}

std::shared_ptr<AsyncUdpSocket> AsyncUdpSocket::initWithDelegateDelegateQueue(WeakDelegate delegate,
                                                                           QueuePtr delegateQueue) {
    return initWithDelegateDelegateQueueSocketQueue(std::move(delegate), std::move(delegateQueue), nullptr);
}

std::shared_ptr<AsyncUdpSocket> AsyncUdpSocket::initWithDelegateDelegateQueueSocketQueue(WeakDelegate delegate,
                                                                                      QueuePtr delegateQueue,
                                                                                      QueuePtr socketQueue) {
    return std::make_shared<AsyncUdpSocket>(Private{}, std::move(delegate), std::move(delegateQueue),
                                            std::move(socketQueue));
}

AsyncUdpSocket::AsyncUdpSocket(Private, WeakDelegate delegate, QueuePtr delegateQueue, QueuePtr sq)
    : delegate_(std::move(delegate)), delegateQueue_(std::move(delegateQueue)), calls(AsyncUdpSocketSystemCalls::real()) {
    if (sq) {
        platform::fatalUnless(!sq->isGlobal(),
                              "AsyncUdpSocket: The given socketQueue parameter must not be a concurrent queue.");
        socketQueue = std::move(sq);
    } else {
        socketQueue = Queue::createSerial(AsyncUdpSocketQueueName);
    }
    // The key is the address of this very field: unique to this object. Its value on a queue says
    // "code running here runs on this socket's queue".
    IsOnSocketQueueOrTargetQueueKey = &IsOnSocketQueueOrTargetQueueKey;
    socketQueue->setSpecific(IsOnSocketQueueOrTargetQueueKey, this);
    currentSend = nullptr;
}

AsyncUdpSocket::~AsyncUdpSocket() {
    // No close report: it would have to hand the delegate a socket that no longer exists.
    if (onSocketQueue()) {
        closeWithError(std::nullopt, false);
    } else {
        socketQueue->sync([this] { closeWithError(std::nullopt, false); });
    }
    socketQueue->setSpecific(IsOnSocketQueueOrTargetQueueKey, nullptr);
    delegate_.reset();
    delegateQueue_.reset();
}

// ----- the socket-queue rule -----

bool AsyncUdpSocket::onSocketQueue() const {
    return Queue::getSpecific(IsOnSocketQueueOrTargetQueueKey) != nullptr;
}

void AsyncUdpSocket::assertOnSocketQueue() const {
    platform::fatalUnless(onSocketQueue(), "AsyncUdpSocket: Must be dispatched on socketQueue");
}

void AsyncUdpSocket::runAsync(Job body) {
    if (onSocketQueue()) {
        body();
        return;
    }
    socketQueue->async([self = shared_from_this(), body = std::move(body)] { body(); });
}

// ----- delegate -----

AsyncUdpSocket::DelegatePtr AsyncUdpSocket::delegate() {
    return runSync([this] { return delegate_.lock(); });
}

AsyncUdpSocket::QueuePtr AsyncUdpSocket::delegateQueue() {
    return runSync([this] { return delegateQueue_; });
}

void AsyncUdpSocket::getDelegateDelegateQueue(DelegatePtr* delegateOut, QueuePtr* delegateQueueOut) {
    runSync([&] {
        if (delegateOut) *delegateOut = delegate_.lock();
        if (delegateQueueOut) *delegateQueueOut = delegateQueue_;
    });
}

void AsyncUdpSocket::setDelegateSynchronously(WeakDelegate newDelegate, bool synchronously) {
    auto body = [this, d = std::move(newDelegate)] { delegate_ = d; };
    if (synchronously) {
        runSync(body);
    } else {
        runAsync(body);
    }
}

void AsyncUdpSocket::setDelegate(WeakDelegate newDelegate) { setDelegateSynchronously(std::move(newDelegate), false); }

void AsyncUdpSocket::synchronouslySetDelegate(WeakDelegate newDelegate) {
    setDelegateSynchronously(std::move(newDelegate), true);
}

void AsyncUdpSocket::setDelegateQueueSynchronously(QueuePtr newDelegateQueue, bool synchronously) {
    auto body = [this, q = std::move(newDelegateQueue)] { delegateQueue_ = q; };
    if (synchronously) {
        runSync(body);
    } else {
        runAsync(body);
    }
}

void AsyncUdpSocket::setDelegateQueue(QueuePtr newDelegateQueue) {
    setDelegateQueueSynchronously(std::move(newDelegateQueue), false);
}

void AsyncUdpSocket::synchronouslySetDelegateQueue(QueuePtr newDelegateQueue) {
    setDelegateQueueSynchronously(std::move(newDelegateQueue), true);
}

void AsyncUdpSocket::setDelegateDelegateQueueSynchronously(WeakDelegate newDelegate, QueuePtr newDelegateQueue,
                                                           bool synchronously) {
    auto body = [this, d = std::move(newDelegate), q = std::move(newDelegateQueue)] {
        delegate_ = d;
        delegateQueue_ = q;
    };
    if (synchronously) {
        runSync(body);
    } else {
        runAsync(body);
    }
}

void AsyncUdpSocket::setDelegateDelegateQueue(WeakDelegate newDelegate, QueuePtr newDelegateQueue) {
    setDelegateDelegateQueueSynchronously(std::move(newDelegate), std::move(newDelegateQueue), false);
}

void AsyncUdpSocket::synchronouslySetDelegateDelegateQueue(WeakDelegate newDelegate, QueuePtr newDelegateQueue) {
    setDelegateDelegateQueueSynchronously(std::move(newDelegate), std::move(newDelegateQueue), true);
}

// ----- configuration -----

bool AsyncUdpSocket::isIPv4Enabled() {
    return runSync([this] { return (config & Config::ipv4Disabled) == 0; });
}

void AsyncUdpSocket::setIPv4Enabled(bool enabled) {
    runAsync([this, enabled] {
        if (enabled) {
            config &= ~Config::ipv4Disabled;
        } else {
            config |= Config::ipv4Disabled;
        }
    });
}

bool AsyncUdpSocket::isIPv6Enabled() {
    return runSync([this] { return (config & Config::ipv6Disabled) == 0; });
}

void AsyncUdpSocket::setIPv6Enabled(bool enabled) {
    runAsync([this, enabled] {
        if (enabled) {
            config &= ~Config::ipv6Disabled;
        } else {
            config |= Config::ipv6Disabled;
        }
    });
}

bool AsyncUdpSocket::isIPv4Preferred() {
    return runSync([this] { return (config & Config::preferIPv4) != 0; });
}

bool AsyncUdpSocket::isIPv6Preferred() {
    return runSync([this] { return (config & Config::preferIPv6) != 0; });
}

bool AsyncUdpSocket::isIPVersionNeutral() {
    return runSync([this] { return (config & (Config::preferIPv4 | Config::preferIPv6)) == 0; });
}

void AsyncUdpSocket::setPreferIPv4() {
    runAsync([this] {
        config |= Config::preferIPv4;
        config &= ~Config::preferIPv6;
    });
}

void AsyncUdpSocket::setPreferIPv6() {
    runAsync([this] {
        config &= ~Config::preferIPv4;
        config |= Config::preferIPv6;
    });
}

void AsyncUdpSocket::setIPVersionNeutral() {
    runAsync([this] { config &= ~(Config::preferIPv4 | Config::preferIPv6); });
}

uint16_t AsyncUdpSocket::maxReceiveIPv4BufferSize() {
    return runSync([this] { return max4ReceiveSize; });
}

void AsyncUdpSocket::setMaxReceiveIPv4BufferSize(uint16_t max) {
    // A zero maximum would make every read empty; it is refused and the old value kept.
    if (max == 0) return;
    runAsync([this, max] { max4ReceiveSize = max; });
}

uint32_t AsyncUdpSocket::maxReceiveIPv6BufferSize() {
    return runSync([this] { return max6ReceiveSize; });
}

void AsyncUdpSocket::setMaxReceiveIPv6BufferSize(uint32_t max) {
    if (max == 0) return;
    runAsync([this, max] { max6ReceiveSize = max; });
}

std::shared_ptr<void> AsyncUdpSocket::userData() {
    return runSync([this] { return userData_; });
}

void AsyncUdpSocket::setUserData(std::shared_ptr<void> data) {
    runAsync([this, data = std::move(data)] {
        if (userData_ != data) userData_ = data;
    });
}

uint32_t AsyncUdpSocket::currentFlags() {
    return runSync([this] { return flags; });
}

uint16_t AsyncUdpSocket::currentConfig() {
    return runSync([this] { return config; });
}

void AsyncUdpSocket::setSystemCalls(AsyncUdpSocketSystemCalls newCalls) {
    runSync([&] { calls = std::move(newCalls); });
}

// ----- notifications -----

template <class Call>
void AsyncUdpSocket::notify(unsigned capability, Call call) {
    assertOnSocketQueue();
    if (!delegateQueue_) return;
    DelegatePtr theDelegate = delegate_.lock();
    if (!theDelegate || (theDelegate->capabilities() & capability) == 0) return;
    delegateQueue_->async([theDelegate, self = shared_from_this(), call = std::move(call)] { call(*theDelegate, self); });
}

void AsyncUdpSocket::notifyDidConnectToAddress(const Bytes& anAddress) {
    notify(AsyncUdpSocketDelegate::kDidConnectToAddress,
           [address = Bytes(anAddress)](AsyncUdpSocketDelegate& d, const std::shared_ptr<AsyncUdpSocket>& s) {
               d.udpSocketDidConnectToAddress(s, address);
           });
}

void AsyncUdpSocket::notifyDidNotConnect(const Error& error) {
    notify(AsyncUdpSocketDelegate::kDidNotConnect,
           [error](AsyncUdpSocketDelegate& d, const std::shared_ptr<AsyncUdpSocket>& s) {
               d.udpSocketDidNotConnect(s, error);
           });
}

void AsyncUdpSocket::notifyDidSendDataWithTag(int64_t tag) {
    notify(AsyncUdpSocketDelegate::kDidSendDataWithTag,
           [tag](AsyncUdpSocketDelegate& d, const std::shared_ptr<AsyncUdpSocket>& s) {
               d.udpSocketDidSendDataWithTag(s, tag);
           });
}

void AsyncUdpSocket::notifyDidNotSendDataWithTagDueToError(int64_t tag, const Error& error) {
    notify(AsyncUdpSocketDelegate::kDidNotSendDataWithTagDueToError,
           [tag, error](AsyncUdpSocketDelegate& d, const std::shared_ptr<AsyncUdpSocket>& s) {
               d.udpSocketDidNotSendDataWithTagDueToError(s, tag, error);
           });
}

void AsyncUdpSocket::notifyDidReceiveDataFromAddressWithFilterContext(Bytes data, Bytes address, std::any context) {
    receivedBatch.push_back(Received{std::move(data), std::move(address), std::move(context)});
}

void AsyncUdpSocket::flushReceived() {
    if (receivedBatch.empty()) return;
    // One job on the delegate queue for the datagrams of a turn, called back one by one in order.
    auto batch = std::make_shared<std::vector<Received>>(std::move(receivedBatch));
    receivedBatch.clear();
    notify(AsyncUdpSocketDelegate::kDidReceiveDataFromAddressWithFilterContext,
           [batch](AsyncUdpSocketDelegate& d, const std::shared_ptr<AsyncUdpSocket>& s) {
               for (const Received& r : *batch)
                   d.udpSocketDidReceiveDataFromAddressWithFilterContext(s, r.data, r.address, r.context);
           });
}

void AsyncUdpSocket::notifyDidCloseWithError(const std::optional<Error>& error) {
    notify(AsyncUdpSocketDelegate::kDidCloseWithError,
           [error](AsyncUdpSocketDelegate& d, const std::shared_ptr<AsyncUdpSocket>& s) {
               d.udpSocketDidCloseWithError(s, error);
           });
}

// ----- precondition and errors -----

bool AsyncUdpSocket::preOp(Error* errPtr) {
    assertOnSocketQueue();
    if (delegate_.expired()) {
        platform::setError(errPtr, badConfigError("Attempting to use socket without a delegate. Set a delegate first."));
        return false;
    }
    if (!delegateQueue_) {
        platform::setError(errPtr, badConfigError(
                                       "Attempting to use socket without a delegate queue. Set a delegate queue first."));
        return false;
    }
    return true;
}

Error AsyncUdpSocket::badConfigError(const std::string& errMsg) {
    return Error::make(AsyncUdpSocketErrorDomain, AsyncUdpSocketBadConfigError, errMsg);
}

Error AsyncUdpSocket::badParamError(const std::string& errMsg) {
    return Error::make(AsyncUdpSocketErrorDomain, AsyncUdpSocketBadParamError, errMsg);
}

Error AsyncUdpSocket::gaiError(int gai_error) {
    return Error::make(AsyncUdpSocketNetDBErrorDomain, gai_error, gai_strerror(gai_error));
}

Error AsyncUdpSocket::errnoErrorWithReason(const std::string& reason) { return Error::posix(errno, reason); }

Error AsyncUdpSocket::errnoError() { return Error::posix(errno); }

Error AsyncUdpSocket::sendTimeoutError() {
    return Error::make(AsyncUdpSocketErrorDomain, AsyncUdpSocketSendTimeoutError, "Send operation timed out");
}

Error AsyncUdpSocket::socketClosedError() {
    return Error::make(AsyncUdpSocketErrorDomain, AsyncUdpSocketClosedError, "Socket closed");
}

Error AsyncUdpSocket::otherError(const std::string& errMsg) {
    return Error::make(AsyncUdpSocketErrorDomain, AsyncUdpSocketOtherError, errMsg);
}
