// TLS: the upgrade queued behind earlier requests, the set-up of the TLS stream from the settings,
// the handshake, the two I/O functions through which the stream reads and writes the descriptor,
// and the decryption of bytes that no read has asked for yet.

#include "net/AsyncTcpSocket.h"
#include "platform/Fatal.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

using platform::Bytes;
using platform::Error;
using platform::TlsStream;
using namespace net::detail;

namespace {

using Settings = std::map<std::string, std::any>;

std::optional<bool> boolSetting(const Settings& settings, const char* key) {
    const auto it = settings.find(key);
    if (it == settings.end()) return std::nullopt;
    if (const bool* value = std::any_cast<bool>(&it->second)) return *value;
    return std::nullopt;
}

std::optional<std::string> stringSetting(const Settings& settings, const char* key) {
    const auto it = settings.find(key);
    if (it == settings.end()) return std::nullopt;
    if (const auto* value = std::any_cast<std::string>(&it->second)) return *value;
    if (const auto* value = std::any_cast<const char*>(&it->second)) {
        if (*value) return std::string(*value);
    }
    return std::nullopt;
}

// Each number's low 16 bits, unsigned: a suite code such as 0xC02F stays itself.
std::optional<std::vector<uint16_t>> cipherSuitesSetting(const Settings& settings, const char* key) {
    const auto it = settings.find(key);
    if (it == settings.end()) return std::nullopt;
    std::vector<uint16_t> suites;
    if (const auto* longs = std::any_cast<std::vector<long>>(&it->second)) {
        for (const long n : *longs) suites.push_back(static_cast<uint16_t>(n));
    } else if (const auto* ints = std::any_cast<std::vector<int>>(&it->second)) {
        for (const int n : *ints) suites.push_back(static_cast<uint16_t>(n));
    } else {
        return std::nullopt;
    }
    return suites;
}

}  // namespace

Error AsyncTcpSocket::sslError(int32_t ssl_error) {
    Error error;
    error.domain = AsyncTcpSocketSSLErrorDomain;
    error.code = ssl_error;
    error.userInfo["NSLocalizedRecoverySuggestion"] =
        std::string("Error code definition can be found in Apple's SecureTransport.h");
    return error;
}

void AsyncTcpSocket::startTLS(std::map<std::string, std::any> tlsSettings) {
    auto packet = std::make_shared<AsyncTcpSpecialPacket>(std::move(tlsSettings));
    // The handshake runs on a pool thread, never on the thread of a request or on the reactor's.
    runsRequestsHere.store(false, std::memory_order_relaxed);
    runAsync([packet](AsyncTcpSocket& s) {
        if (s.readSource) s.readSource->setBriefHandler(false);
        if (s.writeSource) s.writeSource->setBriefHandler(false);
        if ((s.flags & FlagStarted) && !(s.flags & FlagTLSQueued) && !(s.flags & FlagNoMoreReadsWrites)) {
            // One marker in both queues: the upgrade starts once every earlier read and write is done.
            s.readQueue.push_back(packet);
            s.writeQueue.push_back(packet);
            s.flags |= FlagTLSQueued;
            s.maybeDequeueRead();
            s.maybeDequeueWrite();
        }
    });
}

platform::TlsStream* AsyncTcpSocket::sslContext() { return onSocketQueue() ? sslContext_.get() : nullptr; }

void AsyncTcpSocket::maybeStartTLS() {
    if ((flags & FlagReadTLSStarting) && (flags & FlagWriteTLSStarting)) ssl_startTLS();
}

