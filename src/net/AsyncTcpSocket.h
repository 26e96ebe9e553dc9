#pragma once
// AsyncTcpSocket: a queue-driven TCP socket. One object owns a private serial queue, the socket
// queue, on which all of its state lives. Callers on any thread ask it to connect or listen, read,
// write, upgrade to TLS or disconnect; reads and writes are queued as requests and served in
// order, and every outcome reaches the delegate as a job posted onto the delegate's own queue.
//
// Public operations run on the socket queue: inline when the caller already runs there (or on a
// queue marked as targeting it), otherwise synchronously for queries, connect, accept and
// disconnect, and asynchronously for reads, writes, startTLS, setters and the disconnect-after
// operations.
//
// Addresses are byte buffers holding one sockaddr_in (16 bytes) or sockaddr_in6 (28 bytes) as the
// socket calls take them, the family read from sa_family; ports at the interface are host order.

#include "net/detail/SocketQueue.h"
#include "net/detail/TcpRequests.h"
#include "platform/Error.h"
#include "platform/TlsStream.h"
#include "platform/dispatch/Dispatch.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <any>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class AsyncTcpSocket;

inline constexpr const char* AsyncTcpSocketErrorDomain = "AsyncTcpSocketErrorDomain";
// Label of a socket queue that the socket makes itself.
inline constexpr const char* AsyncTcpSocketQueueName = "AsyncTcpSocket";
// Declared for users of the socket; the socket itself does not use them.
inline constexpr const char* AsyncTcpSocketException = "AsyncTcpSocketException";
inline constexpr const char* AsyncTcpSocketThreadName = "AsyncTcpSocket-CFStream";
// Domain of name look-up failures; the code is the resolver's (negative on glibc).
inline constexpr const char* AsyncTcpSocketNetDBErrorDomain = "kCFStreamErrorDomainNetDB";
// Domain of TLS failures; the code is one of the status codes of platform/TlsStream.h.
inline constexpr const char* AsyncTcpSocketSSLErrorDomain = "kCFStreamErrorDomainSSL";

// Keys of the settings given to startTLS and the type of their values. A key that is absent, or
// whose value has another type, leaves the default.
inline constexpr const char* kCFStreamSSLIsServer = "kCFStreamSSLIsServer";  // bool; default client
// std::string (or const char*): the server's name, sent in the hello and checked against its
// certificate while the chain is validated.
inline constexpr const char* kCFStreamSSLPeerName = "kCFStreamSSLPeerName";
// bool each; the client validates the server's chain against the system's trust store unless
// kCFStreamSSLValidatesCertificateChain is false; the three "allows" keys forgive one error each.
// The trust store is read once in the process, by the first client that validates.
inline constexpr const char* kCFStreamSSLAllowsAnyRoot = "kCFStreamSSLAllowsAnyRoot";
inline constexpr const char* kCFStreamSSLAllowsExpiredRoots = "kCFStreamSSLAllowsExpiredRoots";
inline constexpr const char* kCFStreamSSLValidatesCertificateChain = "kCFStreamSSLValidatesCertificateChain";
inline constexpr const char* kCFStreamSSLAllowsExpiredCertificates = "kCFStreamSSLAllowsExpiredCertificates";
// std::vector<std::string>: PEM texts, the first holding our certificate and its private key, the
// others the certificates of its chain.
inline constexpr const char* kCFStreamSSLCertificates = "kCFStreamSSLCertificates";
// std::string (or const char*): one of the four levels below; any other text changes nothing.
inline constexpr const char* kCFStreamSSLLevel = "kCFStreamSSLLevel";
inline constexpr const char* kCFStreamSocketSecurityLevelSSLv2 = "kCFStreamSocketSecurityLevelSSLv2";
inline constexpr const char* kCFStreamSocketSecurityLevelSSLv3 = "kCFStreamSocketSecurityLevelSSLv3";
inline constexpr const char* kCFStreamSocketSecurityLevelTLSv1 = "kCFStreamSocketSecurityLevelTLSv1";
inline constexpr const char* kCFStreamSocketSecurityLevelNegotiatedSSL = "kCFStreamSocketSecurityLevelNegotiatedSSL";
// std::vector<long> (or std::vector<int>): the cipher suites to enable, each by its 16-bit code.
inline constexpr const char* AsyncTcpSocketSSLCipherSuites = "AsyncTcpSocketSSLCipherSuites";
// platform::Bytes: Diffie-Hellman parameters for the server side, DER-encoded.
inline constexpr const char* AsyncTcpSocketSSLDiffieHellmanParameters = "AsyncTcpSocketSSLDiffieHellmanParameters";

