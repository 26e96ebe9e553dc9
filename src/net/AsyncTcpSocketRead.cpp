// Reading: the read requests, the read queue served one request at a time, the read pass that moves
// bytes from the pre-buffer and the descriptor into the current request, end of stream, and the
// read timeout with its extension by the delegate.

#include "net/AsyncTcpSocket.h"
#include "net/SocketTimeout.h"
#include "platform/Fatal.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

using platform::Bytes;
using platform::Error;
using namespace net::detail;

Bytes AsyncTcpSocket::CRLFData() { return Bytes{0x0D, 0x0A}; }
Bytes AsyncTcpSocket::CRData() { return Bytes{0x0D}; }
Bytes AsyncTcpSocket::LFData() { return Bytes{0x0A}; }
Bytes AsyncTcpSocket::ZeroData() { return Bytes{0x00}; }

// ---- read requests ----

void AsyncTcpSocket::readDataWithTimeoutTag(double timeout, long tag) {
    readDataWithTimeoutBufferBufferOffsetMaxLengthTag(timeout, nullptr, 0, 0, tag);
}

void AsyncTcpSocket::readDataWithTimeoutBufferBufferOffsetTag(double timeout, std::shared_ptr<Bytes> buffer,
                                                              size_t offset, long tag) {
    readDataWithTimeoutBufferBufferOffsetMaxLengthTag(timeout, std::move(buffer), offset, 0, tag);
}

void AsyncTcpSocket::readDataWithTimeoutBufferBufferOffsetMaxLengthTag(double timeout, std::shared_ptr<Bytes> buffer,
                                                                       size_t offset, size_t length, long tag) {
    if (offset > (buffer ? buffer->size() : 0)) return;
    queueRead(std::make_shared<AsyncTcpReadPacket>(std::move(buffer), offset, length, timeout, 0, Bytes(), tag));
}

void AsyncTcpSocket::readDataToLengthWithTimeoutTag(size_t length, double timeout, long tag) {
    readDataToLengthWithTimeoutBufferBufferOffsetTag(length, timeout, nullptr, 0, tag);
}

void AsyncTcpSocket::readDataToLengthWithTimeoutBufferBufferOffsetTag(size_t length, double timeout,
                                                                      std::shared_ptr<Bytes> buffer, size_t offset,
                                                                      long tag) {
    if (length == 0) return;
    if (offset > (buffer ? buffer->size() : 0)) return;
    queueRead(std::make_shared<AsyncTcpReadPacket>(std::move(buffer), offset, 0, timeout, length, Bytes(), tag));
}

void AsyncTcpSocket::readDataToDataWithTimeoutTag(const Bytes& data, double timeout, long tag) {
    readDataToDataWithTimeoutBufferBufferOffsetMaxLengthTag(data, timeout, nullptr, 0, 0, tag);
}

void AsyncTcpSocket::readDataToDataWithTimeoutBufferBufferOffsetTag(const Bytes& data, double timeout,
                                                                    std::shared_ptr<Bytes> buffer, size_t offset,
                                                                    long tag) {
    readDataToDataWithTimeoutBufferBufferOffsetMaxLengthTag(data, timeout, std::move(buffer), offset, 0, tag);
}

void AsyncTcpSocket::readDataToDataWithTimeoutMaxLengthTag(const Bytes& data, double timeout, size_t length,
                                                           long tag) {
    readDataToDataWithTimeoutBufferBufferOffsetMaxLengthTag(data, timeout, nullptr, 0, length, tag);
}

void AsyncTcpSocket::readDataToDataWithTimeoutBufferBufferOffsetMaxLengthTag(const Bytes& data, double timeout,
                                                                             std::shared_ptr<Bytes> buffer,
                                                                             size_t offset, size_t length,
                                                                             long tag) {
    if (data.empty()) return;
    if (offset > (buffer ? buffer->size() : 0)) return;
    if (length > 0 && length < data.size()) return;
    queueRead(std::make_shared<AsyncTcpReadPacket>(std::move(buffer), offset, length, timeout, 0, data, tag));
}

void AsyncTcpSocket::queueRead(std::shared_ptr<AsyncTcpReadPacket> packet) {
    runRequest([packet](AsyncTcpSocket& s) {
        if ((s.flags & FlagStarted) && !(s.flags & FlagNoMoreReadsWrites)) {
            s.readQueue.push_back(packet);
            s.maybeDequeueRead();
        }
    });
}