void AsyncTcpSocket::ssl_startTLS() {
    const Settings& tlsSettings = static_cast<AsyncTcpSpecialPacket&>(*currentRead).tlsSettings;

    // Each failing step closes with the text of the call that failed.
    auto fail = [this](const char* text) {
        Error err = otherError(text);
        closeWithError(&err);
    };

    sslContext_ = TlsStream::newContext(boolSetting(tlsSettings, kCFStreamSSLIsServer).value_or(false));
    if (!sslContext_) return fail("Error in SSLNewContext");
    if (sslContext_->setIOFuncs(&SSLReadFunction, &SSLWriteFunction) != 0) return fail("Error in SSLSetIOFuncs");
    if (sslContext_->setConnection(this) != 0) return fail("Error in SSLSetConnection");

    if (auto peerName = stringSetting(tlsSettings, kCFStreamSSLPeerName)) {
        if (sslContext_->setPeerDomainName(*peerName) != 0) return fail("Error in SSLSetPeerDomainName");
    }
    if (auto value = boolSetting(tlsSettings, kCFStreamSSLAllowsAnyRoot)) {
        if (sslContext_->setAllowsAnyRoot(*value) != 0) return fail("Error in SSLSetAllowsAnyRoot");
    }
    if (auto value = boolSetting(tlsSettings, kCFStreamSSLAllowsExpiredRoots)) {
        if (sslContext_->setAllowsExpiredRoots(*value) != 0) return fail("Error in SSLSetAllowsExpiredRoots");
    }
    if (auto value = boolSetting(tlsSettings, kCFStreamSSLValidatesCertificateChain)) {
        if (sslContext_->setEnableCertVerify(*value) != 0) return fail("Error in SSLSetEnableCertVerify");
    }
    if (auto value = boolSetting(tlsSettings, kCFStreamSSLAllowsExpiredCertificates)) {
        if (sslContext_->setAllowsExpiredCerts(*value) != 0) return fail("Error in SSLSetAllowsExpiredCerts");
    }
    if (auto it = tlsSettings.find(kCFStreamSSLCertificates); it != tlsSettings.end()) {
        const auto* pemTexts = std::any_cast<std::vector<std::string>>(&it->second);
        if (!pemTexts || sslContext_->setCertificate(*pemTexts) != 0) return fail("Error in SSLSetCertificate");
    }
    if (auto level = stringSetting(tlsSettings, kCFStreamSSLLevel)) {
        std::optional<platform::TlsProtocolLevel> protocolLevel;
        if (*level == kCFStreamSocketSecurityLevelSSLv2) protocolLevel = platform::TlsProtocolLevel::SSLv2;
        if (*level == kCFStreamSocketSecurityLevelSSLv3) protocolLevel = platform::TlsProtocolLevel::SSLv3;
        if (*level == kCFStreamSocketSecurityLevelTLSv1) protocolLevel = platform::TlsProtocolLevel::TLSv1;
        if (*level == kCFStreamSocketSecurityLevelNegotiatedSSL) protocolLevel = platform::TlsProtocolLevel::Negotiated;
        if (protocolLevel && sslContext_->setProtocolLevel(*protocolLevel) != 0)
            return fail("Error in SSLSetProtocolVersionEnabled");
    }
    if (auto suites = cipherSuitesSetting(tlsSettings, AsyncTcpSocketSSLCipherSuites)) {
        if (sslContext_->setEnabledCiphers(*suites) != 0) return fail("Error in SSLSetEnabledCiphers");
    }
    if (auto it = tlsSettings.find(AsyncTcpSocketSSLDiffieHellmanParameters); it != tlsSettings.end()) {
        const auto* der = std::any_cast<Bytes>(&it->second);
        if (der && sslContext_->setDiffieHellmanParams(der->data(), der->size()) != 0)
            return fail("Error in SSLSetDiffieHellmanParams");
    }

    // Bytes read before the upgrade and not yet taken belong to the encrypted stream.
    sslPreBuffer = std::make_unique<AsyncTcpSocketPreBuffer>(4096);
    const size_t preBufferLength = preBuffer.availableBytes();
    if (preBufferLength > 0) {
        sslPreBuffer->ensureCapacityForWrite(preBufferLength);
        std::memcpy(sslPreBuffer->writeBuffer(), preBuffer.readBuffer(), preBufferLength);
        preBuffer.didRead(preBufferLength);
        sslPreBuffer->didWrite(preBufferLength);
    }

    sslErrCode = 0;
    ssl_continueSSLHandshake();
}

