#pragma once
// What the TCP and the UDP socket share about addresses: socket addresses as byte buffers, their
// host, port and family, the loopback and wildcard addresses, host look-up, and the machine's
// interfaces by name or numeric address. The sockets' own static utilities forward here.

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <vector>

#include "platform/Error.h"

namespace net::detail {

// The bytes of a socket address as the sockets hand addresses around.
platform::Bytes bytesOf(const void* address, size_t length);
template <typename T>
platform::Bytes bytesOf(const T& address) {
    return bytesOf(&address, sizeof address);
}

// sa_family of the buffer; 0 when it is too short to hold one.
sa_family_t familyOf(const platform::Bytes& address);

// An IPv4 address (host order, such as INADDR_ANY or INADDR_LOOPBACK) or an IPv6 address, with
// the port put in.
sockaddr_in sockaddr4Of(in_addr_t hostOrderAddress, uint16_t port);
sockaddr_in6 sockaddr6Of(const in6_addr& address, uint16_t port);

std::string hostFromSockaddr4(const sockaddr_in* address);
std::string hostFromSockaddr6(const sockaddr_in6* address);
uint16_t portFromSockaddr4(const sockaddr_in* address);
uint16_t portFromSockaddr6(const sockaddr_in6* address);

// Host, port and family (AF_INET or AF_INET6) of a buffer that holds a whole sockaddr_in or
// sockaddr_in6 of its family; false, with the outputs untouched, for anything else.
bool hostPortFamilyOf(const platform::Bytes& address, std::string* hostPtr, uint16_t* portPtr, int* familyPtr);

// The local (peer false) or the peer's address (peer true) of a descriptor of the family; empty
// when the system cannot tell.
platform::Bytes socketAddressOf(int socketFD, int family, bool peer);

// "localhost" and "loopback" give 127.0.0.1 and ::1 without the name service; any other host the
// resolver's IPv4 and IPv6 answers for the socket type, in its order. Returns 0, or the resolver's
// error code (EAI_FAIL when it answered with no address of either family).
int lookupHost(const std::string& host, uint16_t port, int socketType, std::vector<platform::Bytes>* addresses);

// The first IPv4 and the first IPv6 address of the machine whose interface name or numeric text
// is interface, with the port put in; each empty when there is none.
void interfaceAddresses(const std::string& interface, uint16_t port, platform::Bytes* addr4Ptr,
                        platform::Bytes* addr6Ptr);

// The index of the interface that holds the address of the family (sockaddr_in or sockaddr_in6
// of exactly its size); 0 when none does.
uint32_t interfaceIndexOf(const platform::Bytes& interfaceAddress, int family);

// Why the addresses found for an interface cannot serve a socket with these families disabled,
// as the sockets word it; null when they can.
const char* interfaceRefusal(const platform::Bytes& interface4, const platform::Bytes& interface6, bool ipv4Disabled,
                             bool ipv6Disabled);

}  // namespace net::detail
