// The read and write sources of a connected descriptor, their suspended state, and the one-shot
// timers of the current read and write. Everything here runs on the socket queue.

#include "net/AsyncTcpSocket.h"
#include "net/SocketTimeout.h"

#include <unistd.h>

#include <chrono>

using platform::dispatch::Source;
using namespace net::detail;

void AsyncTcpSocket::setupReadAndWriteSourcesForNewlyConnectedSocket(int socketFD) {
    readSource = Source::makeRead(socketFD, socketQueue);
    writeSource = Source::makeWrite(socketFD, socketQueue);
    // Their handlers are the socket's own read and write passes: brief, and they never wait
    // (but for a TLS handshake, asked for before or after this).
    const bool brief = runsRequestsHere.load(std::memory_order_relaxed);
    readSource->setBriefHandler(brief);
    writeSource->setBriefHandler(brief);

    std::weak_ptr<AsyncTcpSocket> weakSelf = weak_from_this();
    readSource->setEventHandler([weakSelf] {
        auto self = weakSelf.lock();
        if (!self || !self->readSource) return;
        self->socketFDBytesAvailable = self->readSource->getData();
        // Readable with nothing to read: the peer has closed its side.
        if (self->socketFDBytesAvailable > 0)
            self->doReadData();
        else
            self->doReadEOF();
    });
    writeSource->setEventHandler([weakSelf] {
        auto self = weakSelf.lock();
        if (!self) return;
        self->flags |= FlagWritable;
        self->doWriteData();
    });

    // The descriptor is closed once, after both sources have been cancelled, whichever goes last.
    // Both handlers run on the socket queue, so the shared count needs no lock.
    auto socketFDRefCount = std::make_shared<int>(2);
    auto cancelHandler = [socketFD, socketFDRefCount] {
        if (--*socketFDRefCount == 0) ::close(socketFD);
    };
    readSource->setCancelHandler(cancelHandler);
    writeSource->setCancelHandler(cancelHandler);

    socketFDBytesAvailable = 0;
    flags &= ~FlagReadSourceSuspended;
    readSource->resume();
    // A new connection assumes that it can write; the write source listens only after a write has
    // met a full send buffer.
    flags |= FlagWritable;
    flags |= FlagWriteSourceSuspended;
}

void AsyncTcpSocket::suspendReadSource() {
    if (!(flags & FlagReadSourceSuspended)) {
        readSource->suspend();
        flags |= FlagReadSourceSuspended;
    }
}

void AsyncTcpSocket::resumeReadSource() {
    if (flags & FlagReadSourceSuspended) {
        readSource->resume();
        flags &= ~FlagReadSourceSuspended;
    }
}

void AsyncTcpSocket::suspendWriteSource() {
    if (!(flags & FlagWriteSourceSuspended)) {
        writeSource->suspend();
        flags |= FlagWriteSourceSuspended;
    }
}

void AsyncTcpSocket::resumeWriteSource() {
    if (flags & FlagWriteSourceSuspended) {
        writeSource->resume();
        flags &= ~FlagWriteSourceSuspended;
    }
}

void AsyncTcpSocket::setupReadTimerWithTimeout(double timeout) {
    if (timeout < 0.0) return;
    readTimer = Source::makeTimer(socketQueue);
    std::weak_ptr<AsyncTcpSocket> weakSelf = weak_from_this();
    readTimer->setEventHandler([weakSelf] {
        if (auto self = weakSelf.lock()) self->doReadTimeout();
    });
    readTimer->setTimer(net::timeoutToNanoseconds(timeout));
    readTimer->resume();
}

void AsyncTcpSocket::setupWriteTimerWithTimeout(double timeout) {
    if (timeout < 0.0) return;
    writeTimer = Source::makeTimer(socketQueue);
    std::weak_ptr<AsyncTcpSocket> weakSelf = weak_from_this();
    writeTimer->setEventHandler([weakSelf] {
        if (auto self = weakSelf.lock()) self->doWriteTimeout();
    });
    writeTimer->setTimer(net::timeoutToNanoseconds(timeout));
    writeTimer->resume();
}