void AsyncTcpSocket::ssl_continueSSLHandshake() {
    const int32_t status = sslContext_->handshake();
    if (status == 0) {
        flags &= ~(FlagReadTLSStarting | FlagWriteTLSStarting);
        flags |= FlagSecured;
        notifyDelegate(AsyncTcpSocketDelegate::kSocketDidSecure,
                       [](AsyncTcpSocketDelegate& d, const std::shared_ptr<AsyncTcpSocket>& sock) {
                           d.socketDidSecure(sock);
                       });
        endCurrentRead();
        endCurrentWrite();
        maybeDequeueRead();
        maybeDequeueWrite();
    } else if (status == platform::errSSLWouldBlock) {
        // The handshake goes on at the next read or write event. Only the source it waits for stays
        // live: a write source on a descriptor with room, or a read source on bytes that the
        // handshake does not take now, would fire again at once for nothing. The I/O functions
        // resume a source as soon as the stream needs it.
        if (flags & FlagWritable) suspendWriteSource();
        if (socketFDBytesAvailable > 0) suspendReadSource();
    } else {
        Error err = sslError(status);
        closeWithError(&err);
    }
}

// ---- the TLS stream's I/O ----

int32_t AsyncTcpSocket::SSLReadFunction(void* connection, void* data, size_t* dataLength) {
    auto* asyncSocket = static_cast<AsyncTcpSocket*>(connection);
    if (!asyncSocket->onSocketQueue()) platform::fatal("AsyncTcpSocket: What the deuce?");
    return asyncSocket->sslReadWithBufferLength(data, dataLength);
}

int32_t AsyncTcpSocket::SSLWriteFunction(void* connection, const void* data, size_t* dataLength) {
    auto* asyncSocket = static_cast<AsyncTcpSocket*>(connection);
    if (!asyncSocket->onSocketQueue()) platform::fatal("AsyncTcpSocket: What the deuce?");
    return asyncSocket->sslWriteWithBufferLength(data, dataLength);
}

int32_t AsyncTcpSocket::sslReadWithBufferLength(void* buffer, size_t* bufferLength) {
    if (socketFDBytesAvailable == 0 && sslPreBuffer->availableBytes() == 0) {
        resumeReadSource();
        *bufferLength = 0;
        return platform::errSSLWouldBlock;
    }

    const size_t totalBytesLeftToBeRead = *bufferLength;
    size_t totalBytesRead = 0;
    bool done = false;
    bool socketError = false;

    // Bytes already taken from the descriptor first.
    const size_t sslPreBufferLength = sslPreBuffer->availableBytes();
    if (sslPreBufferLength > 0) {
        const size_t bytesToCopy = std::min(sslPreBufferLength, totalBytesLeftToBeRead);
        std::memcpy(buffer, sslPreBuffer->readBuffer(), bytesToCopy);
        sslPreBuffer->didRead(bytesToCopy);
        totalBytesRead += bytesToCopy;
        done = totalBytesRead == totalBytesLeftToBeRead;
    }

    if (!done && socketFDBytesAvailable > 0) {
        const int socketFD = socket6FD_ != -1 ? socket6FD_ : socket4FD_;
        const size_t bytesLeft = totalBytesLeftToBeRead - totalBytesRead;
        // Fewer bytes wanted than are waiting: all of them are read at once, and the rest is
        // kept for the stream's next call.
        const bool readIntoPreBuffer = bytesLeft < socketFDBytesAvailable;
        uint8_t* target;
        size_t bytesToRead;
        if (readIntoPreBuffer) {
            sslPreBuffer->ensureCapacityForWrite(socketFDBytesAvailable);
            target = sslPreBuffer->writeBuffer();
            bytesToRead = socketFDBytesAvailable;
        } else {
            target = static_cast<uint8_t*>(buffer) + totalBytesRead;
            bytesToRead = bytesLeft;
        }

        const ssize_t result = ::read(socketFD, target, bytesToRead);
        if (result < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK) socketError = true;
            socketFDBytesAvailable = 0;
        } else if (result == 0) {
            socketError = true;  // the peer closed
            socketFDBytesAvailable = 0;
        } else {
            const size_t bytesRead = static_cast<size_t>(result);
            socketFDBytesAvailable = socketFDBytesAvailable > bytesRead ? socketFDBytesAvailable - bytesRead : 0;
            if (readIntoPreBuffer) {
                sslPreBuffer->didWrite(bytesRead);
                const size_t bytesToCopy = std::min(bytesRead, bytesLeft);
                std::memcpy(static_cast<uint8_t*>(buffer) + totalBytesRead, sslPreBuffer->readBuffer(), bytesToCopy);
                sslPreBuffer->didRead(bytesToCopy);
                totalBytesRead += bytesToCopy;
            } else {
                totalBytesRead += bytesRead;
            }
            done = totalBytesRead == totalBytesLeftToBeRead;
        }
    }

    *bufferLength = totalBytesRead;
    if (done) return 0;
    if (socketError) return platform::errSSLClosedAbort;
    // Nothing more now: listen for the next bytes.
    resumeReadSource();
    return platform::errSSLWouldBlock;
}

