// Writing: the write request, the write queue served one request at a time, the write pass that
// hands bytes to the kernel as far as it takes them, and the write timeout with its extension.

#include "net/AsyncTcpSocket.h"
#include "net/SocketTimeout.h"

#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <limits>
#include <optional>

using platform::Bytes;
using platform::Error;

void AsyncTcpSocket::writeDataWithTimeoutTag(Bytes data, double timeout, long tag) {
    if (data.empty()) return;
    writeDataWithTimeoutTag(std::make_shared<const Bytes>(std::move(data)), timeout, tag);
}

void AsyncTcpSocket::writeDataWithTimeoutTag(std::shared_ptr<const Bytes> data, double timeout, long tag) {
    if (!data || data->empty()) return;
    auto packet = std::make_shared<AsyncTcpWritePacket>(std::move(data), timeout, tag);
    runAsync([packet](AsyncTcpSocket& s) {
        if ((s.flags & FlagStarted) && !(s.flags & FlagNoMoreReadsWrites)) {
            s.writeQueue.push_back(packet);
            s.maybeDequeueWrite();
        }
    });
}

float AsyncTcpSocket::progressOfWriteReturningTagBytesDoneTotal(long* tagPtr, unsigned long* donePtr,
                                                                unsigned long* totalPtr) {
    float result = std::numeric_limits<float>::quiet_NaN();
    runSync([&] {
        if (!currentWrite) {
            if (tagPtr) *tagPtr = 0;
            if (donePtr) *donePtr = 0;
            if (totalPtr) *totalPtr = 0;
            return;
        }
        if (tagPtr) *tagPtr = currentWrite->tag;
        if (donePtr) *donePtr = currentWrite->bytesDone;
        if (totalPtr) *totalPtr = currentWrite->buffer->size();
        result = static_cast<float>(currentWrite->bytesDone) / static_cast<float>(currentWrite->buffer->size());
    });
    return result;
}

void AsyncTcpSocket::maybeDequeueWrite() {
    checkOnSocketQueue();
    if (currentWrite || !(flags & FlagConnected)) return;

    if (!writeQueue.empty()) {
        currentWrite = writeQueue.front();
        writeQueue.pop_front();
        setupWriteTimerWithTimeout(currentWrite->timeout);
        doWriteData();
    } else if (flags & FlagCloseAfterWrites) {
        if (flags & FlagCloseAfterReads) {
            if (readQueue.empty() && !currentRead) closeWithError(nullptr);
        } else {
            closeWithError(nullptr);
        }
    }
}

void AsyncTcpSocket::doWriteData() {
    // Nothing to write (or writes paused) while the descriptor could take bytes: stop listening.
    if (!currentWrite || (flags & FlagWritesPaused)) {
        if (flags & FlagWritable) suspendWriteSource();
        return;
    }
    // The descriptor cannot take bytes: the write event sets FlagWritable and runs this pass again.
    if (!(flags & FlagWritable)) {
        resumeWriteSource();
        return;
    }

    AsyncTcpWritePacket& w = *currentWrite;
    bool waiting = false;
    std::optional<Error> error;
    size_t bytesWritten = 0;

    // The whole remainder in one call; the kernel takes what it can. MSG_NOSIGNAL: a peer that
    // has gone away gives an error, not a signal.
    const int fd = socket4FD_ != -1 ? socket4FD_ : socket6FD_;
    const ssize_t result =
        ::send(fd, w.buffer->data() + w.bytesDone, w.buffer->size() - w.bytesDone, MSG_NOSIGNAL);
    if (result < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            waiting = true;
        else
            error = errnoErrorWithReason("Error in write() function");
    } else {
        bytesWritten = static_cast<size_t>(result);
    }

    if (waiting) {
        flags &= ~FlagWritable;
        resumeWriteSource();
    }

    bool done = false;
    if (bytesWritten > 0) {
        w.bytesDone += bytesWritten;
        done = (w.bytesDone == w.buffer->size());
    }

    if (done) {
        completeCurrentWrite();
        // The next request starts on a later turn of the queue.
        if (!error) runAsync([](AsyncTcpSocket& s) { s.maybeDequeueWrite(); });
    } else {
        if (!waiting && !error) {
            // The kernel took fewer bytes than offered.
            flags &= ~FlagWritable;
            resumeWriteSource();
        }
        if (bytesWritten > 0) {
            const unsigned long length = bytesWritten;
            const long tag = w.tag;
            notifyDelegate(AsyncTcpSocketDelegate::kSocketDidWritePartialDataOfLengthTag,
                           [length, tag](AsyncTcpSocketDelegate& d, const std::shared_ptr<AsyncTcpSocket>& sock) {
                               d.socketDidWritePartialDataOfLengthTag(sock, length, tag);
                           });
        }
    }

    if (error) closeWithError(&*error);
}

void AsyncTcpSocket::completeCurrentWrite() {
    if (!currentWrite) contractFailure("Trying to complete current write when there is no current write.");
    const long tag = currentWrite->tag;
    notifyDelegate(AsyncTcpSocketDelegate::kSocketDidWriteDataWithTag,
                   [tag](AsyncTcpSocketDelegate& d, const std::shared_ptr<AsyncTcpSocket>& sock) {
                       d.socketDidWriteDataWithTag(sock, tag);
                   });
    endCurrentWrite();
}

void AsyncTcpSocket::endCurrentWrite() {
    if (writeTimer) {
        writeTimer->cancel();
        writeTimer.reset();
    }
    currentWrite.reset();
}

void AsyncTcpSocket::doWriteTimeout() {
    // Writes pause until the delegate has answered; write events are held by the write pass.
    flags |= FlagWritesPaused;
    DelegatePtr theDelegate = delegate_.lock();
    if (delegateQueue_ && theDelegate &&
        (theDelegate->capabilities() & AsyncTcpSocketDelegate::kSocketShouldTimeoutWriteWithTagElapsedBytesDone)) {
        std::weak_ptr<AsyncTcpWritePacket> theWrite = currentWrite;
        const long tag = currentWrite->tag;
        const double elapsed = currentWrite->timeout;
        const unsigned long bytesDone = currentWrite->bytesDone;
        notifyDelegate(AsyncTcpSocketDelegate::kSocketShouldTimeoutWriteWithTagElapsedBytesDone,
                       [theWrite, tag, elapsed, bytesDone](AsyncTcpSocketDelegate& d,
                                                           const std::shared_ptr<AsyncTcpSocket>& sock) {
                           const double timeoutExtension =
                               d.socketShouldTimeoutWriteWithTagElapsedBytesDone(sock, tag, elapsed, bytesDone);
                           if (!sock) return;
                           sock->runAsync([theWrite, timeoutExtension](AsyncTcpSocket& s) {
                               // The answer applies only to the write it was asked about.
                               auto asked = theWrite.lock();
                               if (asked && asked == s.currentWrite) s.doWriteTimeoutWithExtension(timeoutExtension);
                           });
                       });
    } else {
        doWriteTimeoutWithExtension(0.0);
    }
}

void AsyncTcpSocket::doWriteTimeoutWithExtension(double timeoutExtension) {
    if (!currentWrite) return;
    if (timeoutExtension > 0.0) {
        currentWrite->timeout += timeoutExtension;
        writeTimer->setTimer(net::timeoutToNanoseconds(timeoutExtension));
        flags &= ~FlagWritesPaused;
        doWriteData();
    } else {
        Error err = writeTimeoutError();
        closeWithError(&err);
    }
}