enum AsyncTcpSocketError : long {
    AsyncTcpSocketNoError = 0,
    AsyncTcpSocketBadConfigError = 1,
    AsyncTcpSocketBadParamError = 2,
    AsyncTcpSocketConnectTimeoutError = 3,
    AsyncTcpSocketReadTimeoutError = 4,
    AsyncTcpSocketWriteTimeoutError = 5,
    AsyncTcpSocketReadMaxedOutError = 6,
    AsyncTcpSocketClosedError = 7,
    AsyncTcpSocketOtherError = 8,
};

// The receiver of a socket's reports. Every callback is optional: capabilities() names the ones
// this delegate implements, and the socket calls no other. Callbacks run on the delegate queue; the
// socket argument is null only in the disconnect report of a socket being destroyed.
class AsyncTcpSocketDelegate {
public:
    enum Capability : unsigned {
        kNewSocketQueueForConnectionFromAddressOnSocket = 1u << 0,
        kSocketDidAcceptNewSocket = 1u << 1,
        kSocketDidConnectToHostPort = 1u << 2,
        kSocketDidReadDataWithTag = 1u << 3,
        kSocketDidReadPartialDataOfLengthTag = 1u << 4,
        kSocketDidWriteDataWithTag = 1u << 5,
        kSocketDidWritePartialDataOfLengthTag = 1u << 6,
        kSocketShouldTimeoutReadWithTagElapsedBytesDone = 1u << 7,
        kSocketShouldTimeoutWriteWithTagElapsedBytesDone = 1u << 8,
        kSocketDidCloseReadStream = 1u << 9,
        kSocketDidDisconnectWithError = 1u << 10,
        kSocketDidSecure = 1u << 11,
    };

    using SocketPtr = std::shared_ptr<AsyncTcpSocket>;
    using QueuePtr = std::shared_ptr<platform::dispatch::Queue>;

    virtual ~AsyncTcpSocketDelegate() = default;
    virtual unsigned capabilities() const = 0;

    // Listening side: the queue for an accepted connection (null: the new socket makes its own),
    // and the new socket itself, which the delegate must keep.
    virtual QueuePtr newSocketQueueForConnectionFromAddressOnSocket(const platform::Bytes& address,
                                                                     const SocketPtr& sock) {
        return nullptr;
    }
    virtual void socketDidAcceptNewSocket(const SocketPtr& sock, const SocketPtr& newSocket) {}
    virtual void socketDidConnectToHostPort(const SocketPtr& sock, const std::string& host, uint16_t port) {}
    // The data is the delegate's own: a moved buffer that the socket made or a copy of the bytes
    // placed into the caller's buffer.
    virtual void socketDidReadDataWithTag(const SocketPtr& sock, const platform::Bytes& data, long tag) {}
    virtual void socketDidReadPartialDataOfLengthTag(const SocketPtr& sock, unsigned long partialLength, long tag) {}
    virtual void socketDidWriteDataWithTag(const SocketPtr& sock, long tag) {}
    virtual void socketDidWritePartialDataOfLengthTag(const SocketPtr& sock, unsigned long partialLength, long tag) {}
    // A request timed out: a positive answer extends it by that many seconds, else the socket closes.
    virtual double socketShouldTimeoutReadWithTagElapsedBytesDone(const SocketPtr& sock, long tag, double elapsed,
                                                                  unsigned long length) {
        return 0;
    }
    virtual double socketShouldTimeoutWriteWithTagElapsedBytesDone(const SocketPtr& sock, long tag, double elapsed,
                                                                   unsigned long length) {
        return 0;
    }
    virtual void socketDidCloseReadStream(const SocketPtr& sock) {}
    // err is null for a close the user asked for.
    virtual void socketDidDisconnectWithError(const SocketPtr& sock, const platform::Error* err) {}
    virtual void socketDidSecure(const SocketPtr& sock) {}
};

