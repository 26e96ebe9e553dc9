// Where a validating TLS client finds its trust: the system's trust store, read once in the
// process at the first handshake that validates. The library reads that store from the files that
// SSL_CERT_FILE and SSL_CERT_DIR name; this program points them at a folder of its own before
// anything in it uses TLS, which is why it is a program of its own.

#include "net/AsyncTcpSocket.h"
#include "net/TcpTestSupport.h"
#include "net/TlsTestSupport.h"

#include <gtest/gtest.h>

#include <any>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>

using namespace nettest;

namespace {

using Settings = std::map<std::string, std::any>;

// One client connection to the port, upgraded with the settings: nothing once secured, else the
// error that closed it.
std::optional<Error> secure(uint16_t port, const Settings& settings) {
    auto delegate = std::make_shared<Recorder>();
    auto delegateQueue = Queue::createSerial("test.delegate");
    auto sock = AsyncTcpSocket::initWithDelegateDelegateQueue(delegate, delegateQueue);
    delegate->onEvent = [settings](const Recorder::SocketPtr& s, const Event& e) {
        if (e.kind == Event::Connect) s->startTLS(settings);
    };
    Error err;
    EXPECT_TRUE(sock->connectToHostOnPortError("127.0.0.1", port, &err)) << err.toString();
    EXPECT_TRUE(delegate->waitFor([](const std::vector<Event>& ev) {
        return Recorder::count(ev, Event::Secure) > 0 || Recorder::count(ev, Event::Disconnect) > 0;
    }));
    std::optional<Error> outcome;
    if (const auto ends = delegate->of(Event::Disconnect); !ends.empty()) outcome = ends[0].error.value_or(Error{});
    sock.reset();
    delegateQueue->sync([] {});
    return outcome;
}

TEST(TcpTlsTrust, TheTrustStoreIsReadOnceAtTheFirstHandshakeThatValidates) {
    const TestCertificates& certs = TestCertificates::shared();
    testsupport::TempDir folder;
    const std::string trustFile = folder / "trust.pem";
    auto trust = [&](const std::string& pem) {
        testsupport::writeFile(trustFile, std::vector<uint8_t>(pem.begin(), pem.end()));
    };
    trust("");
    ::setenv("SSL_CERT_FILE", trustFile.c_str(), 1);
    ::setenv("SSL_CERT_DIR", (folder / "no-such-folder").c_str(), 1);

    OpenSslProcess server({"s_server", "-rev", "-accept", "127.0.0.1:0", "-key", certs.file("leaf.key"), "-cert",
                           certs.file("leaf.pem"), "-cert_chain", certs.file("root.pem")});
    const uint16_t port = server.acceptPort();
    ASSERT_NE(port, 0) << server.errors();
    const Settings validating{{kCFStreamSSLPeerName, std::string("localhost")}};

    // Without validation nothing is read: the trust file is still empty here, and the next client
    // trusts what it holds by then.
    EXPECT_FALSE(secure(port, {{kCFStreamSSLValidatesCertificateChain, false}}));
    trust(certs.rootPem);
    const auto first = secure(port, validating);
    EXPECT_FALSE(first) << first->toString();
    // Read once: emptying the file changes nothing for later clients.
    trust("");
    const auto second = secure(port, validating);
    EXPECT_FALSE(second) << second->toString();
}

}  // namespace
