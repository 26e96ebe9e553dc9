// Writing: the write request, the write queue served one request at a time, the write pass that
// hands bytes to the kernel as far as it takes them, and the write timeout with its extension.

#include "net/AsyncTcpSocket.h"
#include "net/SocketTimeout.h"
#include "platform/Fatal.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <limits>
#include <optional>

using platform::Bytes;
using platform::Error;
using namespace net::detail;

void AsyncTcpSocket::writeDataWithTimeoutTag(Bytes data, double timeout, long tag) {
    if (data.empty()) return;
    writeDataWithTimeoutTag(std::make_shared<const Bytes>(std::move(data)), timeout, tag);
}

void AsyncTcpSocket::writeDataWithTimeoutTag(std::shared_ptr<const Bytes> data, double timeout, long tag) {
    if (!data || data->empty()) return;
    auto packet = std::make_shared<AsyncTcpWritePacket>(std::move(data), timeout, tag);
    runRequest([packet](AsyncTcpSocket& s) {
        if ((s.flags & FlagStarted) && !(s.flags & FlagNoMoreReadsWrites)) {
            s.writeQueue.push_back(packet);
            s.maybeDequeueWrite();
        }
    });
}

float AsyncTcpSocket::progressOfWriteReturningTagBytesDoneTotal(long* tagPtr, unsigned long* donePtr,
                                                                unsigned long* totalPtr) {
    return runSync([&] {
        if (!currentWrite || currentWrite->isSpecial) {
            if (tagPtr) *tagPtr = 0;
            if (donePtr) *donePtr = 0;
            if (totalPtr) *totalPtr = 0;
            return std::numeric_limits<float>::quiet_NaN();
        }
        const AsyncTcpWritePacket& w = currentWritePacket();
        if (tagPtr) *tagPtr = w.tag;
        if (donePtr) *donePtr = w.bytesDone;
        if (totalPtr) *totalPtr = w.buffer->size();
        return static_cast<float>(w.bytesDone) / static_cast<float>(w.buffer->size());
    });
}

void AsyncTcpSocket::maybeDequeueWrite() {
    checkOnSocketQueue();
    if (currentWrite || !(flags & FlagConnected)) return;

    if (!writeQueue.empty()) {
        currentWrite = writeQueue.front();
        writeQueue.pop_front();
        if (currentWrite->isSpecial) {
            // The TLS marker: writing stops here until the handshake is done.
            flags |= FlagWriteTLSStarting;
            maybeStartTLS();
        } else {
            setupWriteTimerWithTimeout(currentWritePacket().timeout);
            doWriteData();
        }
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

    // A TLS upgrade waits: the descriptor's room belongs to the handshake, which needs both sides ready.
    if (flags & FlagWriteTLSStarting) {
        if (flags & FlagReadTLSStarting)
            ssl_continueSSLHandshake();
        else
            suspendWriteSource();
        return;
    }

    auto write = std::static_pointer_cast<AsyncTcpWritePacket>(currentWrite);  // kept while this pass runs
    AsyncTcpWritePacket& w = *write;
    bool waiting = false;
    std::optional<Error> error;
    size_t bytesWritten = 0;

    if (flags & FlagSecured) {
        // A chunk that the TLS stream took but could not send goes first, offered again as it was.
        bool hasNewDataToWrite = true;
        if (sslWriteCachedLength > 0) {
            size_t processed = 0;
            const int32_t result = sslContext_->write(w.buffer->data() + w.bytesDone, sslWriteCachedLength, &processed);
            if (result == 0) {
                bytesWritten = sslWriteCachedLength;
                sslWriteCachedLength = 0;
                if (w.bytesDone + bytesWritten == w.buffer->size()) hasNewDataToWrite = false;
            } else {
                if (result == platform::errSSLWouldBlock)
                    waiting = true;
                else
                    error = sslError(result);
                hasNewDataToWrite = false;
            }
        }
        // Then the rest, in chunks of at most 32 KiB.
        constexpr size_t kMaxChunk = 32 * 1024;
        while (hasNewDataToWrite) {
            const size_t offset = w.bytesDone + bytesWritten;
            const size_t chunk = std::min(w.buffer->size() - offset, kMaxChunk);
            size_t processed = 0;
            const int32_t result = sslContext_->write(w.buffer->data() + offset, chunk, &processed);
            if (result == 0) {
                bytesWritten += processed;
                hasNewDataToWrite = w.bytesDone + bytesWritten < w.buffer->size();
            } else {
                if (result == platform::errSSLWouldBlock) {
                    waiting = true;
                    sslWriteCachedLength = chunk;
                } else {
                    error = sslError(result);
                }
                hasNewDataToWrite = false;
            }
        }
    } else {
        // The whole remainder in one call; the kernel takes what it can. MSG_NOSIGNAL: a peer
        // that has gone away gives an error, not a signal.
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
        // The next request starts on a later turn of the queue; with none queued and no close
        // waiting for the writes, that turn would find nothing to do (a request made later
        // starts itself).
        if (!error && (!writeQueue.empty() || (flags & FlagCloseAfterWrites)))
            runAsync([](AsyncTcpSocket& s) { s.maybeDequeueWrite(); });
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
    if (!currentWrite)
        platform::fatal("AsyncTcpSocket: Trying to complete current write when there is no current write.");
    const long tag = currentWritePacket().tag;
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
        std::weak_ptr<AsyncTcpRequest> theWrite = currentWrite;
        const long tag = currentWritePacket().tag;
        const double elapsed = currentWritePacket().timeout;
        const unsigned long bytesDone = currentWritePacket().bytesDone;
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
        currentWritePacket().timeout += timeoutExtension;
        writeTimer->setTimer(net::timeoutToNanoseconds(timeoutExtension));
        flags &= ~FlagWritesPaused;
        doWriteData();
    } else {
        Error err = writeTimeoutError();
        closeWithError(&err);
    }
}
