#pragma once
// AsyncUdpSocket: an asynchronous UDP endpoint. One object drives up to two datagram sockets (IPv4
// and IPv6) from a private serial queue, the socket queue, and reports every outcome to a delegate
// on the delegate's own queue. Bind, connect, broadcast and receive requests answer at once;
// sends and received datagrams are reported later through AsyncUdpSocketDelegate.
//
// Addresses are byte buffers holding one sockaddr_in (16 bytes) or sockaddr_in6 (28 bytes) as the
// socket calls take them; ports at the interface are host byte order.

#include "net/detail/SocketQueue.h"
#include "net/detail/UdpRequests.h"
#include "platform/Error.h"
#include "platform/dispatch/Dispatch.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <any>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class AsyncUdpSocket;

inline constexpr const char* AsyncUdpSocketErrorDomain = "AsyncUdpSocketErrorDomain";
inline constexpr const char* AsyncUdpSocketQueueName = "AsyncUdpSocket";
// Domain of name look-up failures; the code is the resolver's (negative on glibc).
inline constexpr const char* AsyncUdpSocketNetDBErrorDomain = "kCFStreamErrorDomainNetDB";

enum AsyncUdpSocketError : long {
    AsyncUdpSocketNoError = 0,
    AsyncUdpSocketBadConfigError = 1,
    AsyncUdpSocketBadParamError = 2,
    AsyncUdpSocketSendTimeoutError = 3,
    AsyncUdpSocketClosedError = 4,
    AsyncUdpSocketOtherError = 5,
};

// The receiver of a socket's reports. Every callback is optional: capabilities() names the ones
// this delegate implements, and the socket calls no other. Callbacks run on the delegate queue.
class AsyncUdpSocketDelegate {
public:
    enum Capability : unsigned {
        kDidConnectToAddress = 1u << 0,
        kDidNotConnect = 1u << 1,
        kDidSendDataWithTag = 1u << 2,
        kDidNotSendDataWithTagDueToError = 1u << 3,
        kDidReceiveDataFromAddressWithFilterContext = 1u << 4,
        kDidCloseWithError = 1u << 5,
    };

    virtual ~AsyncUdpSocketDelegate() = default;
    virtual unsigned capabilities() const = 0;

    using SocketPtr = std::shared_ptr<AsyncUdpSocket>;
    virtual void udpSocketDidConnectToAddress(const SocketPtr&, const platform::Bytes& address) {}
    virtual void udpSocketDidNotConnect(const SocketPtr&, const platform::Error& error) {}
    virtual void udpSocketDidSendDataWithTag(const SocketPtr&, int64_t tag) {}
    virtual void udpSocketDidNotSendDataWithTagDueToError(const SocketPtr&, int64_t tag,
                                                          const platform::Error& error) {}
    virtual void udpSocketDidReceiveDataFromAddressWithFilterContext(const SocketPtr&,
                                                                     const platform::Bytes& data,
                                                                     const platform::Bytes& address,
                                                                     const std::any& filterContext) {}
    // error is empty when the socket was closed on request.
    virtual void udpSocketDidCloseWithError(const SocketPtr&, const std::optional<platform::Error>& error) {}
};

class AsyncUdpSocket : public std::enable_shared_from_this<AsyncUdpSocket> {
    struct Private {};

public:
    using Bytes = platform::Bytes;
    using Error = platform::Error;
    using QueuePtr = std::shared_ptr<platform::dispatch::Queue>;
    using DelegatePtr = std::shared_ptr<AsyncUdpSocketDelegate>;
    using WeakDelegate = std::weak_ptr<AsyncUdpSocketDelegate>;
    using SendFilter = std::function<bool(const Bytes& data, const Bytes& address, int64_t tag)>;
    using ReceiveFilter = std::function<bool(const Bytes& data, const Bytes& address, std::any* context)>;