class AsyncTcpSocket : public std::enable_shared_from_this<AsyncTcpSocket> {
    struct Private {};

public:
    using Bytes = platform::Bytes;
    using Error = platform::Error;
    using QueuePtr = std::shared_ptr<platform::dispatch::Queue>;
    using SourcePtr = std::shared_ptr<platform::dispatch::Source>;
    using DelegatePtr = std::shared_ptr<AsyncTcpSocketDelegate>;
    using WeakDelegate = std::weak_ptr<AsyncTcpSocketDelegate>;
    using Job = platform::dispatch::Job;

    // Creation; nothing is opened. A given socket queue must be a serial queue; without one a queue
    // labelled "AsyncTcpSocket" is made.
    static std::shared_ptr<AsyncTcpSocket> init();
    static std::shared_ptr<AsyncTcpSocket> initWithSocketQueue(QueuePtr socketQueue);
    static std::shared_ptr<AsyncTcpSocket> initWithDelegateDelegateQueue(WeakDelegate delegate, QueuePtr delegateQueue);
    static std::shared_ptr<AsyncTcpSocket> initWithDelegateDelegateQueueSocketQueue(WeakDelegate delegate,
                                                                                   QueuePtr delegateQueue,
                                                                                   QueuePtr socketQueue);
    AsyncTcpSocket(Private, WeakDelegate delegate, QueuePtr delegateQueue, QueuePtr socketQueue);
    // Closes first; a socket that had started reports its disconnect with a null socket.
    ~AsyncTcpSocket();
    AsyncTcpSocket(const AsyncTcpSocket&) = delete;
    AsyncTcpSocket& operator=(const AsyncTcpSocket&) = delete;

    // Delegate and delegate queue.
    DelegatePtr delegate();
    void setDelegate(WeakDelegate delegate);
    void synchronouslySetDelegate(WeakDelegate delegate);
    void setDelegateSynchronously(WeakDelegate delegate, bool synchronously);
    QueuePtr delegateQueue();
    void setDelegateQueue(QueuePtr delegateQueue);
    void synchronouslySetDelegateQueue(QueuePtr delegateQueue);
    void setDelegateQueueSynchronously(QueuePtr delegateQueue, bool synchronously);
    void getDelegateDelegateQueue(DelegatePtr* delegatePtr, QueuePtr* delegateQueuePtr);
    void setDelegateDelegateQueue(WeakDelegate delegate, QueuePtr delegateQueue);
    void synchronouslySetDelegateDelegateQueue(WeakDelegate delegate, QueuePtr delegateQueue);
    void setDelegateDelegateQueueSynchronously(WeakDelegate delegate, QueuePtr delegateQueue, bool synchronously);

    // Configuration (kept across closes) and user data.
    bool isIPv4Enabled();
    void setIPv4Enabled(bool flag);
    bool isIPv6Enabled();
    void setIPv6Enabled(bool flag);
    bool isIPv4PreferredOverIPv6();
    void setPreferIPv4OverIPv6(bool flag);
    // NO: when the peer closes its side the socket stays open for writing (half duplex).
    bool autoDisconnectOnClosedReadStream();
    void setAutoDisconnectOnClosedReadStream(bool flag);
    std::shared_ptr<void> userData();
    void setUserData(std::shared_ptr<void> arbitraryUserData);

    bool isDisconnected();
    bool isConnected();

    // Connecting. true: the attempt started and its outcome reaches the delegate. A negative
    // timeout means none. An empty interface means none. The host forms always write *errPtr
    // (an empty error on success); the address forms only on failure.
    bool connectToHostOnPortError(const std::string& host, uint16_t port, Error* errPtr);
    bool connectToHostOnPortWithTimeoutError(const std::string& host, uint16_t port, double timeout, Error* errPtr);
    bool connectToHostOnPortViaInterfaceWithTimeoutError(const std::string& host, uint16_t port,
                                                         const std::string& interface, double timeout,
                                                         Error* errPtr);
    bool connectToAddressError(const Bytes& remoteAddr, Error* errPtr);
    bool connectToAddressWithTimeoutError(const Bytes& remoteAddr, double timeout, Error* errPtr);
    bool connectToAddressViaInterfaceWithTimeoutError(const Bytes& remoteAddr, const std::string& interface,
                                                      double timeout, Error* errPtr);