float AsyncTcpSocket::progressOfReadReturningTagBytesDoneTotal(long* tagPtr, unsigned long* donePtr,
                                                               unsigned long* totalPtr) {
    return runSync([&] {
        if (!currentRead || currentRead->isSpecial) {
            if (tagPtr) *tagPtr = 0;
            if (donePtr) *donePtr = 0;
            if (totalPtr) *totalPtr = 0;
            return std::numeric_limits<float>::quiet_NaN();
        }
        const AsyncTcpReadPacket& r = currentReadPacket();
        if (tagPtr) *tagPtr = r.tag;
        if (donePtr) *donePtr = r.bytesDone;
        if (totalPtr) *totalPtr = r.readLength;
        return r.readLength > 0 ? static_cast<float>(r.bytesDone) / static_cast<float>(r.readLength) : 1.0f;
    });
}

// ---- the read machinery ----

void AsyncTcpSocket::maybeDequeueRead() {
    checkOnSocketQueue();
    if (currentRead || !(flags & FlagConnected)) return;

    if (!readQueue.empty()) {
        currentRead = readQueue.front();
        readQueue.pop_front();
        if (currentRead->isSpecial) {
            // The TLS marker: reading stops here until the handshake is done.
            flags |= FlagReadTLSStarting;
            maybeStartTLS();
        } else {
            setupReadTimerWithTimeout(currentReadPacket().timeout);
            doReadData();
        }
    } else if (flags & FlagCloseAfterReads) {
        if (flags & FlagCloseAfterWrites) {
            if (writeQueue.empty() && !currentWrite) closeWithError(nullptr);
        } else {
            closeWithError(nullptr);
        }
    } else if (flags & FlagSecured) {
        // Nothing asked for: decrypt what has come so far, and listen for more once that is held.
        flushSSLBuffers();
        if (preBuffer.availableBytes() == 0) resumeReadSource();
    }
}

void AsyncTcpSocket::doReadData() {
    // Unable to read: bytes wait but nobody can take them, so the source stops firing.
    if (!currentRead || (flags & FlagReadsPaused)) {
        if (flags & FlagSecured) flushSSLBuffers();
        if (socketFDBytesAvailable > 0) suspendReadSource();
        return;
    }

    // Nothing on the descriptor, in the TLS stream or in the pre-buffer: wait for the next bytes.
    if (estimatedBytesAvailable() == 0 && preBuffer.availableBytes() == 0) {
        resumeReadSource();
        return;
    }

    // A TLS upgrade waits: the bytes belong to the handshake, which needs both sides ready.
    if (flags & FlagReadTLSStarting) {
        if (flags & FlagWriteTLSStarting)
            ssl_continueSSLHandshake();
        else
            suspendReadSource();
        return;
    }

    auto read = std::static_pointer_cast<AsyncTcpReadPacket>(currentRead);  // kept while this pass runs
    AsyncTcpReadPacket& r = *read;
    ReadPass pass;
    pass.socketEOF = (flags & FlagPeerEOF) != 0;

    // The pre-buffer first: its bytes came off the descriptor before anything still there.
    if (preBuffer.availableBytes() > 0) {
        pass.bytesAdded += moveFromPreBuffer(r, &pass.done);
        if (r.readLength > 0) {
            pass.done = (r.bytesDone == r.readLength);
        } else if (r.isTermRead()) {
            if (!pass.done && r.maxLength > 0 && r.bytesDone >= r.maxLength) pass.error = readMaxedOutError();
        } else {
            pass.done = (r.maxLength > 0 && r.bytesDone == r.maxLength);
        }
    }

    // A plain socket gets one read call a pass. A TLS stream is read again while it holds bytes, also
    // after the end of the stream: the last bytes to arrive may complete a record that decrypts to
    // more than they count, and no read event will come for what the stream keeps.
    bool mayRead = !pass.socketEOF || heldTLSBytes() > 0;
    while (mayRead && !pass.done && !pass.error) {
        const size_t estimate = estimatedBytesAvailable();
        if (estimate == 0) {
            pass.waiting = true;
            break;
        }
        const bool socketEOFBefore = pass.socketEOF;
        const size_t bytesRead = readFromSocket(r, estimate, pass);
        mayRead = (flags & FlagSecured) && bytesRead > 0 && pass.socketEOF == socketEOFBefore &&
                  (heldTLSBytes() > 0 || socketFDBytesAvailable > 0);
        if (mayRead) pass.waiting = false;
    }

    // Whatever-is-available reads are done once anything was added, from the pre-buffer alone too.
    if (!pass.done && r.readLength == 0 && !r.isTermRead() && pass.bytesAdded > 0) pass.done = true;

    finishReadPass(r, pass);
}