    // Creation. A given socket queue must be a serial queue; without one a queue labelled
    // "AsyncUdpSocket" is made. No descriptor is opened until a bind, connect, broadcast switch or send.
    static std::shared_ptr<AsyncUdpSocket> init();
    static std::shared_ptr<AsyncUdpSocket> initWithSocketQueue(QueuePtr socketQueue);
    static std::shared_ptr<AsyncUdpSocket> initWithDelegateDelegateQueue(WeakDelegate delegate, QueuePtr delegateQueue);
    static std::shared_ptr<AsyncUdpSocket> initWithDelegateDelegateQueueSocketQueue(WeakDelegate delegate,
                                                                                   QueuePtr delegateQueue,
                                                                                   QueuePtr socketQueue);
    AsyncUdpSocket(Private, WeakDelegate delegate, QueuePtr delegateQueue, QueuePtr socketQueue);
    ~AsyncUdpSocket();
    AsyncUdpSocket(const AsyncUdpSocket&) = delete;
    AsyncUdpSocket& operator=(const AsyncUdpSocket&) = delete;

    // Delegate and delegate queue.
    DelegatePtr delegate();
    QueuePtr delegateQueue();
    void getDelegateDelegateQueue(DelegatePtr* delegateOut, QueuePtr* delegateQueueOut);
    void setDelegate(WeakDelegate delegate);
    void synchronouslySetDelegate(WeakDelegate delegate);
    void setDelegateSynchronously(WeakDelegate delegate, bool synchronously);
    void setDelegateQueue(QueuePtr delegateQueue);
    void synchronouslySetDelegateQueue(QueuePtr delegateQueue);
    void setDelegateQueueSynchronously(QueuePtr delegateQueue, bool synchronously);
    void setDelegateDelegateQueue(WeakDelegate delegate, QueuePtr delegateQueue);
    void synchronouslySetDelegateDelegateQueue(WeakDelegate delegate, QueuePtr delegateQueue);
    void setDelegateDelegateQueueSynchronously(WeakDelegate delegate, QueuePtr delegateQueue, bool synchronously);

    // Configuration: read when the sockets are made and when a destination is chosen.
    bool isIPv4Enabled();
    void setIPv4Enabled(bool enabled);
    bool isIPv6Enabled();
    void setIPv6Enabled(bool enabled);
    bool isIPv4Preferred();
    bool isIPv6Preferred();
    bool isIPVersionNeutral();
    void setPreferIPv4();
    void setPreferIPv6();
    void setIPVersionNeutral();
    uint16_t maxReceiveIPv4BufferSize();
    void setMaxReceiveIPv4BufferSize(uint16_t max);  // 0 is refused: the old value stays
    uint32_t maxReceiveIPv6BufferSize();
    void setMaxReceiveIPv6BufferSize(uint32_t max);  // 0 is refused: the old value stays
    std::shared_ptr<void> userData();
    void setUserData(std::shared_ptr<void> data);

    // Endpoint queries; a value that cannot be read yet is empty, "" or 0.
    Bytes localAddress();
    std::string localHost();
    uint16_t localPort();
    Bytes localAddress_IPv4();
    std::string localHost_IPv4();
    uint16_t localPort_IPv4();
    Bytes localAddress_IPv6();
    std::string localHost_IPv6();
    uint16_t localPort_IPv6();
    Bytes connectedAddress();
    std::string connectedHost();
    uint16_t connectedPort();
    bool isConnected();
    bool isClosed();
    bool isIPv4();
    bool isIPv6();

    // Binding and broadcast (synchronous; never call the delegate).
    bool bindToPortError(uint16_t port, Error* errPtr);
    bool bindToPortInterfaceError(uint16_t port, const std::optional<std::string>& interface, Error* errPtr);
    bool bindToAddressError(const Bytes& localAddr, Error* errPtr);
    bool enableBroadcastError(bool flag, Error* errPtr);

    // Connecting: YES means the request was accepted; the outcome reaches the delegate.
    bool connectToHostOnPortError(const std::optional<std::string>& host, uint16_t port, Error* errPtr);
    bool connectToAddressError(const Bytes& remoteAddr, Error* errPtr);

    // Multicast membership (bound, unconnected sockets).
    bool joinMulticastGroupError(const std::string& group, Error* errPtr);
    bool joinMulticastGroupOnInterfaceError(const std::string& group, const std::optional<std::string>& interface,
                                            Error* errPtr);
    bool leaveMulticastGroupError(const std::string& group, Error* errPtr);
    bool leaveMulticastGroupOnInterfaceError(const std::string& group, const std::optional<std::string>& interface,
                                             Error* errPtr);
    enum MulticastRequest { kMulticastJoin = 12, kMulticastLeave = 13 };
    bool performMulticastRequestForGroupOnInterfaceError(int requestType, const std::string& group,
                                                         const std::optional<std::string>& interface, Error* errPtr);