    // Listening, on every local address (no interface), or on those of an interface given by name,
    // by address or as "localhost"; port 0 asks the system for a free port, which both families
    // then share. Each connection becomes a new connected socket handed to the delegate's
    // socketDidAcceptNewSocket, which must keep it. *errPtr is written only on failure.
    bool acceptOnPortError(uint16_t port, Error* errPtr);
    bool acceptOnInterfacePortError(const std::string& interface, uint16_t port, Error* errPtr);
    // Replaces the system calls (tests only).
    void setSystemCalls(net::detail::AsyncTcpSocketSystemCalls calls);

    // TLS: the upgrade waits behind the reads and writes queued before it; later ones travel
    // encrypted. The delegate hears socketDidSecure when the handshake is done; a failure closes
    // the socket. Only one upgrade per connection; a second call, or one on a socket that is not
    // started, has no effect. The keys are listed at the top of this file.
    void startTLS(std::map<std::string, std::any> tlsSettings);
    // TLS always runs through the platform's TLS stream.
    bool usingSecureTransportForTLS() const { return true; }
    bool usingCFStreamForTLS() const { return false; }
    // The TLS stream of the connection; only on the socket queue (null elsewhere).
    platform::TlsStream* sslContext();

    // Closing. disconnect waits; the disconnect-after forms are queued behind earlier requests.
    void disconnect();
    void disconnectAfterReading();
    void disconnectAfterWriting();
    void disconnectAfterReadingAndWriting();

    // Reading. A request that breaks an argument rule is dropped silently. A caller's buffer
    // receives the bytes from bufferOffset on and must not be touched until the read is reported.
    void readDataWithTimeoutTag(double timeout, long tag);
    void readDataWithTimeoutBufferBufferOffsetTag(double timeout, std::shared_ptr<Bytes> buffer, size_t offset,
                                                  long tag);
    void readDataWithTimeoutBufferBufferOffsetMaxLengthTag(double timeout, std::shared_ptr<Bytes> buffer,
                                                           size_t offset, size_t length, long tag);
    void readDataToLengthWithTimeoutTag(size_t length, double timeout, long tag);
    void readDataToLengthWithTimeoutBufferBufferOffsetTag(size_t length, double timeout,
                                                          std::shared_ptr<Bytes> buffer, size_t offset, long tag);
    void readDataToDataWithTimeoutTag(const Bytes& data, double timeout, long tag);
    void readDataToDataWithTimeoutBufferBufferOffsetTag(const Bytes& data, double timeout,
                                                        std::shared_ptr<Bytes> buffer, size_t offset, long tag);
    void readDataToDataWithTimeoutMaxLengthTag(const Bytes& data, double timeout, size_t length, long tag);
    void readDataToDataWithTimeoutBufferBufferOffsetMaxLengthTag(const Bytes& data, double timeout,
                                                                 std::shared_ptr<Bytes> buffer, size_t offset,
                                                                 size_t length, long tag);
    // Progress of the current read: NaN without one; 1.0 for reads that are not exact-length.
    float progressOfReadReturningTagBytesDoneTotal(long* tagPtr, unsigned long* donePtr, unsigned long* totalPtr);

    // Writing. Empty data is ignored. The shared form hands the bytes over without a copy; they
    // must not change until the write is reported.
    void writeDataWithTimeoutTag(std::shared_ptr<const Bytes> data, double timeout, long tag);
    void writeDataWithTimeoutTag(Bytes data, double timeout, long tag);
    float progressOfWriteReturningTagBytesDoneTotal(long* tagPtr, unsigned long* donePtr, unsigned long* totalPtr);

    // Terminators.
    static Bytes CRLFData();
    static Bytes CRData();
    static Bytes LFData();
    static Bytes ZeroData();

