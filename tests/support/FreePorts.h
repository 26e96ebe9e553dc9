#pragma once
// Loopback ports for tests and benchmarks that run beside others on one machine: never a fixed
// port, always ones the system just handed out.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace testsupport {

// Distinct loopback ports of the socket type (SOCK_DGRAM, SOCK_STREAM) that were free a moment ago.
inline std::vector<uint16_t> freePorts(int type, size_t count) {
    std::vector<uint16_t> ports;
    std::vector<int> held;
    while (ports.size() < count) {
        const int fd = ::socket(AF_INET, type, 0);
        sockaddr_in in{};
        in.sin_family = AF_INET;
        socklen_t length = sizeof in;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&in), sizeof in) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&in), &length) != 0)
            break;
        held.push_back(fd);
        ports.push_back(ntohs(in.sin_port));
    }
    for (int fd : held) ::close(fd);
    return ports;
}

}  // namespace testsupport