size_t AsyncTcpSocket::heldTLSBytes() const {
    if (!(flags & FlagSecured)) return 0;
    return sslPreBuffer->availableBytes() + sslContext_->bufferedReadSize();
}

size_t AsyncTcpSocket::estimatedBytesAvailable() const { return socketFDBytesAvailable + heldTLSBytes(); }

size_t AsyncTcpSocket::moveFromPreBuffer(AsyncTcpReadPacket& r, bool* termFound) {
    const size_t bytesToCopy = r.isTermRead() ? r.readLengthForTermWithPreBufferFound(preBuffer, termFound)
                                              : r.readLengthForNonTermWithHint(preBuffer.availableBytes());
    r.ensureCapacityForAdditionalDataOfLength(bytesToCopy);
    std::memcpy(r.writePosition(), preBuffer.readBuffer(), bytesToCopy);
    preBuffer.didRead(bytesToCopy);
    r.bytesDone += bytesToCopy;
    return bytesToCopy;
}

size_t AsyncTcpSocket::readFromSocket(AsyncTcpReadPacket& r, size_t estimatedBytesAvailable, ReadPass& pass) {
    if (preBuffer.availableBytes() != 0) platform::fatal("AsyncTcpSocket: Invalid logic");

    // A terminator read takes what may run past its terminator into the pre-buffer when the
    // request's own buffer has no room for it.
    bool readIntoPreBuffer = false;
    size_t bytesToRead;
    if (r.isTermRead())
        bytesToRead = r.readLengthForTermWithHintShouldPreBuffer(estimatedBytesAvailable, &readIntoPreBuffer);
    else
        bytesToRead = r.readLengthForNonTermWithHint(estimatedBytesAvailable);

    uint8_t* buffer;
    if (readIntoPreBuffer) {
        preBuffer.ensureCapacityForWrite(bytesToRead);
        buffer = preBuffer.writeBuffer();
    } else {
        r.ensureCapacityForAdditionalDataOfLength(bytesToRead);
        buffer = r.writePosition();
    }

    const size_t bytesRead = readBytes(buffer, bytesToRead, pass);
    if (bytesRead > 0) takeBytesRead(r, buffer, bytesRead, readIntoPreBuffer, pass);
    return bytesRead;
}

size_t AsyncTcpSocket::readBytes(uint8_t* buffer, size_t bytesToRead, ReadPass& pass) {
    size_t bytesRead = 0;
    if (flags & FlagSecured) {
        // The TLS read function keeps socketFDBytesAvailable up to date.
        int32_t result = 0;
        do {
            size_t loopBytesRead = 0;
            result = sslContext_->read(buffer + bytesRead, bytesToRead - bytesRead, &loopBytesRead);
            bytesRead += loopBytesRead;
        } while (result == 0 && bytesRead < bytesToRead);
        if (result == platform::errSSLClosedGraceful || result == platform::errSSLClosedAbort) {
            pass.socketEOF = true;
            sslErrCode = result;
        } else if (result != 0 && result != platform::errSSLWouldBlock) {
            pass.error = sslError(result);
        } else {
            // The stream wants more from the descriptor, or every byte asked for was taken; the
            // pass reads on while the stream holds more.
            pass.waiting = true;
        }
        return bytesRead;
    }

    const int fd = socket4FD_ != -1 ? socket4FD_ : socket6FD_;
    const ssize_t result = ::read(fd, buffer, bytesToRead);
    if (result < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            pass.waiting = true;
        else
            pass.error = errnoErrorWithReason("Error in read() function");
        socketFDBytesAvailable = 0;
    } else if (result == 0) {
        pass.socketEOF = true;
        socketFDBytesAvailable = 0;
    } else {
        bytesRead = static_cast<size_t>(result);
        if (bytesRead < bytesToRead || socketFDBytesAvailable <= bytesRead)
            socketFDBytesAvailable = 0;
        else
            socketFDBytesAvailable -= bytesRead;
        if (socketFDBytesAvailable == 0) pass.waiting = true;
    }
    return bytesRead;
}

