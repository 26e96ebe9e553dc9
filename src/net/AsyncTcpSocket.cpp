// The socket object: creation and destruction, the socket queue and the rule for code already on
// it, the delegate and how every delegate call is made, configuration and state queries.

#include "net/AsyncTcpSocket.h"
#include "platform/Fatal.h"


using platform::dispatch::Queue;
using namespace net::detail;

std::shared_ptr<AsyncTcpSocket> AsyncTcpSocket::init() {
    return initWithDelegateDelegateQueueSocketQueue({}, nullptr, nullptr);
}

std::shared_ptr<AsyncTcpSocket> AsyncTcpSocket::initWithSocketQueue(QueuePtr sq) {
    return initWithDelegateDelegateQueueSocketQueue({}, nullptr, std::move(sq));
}

std::shared_ptr<AsyncTcpSocket> AsyncTcpSocket::initWithDelegateDelegateQueue(WeakDelegate aDelegate, QueuePtr dq) {
    return initWithDelegateDelegateQueueSocketQueue(std::move(aDelegate), std::move(dq), nullptr);
}

std::shared_ptr<AsyncTcpSocket> AsyncTcpSocket::initWithDelegateDelegateQueueSocketQueue(WeakDelegate aDelegate,
                                                                                         QueuePtr dq, QueuePtr sq) {
    return std::make_shared<AsyncTcpSocket>(Private{}, std::move(aDelegate), std::move(dq), std::move(sq));
}

AsyncTcpSocket::AsyncTcpSocket(Private, WeakDelegate aDelegate, QueuePtr dq, QueuePtr sq)
    : delegate_(std::move(aDelegate)), delegateQueue_(std::move(dq)), preBuffer(4096) {
    if (sq) {
        // The socket's state relies on one job at a time.
        if (sq->isGlobal())
            platform::fatal("AsyncTcpSocket: The given socketQueue parameter must not be a concurrent queue.");
        socketQueue = std::move(sq);
    } else {
        socketQueue = Queue::createSerial(AsyncTcpSocketQueueName);
    }
    IsOnSocketQueueOrTargetQueueKey = &IsOnSocketQueueOrTargetQueueKey;
    socketQueue->setSpecific(IsOnSocketQueueOrTargetQueueKey, this);
}

AsyncTcpSocket::~AsyncTcpSocket() {
    runSync([this] {
        flags |= FlagDeallocating;
        closeWithError(nullptr);
    });
    socketQueue->setSpecific(IsOnSocketQueueOrTargetQueueKey, nullptr);
    delegate_.reset();
    delegateQueue_.reset();
    socketQueue.reset();
}

// ---- the socket queue ----

bool AsyncTcpSocket::onSocketQueue() const {
    return Queue::getSpecific(IsOnSocketQueueOrTargetQueueKey) != nullptr;
}

void AsyncTcpSocket::checkOnSocketQueue() const {
    if (!onSocketQueue()) platform::fatal("AsyncTcpSocket: Must be dispatched on socketQueue");
}

void AsyncTcpSocket::runAsync(std::function<void(AsyncTcpSocket&)> fn) {
    // The strong reference lives in a shared holder and is dropped inside the job, so that a socket
    // whose last owner is this job is destroyed while the job still counts as on the socket queue.
    auto holder = std::make_shared<std::shared_ptr<AsyncTcpSocket>>(shared_from_this());
    socketQueue->async([holder, fn = std::move(fn)] {
        std::shared_ptr<AsyncTcpSocket> self = std::move(*holder);
        if (self) fn(*self);
    });
}

void AsyncTcpSocket::runRequest(std::function<void(AsyncTcpSocket&)> fn) {
    if (runsRequestsHere.load(std::memory_order_relaxed)) {
        const auto self = shared_from_this();  // the caller's reference may be all there is
        const bool ran = platform::dispatch::runHereIfIdle(socketQueue, [&] {
            // Looked at again with the queue held: TLS may have been asked for by its last job.
            if (runsRequestsHere.load(std::memory_order_relaxed))
                fn(*this);
            else
                runAsync(fn);
        });
        if (ran) return;
    }
    runAsync(std::move(fn));
}

