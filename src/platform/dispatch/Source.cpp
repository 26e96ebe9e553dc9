// Read, write and timer sources.
//
// Every state change happens under the source's mutex, and the calls into the reactor that keep
// its arming in step are made under that same mutex, so that the reactor sees them in the order
// they were decided. Deliveries run on the source's queue; a delivery re-reads the state first,
// which is what defers an invocation that reached the queue after a suspend and drops one that
// reached it after a cancel.

#include "platform/dispatch/SourceImpl.h"

#include "platform/dispatch/Internal.h"
#include "platform/dispatch/TestSeam.h"

#include <atomic>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <utility>

namespace platform::dispatch {

namespace detail {

namespace {
// A hook set only by tests; the flag keeps the lock off every delivery of a program.
template <typename Hook>
class TestHook {
public:
    void set(Hook hook) {
        std::lock_guard lock(mutex_);
        isSet_.store(hook != nullptr, std::memory_order_release);
        hook_ = std::move(hook);
    }
    template <typename... Args>
    void operator()(const Args&... args) {
        if (!isSet_.load(std::memory_order_acquire)) return;
        Hook hook;
        {
            std::lock_guard lock(mutex_);
            hook = hook_;
        }
        if (hook) hook(args...);
    }

private:
    std::atomic<bool> isSet_{false};
    std::mutex mutex_;
    Hook hook_;
};

TestHook<AfterReadCountHook> afterReadCount;
TestHook<EventHandedOverHook> eventHandedOver;
}  // namespace

void setAfterReadCountHook(AfterReadCountHook hook) { afterReadCount.set(std::move(hook)); }
void setEventHandedOverHook(EventHandedOverHook hook) { eventHandedOver.set(std::move(hook)); }

SourceImpl::SourceImpl(Type type, int fd, std::shared_ptr<Queue> queue) : type_(type), fd_(fd), queue_(std::move(queue)) {}

SourceImpl::~SourceImpl() {
    // Dropped without cancel: forget the registration; no handler runs any more.
    if (registered_) Reactor::instance().remove(this, fd_);
    if (hasTimerKey_) Reactor::instance().removeTimer(timerKey_);
}

void SourceImpl::attach() {
    std::lock_guard lock(mutex_);
    Reactor::instance().add(this, std::static_pointer_cast<SourceImpl>(shared_from_this()), fd_, type_ == Type::Read);
    registered_ = true;
}

void SourceImpl::setEventHandler(Job handler) {
    SharedJob fresh = handler ? std::make_shared<Job>(std::move(handler)) : nullptr;
    SharedJob old;
    std::lock_guard lock(mutex_);
    if (cancelled_) return;
    old = std::exchange(handler_, std::move(fresh));
    if (type_ == Type::Timer) {
        if (wantsEventsLocked() && pendingFires_ > 0 && !timerPosted_) postTimerLocked();
    } else if (wantsEventsLocked()) {
        Reactor::instance().arm(this, fd_);
    } else {
        Reactor::instance().disarm(this, fd_);
    }
}

void SourceImpl::setCancelHandler(Job handler) {
    SharedJob fresh = handler ? std::make_shared<Job>(std::move(handler)) : nullptr;
    std::lock_guard lock(mutex_);
    cancelHandler_.swap(fresh);
}

void SourceImpl::resume() {
    std::lock_guard lock(mutex_);
    if (suspendCount_ == 0) fatal("dispatch: resume() of a source that is not suspended");
    if (--suspendCount_ > 0) return;
    if (cancelled_) {
        maybeScheduleCancelLocked();
    } else if (type_ == Type::Timer) {
        if (wantsEventsLocked() && pendingFires_ > 0 && !timerPosted_) postTimerLocked();
    } else if (wantsEventsLocked()) {
        Reactor::instance().arm(this, fd_);
    }
}

void SourceImpl::suspend() {
    std::lock_guard lock(mutex_);
    if (++suspendCount_ == 1 && type_ != Type::Timer && !cancelled_) Reactor::instance().disarm(this, fd_);
}

void SourceImpl::cancel() {
    std::lock_guard lock(mutex_);
    if (cancelled_) return;
    cancelled_ = true;
    if (registered_) {
        Reactor::instance().remove(this, fd_);
        registered_ = false;
    }
    if (hasTimerKey_) {
        Reactor::instance().removeTimer(timerKey_);
        hasTimerKey_ = false;
    }
    pendingFires_ = 0;
    maybeScheduleCancelLocked();
}

bool SourceImpl::isCancelled() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
}

size_t SourceImpl::getData() const { return data_.load(std::memory_order_relaxed); }

void SourceImpl::setTimer(std::chrono::nanoseconds delay) {
    if (type_ != Type::Timer) fatal("dispatch: setTimer() on a source that is not a timer");
    std::lock_guard lock(mutex_);
    if (cancelled_) return;
    ++timerGeneration_;  // a fire of the earlier arming, queued or not, no longer counts
    pendingFires_ = 0;
    if (hasTimerKey_) {
        Reactor::instance().removeTimer(timerKey_);
        hasTimerKey_ = false;
    }
    if (delay <= std::chrono::nanoseconds::zero()) {
        pendingFires_ = 1;
        if (wantsEventsLocked() && !timerPosted_) postTimerLocked();
        return;
    }
    timerKey_ = Reactor::instance().addTimer(Reactor::deadlineAfter(delay),
                                             std::static_pointer_cast<SourceImpl>(shared_from_this()), timerGeneration_);
    hasTimerKey_ = true;
}

void SourceImpl::timerFired(uint64_t generation) {
    std::lock_guard lock(mutex_);
    if (cancelled_ || generation != timerGeneration_) return;
    hasTimerKey_ = false;  // the reactor has dropped it
    ++pendingFires_;
    if (wantsEventsLocked() && !timerPosted_) postTimerLocked();
}

void SourceImpl::postTimerLocked() {
    timerPosted_ = true;
    auto self = std::static_pointer_cast<SourceImpl>(shared_from_this());
    postLayerWork(*queue_, [self] { self->deliverTimer(); });
}

void SourceImpl::post() {
    // A brief handler whose queue is idle runs here, on the reactor's thread (the reactor holds
    // the source until post() returns).
    auto deliverOnQueue = [this] {
        auto self = std::static_pointer_cast<SourceImpl>(shared_from_this());
        postLayerWork(*queue_, [self] { self->deliverDescriptorEvent(); });
    };
    bool ran = false;
    if (brief_.load(std::memory_order_relaxed) && !queue_->isGlobal() && !queue_->isMain()) {
        DeferredPosts deferred(queue_.get());
        ran = static_cast<SerialQueue&>(*queue_).runHereIfIdle([&] {
            // Looked at again with the queue held: a job of the queue that ran just before may
            // have turned the handler into one that must not run here.
            if (brief_.load(std::memory_order_relaxed))
                deliverDescriptorEvent();
            else
                deliverOnQueue();
        });
    }
    if (!ran) deliverOnQueue();
    eventHandedOver(static_cast<const Source&>(*this));
}

void SourceImpl::deliverDescriptorEvent() {
    std::unique_lock lock(mutex_);
    if (cancelled_) {
        maybeScheduleCancelLocked();
        return;
    }
    if (!wantsEventsLocked()) {
        // Suspended since the event came: resume() arms again, and a descriptor that is still
        // ready then fires again.
        Reactor::instance().finishFiring(this, fd_, false);
        return;
    }
    SharedJob handler = handler_;
    running_ = true;
    lock.unlock();
    size_t data = measureData();
    if (type_ == Type::Read) afterReadCount(fd_, data);
    // The event may be stale: another job on the queue can have taken the bytes since. A read
    // handler called then would see 0 and take it for the end of the stream, so it runs only
    // while the descriptor is still ready.
    if (isReady(data)) {
        // Ready with nothing counted is the peer's end of stream, unless bytes came between the
        // count and the look. The handler's owner reads the descriptor on this queue, so bytes
        // that made it ready are still there: counting again tells the two apart.
        if (type_ == Type::Read && data == 0) data = measureData();
        data_.store(data, std::memory_order_relaxed);
        (*handler)();
    }
    handler.reset();
    lock.lock();
    running_ = false;
    if (cancelled_) {
        maybeScheduleCancelLocked();
        return;
    }
    // Level-triggered: armed again, a descriptor that is still ready fires again at once.
    Reactor::instance().finishFiring(this, fd_, wantsEventsLocked());
}

bool SourceImpl::isReady(size_t data) const {
    if (type_ == Type::Read && data > 0) return true;
    pollfd p{fd_, short(type_ == Type::Read ? POLLIN : POLLOUT), 0};
    if (poll(&p, 1, 0) <= 0) return false;
    return p.revents & (POLLIN | POLLOUT | POLLHUP | POLLERR | POLLRDHUP);
}

void SourceImpl::deliverTimer() {
    std::unique_lock lock(mutex_);
    if (cancelled_) {
        timerPosted_ = false;
        maybeScheduleCancelLocked();
        return;
    }
    if (!wantsEventsLocked() || pendingFires_ == 0) {
        // Suspended (resume() posts again) or re-armed since (the fire was dropped).
        timerPosted_ = false;
        return;
    }
    data_.store(pendingFires_, std::memory_order_relaxed);
    pendingFires_ = 0;
    SharedJob handler = handler_;
    running_ = true;
    lock.unlock();
    (*handler)();
    handler.reset();
    lock.lock();
    running_ = false;
    timerPosted_ = false;
    if (cancelled_) {
        maybeScheduleCancelLocked();
    } else if (wantsEventsLocked() && pendingFires_ > 0) {
        postTimerLocked();  // re-armed with zero delay inside the handler: the next turn
    }
}

void SourceImpl::maybeScheduleCancelLocked() {
    // The cancel handler waits for a resume and for a handler that is running to return.
    if (!cancelled_ || cancelScheduled_ || suspendCount_ > 0 || running_) return;
    cancelScheduled_ = true;
    auto self = std::static_pointer_cast<SourceImpl>(shared_from_this());
    postLayerWork(*queue_, [self] { self->runCancel(); });
}

void SourceImpl::runCancel() {
    SharedJob cancelHandler;
    SharedJob eventHandler;
    {
        std::lock_guard lock(mutex_);
        cancelHandler = std::move(cancelHandler_);
        eventHandler = std::move(handler_);
    }
    if (cancelHandler) (*cancelHandler)();
    // The handlers, and what they captured, are released only now.
    cancelHandler.reset();
    eventHandler.reset();
}

size_t SourceImpl::measureData() const {
    if (type_ == Type::Read) {
        // Bytes waiting (for a datagram socket: the size of the next datagram). A listening
        // socket answers nothing here; its handler accepts until accept() says no.
        int waiting = 0;
        if (ioctl(fd_, FIONREAD, &waiting) != 0 || waiting < 0) return 0;
        return size_t(waiting);
    }
    // Write: the free room in a socket's send buffer, at least 1.
    int bufferSize = 0;
    socklen_t length = sizeof bufferSize;
    int queued = 0;
    if (getsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &bufferSize, &length) != 0) return 1;
    if (ioctl(fd_, SIOCOUTQ, &queued) != 0) return 1;
    return bufferSize > queued ? size_t(bufferSize - queued) : 1;
}

namespace {
std::shared_ptr<Source> makeDescriptorSource(Source::Type type, int fd, std::shared_ptr<Queue> queue) {
    if (!queue) fatal("dispatch: a source needs a queue");
    if (fd < 0) fatal("dispatch: a source needs a descriptor");
    auto source = std::make_shared<SourceImpl>(type, fd, std::move(queue));
    source->attach();
    return source;
}
}  // namespace

}  // namespace detail

Source::~Source() = default;

std::shared_ptr<Source> Source::makeRead(int fd, std::shared_ptr<Queue> queue) {
    return detail::makeDescriptorSource(Type::Read, fd, std::move(queue));
}

std::shared_ptr<Source> Source::makeWrite(int fd, std::shared_ptr<Queue> queue) {
    return detail::makeDescriptorSource(Type::Write, fd, std::move(queue));
}

std::shared_ptr<Source> Source::makeTimer(std::shared_ptr<Queue> queue) {
    if (!queue) fatal("dispatch: a timer needs a queue");
    return std::make_shared<detail::SourceImpl>(Type::Timer, -1, std::move(queue));
}

}  // namespace platform::dispatch