    // Address queries (empty text or address, or port 0, when there is none).
    std::string connectedHost();
    uint16_t connectedPort();
    std::string localHost();
    uint16_t localPort();
    Bytes connectedAddress();
    Bytes localAddress();
    bool isIPv4();
    bool isIPv6();
    bool isSecure();
    // Per-family forms, for code already on the socket queue.
    std::string connectedHost4();
    std::string connectedHost6();
    uint16_t connectedPort4();
    uint16_t connectedPort6();
    std::string localHost4();
    std::string localHost6();
    uint16_t localPort4();
    uint16_t localPort6();
    // Per-descriptor forms.
    static std::string connectedHostFromSocket4(int socketFD);
    static std::string connectedHostFromSocket6(int socketFD);
    static uint16_t connectedPortFromSocket4(int socketFD);
    static uint16_t connectedPortFromSocket6(int socketFD);
    static std::string localHostFromSocket4(int socketFD);
    static std::string localHostFromSocket6(int socketFD);
    static uint16_t localPortFromSocket4(int socketFD);
    static uint16_t localPortFromSocket6(int socketFD);

    // Class utilities.
    // "localhost" and "loopback" give 127.0.0.1 and ::1 without the name service; otherwise the
    // resolver's IPv4 and IPv6 answers in its order. Failure: an empty list and *errPtr set.
    static std::vector<Bytes> lookupHostPortError(const std::string& host, uint16_t port, Error* errPtr);
    static std::string hostFromSockaddr4(const sockaddr_in* pSockaddr4);
    static std::string hostFromSockaddr6(const sockaddr_in6* pSockaddr6);
    static uint16_t portFromSockaddr4(const sockaddr_in* pSockaddr4);
    static uint16_t portFromSockaddr6(const sockaddr_in6* pSockaddr6);
    static std::string hostFromAddress(const Bytes& address);
    static uint16_t portFromAddress(const Bytes& address);
    static bool isIPv4Address(const Bytes& address);
    static bool isIPv6Address(const Bytes& address);
    static bool getHostPortFromAddress(std::string* hostPtr, uint16_t* portPtr, const Bytes& address);
    static bool getHostPortFamilyFromAddress(std::string* hostPtr, uint16_t* portPtr, sa_family_t* afPtr,
                                             const Bytes& address);
    // "name-or-address[:port]" into local socket addresses for binding; an empty result when
    // nothing fits. The port after the colon applies only when port is 0.
    static void getInterfaceAddress4Address6FromDescriptionPort(Bytes* interfaceAddr4Ptr, Bytes* interfaceAddr6Ptr,
                                                                const std::string& interfaceDescription,
                                                                uint16_t port);

    // Error objects.
    static Error badConfigError(const std::string& errMsg);
    static Error badParamError(const std::string& errMsg);
    static Error gaiError(int gaiCode);
    static Error errnoErrorWithReason(const std::string& reason);
    static Error errnoError();
    static Error connectTimeoutError();
    static Error readMaxedOutError();
    static Error readTimeoutError();
    static Error writeTimeoutError();
    static Error connectionClosedError();
    static Error otherError(const std::string& errMsg);
    static Error sslError(int32_t ssl_error);

    // Running code on the socket queue.
    void performBlock(const Job& block);
    void markSocketQueueTargetQueue(const QueuePtr& socketNewTargetQueue);
    void unmarkSocketQueueTargetQueue(const QueuePtr& socketOldTargetQueue);
    // The descriptors, only on the socket queue (-1 elsewhere).
    int socketFD();
    int socket4FD();
    int socket6FD();

private:
    // State bits of flags; closing clears them all.
    enum : uint32_t {
        FlagStarted = 0x1,                 // connecting, connected or listening
        FlagConnected = 0x2,
        FlagNoMoreReadsWrites = 0x4,       // a disconnect-after call bars new requests
        FlagReadsPaused = 0x8,             // a read timed out; waiting for the delegate's answer
        FlagWritesPaused = 0x10,
        FlagCloseAfterReads = 0x20,
        FlagCloseAfterWrites = 0x40,
        FlagWritable = 0x80,               // the descriptor can take bytes now
        FlagReadSourceSuspended = 0x100,
        FlagWriteSourceSuspended = 0x200,
        FlagTLSQueued = 0x400,
        FlagReadTLSStarting = 0x800,
        FlagWriteTLSStarting = 0x1000,
        FlagSecured = 0x2000,
        FlagPeerEOF = 0x4000,              // the peer's end of stream was read
        FlagReadStreamClosed = 0x8000,     // end of stream reported, the socket stays open for writing
        FlagDeallocating = 0x10000,
    };
    // Configuration bits of config; they survive closes.
    enum : uint16_t {
        ConfigNoIPv4 = 0x1,
        ConfigNoIPv6 = 0x2,
        ConfigPreferIPv6 = 0x4,
        ConfigHalfDuplex = 0x8,
    };
    bool onSocketQueue() const;
    void checkOnSocketQueue() const;
    // Runs body on the socket queue: inline when already there, else waiting for it; returns the
    // body's value.
    template <class F>
    auto runSync(F&& body) -> decltype(body()) {
        return net::detail::runSync(onSocketQueue(), *socketQueue, std::forward<F>(body));
    }
    // The same for a body bool(Error&): *errPtr receives its error on failure, an empty one on success.
    template <class F>
    bool runSyncReportingError(Error* errPtr, F&& body) {
        return net::detail::runSyncReportingError(onSocketQueue(), *socketQueue, errPtr, std::forward<F>(body));
    }
    // Posts fn to the socket queue, holding the socket until fn has run.
    void runAsync(std::function<void(AsyncTcpSocket&)> fn);
    // The same for a read or write request: when the socket queue is idle, fn runs at once on the
    // caller's thread (as a job of the socket queue), sparing a hand-off to another thread; not
    // once TLS is asked for (runsRequestsHere).
    void runRequest(std::function<void(AsyncTcpSocket&)> fn);
    // Posts a delegate call by the one rule for all of them: only with a delegate queue and a
    // delegate that implements the callback; the job holds the delegate and the socket.
    void notifyDelegate(AsyncTcpSocketDelegate::Capability capability,
                        std::function<void(AsyncTcpSocketDelegate&, const std::shared_ptr<AsyncTcpSocket>&)> call);