void AsyncTcpSocket::performBlock(const Job& block) { runSync(block); }

void AsyncTcpSocket::markSocketQueueTargetQueue(const QueuePtr& socketNewTargetQueue) {
    socketNewTargetQueue->setSpecific(IsOnSocketQueueOrTargetQueueKey, this);
}

void AsyncTcpSocket::unmarkSocketQueueTargetQueue(const QueuePtr& socketOldTargetQueue) {
    socketOldTargetQueue->setSpecific(IsOnSocketQueueOrTargetQueueKey, nullptr);
}

int AsyncTcpSocket::socketFD() {
    if (!onSocketQueue()) return -1;
    return socket4FD_ != -1 ? socket4FD_ : socket6FD_;
}

int AsyncTcpSocket::socket4FD() { return onSocketQueue() ? socket4FD_ : -1; }

int AsyncTcpSocket::socket6FD() { return onSocketQueue() ? socket6FD_ : -1; }

// ---- delegate calls ----

void AsyncTcpSocket::notifyDelegate(
    AsyncTcpSocketDelegate::Capability capability,
    std::function<void(AsyncTcpSocketDelegate&, const std::shared_ptr<AsyncTcpSocket>&)> call) {
    DelegatePtr theDelegate = delegate_.lock();
    if (!delegateQueue_ || !theDelegate || !(theDelegate->capabilities() & capability)) return;
    // A socket being destroyed reports itself as null.
    auto holder = std::make_shared<std::shared_ptr<AsyncTcpSocket>>(
        (flags & FlagDeallocating) ? nullptr : shared_from_this());
    delegateQueue_->async([theDelegate, holder, call = std::move(call)] {
        std::shared_ptr<AsyncTcpSocket> self = std::move(*holder);
        call(*theDelegate, self);
    });
}

// ---- delegate and delegate queue ----

AsyncTcpSocket::DelegatePtr AsyncTcpSocket::delegate() {
    return runSync([&] { return delegate_.lock(); });
}

void AsyncTcpSocket::setDelegateSynchronously(WeakDelegate newDelegate, bool synchronously) {
    if (onSocketQueue()) {
        delegate_ = std::move(newDelegate);
    } else if (synchronously) {
        socketQueue->sync([&] { delegate_ = newDelegate; });
    } else {
        runAsync([newDelegate](AsyncTcpSocket& s) { s.delegate_ = newDelegate; });
    }
}

void AsyncTcpSocket::setDelegate(WeakDelegate newDelegate) { setDelegateSynchronously(std::move(newDelegate), false); }

void AsyncTcpSocket::synchronouslySetDelegate(WeakDelegate newDelegate) {
    setDelegateSynchronously(std::move(newDelegate), true);
}

AsyncTcpSocket::QueuePtr AsyncTcpSocket::delegateQueue() {
    return runSync([&] { return delegateQueue_; });
}

void AsyncTcpSocket::setDelegateQueueSynchronously(QueuePtr newDelegateQueue, bool synchronously) {
    if (onSocketQueue()) {
        delegateQueue_ = std::move(newDelegateQueue);
    } else if (synchronously) {
        socketQueue->sync([&] { delegateQueue_ = newDelegateQueue; });
    } else {
        runAsync([newDelegateQueue](AsyncTcpSocket& s) { s.delegateQueue_ = newDelegateQueue; });
    }
}

void AsyncTcpSocket::setDelegateQueue(QueuePtr newDelegateQueue) {
    setDelegateQueueSynchronously(std::move(newDelegateQueue), false);
}

void AsyncTcpSocket::synchronouslySetDelegateQueue(QueuePtr newDelegateQueue) {
    setDelegateQueueSynchronously(std::move(newDelegateQueue), true);
}

void AsyncTcpSocket::getDelegateDelegateQueue(DelegatePtr* delegatePtr, QueuePtr* delegateQueuePtr) {
    runSync([&] {
        if (delegatePtr) *delegatePtr = delegate_.lock();
        if (delegateQueuePtr) *delegateQueuePtr = delegateQueue_;
    });
}