    // Sending: from any thread; every non-empty datagram ends in exactly one send report unless
    // the socket closes first.
    void sendDataWithTag(Bytes data, int64_t tag);
    void sendDataWithTimeoutTag(Bytes data, double timeout, int64_t tag);
    void sendDataToHostPortWithTimeoutTag(Bytes data, const std::optional<std::string>& host, uint16_t port,
                                          double timeout, int64_t tag);
    void sendDataToAddressWithTimeoutTag(Bytes data, const Bytes& remoteAddr, double timeout, int64_t tag);
    void setSendFilterWithQueue(SendFilter filterBlock, QueuePtr filterQueue);
    void setSendFilterWithQueueIsAsynchronous(SendFilter filterBlock, QueuePtr filterQueue, bool isAsynchronous);

    // Receiving.
    bool receiveOnce(Error* errPtr);
    bool beginReceiving(Error* errPtr);
    void pauseReceiving();
    void setReceiveFilterWithQueue(ReceiveFilter filterBlock, QueuePtr filterQueue);
    void setReceiveFilterWithQueueIsAsynchronous(ReceiveFilter filterBlock, QueuePtr filterQueue, bool isAsynchronous);

    // Closing.
    void close();
    void closeAfterSending();

    // Running code on the socket queue and reading the descriptors (inside performBlock only).
    void performBlock(const std::function<void()>& block);
    int socketFD();
    int socket4FD();
    int socket6FD();
    void markSocketQueueTargetQueue(const QueuePtr& socketNewTargetQueue);
    void unmarkSocketQueueTargetQueue(const QueuePtr& socketOldTargetQueue);
    void applicationWillEnterForeground();

    // Replaces the system calls behind socket creation and sending (tests).
    void setSystemCalls(net::detail::AsyncUdpSocketSystemCalls calls);

    // Address utilities (no socket needed, any thread).
    static std::string hostFromSockaddr4(const sockaddr_in* pSockaddr4);
    static std::string hostFromSockaddr6(const sockaddr_in6* pSockaddr6);
    static uint16_t portFromSockaddr4(const sockaddr_in* pSockaddr4);
    static uint16_t portFromSockaddr6(const sockaddr_in6* pSockaddr6);
    // host is "" when the buffer is no address.
    static bool getHostPortFamilyFromAddress(std::string* hostPtr, uint16_t* portPtr, int* afPtr, const Bytes& address);
    static bool getHostPortFromAddress(std::string* hostPtr, uint16_t* portPtr, const Bytes& address);
    static std::optional<std::string> hostFromAddress(const Bytes& address);
    static uint16_t portFromAddress(const Bytes& address);
    static int familyFromAddress(const Bytes& address);
    static bool isIPv4Address(const Bytes& address);
    static bool isIPv6Address(const Bytes& address);

    // Interface text ("" = none: the wildcard addresses; "localhost"/"loopback"; an interface name or
    // the numeric text of one of the machine's addresses) to addresses with the port put in.
    static void convertIntefaceDescriptionPortIntoAddress4Address6(const std::optional<std::string>& interfaceDescription,
                                                                   uint16_t port, Bytes* interfaceAddr4Ptr,
                                                                   Bytes* interfaceAddr6Ptr);
    static void convertNumericHostPortIntoAddress4Address6(const std::string& numericHost, uint16_t port,
                                                           Bytes* addr4Ptr, Bytes* addr6Ptr);
    static uint32_t indexOfInterfaceAddr4(const Bytes& interfaceAddr4);
    static uint32_t indexOfInterfaceAddr6(const Bytes& interfaceAddr6);

    // Choice of one destination from an address list, as the send queue and connect make it: the
    // families that are disabled or have no socket are left out first, then the preference rules
    // apply. Returns AF_INET, AF_INET6 or 0 (with the error). The list holds IPv4/IPv6 addresses only.
    struct AddressChoiceState {
        uint16_t config = 0;
        uint32_t flags = 0;
        bool socketsCreated = false;  // when false, a family's missing socket does not count
        bool hasSocket4 = false;
        bool hasSocket6 = false;
    };
    static int chooseAddress(const AddressChoiceState& state, const std::vector<Bytes>& addresses, Bytes* addressPtr,
                             Error* errPtr);

