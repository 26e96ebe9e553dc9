#pragma once
// TlsStream: one TLS connection, client or server, whose encrypted bytes travel through two
// functions of the caller: it reads and writes no descriptor of its own. Only TlsStream.cpp knows
// the TLS library (OpenSSL 3).
//
// A stream is set up with the set... calls, then driven by handshake(), read(), write() and close();
// each of these calls the I/O functions, on the caller's thread and from inside the call, as often
// as it needs. The I/O functions say "would block" when no bytes can move now; the call then
// returns errSSLWouldBlock and is simply made again later. A write that answered errSSLWouldBlock
// must be made again with the same bytes and length.
//
// Every call returns one of the status codes below. One stream is used by one thread at a time.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

namespace detail {
struct TlsStreamImpl;
}

// Status codes of the TLS calls, the one table of them.
inline constexpr int32_t errSSLFailure = -9800;             // any failure not named below
inline constexpr int32_t errSSLPeerAlert = -9802;           // the peer ended the connection with an alert
inline constexpr int32_t errSSLWouldBlock = -9803;          // no bytes could move now; call again later
inline constexpr int32_t errSSLClosedGraceful = -9805;      // the peer closed the connection (close_notify)
inline constexpr int32_t errSSLClosedAbort = -9806;         // the stream ended without close_notify
inline constexpr int32_t errSSLCertificateRejected = -9807; // the peer's certificate failed validation

// The protocol levels a caller can ask for.
enum class TlsProtocolLevel {
    SSLv2,
    SSLv3,
    TLSv1,
    Negotiated,  // the library's own range
};

class TlsStream {
public:
    // The caller's I/O. Read fills up to *length bytes at data, write sends up to *length bytes
    // from data; both set *length to the bytes moved and return 0 when all were moved, else
    // errSSLWouldBlock, or errSSLClosedAbort when the connection has failed or ended.
    using ReadFunction = int32_t (*)(void* connection, void* data, size_t* length);
    using WriteFunction = int32_t (*)(void* connection, const void* data, size_t* length);

    // A new stream for the client or the server side; null when the library cannot make one. Any
    // thread may make streams at the same time: client streams share what the library keeps for
    // all of them, made by the first.
    static std::unique_ptr<TlsStream> newContext(bool isServer);
    ~TlsStream();
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    int32_t setIOFuncs(ReadFunction read, WriteFunction write);
    // The value handed to the I/O functions as their connection.
    int32_t setConnection(void* connection);

    // Client side. The name goes into the hello (unless it is a numeric address) and is checked
    // against the server's certificate while validation is on. A name holding a zero byte fails:
    // the check would see a shortened name.
    int32_t setPeerDomainName(const std::string& peerName);
    // Validation of the server's certificate chain against the system's trust store; on by default.
    // The trust store is read once in the process, at the first handshake that validates, and
    // shared from then on; a stream that does not validate reads none.
    int32_t setEnableCertVerify(bool enableVerify);
    // While validating, forgive an unknown root, an expired root, expired certificates below the
    // root; nothing else.
    int32_t setAllowsAnyRoot(bool anyRoot);
    int32_t setAllowsExpiredRoots(bool allowsExpired);
    int32_t setAllowsExpiredCerts(bool allowsExpired);

    // The identity presented to the peer: PEM texts, the first holding the certificate and its
    // private key, the others the certificates of its chain. Fails on an unreadable text or a key
    // that does not belong to the certificate.
    int32_t setCertificate(const std::vector<std::string>& pemTexts);
    // Fails for the levels the library no longer offers (SSL 2, SSL 3) and for TLS 1.0, which
    // needs a security level that the stream does not lower.
    int32_t setProtocolLevel(TlsProtocolLevel level);
    // Exactly these cipher suites, by their 16-bit code; fails on a code the library does not know.
    int32_t setEnabledCiphers(const std::vector<uint16_t>& suites);
    // Diffie-Hellman parameters for the server side, DER-encoded.
    int32_t setDiffieHellmanParams(const uint8_t* der, size_t length);

    // 0 once the handshake is complete.
    int32_t handshake();
    // Decrypted bytes, at most length of them; 0 only with at least one byte read.
    int32_t read(void* data, size_t length, size_t* processed);
    // Encrypts and sends all length bytes: 0 and *processed = length, or nothing (see above).
    int32_t write(const void* data, size_t length, size_t* processed);
    // Decrypted bytes held inside the stream, ready for read() without any I/O.
    size_t bufferedReadSize() const;
    // Sends close_notify when the connection is up; the result tells nothing useful to a caller
    // that is closing anyway.
    int32_t close();

private:
    explicit TlsStream(std::unique_ptr<detail::TlsStreamImpl> impl);
    std::unique_ptr<detail::TlsStreamImpl> impl_;
};

}  // namespace platform