    // Connecting.
    bool preConnectWithInterfaceError(const std::string& interface, Error* errPtr);
    void lookupDidSucceedWithAddress4Address6(int aStateIndex, Bytes address4, Bytes address6);
    void lookupDidFail(int aStateIndex, const Error& error);
    bool connectWithAddress4Address6Error(const Bytes& address4, const Bytes& address6, Error* errPtr);
    void didConnect(int aStateIndex);
    void didNotConnectError(int aStateIndex, const Error& error);
    void startConnectTimeout(double timeout);
    void endConnectTimeout();
    void doConnectTimeout();
    void endConnectWait();

    // Accepting.
    int createListeningSocket(int domain, const Bytes& interfaceAddr, Error* errPtr);
    SourcePtr makeAcceptSource(int socketFD);
    bool doAccept(int parentSocketFD);
    void pauseAcceptSources();
    void resumeAcceptSources();
    void closeAcceptSources();

    // Closing.
    void maybeClose();
    void closeWithError(const Error* error);

    // Sources and timers.
    void setupReadAndWriteSourcesForNewlyConnectedSocket(int socketFD);
    void suspendReadSource();
    void resumeReadSource();
    void suspendWriteSource();
    void resumeWriteSource();
    void setupReadTimerWithTimeout(double timeout);
    void setupWriteTimerWithTimeout(double timeout);

    // Reading.
    void queueRead(std::shared_ptr<net::detail::AsyncTcpReadPacket> packet);
    void maybeDequeueRead();
    // What one pass of doReadData has found so far.
    struct ReadPass {
        bool done = false;         // the current read is complete
        std::optional<Error> error;
        bool socketEOF = false;    // the peer's end of stream (or of TLS) was read
        bool waiting = false;      // the descriptor has nothing more for now
        size_t bytesAdded = 0;     // bytes this pass added to the current read
    };
    // The read pass: the pre-buffer first, then the descriptor (or the TLS stream), then the
    // report and what comes next.
    void doReadData();
    // Moves pre-buffered bytes into the read: up to and including its terminator (*termFound set
    // when it is there), or as many as the read takes. Returns how many.
    size_t moveFromPreBuffer(net::detail::AsyncTcpReadPacket& r, bool* termFound);
    // Bytes the TLS stream can hand over without a read event: encrypted ones already taken from
    // the descriptor and decrypted ones not yet read. 0 on a plain socket.
    size_t heldTLSBytes() const;
    // What a read may find: the bytes the read source reported plus those the TLS stream holds.
    size_t estimatedBytesAvailable() const;
    // One read from the descriptor or the TLS stream into the read; returns the bytes read.
    size_t readFromSocket(net::detail::AsyncTcpReadPacket& r, size_t estimatedBytesAvailable, ReadPass& pass);
    // Reads up to bytesToRead bytes into buffer from the TLS stream or the descriptor.
    size_t readBytes(uint8_t* buffer, size_t bytesToRead, ReadPass& pass);
    // Accounts bytes just read into buffer to the read, keeping those behind a terminator.
    void takeBytesRead(net::detail::AsyncTcpReadPacket& r, const uint8_t* buffer, size_t bytesRead,
                       bool readIntoPreBuffer, ReadPass& pass);
    void finishReadPass(net::detail::AsyncTcpReadPacket& r, const ReadPass& pass);
    void doReadEOF();
    void completeCurrentRead();
    void endCurrentRead();
    void doReadTimeout();
    void doReadTimeoutWithExtension(double timeoutExtension);