void AsyncTcpSocket::takeBytesRead(AsyncTcpReadPacket& r, const uint8_t* buffer, size_t bytesRead,
                                   bool readIntoPreBuffer, ReadPass& pass) {
    if (r.readLength > 0 || !r.isTermRead()) {
        r.bytesDone += bytesRead;
        pass.bytesAdded += bytesRead;
        // A whatever-is-available read ends with the pass, unless its bound is reached first.
        pass.done = r.readLength > 0 ? r.bytesDone == r.readLength : (r.maxLength > 0 && r.bytesDone >= r.maxLength);
        return;
    }

    if (readIntoPreBuffer) {
        preBuffer.didWrite(bytesRead);
        pass.bytesAdded += moveFromPreBuffer(r, &pass.done);
    } else {
        const long overflow = r.searchForTermAfterPreBuffering(static_cast<long>(bytesRead));
        // The bytes behind the terminator belong to later reads.
        const size_t taken = overflow > 0 ? bytesRead - static_cast<size_t>(overflow) : bytesRead;
        if (overflow > 0) {
            preBuffer.ensureCapacityForWrite(static_cast<size_t>(overflow));
            std::memcpy(preBuffer.writeBuffer(), buffer + taken, static_cast<size_t>(overflow));
            preBuffer.didWrite(static_cast<size_t>(overflow));
        }
        r.bytesDone += taken;
        pass.bytesAdded += taken;
        pass.done = overflow >= 0;
    }
    if (!pass.done && r.maxLength > 0 && r.bytesDone >= r.maxLength) pass.error = readMaxedOutError();
}

void AsyncTcpSocket::finishReadPass(AsyncTcpReadPacket& r, const ReadPass& pass) {
    if (pass.done) {
        completeCurrentRead();
        if (!pass.error && (!pass.socketEOF || preBuffer.availableBytes() > 0)) maybeDequeueRead();
    } else if (pass.bytesAdded > 0) {
        const unsigned long length = pass.bytesAdded;
        const long tag = r.tag;
        notifyDelegate(AsyncTcpSocketDelegate::kSocketDidReadPartialDataOfLengthTag,
                       [length, tag](AsyncTcpSocketDelegate& d, const std::shared_ptr<AsyncTcpSocket>& sock) {
                           d.socketDidReadPartialDataOfLengthTag(sock, length, tag);
                       });
    }

    // The next request may have closed the socket meanwhile; then nothing of this pass is left to do.
    if (!(flags & FlagStarted)) return;

    if (pass.error) {
        closeWithError(&*pass.error);
    } else if (pass.socketEOF) {
        doReadEOF();
    } else if (pass.waiting) {
        resumeReadSource();
    }
}

void AsyncTcpSocket::doReadEOF() {
    flags |= FlagPeerEOF;
    if (flags & FlagSecured) flushSSLBuffers();

    std::optional<Error> error;
    bool shouldDisconnect;
    if (flags & (FlagReadTLSStarting | FlagWriteTLSStarting)) {
        // The stream ended before the upgrade was done.
        shouldDisconnect = true;
        error = sslError(platform::errSSLClosedAbort);
    } else if (flags & FlagReadStreamClosed) {
        shouldDisconnect = false;
    } else if (preBuffer.availableBytes() > 0) {
        shouldDisconnect = false;  // later reads take these bytes first
    } else if (config & ConfigHalfDuplex) {
        // Half duplex: stay open for writing while the descriptor still takes bytes. A reset
        // connection also polls writable (its writes fail at once), but it reports an error or a
        // hang-up as well: it is closed, not half closed.
        pollfd pfd{socket4FD_ != -1 ? socket4FD_ : socket6FD_, POLLOUT, 0};
        ::poll(&pfd, 1, 0);
        if ((pfd.revents & POLLOUT) && !(pfd.revents & (POLLERR | POLLHUP))) {
            shouldDisconnect = false;
            flags |= FlagReadStreamClosed;
            notifyDelegate(AsyncTcpSocketDelegate::kSocketDidCloseReadStream,
                           [](AsyncTcpSocketDelegate& d, const std::shared_ptr<AsyncTcpSocket>& sock) {
                               d.socketDidCloseReadStream(sock);
                           });
        } else {
            shouldDisconnect = true;
        }
    } else {
        shouldDisconnect = true;
    }

    if (shouldDisconnect) {
        // A secure stream that ended without the peer's close_notify may have been cut short.
        if (!error && (flags & FlagSecured) && sslErrCode == 0) sslErrCode = platform::errSSLClosedAbort;
        if (!error && sslErrCode != 0 && sslErrCode != platform::errSSLClosedGraceful) error = sslError(sslErrCode);
        if (!error) error = connectionClosedError();
        closeWithError(&*error);
    } else {
        suspendReadSource();
    }
}

