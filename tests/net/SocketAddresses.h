#pragma once
// Socket address buffers for the socket tests, built from numeric host texts.

#include "platform/Error.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>

namespace nettest {

inline platform::Bytes addr4(const char* ip, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip, &a.sin_addr);
    const auto* p = reinterpret_cast<const uint8_t*>(&a);
    return platform::Bytes(p, p + sizeof a);
}

inline platform::Bytes addr6(const char* ip, uint16_t port) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    inet_pton(AF_INET6, ip, &a.sin6_addr);
    const auto* p = reinterpret_cast<const uint8_t*>(&a);
    return platform::Bytes(p, p + sizeof a);
}

}  // namespace nettest
