#pragma once
// The UDP socket's own parts: the entries of its send queue (datagrams and the connect marker)
// and the system calls that tests replace. Internal to the socket; its tests reach them here.

#include <cstdint>
#include <functional>
#include <optional>
#include <sys/socket.h>
#include <sys/types.h>
#include <vector>

#include "platform/Error.h"

namespace net::detail {

// A request of the send queue: a datagram, or the marker a connect request puts in the queue.
struct AsyncUdpRequest {
    explicit AsyncUdpRequest(bool special) : isSpecial(special) {}
    virtual ~AsyncUdpRequest() = default;
    const bool isSpecial;
};

struct AsyncUdpSendPacket : AsyncUdpRequest {
    AsyncUdpSendPacket(platform::Bytes data, double timeoutSeconds, int64_t tagValue)
        : AsyncUdpRequest(false), buffer(std::move(data)), timeout(timeoutSeconds), tag(tagValue) {}

    platform::Bytes buffer;
    double timeout;  // seconds; negative: no limit
    int64_t tag;
    bool resolveInProgress = false;
    bool filterInProgress = false;
    std::vector<platform::Bytes> resolvedAddresses;
    std::optional<platform::Error> resolveError;
    platform::Bytes address;
    int addressFamily = 0;
    // Waiting out a short back-off after the system had no buffer space for the datagram.
    bool backoffInProgress = false;
};

struct AsyncUdpSpecialPacket : AsyncUdpRequest {
    AsyncUdpSpecialPacket() : AsyncUdpRequest(true) {}

    bool resolveInProgress = false;
    std::vector<platform::Bytes> addresses;
    std::optional<platform::Error> error;
};

// The system calls behind socket creation and sending. Tests replace them to provoke failures that
// loopback never gives (no buffer space, an interrupted call, no descriptors left).
struct AsyncUdpSocketSystemCalls {
    std::function<int(int domain, int type, int protocol)> socket;
    std::function<ssize_t(int fd, const void* buffer, size_t length, int flags, const sockaddr* to, socklen_t toLength)>
        sendto;
    static AsyncUdpSocketSystemCalls real();
};

}  // namespace net::detail
