// The TCP socket's TLS upgrade over loopback: against the openssl program as server and as
// client, against blocking peers on the TLS library in a test thread, and through a forwarder
// that cuts the peer's records into segments read one by one.

#include "net/AsyncTcpSocket.h"
#include "net/SplittingForwarder.h"
#include "net/TcpTestSupport.h"
#include "net/TlsTestSupport.h"
#include "platform/dispatch/WorkerPool.h"

#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <any>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace nettest;

namespace {

using Settings = std::map<std::string, std::any>;

const TestCertificates& certs() { return TestCertificates::shared(); }

// Which certificate the openssl server presents.
enum class ServerIdentity { Leaf, ExpiredLeaf, LeafOfExpiredRoot };

// An openssl server on a free port of 127.0.0.1 that answers each line reversed, one connection
// after the other.
std::vector<std::string> serverArgs(ServerIdentity identity) {
    std::vector<std::string> args{"s_server", "-rev", "-accept", "127.0.0.1:0", "-key", certs().file("leaf.key")};
    switch (identity) {
    case ServerIdentity::Leaf:
        args.insert(args.end(), {"-cert", certs().file("leaf.pem"), "-cert_chain", certs().file("root.pem")});
        break;
    case ServerIdentity::ExpiredLeaf:
        args.insert(args.end(), {"-cert", certs().file("expired-leaf.pem"), "-cert_chain", certs().file("root.pem")});
        break;
    case ServerIdentity::LeafOfExpiredRoot:
        args.insert(args.end(), {"-cert", certs().file("leaf-of-expired-root.pem"), "-cert_chain",
                                 certs().file("expired-root.pem")});
        break;
    }
    return args;
}

size_t indexOf(const std::vector<Event>& events, Event::Kind kind, long tag = -1) {
    for (size_t i = 0; i < events.size(); ++i)
        if (events[i].kind == kind && (tag < 0 || events[i].tag == tag)) return i;
    return events.size();
}

class TcpTls : public ::testing::Test {
public:
    void SetUp() override {
        delegate = std::make_shared<Recorder>();
        delegateQueue = Queue::createSerial("test.delegate");
        sock = AsyncTcpSocket::initWithDelegateDelegateQueue(delegate, delegateQueue);
    }
    void TearDown() override {
        sock.reset();
        listener.reset();
        delegateQueue->sync([] {});
    }
    void connectTo(uint16_t port) {
        Error err;
        ASSERT_TRUE(sock->connectToHostOnPortError("127.0.0.1", port, &err)) << err.toString();
        ASSERT_TRUE(delegate->waitForCount(Event::Connect));
    }
    // Secured, or the error that closed the socket.
    std::optional<Error> outcome() {
        EXPECT_TRUE(delegate->waitFor([](const std::vector<Event>& ev) {
            return Recorder::count(ev, Event::Secure) > 0 || Recorder::count(ev, Event::Disconnect) > 0;
        }));
        const auto disconnects = delegate->of(Event::Disconnect);
        if (disconnects.empty()) return std::nullopt;
        return disconnects[0].error.value_or(Error{});
    }

