// Address utilities, interface and numeric host conversion and the choice of a destination.

#include "net/AsyncUdpSocket.h"
#include "SocketAddresses.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>

#include <gtest/gtest.h>

#include <cstring>

using platform::Bytes;
using platform::Error;

namespace {

using nettest::addr4;
using nettest::addr6;

// A 16-byte buffer that claims to be IPv6: too short for that family.
Bytes short6() {
    Bytes b = addr4("10.0.0.1", 1);
    sa_family_t family = AF_INET6;
    std::memcpy(b.data(), &family, sizeof family);
    return b;
}

TEST(UdpAddressUtilities, HostPortAndFamilyFromBuffers) {
    struct Row {
        const char* name;
        Bytes address;
        bool ok;
        std::string host;
        uint16_t port;
        int family;
    };
    Bytes longer4 = addr4("10.1.2.3", 7);
    longer4.resize(40, 0xEE);
    Bytes cut4 = addr4("1.2.3.4", 5);
    cut4.resize(15);
    const Row rows[] = {
        {"IPv4", addr4("192.168.1.20", 48899), true, "192.168.1.20", 48899, AF_INET},
        {"IPv6 loopback", addr6("::1", 8000), true, "::1", 8000, AF_INET6},
        {"IPv4 with trailing bytes", longer4, true, "10.1.2.3", 7, AF_INET},
        {"8 bytes", Bytes(8, 0), false, "", 0, 0},
        {"16 bytes of family IPv6", short6(), false, "", 0, 0},
        {"empty", Bytes{}, false, "", 0, 0},
        {"IPv4 cut to 15 bytes", cut4, false, "", 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string host = "unchanged";
        uint16_t port = 99;
        int family = 99;
        EXPECT_EQ(AsyncUdpSocket::getHostPortFamilyFromAddress(&host, &port, &family, row.address), row.ok);
        EXPECT_EQ(host, row.host);
        EXPECT_EQ(port, row.port);
        EXPECT_EQ(family, row.family);
        EXPECT_EQ(AsyncUdpSocket::familyFromAddress(row.address), row.family);
        EXPECT_EQ(AsyncUdpSocket::portFromAddress(row.address), row.port);
        EXPECT_EQ(AsyncUdpSocket::isIPv4Address(row.address), row.family == AF_INET);
        EXPECT_EQ(AsyncUdpSocket::isIPv6Address(row.address), row.family == AF_INET6);
        EXPECT_EQ(AsyncUdpSocket::hostFromAddress(row.address).has_value(), row.ok);
        // Every out-parameter is optional.
        EXPECT_EQ(AsyncUdpSocket::getHostPortFamilyFromAddress(nullptr, nullptr, nullptr, row.address), row.ok);
    }
}

TEST(UdpAddressUtilities, InterfaceTextsBecomeAddressesWithThePort) {
    const uint32_t loIndex = if_nametoindex("lo");
    struct Row {
        const char* name;
        std::optional<std::string> text;
        Bytes want4;
        Bytes want6;
    };
    const Row rows[] = {
        {"none: the wildcard addresses", std::nullopt, addr4("0.0.0.0", 48899), addr6("::", 48899)},
        {"localhost", std::string("localhost"), addr4("127.0.0.1", 48899), addr6("::1", 48899)},
        {"loopback", std::string("loopback"), addr4("127.0.0.1", 48899), addr6("::1", 48899)},
        {"numeric IPv4 text of an interface: no IPv6", std::string("127.0.0.1"), addr4("127.0.0.1", 48899), Bytes{}},
        {"unknown", std::string("no-such-if9"), Bytes{}, Bytes{}},
        {"capitals are not the loopback name", std::string("LOCALHOST"), Bytes{}, Bytes{}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Bytes got4{1};
        Bytes got6{1};
        AsyncUdpSocket::convertIntefaceDescriptionPortIntoAddress4Address6(row.text, 48899, &got4, &got6);
        EXPECT_EQ(got4, row.want4);
        EXPECT_EQ(got6, row.want6);
    }
    // By interface name: the loopback interface carries 127.0.0.1 (and ::1 where IPv6 is up).
    Bytes byName4;
    Bytes byName6;
    AsyncUdpSocket::convertIntefaceDescriptionPortIntoAddress4Address6(std::string("lo"), 8000, &byName4, &byName6);
    EXPECT_EQ(byName4, addr4("127.0.0.1", 8000));
    if (!byName6.empty()) {
        EXPECT_EQ(AsyncUdpSocket::hostFromAddress(byName6), "::1");
    }

    EXPECT_EQ(AsyncUdpSocket::indexOfInterfaceAddr4(addr4("127.0.0.1", 0)), loIndex);
    EXPECT_EQ(AsyncUdpSocket::indexOfInterfaceAddr4(addr4("203.0.113.9", 0)), 0u);
    EXPECT_EQ(AsyncUdpSocket::indexOfInterfaceAddr6(addr4("127.0.0.1", 0)), 0u) << "a 16-byte buffer is no IPv6 address";
    EXPECT_EQ(AsyncUdpSocket::indexOfInterfaceAddr6(addr6("::", 0)), 0u);
}

TEST(UdpAddressUtilities, NumericHostsOnly) {
    struct Row {
        const char* text;
        Bytes want4;
        Bytes want6;
    };
    const Row rows[] = {
        {"239.255.0.1", addr4("239.255.0.1", 0), Bytes{}},
        {"ff02::1", Bytes{}, addr6("ff02::1", 0)},
        {"localhost", Bytes{}, Bytes{}},
        {"", Bytes{}, Bytes{}},
        {"300.1.1.1", Bytes{}, Bytes{}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        Bytes got4;
        Bytes got6;
        AsyncUdpSocket::convertNumericHostPortIntoAddress4Address6(row.text, 0, &got4, &got6);
        EXPECT_EQ(got4, row.want4);
        EXPECT_EQ(got6, row.want6);
    }
}

TEST(UdpAddressChoice, FamilyByPreferenceOrderAndUsableSockets) {
    using S = AsyncUdpSocket;
    const Bytes a4 = addr4("10.0.0.2", 8000);
    const Bytes b4 = addr4("10.0.0.3", 8000);
    const Bytes a6 = addr6("fd00::2", 8000);
    const Bytes b6 = addr6("fd00::3", 8000);
    struct Row {
        const char* name;
        uint16_t config;
        uint32_t flags;
        int sockets;  // -1: not created yet; else bit 1 = IPv4 socket, bit 2 = IPv6 socket
        std::vector<Bytes> list;
        int family;
        Bytes chosen;
        std::string message;
    };
    const char* v4Disabled = "IPv4 has been disabled and DNS lookup found no IPv6 address(es).";
    const char* v6Disabled = "IPv6 has been disabled and DNS lookup found no IPv4 address(es).";
    const char* v4Deactivated = "IPv4 has been deactivated due to bind/connect, and DNS lookup found no IPv6 address(es).";
    const char* v6Deactivated = "IPv6 has been deactivated due to bind/connect, and DNS lookup found no IPv4 address(es).";
    const Row rows[] = {
        {"neutral: IPv6 first wins", 0, 0, 3, {a6, a4}, AF_INET6, a6, ""},
        {"neutral: IPv4 first wins", 0, 0, 3, {a4, a6}, AF_INET, a4, ""},
        {"first of each family", 0, 0, 3, {a4, b4, a6}, AF_INET, a4, ""},
        {"prefer IPv4", S::Config::preferIPv4, 0, 3, {a6, b6, a4, b4}, AF_INET, a4, ""},
        {"prefer IPv6", S::Config::preferIPv6, 0, 3, {a4, a6}, AF_INET6, a6, ""},
        {"prefer IPv4, only IPv6 found", S::Config::preferIPv4, 0, 3, {a6, b6}, AF_INET6, a6, ""},
        {"sockets not made yet count as usable", 0, 0, -1, {a6, a4}, AF_INET6, a6, ""},
        {"IPv4 disabled, only IPv4", S::Config::ipv4Disabled, 0, 2, {a4}, 0, {}, v4Disabled},
        {"IPv6 disabled, only IPv6", S::Config::ipv6Disabled, 0, 1, {a6}, 0, {}, v6Disabled},
        {"IPv6 disabled, both: the disabled family is left out", S::Config::ipv6Disabled, 0, 3, {a6, a4}, AF_INET, a4, ""},
        {"IPv4 deactivated, only IPv4", 0, S::Flag::ipv4Deactivated, 2, {a4}, 0, {}, v4Deactivated},
        {"IPv6 deactivated, only IPv6", 0, S::Flag::ipv6Deactivated, 1, {a6}, 0, {}, v6Deactivated},
        {"no IPv6 socket: IPv4 chosen although IPv6 came first and is preferred", S::Config::preferIPv6, 0, 1,
         {a6, a4}, AF_INET, a4, ""},
        {"no IPv4 socket: IPv6 chosen although IPv4 is preferred", S::Config::preferIPv4, 0, 2, {a4, a6}, AF_INET6, a6,
         ""},
        {"only IPv4 found, no IPv4 socket", 0, 0, 2, {a4}, 0, {}, v4Deactivated},
        {"only IPv6 found, no IPv6 socket", 0, 0, 1, {a6}, 0, {}, v6Deactivated},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        S::AddressChoiceState state;
        state.config = row.config;
        state.flags = row.flags;
        state.socketsCreated = row.sockets >= 0;
        state.hasSocket4 = row.sockets >= 0 && (row.sockets & 1);
        state.hasSocket6 = row.sockets >= 0 && (row.sockets & 2);
        Bytes chosen{9};
        Error error;
        EXPECT_EQ(S::chooseAddress(state, row.list, &chosen, &error), row.family);
        EXPECT_EQ(chosen, row.chosen);
        if (row.message.empty()) {
            EXPECT_TRUE(error.domain.empty()) << error.toString();
        } else {
            EXPECT_EQ(error.domain, AsyncUdpSocketErrorDomain);
            EXPECT_EQ(error.code, 5);
            EXPECT_EQ(error.description, row.message);
        }
    }
}

TEST(UdpErrors, DomainsCodesAndTexts) {
    EXPECT_EQ(AsyncUdpSocket::sendTimeoutError(),
              Error::make(AsyncUdpSocketErrorDomain, 3, "Send operation timed out"));
    EXPECT_EQ(AsyncUdpSocket::socketClosedError(), Error::make(AsyncUdpSocketErrorDomain, 4, "Socket closed"));
    const Error gai = AsyncUdpSocket::gaiError(EAI_FAIL);
    EXPECT_EQ(gai.domain, "kCFStreamErrorDomainNetDB");
    EXPECT_EQ(gai.code, EAI_FAIL);
    EXPECT_EQ(gai.description, gai_strerror(EAI_FAIL));
    errno = EADDRINUSE;
    const Error posix = AsyncUdpSocket::errnoErrorWithReason("Error in bind() function");
    EXPECT_EQ(posix.domain, platform::kPosixErrorDomain);
    EXPECT_EQ(posix.code, EADDRINUSE);
    EXPECT_EQ(posix.failureReason, "Error in bind() function");
}

}  // namespace