void AsyncTcpSocket::completeCurrentRead() {
    if (!currentRead)
        platform::fatal("AsyncTcpSocket: Trying to complete current read when there is no current read.");
    AsyncTcpReadPacket& r = currentReadPacket();

    Bytes result;
    if (r.bufferOwner) {
        // The socket's own buffer is handed over whole.
        r.buffer->resize(r.bytesDone);
        result = std::move(*r.buffer);
    } else {
        // A caller's buffer is cut back to what it held or what this read added, and the delegate
        // receives its own copy of the read's bytes: the caller may reuse the buffer at once.
        const size_t buffSize = r.buffer->size();
        const size_t readSize = r.startOffset + r.bytesDone;
        if (readSize < buffSize && buffSize > r.originalBufferLength)
            r.buffer->resize(std::max(readSize, r.originalBufferLength));
        const uint8_t* start = r.buffer->data() + r.startOffset;
        result.assign(start, start + r.bytesDone);
    }

    const long tag = r.tag;
    auto data = std::make_shared<Bytes>(std::move(result));
    notifyDelegate(AsyncTcpSocketDelegate::kSocketDidReadDataWithTag,
                   [data, tag](AsyncTcpSocketDelegate& d, const std::shared_ptr<AsyncTcpSocket>& sock) {
                       d.socketDidReadDataWithTag(sock, *data, tag);
                   });
    endCurrentRead();
}

void AsyncTcpSocket::endCurrentRead() {
    if (readTimer) {
        readTimer->cancel();
        readTimer.reset();
    }
    currentRead.reset();
}

void AsyncTcpSocket::doReadTimeout() {
    // Reads pause until the delegate has answered; read events are held by the read pass.
    flags |= FlagReadsPaused;
    DelegatePtr theDelegate = delegate_.lock();
    if (delegateQueue_ && theDelegate &&
        (theDelegate->capabilities() & AsyncTcpSocketDelegate::kSocketShouldTimeoutReadWithTagElapsedBytesDone)) {
        std::weak_ptr<AsyncTcpRequest> theRead = currentRead;
        const long tag = currentReadPacket().tag;
        const double elapsed = currentReadPacket().timeout;
        const unsigned long bytesDone = currentReadPacket().bytesDone;
        notifyDelegate(AsyncTcpSocketDelegate::kSocketShouldTimeoutReadWithTagElapsedBytesDone,
                       [theRead, tag, elapsed, bytesDone](AsyncTcpSocketDelegate& d,
                                                          const std::shared_ptr<AsyncTcpSocket>& sock) {
                           const double timeoutExtension =
                               d.socketShouldTimeoutReadWithTagElapsedBytesDone(sock, tag, elapsed, bytesDone);
                           if (!sock) return;
                           sock->runAsync([theRead, timeoutExtension](AsyncTcpSocket& s) {
                               // The answer applies only to the read it was asked about.
                               auto asked = theRead.lock();
                               if (asked && asked == s.currentRead) s.doReadTimeoutWithExtension(timeoutExtension);
                           });
                       });
    } else {
        doReadTimeoutWithExtension(0.0);
    }
}

void AsyncTcpSocket::doReadTimeoutWithExtension(double timeoutExtension) {
    if (!currentRead) return;
    if (timeoutExtension > 0.0) {
        currentReadPacket().timeout += timeoutExtension;
        readTimer->setTimer(net::timeoutToNanoseconds(timeoutExtension));
        flags &= ~FlagReadsPaused;
        doReadData();
    } else {
        Error err = readTimeoutError();
        closeWithError(&err);
    }
}