    std::shared_ptr<Recorder> delegate;
    std::shared_ptr<Queue> delegateQueue;
    std::shared_ptr<AsyncTcpSocket> sock;
    std::shared_ptr<AsyncTcpSocket> listener;
};

TEST_F(TcpTls, SecuresAgainstAServerAndCarriesALineEachWay) {
    OpenSslProcess server(serverArgs(ServerIdentity::Leaf));
    const uint16_t port = server.acceptPort();
    ASSERT_NE(port, 0) << server.errors();
    delegate->onEvent = [](const Recorder::SocketPtr& s, const Event& e) {
        if (e.kind == Event::Secure) {
            s->writeDataWithTimeoutTag(bytes("hello\r\n"), -1, 1);
            s->readDataToDataWithTimeoutTag(AsyncTcpSocket::LFData(), -1, 2);
        }
    };
    connectTo(port);
    sock->startTLS({{kCFStreamSSLAllowsAnyRoot, true}, {kCFStreamSSLPeerName, std::string("localhost")}});

    ASSERT_TRUE(delegate->waitForCount(Event::Read)) << server.errors();
    EXPECT_EQ(text(delegate->of(Event::Read).at(0).data), "olleh\n");  // the server answers each line reversed
    EXPECT_TRUE(sock->isSecure());
    const auto events = delegate->events();
    EXPECT_LT(indexOf(events, Event::Connect), indexOf(events, Event::Secure));
    EXPECT_LT(indexOf(events, Event::Secure), indexOf(events, Event::Read));
    EXPECT_EQ(delegate->of(Event::Disconnect).size(), 0u);
}

// A job of a serial queue that makes request after request on a secured socket and waits for
// each reply. Its requests reach the socket queue through the job's own pool thread, which keeps
// them for itself while the job runs when no other thread is watching for work: each one, not
// only the first, must be handed on while the job waits, or the exchange never ends. A request
// that a watching thread took at once shows nothing of that, so the job goes on until the pool
// has kept the requests of several exchanges for its thread.
TEST_F(TcpTls, AJobThatWaitsForTheReplyToEachOfItsRequestsGetsThemAll) {
    OpenSslProcess server(serverArgs(ServerIdentity::Leaf));
    const uint16_t port = server.acceptPort();
    ASSERT_NE(port, 0) << server.errors();
    connectTo(port);
    sock->startTLS({{kCFStreamSSLAllowsAnyRoot, true}, {kCFStreamSSLPeerName, std::string("localhost")}});
    ASSERT_TRUE(delegate->waitForCount(Event::Secure)) << server.errors();

    constexpr int kKeptExchanges = 4;
    constexpr int kMostExchanges = 400;
    struct Outcome {
        int answered = 0;  // exchanges that got their reply
        int kept = 0;      // of them, those whose requests the job's thread kept
    };
    auto client = Queue::createSerial("test.client");
    std::promise<Outcome> done;
    client->async([&] {
        Outcome o;
        while (o.kept < kKeptExchanges && o.answered < kMostExchanges) {
            const int n = o.answered + 1;
            sock->writeDataWithTimeoutTag(bytes("request " + std::to_string(n) + "\n"), -1, n);
            sock->readDataToDataWithTimeoutTag(AsyncTcpSocket::LFData(), -1, n);
            const bool kept = platform::dispatch::detail::WorkerPool::keepsItem();
            if (!delegate->waitForCount(Event::Read, size_t(n), 10s)) break;
            ++o.answered;
            o.kept += kept;
        }
        done.set_value(o);
    });
    auto result = done.get_future();
    ASSERT_EQ(result.wait_for(60s), std::future_status::ready);
    const Outcome o = result.get();
    EXPECT_EQ(o.kept, kKeptExchanges) << o.answered << " exchanges answered, " << o.kept
                                      << " of them kept by the job's thread; " << server.errors();
    const auto reads = delegate->of(Event::Read);
    EXPECT_EQ(reads.size(), size_t(o.answered));
    for (size_t i = 0; i < reads.size(); ++i) {
        std::string request = "request " + std::to_string(i + 1);
        EXPECT_EQ(text(reads[i].data), std::string(request.rbegin(), request.rend()) + "\n");
    }
}

TEST_F(TcpTls, SettingsDecideWhetherTheConnectionIsSecured) {
    struct Row {
        const char* name;
        ServerIdentity identity;
        Settings settings;
        long code;             // 0: secured
        const char* domain;    // of the error
        const char* text;      // of a set-up failure
        const char* cipher;    // as the server names it, when secured
    };
    const char* ssl = AsyncTcpSocketSSLErrorDomain;
    const char* own = AsyncTcpSocketErrorDomain;
    const Bytes dh = TestCertificates::dhParameters();
    ASSERT_FALSE(dh.empty());
    const Row rows[] = {
        {"defaults: the test root is not trusted", ServerIdentity::Leaf, {}, -9807, ssl, "", nullptr},
        {"validation off", ServerIdentity::Leaf, {{kCFStreamSSLValidatesCertificateChain, false}}, 0, "", "", nullptr},
        {"any root, right name", ServerIdentity::Leaf,
         {{kCFStreamSSLAllowsAnyRoot, true}, {kCFStreamSSLPeerName, std::string("localhost")}}, 0, "", "", nullptr},
        {"any root, right address", ServerIdentity::Leaf,
         {{kCFStreamSSLAllowsAnyRoot, true}, {kCFStreamSSLPeerName, "127.0.0.1"}}, 0, "", "", nullptr},
        {"any root, wrong name", ServerIdentity::Leaf,
         {{kCFStreamSSLAllowsAnyRoot, true}, {kCFStreamSSLPeerName, std::string("wrong.example")}}, -9807, ssl, "",
         nullptr},
        {"expired leaf", ServerIdentity::ExpiredLeaf, {{kCFStreamSSLAllowsAnyRoot, true}}, -9807, ssl, "", nullptr},
        {"expired leaf allowed", ServerIdentity::ExpiredLeaf,
         {{kCFStreamSSLAllowsAnyRoot, true}, {kCFStreamSSLAllowsExpiredCertificates, true}}, 0, "", "", nullptr},
        {"expired root", ServerIdentity::LeafOfExpiredRoot, {{kCFStreamSSLAllowsAnyRoot, true}}, -9807, ssl, "",
         nullptr},
        {"expired root, only expired certificates allowed", ServerIdentity::LeafOfExpiredRoot,
         {{kCFStreamSSLAllowsAnyRoot, true}, {kCFStreamSSLAllowsExpiredCertificates, true}}, -9807, ssl, "", nullptr},
        {"expired root allowed", ServerIdentity::LeafOfExpiredRoot,
         {{kCFStreamSSLAllowsAnyRoot, true}, {kCFStreamSSLAllowsExpiredRoots, true}}, 0, "", "", nullptr},
        {"negotiated level", ServerIdentity::Leaf,
         {{kCFStreamSSLAllowsAnyRoot, true}, {kCFStreamSSLLevel, std::string(kCFStreamSocketSecurityLevelNegotiatedSSL)}},
         0, "", "", nullptr},
        {"SSL 3 level", ServerIdentity::Leaf, {{kCFStreamSSLLevel, std::string(kCFStreamSocketSecurityLevelSSLv3)}}, 8,
         own, "Error in SSLSetProtocolVersionEnabled", nullptr},
        {"TLS 1.0 level", ServerIdentity::Leaf, {{kCFStreamSSLLevel, kCFStreamSocketSecurityLevelTLSv1}}, 8, own,
         "Error in SSLSetProtocolVersionEnabled", nullptr},
        {"an unknown suite", ServerIdentity::Leaf, {{AsyncTcpSocketSSLCipherSuites, std::vector<long>{0x1301, 0xFEFE}}},
         8, own, "Error in SSLSetEnabledCiphers", nullptr},
        {"a suite above 0x8000", ServerIdentity::Leaf,
         {{kCFStreamSSLAllowsAnyRoot, true}, {AsyncTcpSocketSSLCipherSuites, std::vector<long>{0xC02F}}}, 0, "", "",
         "ECDHE-RSA-AES128-GCM-SHA256"},
        {"a TLS 1.3 suite", ServerIdentity::Leaf,
         {{kCFStreamSSLAllowsAnyRoot, true}, {AsyncTcpSocketSSLCipherSuites, std::vector<int>{0x1301}}}, 0, "", "",
         "TLS_AES_128_GCM_SHA256"},
        {"bad Diffie-Hellman bytes", ServerIdentity::Leaf, {{AsyncTcpSocketSSLDiffieHellmanParameters, Bytes{1, 2, 3}}},
         8, own, "Error in SSLSetDiffieHellmanParams", nullptr},
        {"good Diffie-Hellman parameters", ServerIdentity::Leaf,
         {{kCFStreamSSLAllowsAnyRoot, true}, {AsyncTcpSocketSSLDiffieHellmanParameters, dh}}, 0, "", "", nullptr},
        {"a peer name with a zero byte", ServerIdentity::Leaf,
         {{kCFStreamSSLAllowsAnyRoot, true}, {kCFStreamSSLPeerName, std::string("localhost\0.evil", 15)}}, 8, own,
         "Error in SSLSetPeerDomainName", nullptr},
        {"an unreadable certificate", ServerIdentity::Leaf,
         {{kCFStreamSSLCertificates, std::vector<std::string>{"not a certificate"}}}, 8, own,
         "Error in SSLSetCertificate", nullptr},
        {"a key that is not the certificate's", ServerIdentity::Leaf,
         {{kCFStreamSSLCertificates, std::vector<std::string>{certs().leafPem + certs().rootKeyPem}}}, 8, own,
         "Error in SSLSetCertificate", nullptr},
    };
    // One server per identity serves the rows one after the other.
    std::map<ServerIdentity, std::unique_ptr<OpenSslProcess>> servers;
    std::map<ServerIdentity, uint16_t> ports;
    for (ServerIdentity identity :
         {ServerIdentity::Leaf, ServerIdentity::ExpiredLeaf, ServerIdentity::LeafOfExpiredRoot}) {
        servers[identity] = std::make_unique<OpenSslProcess>(serverArgs(identity));
        ports[identity] = servers[identity]->acceptPort();
        ASSERT_NE(ports[identity], 0) << servers[identity]->errors();
    }
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        OpenSslProcess& server = *servers[row.identity];
        const size_t serverLogBefore = server.errors().size();
        connectTo(ports[row.identity]);
        sock->startTLS(row.settings);
        const std::optional<Error> error = outcome();
        if (row.code == 0) {
            EXPECT_FALSE(error) << error->toString() << "\n" << server.errors();
            EXPECT_TRUE(sock->isSecure());
            if (row.cipher) {
                EXPECT_TRUE(eventually([&] {
                    return server.errors().find(std::string("Ciphersuite: ") + row.cipher, serverLogBefore) !=
                           std::string::npos;
                })) << server.errors();
            }
        } else {
            ASSERT_TRUE(error);
            EXPECT_EQ(error->domain, row.domain);
            EXPECT_EQ(error->code, row.code);
            EXPECT_EQ(error->description, row.text);
            EXPECT_FALSE(sock->isSecure());
            EXPECT_TRUE(sock->isDisconnected());
        }
        TearDown();
    }
}