void AsyncTcpSocket::setDelegateDelegateQueueSynchronously(WeakDelegate newDelegate, QueuePtr newDelegateQueue,
                                                           bool synchronously) {
    if (onSocketQueue()) {
        delegate_ = std::move(newDelegate);
        delegateQueue_ = std::move(newDelegateQueue);
    } else if (synchronously) {
        socketQueue->sync([&] {
            delegate_ = newDelegate;
            delegateQueue_ = newDelegateQueue;
        });
    } else {
        runAsync([newDelegate, newDelegateQueue](AsyncTcpSocket& s) {
            s.delegate_ = newDelegate;
            s.delegateQueue_ = newDelegateQueue;
        });
    }
}

void AsyncTcpSocket::setDelegateDelegateQueue(WeakDelegate newDelegate, QueuePtr newDelegateQueue) {
    setDelegateDelegateQueueSynchronously(std::move(newDelegate), std::move(newDelegateQueue), false);
}

void AsyncTcpSocket::synchronouslySetDelegateDelegateQueue(WeakDelegate newDelegate, QueuePtr newDelegateQueue) {
    setDelegateDelegateQueueSynchronously(std::move(newDelegate), std::move(newDelegateQueue), true);
}

// ---- configuration ----

bool AsyncTcpSocket::isIPv4Enabled() {
    return runSync([&] { return (config & ConfigNoIPv4) == 0; });
}

void AsyncTcpSocket::setIPv4Enabled(bool flag) {
    auto change = [flag](AsyncTcpSocket& s) {
        if (flag)
            s.config &= ~ConfigNoIPv4;
        else
            s.config |= ConfigNoIPv4;
    };
    if (onSocketQueue()) change(*this); else runAsync(change);
}

bool AsyncTcpSocket::isIPv6Enabled() {
    return runSync([&] { return (config & ConfigNoIPv6) == 0; });
}

void AsyncTcpSocket::setIPv6Enabled(bool flag) {
    auto change = [flag](AsyncTcpSocket& s) {
        if (flag)
            s.config &= ~ConfigNoIPv6;
        else
            s.config |= ConfigNoIPv6;
    };
    if (onSocketQueue()) change(*this); else runAsync(change);
}

bool AsyncTcpSocket::isIPv4PreferredOverIPv6() {
    return runSync([&] { return (config & ConfigPreferIPv6) == 0; });
}

void AsyncTcpSocket::setPreferIPv4OverIPv6(bool flag) {
    auto change = [flag](AsyncTcpSocket& s) {
        if (flag)
            s.config &= ~ConfigPreferIPv6;
        else
            s.config |= ConfigPreferIPv6;
    };
    if (onSocketQueue()) change(*this); else runAsync(change);
}

bool AsyncTcpSocket::autoDisconnectOnClosedReadStream() {
    return runSync([&] { return (config & ConfigHalfDuplex) == 0; });
}

void AsyncTcpSocket::setAutoDisconnectOnClosedReadStream(bool flag) {
    auto change = [flag](AsyncTcpSocket& s) {
        if (flag)
            s.config &= ~ConfigHalfDuplex;
        else
            s.config |= ConfigHalfDuplex;
    };
    if (onSocketQueue()) change(*this); else runAsync(change);
}

std::shared_ptr<void> AsyncTcpSocket::userData() {
    return runSync([&] { return userData_; });
}

void AsyncTcpSocket::setUserData(std::shared_ptr<void> arbitraryUserData) {
    auto change = [arbitraryUserData](AsyncTcpSocket& s) {
        if (s.userData_ != arbitraryUserData) s.userData_ = arbitraryUserData;
    };
    if (onSocketQueue()) change(*this); else runAsync(change);
}

bool AsyncTcpSocket::isDisconnected() {
    return runSync([&] { return (flags & FlagStarted) == 0; });
}

bool AsyncTcpSocket::isConnected() {
    return runSync([&] { return (flags & FlagConnected) != 0; });
}
