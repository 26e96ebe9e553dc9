// The read request rules and the pre-buffer, and the address utilities of the TCP socket; how
// misuse of a socket by code ends the program.

#include "net/AsyncTcpSocket.h"
#include "net/AsyncUdpSocket.h"
#include "net/detail/TcpRequests.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netdb.h>

#include <cstring>
#include <string>

using net::detail::AsyncTcpReadPacket;
using net::detail::AsyncTcpSocketPreBuffer;
using platform::Bytes;

namespace {

Bytes bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

TEST(TcpPreBuffer, GrowsByTheShortfallAndKeepsReadableBytes) {
    AsyncTcpSocketPreBuffer pre(4096);
    for (size_t i = 0; i < 4000; ++i) pre.writeBuffer()[i] = static_cast<uint8_t>(i);
    pre.didWrite(4000);
    pre.didRead(100);

    pre.ensureCapacityForWrite(200);
    EXPECT_EQ(pre.preBufferSize(), 4200u);
    EXPECT_EQ(pre.availableBytes(), 3900u);
    EXPECT_EQ(pre.availableSpace(), 200u);
    EXPECT_EQ(pre.readBuffer()[0], static_cast<uint8_t>(100));
    EXPECT_EQ(pre.readBuffer()[3899], static_cast<uint8_t>(3999 % 256));

    pre.ensureCapacityForWrite(10);  // room enough: never shrinks, never grows
    EXPECT_EQ(pre.preBufferSize(), 4200u);

    pre.didRead(pre.availableBytes());  // emptied: the whole block is free again
    EXPECT_EQ(pre.availableBytes(), 0u);
    EXPECT_EQ(pre.availableSpace(), 4200u);
}

// A terminator read holding `held` bytes, facing `pre` in the pre-buffer.
struct TermCase {
    const char* name;
    std::string term;
    std::string held;
    std::string pre;
    size_t maxLength;
    size_t expected;
    bool found;
};

// Rows print as their name, so that test names stay the same from one build to the next.
void PrintTo(const TermCase& c, std::ostream* out) { *out << c.name; }

class TcpTermSearch : public ::testing::TestWithParam<TermCase> {};

TEST_P(TcpTermSearch, MovesUpToAndIncludingTheTerminator) {
    const TermCase& c = GetParam();
    AsyncTcpReadPacket packet(nullptr, 0, c.maxLength, -1, 0, bytes(c.term), 0);
    packet.ensureCapacityForAdditionalDataOfLength(c.held.size());
    if (!c.held.empty()) std::memcpy(packet.writePosition(), c.held.data(), c.held.size());
    packet.bytesDone = c.held.size();

    AsyncTcpSocketPreBuffer pre(16);
    pre.ensureCapacityForWrite(c.pre.size());
    std::memcpy(pre.writeBuffer(), c.pre.data(), c.pre.size());
    pre.didWrite(c.pre.size());

    bool found = false;
    EXPECT_EQ(packet.readLengthForTermWithPreBufferFound(pre, &found), c.expected);
    EXPECT_EQ(found, c.found);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, TcpTermSearch,
    ::testing::Values(TermCase{"SplitCrLf", "\r\n", "abc\r", "\nxyz", 0, 1, true},
                      TermCase{"TooFewBytes", "XYZ", "", "XY", 0, 2, false},
                      TermCase{"BoundedByMaxLength", "\n", "12345678", "abcde", 10, 2, false},
                      TermCase{"BoundHidesTerminator", "\n", "12345678", "ab\n", 10, 2, false},
                      TermCase{"InsidePreBuffer", "\n", "", "ab\ncd", 0, 3, true},
                      TermCase{"FirstMatchWins", "\r\n", "", "ab\r\ncd\r\n", 0, 4, true},
                      TermCase{"TwoHeldBytesOfThree", "ABC", "xxAB", "Cyy", 0, 1, true},
                      TermCase{"NoTerminator", "\r\n", "ab", "cdef", 0, 4, false}),
    [](const auto& row) { return std::string(row.param.name); });

struct AfterCase {
    const char* name;
    std::string term;
    std::string old;
    std::string fresh;
    long expected;
};

void PrintTo(const AfterCase& c, std::ostream* out) { *out << c.name; }

class TcpTermAfterRead : public ::testing::TestWithParam<AfterCase> {};

TEST_P(TcpTermAfterRead, CountsTheBytesBehindTheTerminator) {
    const AfterCase& c = GetParam();
    AsyncTcpReadPacket packet(nullptr, 0, 0, -1, 0, bytes(c.term), 0);
    const std::string all = c.old + c.fresh;
    packet.ensureCapacityForAdditionalDataOfLength(all.size());
    std::memcpy(packet.writePosition(), all.data(), all.size());
    packet.bytesDone = c.old.size();
    EXPECT_EQ(packet.searchForTermAfterPreBuffering(static_cast<long>(c.fresh.size())), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Rules, TcpTermAfterRead,
                         ::testing::Values(AfterCase{"ThirdOfFive", "\n", "abc", "de\nfg", 2},
                                           AfterCase{"AtTheEnd", "\n", "abc", "defg\n", 0},
                                           AfterCase{"NotYet", "\n", "abc", "defgh", -1},
                                           AfterCase{"SpansOldAndNew", "\r\n", "ab\r", "\nxy", 2},
                                           AfterCase{"OldBytesAloneDoNotCount", "\n", "a\nb", "cd", -1}),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(TcpReadPacket, LengthRulesByKindOfRead) {
    struct Row {
        const char* name;
        size_t readLength, maxLength, bytesDone, hint, expected;
    };
    const Row rows[] = {
        {"exact length: what is still missing", 10, 0, 4, 100, 6},
        {"exact length: the hint when smaller", 10, 0, 4, 3, 3},
        {"bounded: up to the maximum", 0, 50, 20, 100, 30},
        {"unbounded: the hint", 0, 0, 20, 100, 100},
    };
    for (const Row& row : rows) {
        AsyncTcpReadPacket packet(nullptr, 0, row.maxLength, -1, row.readLength, {}, 0);
        packet.bytesDone = row.bytesDone;
        EXPECT_EQ(packet.readLengthForNonTermWithHint(row.hint), row.expected) << row.name;
        bool preBuffer = true;
        EXPECT_EQ(packet.optimalReadLengthWithDefaultShouldPreBuffer(row.hint, &preBuffer), row.expected) << row.name;
    }
}

TEST(TcpReadPacket, TerminatorReadsAskForThePreBufferWhenTheBufferIsShort) {
    AsyncTcpReadPacket owned(nullptr, 0, 0, -1, 0, bytes("\n"), 0);  // owns an empty buffer
    bool preBuffer = false;
    EXPECT_EQ(owned.readLengthForTermWithHintShouldPreBuffer(100, &preBuffer), 100u);
    EXPECT_TRUE(preBuffer);

    auto callers = std::make_shared<Bytes>(200);
    AsyncTcpReadPacket roomy(callers, 0, 64, -1, 0, bytes("\n"), 0);
    EXPECT_EQ(roomy.readLengthForTermWithHintShouldPreBuffer(100, &preBuffer), 64u);
    EXPECT_FALSE(preBuffer);
}

TEST(TcpReadPacket, BufferGrowsByExactlyWhatIsMissing) {
    auto callers = std::make_shared<Bytes>(10);
    AsyncTcpReadPacket packet(callers, 2, 0, -1, 0, {}, 0);
    EXPECT_FALSE(packet.bufferOwner);
    EXPECT_EQ(packet.originalBufferLength, 10u);
    packet.bytesDone = 3;                               // room left: 10 - 5 = 5
    packet.ensureCapacityForAdditionalDataOfLength(4);  // fits
    EXPECT_EQ(callers->size(), 10u);
    packet.ensureCapacityForAdditionalDataOfLength(12);
    EXPECT_EQ(callers->size(), 17u);

    AsyncTcpReadPacket exact(nullptr, 0, 0, -1, 8, {}, 0);
    EXPECT_TRUE(exact.bufferOwner);
    EXPECT_EQ(exact.buffer->size(), 8u);
}

// ---- address utilities ----

TEST(TcpAddress, InterfaceDescriptions) {
    struct Row {
        const char* description;
        uint16_t port;
        bool has4;
        const char* host4;
        uint16_t expectedPort;
        bool has6;
    };
    const Row rows[] = {
        {"lo:8080", 0, true, "127.0.0.1", 8080, true},
        {"lo:8080", 21, true, "127.0.0.1", 21, true},
        {"lo:0", 0, true, "127.0.0.1", 0, true},
        {"lo:70000", 0, true, "127.0.0.1", 0, true},
        {"", 5, true, "0.0.0.0", 5, true},
        {":9000", 0, true, "0.0.0.0", 9000, true},
        {"localhost", 5, true, "127.0.0.1", 5, true},
        {"127.0.0.1", 7, true, "127.0.0.1", 7, false},  // the address of lo matches its IPv4 entry only
        {"nosuchif0", 7, false, "", 0, false},
        // An IPv6 address names the interface whole; "::" still means every address.
        {"::1", 7, false, "", 7, true},
        {"::2", 7, false, "", 0, false},
        {"::", 7, true, "0.0.0.0", 7, true},
    };
    for (const Row& row : rows) {
        Bytes a4{1}, a6{1};
        AsyncTcpSocket::getInterfaceAddress4Address6FromDescriptionPort(&a4, &a6, row.description, row.port);
        SCOPED_TRACE(row.description);
        ASSERT_EQ(!a4.empty(), row.has4);
        if (row.has4) {
            ASSERT_EQ(a4.size(), sizeof(sockaddr_in));
            EXPECT_EQ(AsyncTcpSocket::hostFromAddress(a4), row.host4);
            EXPECT_EQ(AsyncTcpSocket::portFromAddress(a4), row.expectedPort);
        }
        // lo may have no IPv6 address in a container; only a positive row with one is checked.
        if (!row.has6) {
            EXPECT_TRUE(a6.empty());
        } else if (!a6.empty()) {
            EXPECT_EQ(AsyncTcpSocket::portFromAddress(a6), row.expectedPort);
        }
    }
}

TEST(TcpAddress, LoopbackNamesNeedNoNameService) {
    platform::Error err;
    const auto list = AsyncTcpSocket::lookupHostPortError("localhost", 5000, &err);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_TRUE(err.domain.empty());
    EXPECT_TRUE(AsyncTcpSocket::isIPv4Address(list[0]));
    EXPECT_TRUE(AsyncTcpSocket::isIPv6Address(list[1]));
    EXPECT_EQ(AsyncTcpSocket::hostFromAddress(list[0]), "127.0.0.1");
    EXPECT_EQ(AsyncTcpSocket::hostFromAddress(list[1]), "::1");
    EXPECT_EQ(AsyncTcpSocket::portFromAddress(list[0]), 5000);
    EXPECT_EQ(AsyncTcpSocket::portFromAddress(list[1]), 5000);
    EXPECT_EQ(list[0].size(), sizeof(sockaddr_in));
    EXPECT_EQ(list[1].size(), sizeof(sockaddr_in6));

    const auto numeric = AsyncTcpSocket::lookupHostPortError("127.0.0.1", 80, &err);
    ASSERT_EQ(numeric.size(), 1u);
    EXPECT_EQ(AsyncTcpSocket::portFromAddress(numeric[0]), 80);
}

TEST(TcpAddress, HostAndPortFromRawAddresses) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(5000);
    inet_pton(AF_INET, "192.0.2.7", &a.sin_addr);
    const Bytes v4(reinterpret_cast<uint8_t*>(&a), reinterpret_cast<uint8_t*>(&a) + sizeof a);

    std::string host = "untouched";
    uint16_t port = 1;
    sa_family_t family = 0;
    ASSERT_TRUE(AsyncTcpSocket::getHostPortFamilyFromAddress(&host, &port, &family, v4));
    EXPECT_EQ(host, "192.0.2.7");
    EXPECT_EQ(port, 5000);
    EXPECT_EQ(family, AF_INET);

    // 20 bytes that claim IPv6: too short for one; the out arguments stay as they were.
    Bytes short6(20, 0);
    const sa_family_t f6 = AF_INET6;
    std::memcpy(short6.data(), &f6, sizeof f6);
    host = "untouched";
    port = 1;
    EXPECT_FALSE(AsyncTcpSocket::getHostPortFromAddress(&host, &port, short6));
    EXPECT_EQ(host, "untouched");
    EXPECT_EQ(port, 1);
    EXPECT_TRUE(AsyncTcpSocket::isIPv6Address(Bytes(short6.begin(), short6.begin() + 16)));
    EXPECT_FALSE(AsyncTcpSocket::isIPv4Address(Bytes(v4.begin(), v4.begin() + 15)));
    EXPECT_EQ(AsyncTcpSocket::hostFromAddress(short6), "");
    EXPECT_EQ(AsyncTcpSocket::portFromAddress(short6), 0);
}

TEST(TcpErrors, DomainsCodesAndTexts) {
    struct Row {
        platform::Error error;
        const char* domain;
        long code;
        const char* text;
    };
    const Row rows[] = {
        {AsyncTcpSocket::connectTimeoutError(), AsyncTcpSocketErrorDomain, 3, "Attempt to connect to host timed out"},
        {AsyncTcpSocket::readTimeoutError(), AsyncTcpSocketErrorDomain, 4, "Read operation timed out"},
        {AsyncTcpSocket::writeTimeoutError(), AsyncTcpSocketErrorDomain, 5, "Write operation timed out"},
        {AsyncTcpSocket::readMaxedOutError(), AsyncTcpSocketErrorDomain, 6,
         "Read operation reached set maximum length"},
        {AsyncTcpSocket::connectionClosedError(), AsyncTcpSocketErrorDomain, 7, "Socket closed by remote peer"},
        {AsyncTcpSocket::gaiError(EAI_FAIL), "kCFStreamErrorDomainNetDB", EAI_FAIL, gai_strerror(EAI_FAIL)},
        {AsyncTcpSocket::sslError(platform::errSSLClosedAbort), "kCFStreamErrorDomainSSL", -9806, ""},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.error.domain, row.domain);
        EXPECT_EQ(row.error.code, row.code);
        EXPECT_EQ(row.error.description, row.text);
    }
}

// Misuse of either socket by code aborts, and the last line before the crash names the socket and
// the rule broken.
TEST(SocketMisuse, AbortsNamingTheSocketAndTheRule) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Row {
        const char* name;
        void (*misuse)();
        const char* message;
    };
    const Row rows[] = {
        {"a concurrent socket queue for TCP",
         [] { AsyncTcpSocket::initWithSocketQueue(platform::dispatch::Queue::global()); },
         "AsyncTcpSocket: The given socketQueue parameter must not be a concurrent queue\\."},
        {"a length rule asked of a terminator read",
         [] { AsyncTcpReadPacket(nullptr, 0, 0, -1, 0, bytes("\n"), 0).readLengthForNonTermWithHint(1); },
         "AsyncTcpSocket: This method does not apply to term reads"},
        {"a concurrent socket queue for UDP",
         [] { AsyncUdpSocket::initWithSocketQueue(platform::dispatch::Queue::global()); },
         "AsyncUdpSocket: The given socketQueue parameter must not be a concurrent queue\\."},
        {"a UDP destination chosen from no address",
         [] { AsyncUdpSocket::chooseAddress({}, {}, nullptr, nullptr); },
         "AsyncUdpSocket: Expected at least one address"},
    };
    for (const Row& row : rows) EXPECT_DEATH(row.misuse(), row.message) << row.name;
}

}  // namespace