    // State flags; closing sets the whole word to 0.
    struct Flag {
        enum : uint32_t {
            socketsCreated = 0x1,
            bound = 0x2,
            connecting = 0x4,
            connected = 0x8,
            receiveOnce = 0x10,
            receiveContinuous = 0x20,
            ipv4Deactivated = 0x40,
            ipv6Deactivated = 0x80,
            send4SourceSuspended = 0x100,
            send6SourceSuspended = 0x200,
            receive4SourceSuspended = 0x400,
            receive6SourceSuspended = 0x800,
            socket4CanAcceptBytes = 0x1000,
            socket6CanAcceptBytes = 0x2000,
            closeAfterSends = 0x8000,
            nextReceiveIPv4 = 0x10000,
        };
    };
    // Configuration bits; 0 means both families enabled and no preference.
    struct Config {
        enum : uint16_t {
            ipv4Disabled = 0x1,
            ipv6Disabled = 0x2,
            preferIPv4 = 0x4,
            preferIPv6 = 0x8,
        };
    };
    // The state words, read on the socket queue (tests).
    uint32_t currentFlags();
    uint16_t currentConfig();

    // Error builders of the socket's domain and of the system.
    static Error badConfigError(const std::string& errMsg);
    static Error badParamError(const std::string& errMsg);
    static Error gaiError(int gai_error);
    static Error errnoErrorWithReason(const std::string& reason);
    static Error errnoError();
    static Error sendTimeoutError();
    static Error socketClosedError();
    static Error otherError(const std::string& errMsg);

private:
    using Job = platform::dispatch::Job;
    using SourcePtr = std::shared_ptr<platform::dispatch::Source>;
    using RequestPtr = std::shared_ptr<net::detail::AsyncUdpRequest>;
    using PacketPtr = std::shared_ptr<net::detail::AsyncUdpSendPacket>;

    bool onSocketQueue() const;
    void assertOnSocketQueue() const;
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
    void runAsync(Job body);

    // Delegate notifications, on the socket queue.
    void notifyDidConnectToAddress(const Bytes& anAddress);
    void notifyDidNotConnect(const Error& error);
    void notifyDidSendDataWithTag(int64_t tag);
    void notifyDidNotSendDataWithTagDueToError(int64_t tag, const Error& error);
    // Received datagrams are reported in one delegate job per turn of the receive loop: collected
    // here, posted by flushReceived() at the end of the turn and before any later report.
    void notifyDidReceiveDataFromAddressWithFilterContext(Bytes data, Bytes address, std::any context);
    void flushReceived();
    void notifyDidCloseWithError(const std::optional<Error>& error);
    template <class Call>
    void notify(unsigned capability, Call call);

    bool preOp(Error* errPtr);
    bool preBind(Error* errPtr);
    bool preConnect(Error* errPtr);
    bool preJoin(Error* errPtr);

    // Resolution and address queries.
    void asyncResolveHostPortWithCompletionBlock(const std::optional<std::string>& host, uint16_t port,
                                                 std::function<void(std::vector<Bytes>, std::optional<Error>)> completion);
    int getAddressErrorFromAddresses(Bytes* addressPtr, Error* errorPtr, const std::vector<Bytes>& addresses);
    bool isConnectedToAddress4(const Bytes& someAddr4);
    bool isConnectedToAddress6(const Bytes& someAddr6);
    static bool getLocalAddressHostPortForSocketWithFamily(Bytes* dataPtr, std::string* hostPtr, uint16_t* portPtr,
                                                           int socketFD, int socketFamily);
    void maybeUpdateCachedLocalAddress4Info();
    void maybeUpdateCachedLocalAddress6Info();
    void maybeUpdateCachedConnectedAddressInfo();