int32_t AsyncTcpSocket::sslWriteWithBufferLength(const void* buffer, size_t* bufferLength) {
    if (!(flags & FlagWritable)) {
        resumeWriteSource();
        *bufferLength = 0;
        return platform::errSSLWouldBlock;
    }

    const size_t bytesToWrite = *bufferLength;
    size_t bytesWritten = 0;
    bool done = false;
    bool socketError = false;

    const int socketFD = socket4FD_ != -1 ? socket4FD_ : socket6FD_;
    // MSG_NOSIGNAL: a peer that has gone away gives an error, not a signal.
    const ssize_t result = ::send(socketFD, buffer, bytesToWrite, MSG_NOSIGNAL);
    if (result < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK) socketError = true;
        flags &= ~FlagWritable;
    } else if (result == 0) {
        flags &= ~FlagWritable;
    } else {
        bytesWritten = static_cast<size_t>(result);
        done = bytesWritten == bytesToWrite;
    }

    *bufferLength = bytesWritten;
    if (done) return 0;
    if (socketError) return platform::errSSLClosedAbort;
    // The send buffer is full: the write event continues the stream's work.
    if (!(flags & FlagWritable)) resumeWriteSource();
    return platform::errSSLWouldBlock;
}

void AsyncTcpSocket::flushSSLBuffers() {
    if (!(flags & FlagSecured)) platform::fatal("AsyncTcpSocket: Cannot flush ssl buffers on non-secure socket");
    if (preBuffer.availableBytes() > 0) return;  // the reads take those first

    // Estimated again after each read: a record completed by the bytes read may decrypt to more.
    for (size_t estimate = estimatedBytesAvailable(); estimate > 0; estimate = estimatedBytesAvailable()) {
        preBuffer.ensureCapacityForWrite(estimate);
        size_t bytesRead = 0;
        const int32_t result = sslContext_->read(preBuffer.writeBuffer(), estimate, &bytesRead);
        if (bytesRead > 0) preBuffer.didWrite(bytesRead);
        if (result != 0) {
            // How the stream ended counts when the end of stream is handled.
            if (result == platform::errSSLClosedGraceful || result == platform::errSSLClosedAbort) sslErrCode = result;
            break;
        }
    }
}

void AsyncTcpSocket::closeTLS() {
    if (sslPreBuffer) sslPreBuffer->reset();
    sslErrCode = 0;
    sslWriteCachedLength = 0;
    if (sslContext_) {
        sslContext_->close();
        sslContext_.reset();
    }
}
