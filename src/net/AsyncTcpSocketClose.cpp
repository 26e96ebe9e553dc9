// Closing, at once or after the queued reads or writes, and the error objects the socket makes.

#include "net/AsyncTcpSocket.h"

#include <netdb.h>
#include <unistd.h>

#include <cerrno>

using platform::Error;
using namespace net::detail;

// ---- error objects ----

Error AsyncTcpSocket::badConfigError(const std::string& errMsg) {
    return Error::make(AsyncTcpSocketErrorDomain, AsyncTcpSocketBadConfigError, errMsg);
}

Error AsyncTcpSocket::badParamError(const std::string& errMsg) {
    return Error::make(AsyncTcpSocketErrorDomain, AsyncTcpSocketBadParamError, errMsg);
}

Error AsyncTcpSocket::gaiError(int gaiCode) {
    return Error::make(AsyncTcpSocketNetDBErrorDomain, gaiCode, gai_strerror(gaiCode));
}

Error AsyncTcpSocket::errnoErrorWithReason(const std::string& reason) { return Error::posix(errno, reason); }

Error AsyncTcpSocket::errnoError() { return Error::posix(errno); }

Error AsyncTcpSocket::connectTimeoutError() {
    return Error::make(AsyncTcpSocketErrorDomain, AsyncTcpSocketConnectTimeoutError,
                       "Attempt to connect to host timed out");
}

Error AsyncTcpSocket::readMaxedOutError() {
    return Error::make(AsyncTcpSocketErrorDomain, AsyncTcpSocketReadMaxedOutError,
                       "Read operation reached set maximum length");
}

Error AsyncTcpSocket::readTimeoutError() {
    return Error::make(AsyncTcpSocketErrorDomain, AsyncTcpSocketReadTimeoutError, "Read operation timed out");
}

Error AsyncTcpSocket::writeTimeoutError() {
    return Error::make(AsyncTcpSocketErrorDomain, AsyncTcpSocketWriteTimeoutError, "Write operation timed out");
}

Error AsyncTcpSocket::connectionClosedError() {
    return Error::make(AsyncTcpSocketErrorDomain, AsyncTcpSocketClosedError, "Socket closed by remote peer");
}

Error AsyncTcpSocket::otherError(const std::string& errMsg) {
    return Error::make(AsyncTcpSocketErrorDomain, AsyncTcpSocketOtherError, errMsg);
}

// ---- closing ----

void AsyncTcpSocket::disconnect() {
    runSync([this] {
        if (flags & FlagStarted) closeWithError(nullptr);
    });
}

void AsyncTcpSocket::disconnectAfterReading() {
    runAsync([](AsyncTcpSocket& s) {
        if (!(s.flags & FlagStarted)) return;
        s.flags |= (FlagNoMoreReadsWrites | FlagCloseAfterReads);
        s.maybeClose();
    });
}

void AsyncTcpSocket::disconnectAfterWriting() {
    runAsync([](AsyncTcpSocket& s) {
        if (!(s.flags & FlagStarted)) return;
        s.flags |= (FlagNoMoreReadsWrites | FlagCloseAfterWrites);
        s.maybeClose();
    });
}

void AsyncTcpSocket::disconnectAfterReadingAndWriting() {
    runAsync([](AsyncTcpSocket& s) {
        if (!(s.flags & FlagStarted)) return;
        s.flags |= (FlagNoMoreReadsWrites | FlagCloseAfterReads | FlagCloseAfterWrites);
        s.maybeClose();
    });
}

void AsyncTcpSocket::maybeClose() {
    checkOnSocketQueue();
    const bool readsDone = readQueue.empty() && !currentRead;
    const bool writesDone = writeQueue.empty() && !currentWrite;
    bool shouldClose = false;
    if (flags & FlagCloseAfterReads) {
        shouldClose = readsDone && (!(flags & FlagCloseAfterWrites) || writesDone);
    } else if (flags & FlagCloseAfterWrites) {
        shouldClose = writesDone;
    }
    if (shouldClose) closeWithError(nullptr);
}

void AsyncTcpSocket::closeWithError(const Error* error) {
    checkOnSocketQueue();

    endConnectTimeout();
    // A connect under way stops being watched before its descriptor goes away.
    endConnectWait();

    if (currentRead) endCurrentRead();
    if (currentWrite) endCurrentWrite();
    readQueue.clear();
    writeQueue.clear();
    preBuffer.reset();
    closeTLS();

    if (!accept4Source && !accept6Source && !readSource && !writeSource) {
        if (socket4FD_ != -1) ::close(socket4FD_);
        if (socket6FD_ != -1) ::close(socket6FD_);
    } else {
        // The sources' cancel handlers close the descriptors; a suspended source must be resumed
        // for its cancel handler to run.
        closeAcceptSources();
        if (readSource) {
            readSource->cancel();
            resumeReadSource();
            readSource.reset();
        }
        if (writeSource) {
            writeSource->cancel();
            resumeWriteSource();
            writeSource.reset();
        }
    }
    socket4FD_ = -1;
    socket6FD_ = -1;

    const bool shouldCallDelegate = (flags & FlagStarted) != 0;
    socketFDBytesAvailable = 0;
    const uint32_t deallocating = flags & FlagDeallocating;
    flags = deallocating;  // every state bit goes; destruction stays known to the report below

    if (shouldCallDelegate) {
        std::optional<Error> err;
        if (error) err = *error;
        notifyDelegate(AsyncTcpSocketDelegate::kSocketDidDisconnectWithError,
                       [err](AsyncTcpSocketDelegate& d, const std::shared_ptr<AsyncTcpSocket>& sock) {
                           d.socketDidDisconnectWithError(sock, err ? &*err : nullptr);
                       });
    }
    flags = 0;
}