    // Sockets and sources.
    int createSocket(int domain, Error* errPtr);
    bool createSockets(Error* errPtr);
    bool createSocket4Socket6Error(bool useIPv4, bool useIPv6, Error* errPtr);
    void setupSendAndReceiveSourcesForSocket4();
    void setupSendAndReceiveSourcesForSocket6();
    void setupSourcesForSocket(bool ipv4);
    void suspendSend4Source();
    void suspendSend6Source();
    void suspendReceive4Source();
    void suspendReceive6Source();
    void resumeSend4Source();
    void resumeSend6Source();
    void resumeReceive4Source();
    void resumeReceive6Source();
    void closeSocket4();
    void closeSocket6();
    void closeSockets();

    // Connecting.
    void maybeConnect();
    bool connectWithAddress4Error(const Bytes& address4, Error* errPtr);
    bool connectWithAddress6Error(const Bytes& address6, Error* errPtr);

    // Sending.
    void queueSend(const PacketPtr& packet);
    void maybeDequeueSend();
    void maybeDequeueSendStep();
    void doPreSend();
    void doSend();
    void endCurrentSend();
    void setupSendTimerWithTimeout(double timeout);
    void doSendTimeout();
    void failCurrentSend(const Error& error);
    void finishCurrentSend();

    // Receiving.
    void doReceive();
    bool doReceiveStep();  // true: look at the next datagram at once
    // Which family the next datagram is read from; alternates when both have datagrams waiting.
    bool receiveFromIPv4Next();
    // What became of a received datagram: handed to the delegate, dropped by the filter, or
    // waiting for an asynchronous filter's answer.
    enum class Delivery { Notified, Ignored, Filtering };
    Delivery deliverThroughReceiveFilter(Bytes data, Bytes address);
    ReceiveFilter currentReceiveFilter();
    SendFilter currentSendFilter();
    void handleReadEvent(bool ipv4, size_t available);

    // Closing.
    void closeWithError(const std::optional<Error>& error, bool report = true);

    // Fields, touched on the socket queue only (the filter blocks are also read by the filter
    // queues, under filterMutex).
    WeakDelegate delegate_;
    QueuePtr delegateQueue_;

    mutable std::mutex filterMutex;
    ReceiveFilter receiveFilterBlock;
    QueuePtr receiveFilterQueue;
    bool receiveFilterAsync = false;
    SendFilter sendFilterBlock;
    QueuePtr sendFilterQueue;
    bool sendFilterAsync = false;

    uint32_t flags = 0;
    uint16_t config = 0;
    uint16_t max4ReceiveSize = 9216;
    uint32_t max6ReceiveSize = 9216;

    int socket4FD_ = -1;
    int socket6FD_ = -1;

    QueuePtr socketQueue;

    SourcePtr send4Source;
    SourcePtr send6Source;
    SourcePtr receive4Source;
    SourcePtr receive6Source;
    SourcePtr sendTimer;

    RequestPtr currentSend;
    std::deque<RequestPtr> sendQueue;

    uint64_t socket4FDBytesAvailable = 0;
    uint64_t socket6FDBytesAvailable = 0;

    uint32_t pendingFilterOperations = 0;
    // Advanced by every close: an asynchronous receive filter's answer to a datagram read before
    // the latest close is dropped, so the close report stays the socket's last callback.
    uint64_t closeCount = 0;

    Bytes cachedLocalAddress4;
    std::string cachedLocalHost4;
    uint16_t cachedLocalPort4 = 0;
    Bytes cachedLocalAddress6;
    std::string cachedLocalHost6;
    uint16_t cachedLocalPort6 = 0;
    Bytes cachedConnectedAddress;
    std::string cachedConnectedHost;
    uint16_t cachedConnectedPort = 0;
    int cachedConnectedFamily = 0;

    void* IsOnSocketQueueOrTargetQueueKey = nullptr;

    std::shared_ptr<void> userData_;

    // Guards against recursion: a request that ends at once starts the next one from the loop
    // of the outer maybeDequeueSend instead of from a nested call.
    bool dequeueing = false;
    bool dequeueAgain = false;

    net::detail::AsyncUdpSocketSystemCalls calls;
    std::vector<uint8_t> receiveBuffer;  // reused for every read; each delivery copies out its bytes
    struct Received {
        Bytes data;
        Bytes address;
        std::any context;
    };
    std::vector<Received> receivedBatch;  // reported by flushReceived()
};