    // Writing.
    void maybeDequeueWrite();
    void doWriteData();
    void completeCurrentWrite();
    void endCurrentWrite();
    void doWriteTimeout();
    void doWriteTimeoutWithExtension(double timeoutExtension);

    // TLS.
    void maybeStartTLS();
    void ssl_startTLS();
    void ssl_continueSSLHandshake();
    void flushSSLBuffers();
    void closeTLS();
    static int32_t SSLReadFunction(void* connection, void* data, size_t* dataLength);
    static int32_t SSLWriteFunction(void* connection, const void* data, size_t* dataLength);
    int32_t sslReadWithBufferLength(void* buffer, size_t* bufferLength);
    int32_t sslWriteWithBufferLength(const void* buffer, size_t* bufferLength);

    net::detail::AsyncTcpReadPacket& currentReadPacket() {
        return static_cast<net::detail::AsyncTcpReadPacket&>(*currentRead);
    }
    net::detail::AsyncTcpWritePacket& currentWritePacket() {
        return static_cast<net::detail::AsyncTcpWritePacket&>(*currentWrite);
    }

    uint32_t flags = 0;
    uint16_t config = 0;
    WeakDelegate delegate_;
    QueuePtr delegateQueue_;
    int socket4FD_ = -1;
    int socket6FD_ = -1;
    int connectIndex = 0;
    Bytes connectInterface4;
    Bytes connectInterface6;
    QueuePtr socketQueue;
    SourcePtr accept4Source;
    SourcePtr accept6Source;
    SourcePtr connectTimer;
    SourcePtr readSource;
    SourcePtr writeSource;
    // Whether read and write requests, and the sources' passes, may run on the thread that asks
    // or on the reactor's while the socket queue is idle: not once TLS is asked for, whose
    // handshake takes milliseconds and may read the system's trust store.
    std::atomic<bool> runsRequestsHere{true};
    SourcePtr readTimer;
    SourcePtr writeTimer;
    // Read and write requests, and the TLS marker in both (isSpecial).
    std::deque<std::shared_ptr<net::detail::AsyncTcpRequest>> readQueue;
    std::deque<std::shared_ptr<net::detail::AsyncTcpRequest>> writeQueue;
    std::shared_ptr<net::detail::AsyncTcpRequest> currentRead;
    std::shared_ptr<net::detail::AsyncTcpRequest> currentWrite;
    unsigned long socketFDBytesAvailable = 0;
    net::detail::AsyncTcpSocketPreBuffer preBuffer;
    // Watches the descriptor of a connect under way for its outcome.
    SourcePtr connectSource;
    std::unique_ptr<platform::TlsStream> sslContext_;
    // Encrypted bytes read from the descriptor and not yet taken by the TLS stream.
    std::unique_ptr<net::detail::AsyncTcpSocketPreBuffer> sslPreBuffer;
    // Size of a chunk that the TLS stream took but could not send yet; offered again as it was.
    uint64_t sslWriteCachedLength = 0;
    int32_t sslErrCode = 0;  // how the TLS stream ended: close_notify or not
    // While set, the accept sources are suspended after the system ran out of descriptors or
    // memory; it resumes them.
    SourcePtr acceptResumeTimer;
    net::detail::AsyncTcpSocketSystemCalls calls = net::detail::AsyncTcpSocketSystemCalls::real();
    // Holds its own address: the key of the queue-specific value that marks the socket queue.
    void* IsOnSocketQueueOrTargetQueueKey;
    std::shared_ptr<void> userData_;
};