TEST_F(TcpTls, AnAcceptedSocketServesAClientThatValidatesIt) {
    struct Row {
        const char* name;
        Settings extra;
        std::vector<std::string> clientArgs;
    };
    const Row rows[] = {
        {"TLS 1.3", {}, {}},
        {"TLS 1.2 with Diffie-Hellman",
         {{AsyncTcpSocketSSLDiffieHellmanParameters, TestCertificates::dhParameters()},
          {AsyncTcpSocketSSLCipherSuites, std::vector<long>{0x009E}}},
         {"-tls1_2", "-cipher", "DHE-RSA-AES128-GCM-SHA256"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        Settings settings{{kCFStreamSSLIsServer, true}, {kCFStreamSSLCertificates, certs().identity()}};
        settings.insert(row.extra.begin(), row.extra.end());
        delegate->onEvent = [settings](const Recorder::SocketPtr& s, const Event& e) {
            if (e.kind == Event::Accept) {
                e.newSocket->startTLS(settings);
                e.newSocket->readDataToDataWithTimeoutTag(AsyncTcpSocket::LFData(), -1, 1);
            } else if (e.kind == Event::Read && e.tag == 1) {
                s->writeDataWithTimeoutTag(bytes("pong\n"), -1, 1);
                s->readDataWithTimeoutTag(-1, 2);  // pending when the client leaves
            }
        };
        listener = AsyncTcpSocket::initWithDelegateDelegateQueue(delegate, delegateQueue);
        Error err;
        ASSERT_TRUE(listener->acceptOnInterfacePortError("127.0.0.1", 0, &err)) << err.toString();
        uint16_t port = 0;
        listener->performBlock([&] { port = listener->localPort4(); });

        std::vector<std::string> args{"s_client", "-connect", "127.0.0.1:" + std::to_string(port),
                                      "-CAfile", certs().file("root.pem"), "-verify_return_error",
                                      "-verify_hostname", "localhost", "-servername", "localhost",
                                      "-quiet", "-no_ign_eof"};
        args.insert(args.end(), row.clientArgs.begin(), row.clientArgs.end());
        OpenSslProcess client(args);
        client.write("ping\n");
        EXPECT_NE(client.readUntil("pong\n").find("pong\n"), std::string::npos) << client.errors();
        ASSERT_TRUE(delegate->waitForCount(Event::Secure));
        EXPECT_EQ(text(delegate->of(Event::Read).at(0).data), "ping\n");

        // The client's close_notify ends the connection as a close by the peer.
        client.closeStdin();
        EXPECT_EQ(client.wait(), 0) << client.errors();
        ASSERT_TRUE(delegate->waitForCount(Event::Disconnect));
        const Event end = delegate->of(Event::Disconnect).at(0);
        ASSERT_TRUE(end.error);
        EXPECT_EQ(end.error->domain, AsyncTcpSocketErrorDomain);
        EXPECT_EQ(end.error->code, AsyncTcpSocketClosedError);
        EXPECT_FALSE(listener->isDisconnected());
        TearDown();
    }
}

TEST_F(TcpTls, RequestsBeforeTheUpgradeGoInClearAndLaterOnesAfterIt) {
    Peer peer;
    ASSERT_TRUE(peer.ok());
    connectTo(peer.port());
    ASSERT_TRUE(peer.accept());
    const Settings server{{kCFStreamSSLIsServer, true}, {kCFStreamSSLCertificates, certs().identity()}};
    sock->readDataToDataWithTimeoutTag(AsyncTcpSocket::CRLFData(), -1, 1);
    sock->writeDataWithTimeoutTag(bytes("OK\r\n"), -1, 1);
    sock->startTLS(server);
    // A second upgrade has no effect: its set-up would fail.
    sock->startTLS({{kCFStreamSSLIsServer, true}, {AsyncTcpSocketSSLDiffieHellmanParameters, Bytes{1}}});
    sock->readDataToDataWithTimeoutTag(AsyncTcpSocket::CRLFData(), -1, 2);
    sock->writeDataWithTimeoutTag(bytes("secret reply\r\n"), -1, 2);

    std::string plain, reply;
    bool handshake = false;
    std::thread client([&] {
        LibraryPeer tls = LibraryPeer::client(peer.connection());
        // The command and the first TLS flight in one segment: the flight waits in the socket's
        // buffer behind the command's read and must reach the handshake from there.
        peer.send("STARTTLS\r\n" + tls.firstFlight());
        plain = text(peer.read(4));
        handshake = tls.handshake();
        if (handshake && tls.writeAll("secret\r\n")) reply = tls.read(14);
    });
    client.join();

    EXPECT_EQ(plain, "OK\r\n");
    EXPECT_TRUE(handshake);
    EXPECT_EQ(reply, "secret reply\r\n");
    ASSERT_TRUE(delegate->waitForCount(Event::Read, 2));
    sock->startTLS(server);  // once secure, too
    ASSERT_TRUE(delegate->waitForCount(Event::Write, 2));
    const auto events = delegate->events();
    EXPECT_EQ(text(events[indexOf(events, Event::Read, 1)].data), "STARTTLS\r\n");
    EXPECT_EQ(text(events[indexOf(events, Event::Read, 2)].data), "secret\r\n");
    EXPECT_LT(indexOf(events, Event::Read, 1), indexOf(events, Event::Secure));
    EXPECT_LT(indexOf(events, Event::Write, 1), indexOf(events, Event::Secure));
    EXPECT_LT(indexOf(events, Event::Secure), indexOf(events, Event::Read, 2));
    EXPECT_LT(indexOf(events, Event::Secure), indexOf(events, Event::Write, 2));
    sock->performBlock([] {});
    delegateQueue->sync([] {});
    EXPECT_EQ(delegate->of(Event::Secure).size(), 1u);
    EXPECT_TRUE(delegate->of(Event::Disconnect).empty());
    EXPECT_TRUE(sock->isSecure());
}

TEST_F(TcpTls, AnUpgradeAskedForBeforeTheConnectionHasNoEffect) {
    Peer peer;
    ASSERT_TRUE(peer.ok());
    sock->startTLS({{kCFStreamSSLAllowsAnyRoot, true}});
    connectTo(peer.port());
    ASSERT_TRUE(peer.accept());
    sock->readDataToDataWithTimeoutTag(AsyncTcpSocket::LFData(), -1, 1);
    peer.send("plain\n");
    ASSERT_TRUE(delegate->waitForCount(Event::Read));
    EXPECT_EQ(text(delegate->of(Event::Read).at(0).data), "plain\n");
    EXPECT_FALSE(sock->isSecure());
    EXPECT_TRUE(delegate->of(Event::Secure).empty());
}

TEST_F(TcpTls, AMegabyteToAPeerThatReadsLateArrivesWholeInOneCompletion) {
    Peer peer;
    ASSERT_TRUE(peer.ok());
    auto payload = std::make_shared<Bytes>(1024 * 1024);
    for (size_t i = 0; i < payload->size(); ++i) (*payload)[i] = static_cast<uint8_t>((i * 7) % 251);
    delegate->onEvent = [payload](const Recorder::SocketPtr& s, const Event& e) {
        if (e.kind == Event::Secure) s->writeDataWithTimeoutTag(std::shared_ptr<const Bytes>(payload), -1, 5);
    };
    connectTo(peer.port());
    ASSERT_TRUE(peer.accept());
    // Small buffers on both sides, so that the socket meets a full send buffer many times.
    const int small = 32 * 1024;
    ::setsockopt(peer.connection(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sock->performBlock([&] { ::setsockopt(sock->socketFD(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small); });
    std::string received;
    std::thread server([&] {
        LibraryPeer tls = LibraryPeer::server(peer.connection());
        if (!tls.handshake()) return;
        // Reads only once the socket has met a full send buffer.
        if (!delegate->waitForCount(Event::WritePartial)) return;
        received = tls.read(payload->size());
    });
    sock->startTLS({{kCFStreamSSLAllowsAnyRoot, true}});
    server.join();

    ASSERT_EQ(received.size(), payload->size());
    EXPECT_TRUE(std::equal(received.begin(), received.end(), payload->begin(),
                           [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; }));
    ASSERT_TRUE(delegate->waitForCount(Event::Write));
    sock->performBlock([] {});
    delegateQueue->sync([] {});
    EXPECT_EQ(delegate->of(Event::Write).size(), 1u);
    EXPECT_EQ(delegate->of(Event::Write).at(0).tag, 5);
    EXPECT_FALSE(delegate->of(Event::WritePartial).empty());  // it did wait for room
    EXPECT_TRUE(delegate->of(Event::Disconnect).empty());
}

TEST_F(TcpTls, HowTheStreamEndsDecidesTheError) {
    struct Row {
        const char* name;
        std::function<void(Peer&)> peerEnds;
        const char* domain;
        long code;
    };
    const Row rows[] = {
        {"close_notify",
         [](Peer& peer) {
             LibraryPeer tls = LibraryPeer::server(peer.connection());
             if (tls.handshake()) tls.closeNotify();
             peer.closeConnection();
         },
         AsyncTcpSocketErrorDomain, AsyncTcpSocketClosedError},
        {"the connection ends without close_notify",
         [](Peer& peer) {
             LibraryPeer tls = LibraryPeer::server(peer.connection());
             if (tls.handshake()) std::this_thread::sleep_for(50ms);
             peer.closeConnection();
         },
         AsyncTcpSocketSSLErrorDomain, platform::errSSLClosedAbort},
        {"the connection ends during the handshake",
         [](Peer& peer) {
             peer.read(5);  // the start of the client's hello
             peer.closeConnection();
         },
         AsyncTcpSocketSSLErrorDomain, platform::errSSLClosedAbort},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        Peer peer;
        ASSERT_TRUE(peer.ok());
        delegate->onEvent = [](const Recorder::SocketPtr& s, const Event& e) {
            if (e.kind == Event::Secure) s->readDataWithTimeoutTag(-1, 1);
        };
        connectTo(peer.port());
        ASSERT_TRUE(peer.accept());
        sock->startTLS({{kCFStreamSSLAllowsAnyRoot, true}});
        row.peerEnds(peer);

        ASSERT_TRUE(delegate->waitForCount(Event::Disconnect));
        const Event end = delegate->of(Event::Disconnect).at(0);
        ASSERT_TRUE(end.error);
        EXPECT_EQ(end.error->domain, row.domain);
        EXPECT_EQ(end.error->code, row.code);
        EXPECT_TRUE(delegate->of(Event::Read).empty());
        TearDown();
    }
}

TEST_F(TcpTls, ProgressDuringTheHandshakeIsNotANumber) {
    Peer peer;
    ASSERT_TRUE(peer.ok());
    connectTo(peer.port());
    ASSERT_TRUE(peer.accept());
    sock->startTLS({});
    ASSERT_FALSE(peer.read(5).empty());  // the hello is out: the upgrade is the current request
    long tag = 9;
    unsigned long done = 9, total = 9;
    EXPECT_TRUE(std::isnan(sock->progressOfReadReturningTagBytesDoneTotal(&tag, &done, &total)));
    EXPECT_EQ(tag, 0);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(total, 0u);
    EXPECT_TRUE(std::isnan(sock->progressOfWriteReturningTagBytesDoneTotal(&tag, &done, &total)));
    sock->performBlock([&] { EXPECT_NE(sock->sslContext(), nullptr); });
    EXPECT_EQ(sock->sslContext(), nullptr);  // off the socket queue
}

TEST_F(TcpTls, ClientsOnQueuesOfTheirOwnSecureAtTheSameTime) {
    // The server side: each accepted connection upgrades and echoes one line.
    const Settings server{{kCFStreamSSLIsServer, true}, {kCFStreamSSLCertificates, certs().identity()}};
    delegate->onEvent = [server](const Recorder::SocketPtr& s, const Event& e) {
        if (e.kind == Event::Accept) {
            e.newSocket->startTLS(server);
            e.newSocket->readDataToDataWithTimeoutTag(AsyncTcpSocket::LFData(), -1, 1);
        } else if (e.kind == Event::Read) {
            s->writeDataWithTimeoutTag(e.data, -1, 1);
        }
    };
    listener = AsyncTcpSocket::initWithDelegateDelegateQueue(delegate, delegateQueue);
    Error err;
    ASSERT_TRUE(listener->acceptOnInterfacePortError("127.0.0.1", 0, &err)) << err.toString();
    uint16_t port = 0;
    listener->performBlock([&] { port = listener->localPort4(); });

    // Clients that validate (and so need the trust store) and clients that do not, all starting at once.
    constexpr int kClients = 16;
    std::vector<std::shared_ptr<Recorder>> recorders;
    std::vector<std::shared_ptr<AsyncTcpSocket>> clients;
    for (int i = 0; i < kClients; ++i) {
        const Settings settings = i % 2 ? Settings{{kCFStreamSSLValidatesCertificateChain, false}}
                                        : Settings{{kCFStreamSSLAllowsAnyRoot, true},
                                                   {kCFStreamSSLPeerName, std::string("localhost")}};
        auto recorder = std::make_shared<Recorder>();
        recorder->onEvent = [settings, i](const Recorder::SocketPtr& s, const Event& e) {
            if (e.kind == Event::Connect) s->startTLS(settings);
            if (e.kind == Event::Secure) {
                s->writeDataWithTimeoutTag(bytes("client " + std::to_string(i) + "\n"), -1, 1);
                s->readDataToDataWithTimeoutTag(AsyncTcpSocket::LFData(), -1, 1);
            }
        };
        recorders.push_back(recorder);
        clients.push_back(AsyncTcpSocket::initWithDelegateDelegateQueue(recorder, delegateQueue));
    }
    for (const auto& client : clients) ASSERT_TRUE(client->connectToHostOnPortError("127.0.0.1", port, &err));
    for (int i = 0; i < kClients; ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(recorders[i]->waitForCount(Event::Read));
        EXPECT_EQ(text(recorders[i]->of(Event::Read).at(0).data), "client " + std::to_string(i) + "\n");
        EXPECT_TRUE(recorders[i]->of(Event::Disconnect).empty());
    }
    clients.clear();
}

// ---- records cut into segments ----

// Letters in a pattern of the seed's own, so that a byte out of place shows; no line feed.
std::string letters(size_t length, int seed) {
    std::string s(length, 'a');
    for (size_t i = 0; i < length; ++i)
        s[i] = static_cast<char>('a' + (i * 7 + static_cast<size_t>(seed) * 13 + i / 26) % 26);
    return s;
}
// A line of length bytes, its line feed included.
std::string line(size_t length, int seed) { return letters(length - 1, seed) + "\n"; }

// The socket under test, connected through a SplittingForwarder to a TLS server on the library
// that runs serve() in a thread of its own once its handshake is done. The server sends no session
// tickets: once the socket is secure, every byte the server sends belongs to the test's records.
class TcpTlsSplit : public TcpTls {
public:
    void start(std::function<void(LibraryPeer&)> serve) {
        ASSERT_TRUE(upstream.ok());
        forwarder = std::make_unique<SplittingForwarder>(upstream.port());
        ASSERT_TRUE(forwarder->ok());
        server = std::thread([this, serve = std::move(serve)] {
            if (!upstream.accept()) return;
            LibraryPeer tls = LibraryPeer::server(upstream.connection());
            SSL_set_num_tickets(tls.ssl(), 0);
            if (tls.handshake()) serve(tls);
            upstream.closeConnection();
        });
        connectTo(forwarder->port());
        sock->performBlock([&] { socketFD = sock->socketFD(); });
        sock->startTLS({{kCFStreamSSLValidatesCertificateChain, false}});
    }
    // The server's bytes go out in pieces of pieceSize from now on; the next piece leaves once the
    // socket has read the last one and finished the work it caused.
    void split(size_t pieceSize) {
        std::weak_ptr<AsyncTcpSocket> weak = sock;
        const int fd = socketFD;
        forwarder->split(pieceSize, [weak, fd] {
            const auto deadline = std::chrono::steady_clock::now() + 2s;
            int waiting = 0;
            while (::ioctl(fd, FIONREAD, &waiting) == 0 && waiting > 0 && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(100us);
            if (auto s = weak.lock()) s->performBlock([] {});
        });
    }
    void TearDown() override {
        // The server waits for the client to leave.
        if (sock) sock->disconnect();
        if (server.joinable()) server.join();
        forwarder.reset();
        TcpTls::TearDown();
    }

    Peer upstream;
    std::unique_ptr<SplittingForwarder> forwarder;
    std::thread server;
    int socketFD = -1;
};

TEST_F(TcpTlsSplit, RecordsCutIntoSegmentsCompleteEveryRead) {
    enum Kind { Exact, Terminator, Available };
    // What the server does once its records are out: stays, ends with close_notify, or drops the
    // connection without it.
    enum End { Stays, ClosesNotifying, Drops };
    struct Read {
        Kind kind;
        size_t length;  // Exact: the length; Available: the bound, 0 for none
    };
    struct Row {
        const char* name;
        std::vector<std::string> records;  // one write of the server each, one record each
        size_t piece;
        std::vector<Read> reads;
        std::vector<size_t> delivered;  // the length of each read's data
        End end = Stays;
    };
    const Row rows[] = {
        {"an exact length, one record in two pieces", {letters(978, 1)}, 500, {{Exact, 978}}, {978}},
        {"a terminator, one record in two pieces", {line(978, 2)}, 500, {{Terminator, 0}}, {978}},
        {"available data, one record in two pieces", {letters(978, 3)}, 500, {{Available, 0}}, {978}},
        {"available data up to a bound", {letters(978, 4)}, 500, {{Available, 600}, {Available, 0}}, {600, 378}},
        {"exact lengths across records", {letters(3000, 5), letters(3000, 6)}, 1448,
         {{Exact, 2000}, {Exact, 2000}, {Exact, 2000}}, {2000, 2000, 2000}},
        {"terminators across records", {line(700, 7) + line(800, 8), line(500, 9)}, 600,
         {{Terminator, 0}, {Terminator, 0}, {Terminator, 0}}, {700, 800, 500}},
        {"an exact length, then close_notify", {letters(978, 10)}, 500, {{Exact, 978}}, {978}, ClosesNotifying},
        {"an exact length, then the connection drops", {letters(978, 11)}, 500, {{Exact, 978}}, {978}, Drops},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        auto go = std::make_shared<std::promise<void>>();
        start([records = row.records, end = row.end, ready = go->get_future().share()](LibraryPeer& tls) {
            if (ready.wait_for(10s) != std::future_status::ready) return;
            for (const std::string& record : records) tls.writeAll(record);
            if (end == ClosesNotifying) tls.closeNotify();
            if (end == Stays) tls.read(1);  // until the client leaves
        });
        ASSERT_TRUE(delegate->waitForCount(Event::Secure));
        split(row.piece);
        for (size_t i = 0; i < row.reads.size(); ++i) {
            const Read& read = row.reads[i];
            const long tag = static_cast<long>(i);
            if (read.kind == Exact) sock->readDataToLengthWithTimeoutTag(read.length, -1, tag);
            if (read.kind == Terminator) sock->readDataToDataWithTimeoutTag(AsyncTcpSocket::LFData(), -1, tag);
            if (read.kind == Available)
                sock->readDataWithTimeoutBufferBufferOffsetMaxLengthTag(-1, nullptr, 0, read.length, tag);
        }
        go->set_value();

        EXPECT_TRUE(delegate->waitForCount(Event::Read, row.delivered.size(), 5s));
        if (row.end != Stays) {
            EXPECT_TRUE(delegate->waitForCount(Event::Disconnect, 1, 5s));
        }
        sock->performBlock([] {});
        delegateQueue->sync([] {});
        const auto reads = delegate->of(Event::Read);
        EXPECT_EQ(reads.size(), row.delivered.size());
        std::string all, expected;
        for (size_t i = 0; i < std::min(reads.size(), row.delivered.size()); ++i) {
            EXPECT_EQ(reads[i].tag, static_cast<long>(i));
            EXPECT_EQ(reads[i].data.size(), row.delivered[i]) << "read " << i;
            all += text(reads[i].data);
        }
        for (const std::string& record : row.records) expected += record;
        const auto differ = std::mismatch(all.begin(), all.end(), expected.begin(), expected.end());
        EXPECT_TRUE(all == expected) << "the first of " << all.size() << " bytes against " << expected.size()
                                     << " that differs: " << (differ.first - all.begin());
        const auto disconnects = delegate->of(Event::Disconnect);
        if (row.end != Stays) {
            // Every byte was read before the end was reported.
            ASSERT_EQ(disconnects.size(), 1u);
            ASSERT_TRUE(disconnects[0].error);
            EXPECT_EQ(disconnects[0].error->code,
                      row.end == ClosesNotifying ? long{AsyncTcpSocketClosedError} : long{platform::errSSLClosedAbort});
            EXPECT_EQ(delegate->events().back().kind, Event::Disconnect);
        } else {
            EXPECT_TRUE(disconnects.empty());
        }
        TearDown();
    }
}

TEST_F(TcpTlsSplit, RequestsAndRepliesThroughSegmentsOfOneEthernetPayload) {
    // Replies of 1, 4 and 16 KiB in turn, each one record, cut at 1,448 bytes.
    static constexpr size_t kSizes[] = {1024, 4096, 16384};
    constexpr long kRounds = 60;
    auto ask = [](const Recorder::SocketPtr& s, long round) {
        char request[32];
        std::snprintf(request, sizeof request, "%05zu%03ld", kSizes[round % 3], round);
        s->writeDataWithTimeoutTag(bytes(request), -1, round);
        s->readDataToLengthWithTimeoutTag(kSizes[round % 3], -1, round);
    };
    delegate->onEvent = [this, ask](const Recorder::SocketPtr& s, const Event& e) {
        if (e.kind == Event::Secure) {
            split(1448);
            ask(s, 0);
        } else if (e.kind == Event::Read && e.tag + 1 < kRounds) {
            ask(s, e.tag + 1);
        }
    };
    start([](LibraryPeer& tls) {
        for (;;) {
            const std::string request = tls.read(8);  // the reply's size in five digits, the round in three
            if (request.size() != 8) return;
            if (!tls.writeAll(letters(std::stoul(request.substr(0, 5)), std::stoi(request.substr(5))))) return;
        }
    });
    EXPECT_TRUE(delegate->waitForCount(Event::Read, kRounds, 20s));
    const auto reads = delegate->of(Event::Read);
    ASSERT_EQ(reads.size(), static_cast<size_t>(kRounds)) << "the reply of round " << reads.size() << " stalled";
    for (long round = 0; round < kRounds; ++round) {
        EXPECT_EQ(reads[round].tag, round);
        EXPECT_EQ(text(reads[round].data), letters(kSizes[round % 3], static_cast<int>(round))) << "round " << round;
    }
    EXPECT_TRUE(delegate->of(Event::Disconnect).empty());
}

}  // namespace
