// Loopback throughput, request/response round trips and connects of the TCP socket, each against a
// plain blocking socket loop measured in the same run, and TLS throughput against a blocking SSL_write
// loop to the same server thread; the ratios are printed at the end.

#include "net/AsyncTcpSocket.h"
#include "net/TlsTestSupport.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <any>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using platform::Bytes;
using platform::dispatch::Queue;

namespace {

constexpr size_t kChunk = 64 * 1024;
constexpr size_t kTotal = 256u * 1024 * 1024;
constexpr int kWindow = 8;  // writes kept queued on the socket at once
constexpr int kRoundTrips = 2000;
constexpr size_t kFrame = 11;
constexpr int kConnects = 200;

// Best seconds per iteration of each benchmark, for the ratios.
// The socket entries come twice: delegate on its own queue, then on the socket queue.
enum { kBlockingThroughput, kSocketThroughput, kSocketThroughputShared, kBlockingRoundTrip, kSocketRoundTrip,
       kSocketRoundTripShared, kBlockingConnect, kSocketConnect, kSocketConnectShared, kBlockingTls, kSocketTls,
       kEntries };
double best[kEntries] = {1e300, 1e300, 1e300, 1e300, 1e300, 1e300, 1e300, 1e300, 1e300, 1e300, 1e300};

double seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The middle of a set of timings: a rare stall (a lost SYN waits a whole second) leaves it alone.
double median(std::vector<double> values) {
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

// A loopback listener on 127.0.0.1 whose one connection is served by a thread.
class Server {
public:
    Server() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listener_, 64);
        socklen_t len = sizeof a;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~Server() {
        if (thread_.joinable()) thread_.join();
        ::close(listener_);
    }
    uint16_t port() const { return port_; }

    // Reads and discards total bytes.
    void sink(size_t total) {
        thread_ = std::thread([this, total] {
            const int fd = ::accept(listener_, nullptr, nullptr);
            std::vector<uint8_t> buf(kChunk);
            size_t got = 0;
            while (got < total) {
                const ssize_t n = ::read(fd, buf.data(), buf.size());
                if (n <= 0) break;
                got += static_cast<size_t>(n);
            }
            ::close(fd);
        });
    }
    // The server side of TLS: the handshake with the test certificate, then reads and discards
    // total bytes.
    void tlsSink(size_t total) {
        thread_ = std::thread([this, total] {
            const int fd = ::accept(listener_, nullptr, nullptr);
            {
                nettest::LibraryPeer tls = nettest::LibraryPeer::server(fd);
                std::vector<uint8_t> buf(kChunk);
                size_t got = 0;
                if (tls.handshake()) {
                    while (got < total) {
                        size_t n = 0;
                        if (SSL_read_ex(tls.ssl(), buf.data(), buf.size(), &n) != 1) break;
                        got += n;
                    }
                }
            }
            ::close(fd);
        });
    }
    // The server side of count TLS handshakes one after the other, each connection kept until the
    // client leaves.
    void tlsHandshakes(int count) {
        thread_ = std::thread([this, count] {
            for (int i = 0; i < count; ++i) {
                const int fd = ::accept(listener_, nullptr, nullptr);
                if (fd < 0) return;
                {
                    nettest::LibraryPeer tls = nettest::LibraryPeer::server(fd);
                    if (tls.handshake()) tls.read(1);
                }
                ::close(fd);
            }
        });
    }
    // Answers each frame of kFrame bytes with one of its own, until the peer closes.
    void echo() {
        thread_ = std::thread([this] {
            const int fd = ::accept(listener_, nullptr, nullptr);
            int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            uint8_t frame[kFrame];
            for (;;) {
                size_t got = 0;
                while (got < kFrame) {
                    const ssize_t n = ::read(fd, frame + got, kFrame - got);
                    if (n <= 0) {
                        ::close(fd);
                        return;
                    }
                    got += static_cast<size_t>(n);
                }
                if (::send(fd, frame, kFrame, MSG_NOSIGNAL) != static_cast<ssize_t>(kFrame)) break;
            }
            ::close(fd);
        });
    }
    // Accepts and closes count connections.
    void acceptAndClose(int count) {
        thread_ = std::thread([this, count] {
            for (int i = 0; i < count; ++i) {
                const int fd = ::accept(listener_, nullptr, nullptr);
                if (fd < 0) return;
                ::close(fd);
            }
        });
    }
    void join() { thread_.join(); }

private:
    int listener_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
};

int blockingConnect(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

// The delegate of the socket benchmarks: keeps the socket fed from its callbacks.
class Driver : public AsyncTcpSocketDelegate {
public:
    unsigned capabilities() const override {
        return kSocketDidConnectToHostPort | kSocketDidWriteDataWithTag | kSocketDidReadDataWithTag |
               kSocketDidDisconnectWithError | kSocketDidSecure;
    }
    std::function<void(const SocketPtr&)> onConnect, onWrite, onRead, onSecure;

    void socketDidConnectToHostPort(const SocketPtr& s, const std::string&, uint16_t) override { onConnect(s); }
    void socketDidWriteDataWithTag(const SocketPtr& s, long) override {
        if (onWrite) onWrite(s);
    }
    void socketDidReadDataWithTag(const SocketPtr& s, const Bytes&, long) override {
        if (onRead) onRead(s);
    }
    void socketDidDisconnectWithError(const SocketPtr&, const platform::Error*) override { finish(); }
    void socketDidSecure(const SocketPtr& s) override { onSecure(s); }

    void finish() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        cv_.notify_all();
    }
    void wait() {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return done_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
};

// The delegate on a queue of its own, or on the socket queue itself (no hop between the two).
std::shared_ptr<AsyncTcpSocket> makeSocket(const std::shared_ptr<Driver>& driver, bool sharedQueue) {
    if (!sharedQueue) return AsyncTcpSocket::initWithDelegateDelegateQueue(driver, Queue::createSerial("bench.delegate"));
    auto queue = Queue::createSerial("bench.socket");
    return AsyncTcpSocket::initWithDelegateDelegateQueueSocketQueue(driver, queue, queue);
}

void BM_BlockingThroughput(benchmark::State& state) {
    const Bytes chunk(kChunk, 0x5A);
    for (auto _ : state) {
        Server server;
        server.sink(kTotal);
        const auto start = std::chrono::steady_clock::now();
        const int fd = blockingConnect(server.port());
        for (size_t sent = 0; sent < kTotal;) {
            const ssize_t n = ::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
        server.join();
        const double s = seconds(std::chrono::steady_clock::now() - start);
        ::close(fd);
        state.SetIterationTime(s);
        best[kBlockingThroughput] = std::min(best[kBlockingThroughput], s);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
}


// One run of the socket's throughput: kWindow writes kept queued until kTotal bytes are on their
// way, plain or once the connection is secured (TLS 1.3, TLS_AES_128_GCM_SHA256); seconds from the
// connect until the server has read every byte.
double socketThroughput(bool tls, bool sharedQueue) {
    const auto chunk = std::make_shared<const Bytes>(kChunk, 0x5A);
    Server server;
    if (tls)
        server.tlsSink(kTotal);
    else
        server.sink(kTotal);
    auto driver = std::make_shared<Driver>();
    size_t queued = 0;  // touched on the delegate queue only
    auto more = [&](const AsyncTcpSocketDelegate::SocketPtr& s) {
        if (queued < kTotal) {
            s->writeDataWithTimeoutTag(chunk, -1, 0);
            queued += kChunk;
        }
    };
    auto start = [&](const AsyncTcpSocketDelegate::SocketPtr& s) {
        for (int i = 0; i < kWindow; ++i) more(s);
    };
    if (tls) {
        driver->onConnect = [](const AsyncTcpSocketDelegate::SocketPtr& s) {
            s->startTLS({{kCFStreamSSLValidatesCertificateChain, false},
                         {AsyncTcpSocketSSLCipherSuites, std::vector<long>{0x1301}}});
        };
        driver->onSecure = start;
    } else {
        driver->onConnect = start;
    }
    driver->onWrite = more;
    auto sock = makeSocket(driver, sharedQueue);
    const auto begin = std::chrono::steady_clock::now();
    platform::Error err;
    sock->connectToHostOnPortError("127.0.0.1", server.port(), &err);
    server.join();  // every byte has arrived
    const double s = seconds(std::chrono::steady_clock::now() - begin);
    sock->disconnect();
    driver->wait();
    return s;
}

void BM_SocketThroughput(benchmark::State& state) {
    for (auto _ : state) {
        const double s = socketThroughput(false, state.range(0) != 0);
        state.SetIterationTime(s);
        best[kSocketThroughput + state.range(0)] = std::min(best[kSocketThroughput + state.range(0)], s);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
}

void BM_SocketTlsThroughput(benchmark::State& state) {
    nettest::TestCertificates::shared();  // made before the clock runs
    for (auto _ : state) {
        const double s = socketThroughput(true, false);
        state.SetIterationTime(s);
        best[kSocketTls] = std::min(best[kSocketTls], s);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
}

void BM_BlockingRoundTrip(benchmark::State& state) {
    const Bytes frame(kFrame, 0x01);
    uint8_t reply[kFrame];
    for (auto _ : state) {
        Server server;
        server.echo();
        const int fd = blockingConnect(server.port());
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kRoundTrips; ++i) {
            ::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL);
            for (size_t got = 0; got < kFrame;) {
                const ssize_t n = ::read(fd, reply + got, kFrame - got);
                if (n <= 0) break;
                got += static_cast<size_t>(n);
            }
        }
        const double s = seconds(std::chrono::steady_clock::now() - start) / kRoundTrips;
        ::close(fd);
        state.SetIterationTime(s * kRoundTrips);
        best[kBlockingRoundTrip] = std::min(best[kBlockingRoundTrip], s);
    }
    state.SetItemsProcessed(state.iterations() * kRoundTrips);
}

void BM_SocketRoundTrip(benchmark::State& state) {
    const auto frame = std::make_shared<const Bytes>(kFrame, 0x01);
    for (auto _ : state) {
        Server server;
        server.echo();
        auto driver = std::make_shared<Driver>();
        int left = kRoundTrips;  // delegate queue only
        std::chrono::steady_clock::time_point start, end;
        auto ask = [&](const AsyncTcpSocketDelegate::SocketPtr& s) {
            s->writeDataWithTimeoutTag(frame, -1, 0);
            s->readDataToLengthWithTimeoutTag(kFrame, -1, 0);
        };
        driver->onConnect = [&](const AsyncTcpSocketDelegate::SocketPtr& s) {
            start = std::chrono::steady_clock::now();
            ask(s);
        };
        driver->onRead = [&](const AsyncTcpSocketDelegate::SocketPtr& s) {
            if (--left > 0) {
                ask(s);
            } else {
                end = std::chrono::steady_clock::now();
                s->disconnect();
            }
        };
        auto sock = makeSocket(driver, state.range(0) != 0);
        platform::Error err;
        sock->connectToHostOnPortError("127.0.0.1", server.port(), &err);
        driver->wait();
        sock.reset();
        server.join();
        const double s = seconds(end - start) / kRoundTrips;
        state.SetIterationTime(s * kRoundTrips);
        best[kSocketRoundTrip + state.range(0)] = std::min(best[kSocketRoundTrip + state.range(0)], s);
    }
    state.SetItemsProcessed(state.iterations() * kRoundTrips);
}

void BM_BlockingConnect(benchmark::State& state) {
    for (auto _ : state) {
        Server server;
        server.acceptAndClose(kConnects);
        std::vector<double> took;
        for (int i = 0; i < kConnects; ++i) {
            const auto start = std::chrono::steady_clock::now();
            const int fd = blockingConnect(server.port());
            took.push_back(seconds(std::chrono::steady_clock::now() - start));
            ::close(fd);
        }
        server.join();
        const double s = median(took);
        state.SetIterationTime(s * kConnects);
        best[kBlockingConnect] = std::min(best[kBlockingConnect], s);
    }
    state.SetItemsProcessed(state.iterations() * kConnects);
}

// From the connect call to the delegate's connect report, one socket object connecting again and
// again.
void BM_SocketConnect(benchmark::State& state) {
    for (auto _ : state) {
        Server server;
        server.acceptAndClose(kConnects);
        auto driver = std::make_shared<Driver>();
        std::mutex mutex;
        std::condition_variable cv;
        int connected = 0;
        driver->onConnect = [&](const AsyncTcpSocketDelegate::SocketPtr&) {
            std::lock_guard lock(mutex);
            ++connected;
            cv.notify_one();
        };
        auto sock = makeSocket(driver, state.range(0) != 0);
        std::vector<double> took;
        for (int i = 0; i < kConnects; ++i) {
            const auto start = std::chrono::steady_clock::now();
            platform::Error err;
            sock->connectToHostOnPortError("127.0.0.1", server.port(), &err);
            {
                std::unique_lock lock(mutex);
                cv.wait(lock, [&] { return connected > i; });
            }
            took.push_back(seconds(std::chrono::steady_clock::now() - start));
            sock->disconnect();
        }
        sock.reset();
        server.join();
        const double s = median(took);
        state.SetIterationTime(s * kConnects);
        best[kSocketConnect + state.range(0)] = std::min(best[kSocketConnect + state.range(0)], s);
    }
    state.SetItemsProcessed(state.iterations() * kConnects);
}

void BM_BlockingTlsThroughput(benchmark::State& state) {
    nettest::TestCertificates::shared();  // made before the clock runs
    const Bytes chunk(kChunk, 0x5A);
    for (auto _ : state) {
        Server server;
        server.tlsSink(kTotal);
        const auto start = std::chrono::steady_clock::now();
        const int fd = blockingConnect(server.port());
        SSL_CTX* ctx = SSL_CTX_new(TLS_method());
        SSL* ssl = SSL_new(ctx);
        SSL_set_ciphersuites(ssl, "TLS_AES_128_GCM_SHA256");
        SSL_set_min_proto_version(ssl, TLS1_3_VERSION);
        SSL_set_fd(ssl, fd);
        if (SSL_connect(ssl) == 1) {
            for (size_t sent = 0; sent < kTotal;) {
                size_t n = 0;
                if (SSL_write_ex(ssl, chunk.data(), chunk.size(), &n) != 1) break;
                sent += n;
            }
        }
        server.join();
        const double s = seconds(std::chrono::steady_clock::now() - start);
        SSL_free(ssl);
        SSL_CTX_free(ctx);
        ::close(fd);
        state.SetIterationTime(s);
        best[kBlockingTls] = std::min(best[kBlockingTls], s);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
}

// Client handshakes one after the other, from the connect call to the socket's secure report, with
// validation on against a trust file holding the test root alone (the library's SSL_CERT_FILE, set
// before the first validating handshake of the process) and with validation off. The server is a
// thread on the library presenting the test leaf.
constexpr int kHandshakes = 100;
double bestHandshake[2] = {1e300, 1e300};  // median seconds; validation off, on

void BM_SocketTlsHandshake(benchmark::State& state) {
    const bool validate = state.range(0) != 0;
    const nettest::TestCertificates& certs = nettest::TestCertificates::shared();  // made before the clock runs
    static const testsupport::TempDir noCertificates;
    std::map<std::string, std::any> settings{{kCFStreamSSLValidatesCertificateChain, validate}};
    if (validate) {
        ::setenv("SSL_CERT_FILE", certs.file("root.pem").c_str(), 1);
        ::setenv("SSL_CERT_DIR", noCertificates.path().c_str(), 1);
        settings[kCFStreamSSLPeerName] = std::string("localhost");
    }
    for (auto _ : state) {
        Server server;
        server.tlsHandshakes(kHandshakes);
        auto driver = std::make_shared<Driver>();
        std::mutex mutex;
        std::condition_variable cv;
        int secured = 0;
        driver->onConnect = [&](const AsyncTcpSocketDelegate::SocketPtr& s) { s->startTLS(settings); };
        driver->onSecure = [&](const AsyncTcpSocketDelegate::SocketPtr&) {
            std::lock_guard lock(mutex);
            ++secured;
            cv.notify_one();
        };
        auto sock = makeSocket(driver, false);
        std::vector<double> took;
        for (int i = 0; i < kHandshakes; ++i) {
            const auto start = std::chrono::steady_clock::now();
            platform::Error err;
            sock->connectToHostOnPortError("127.0.0.1", server.port(), &err);
            bool ok;
            {
                std::unique_lock lock(mutex);
                ok = cv.wait_for(lock, std::chrono::seconds(5), [&] { return secured > i; });
            }
            took.push_back(seconds(std::chrono::steady_clock::now() - start));
            sock->disconnect();
            if (!ok) {
                state.SkipWithError("a handshake failed");
                break;
            }
        }
        sock.reset();
        server.join();
        const double s = median(took);
        state.SetIterationTime(s * kHandshakes);
        bestHandshake[validate] = std::min(bestHandshake[validate], s);
    }
    state.SetItemsProcessed(state.iterations() * kHandshakes);
}

BENCHMARK(BM_BlockingThroughput)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_SocketThroughput)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_BlockingRoundTrip)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_SocketRoundTrip)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_BlockingConnect)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_SocketConnect)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_BlockingTlsThroughput)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SocketTlsThroughput)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SocketTlsHandshake)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    const double mib = static_cast<double>(kTotal) / (1024.0 * 1024.0);
    const char* setups[2] = {"delegate on its own queue", "delegate on the socket queue"};
    for (int shared = 0; shared < 2; ++shared) {
        const double bt = best[kBlockingThroughput], st = best[kSocketThroughput + shared];
        if (bt < 1e300 && st < 1e300) {
            std::printf("throughput (%s): blocking %.0f MiB/s, socket %.0f MiB/s, ratio %.2fx (aim: at least 0.8x)\n",
                        setups[shared], mib / bt, mib / st, bt / st);
        }
    }
    for (int shared = 0; shared < 2; ++shared) {
        const double br = best[kBlockingRoundTrip], sr = best[kSocketRoundTrip + shared];
        if (br < 1e300 && sr < 1e300) {
            std::printf("round trip (%s): blocking %.1f us, socket %.1f us, ratio %.2fx (aim: within 2x)\n",
                        setups[shared], br * 1e6, sr * 1e6, sr / br);
        }
    }
    for (int shared = 0; shared < 2; ++shared) {
        const double bc = best[kBlockingConnect], sc = best[kSocketConnect + shared];
        if (bc < 1e300 && sc < 1e300) {
            std::printf("connect, median (%s): blocking %.1f us, socket %.1f us, ratio %.2fx\n", setups[shared],
                        bc * 1e6, sc * 1e6, sc / bc);
        }
    }
    const double bl = best[kBlockingTls], sl = best[kSocketTls];
    if (bl < 1e300 && sl < 1e300) {
        std::printf("TLS 1.3 AES-128-GCM throughput: blocking SSL_write %.0f MiB/s, socket %.0f MiB/s, ratio %.2fx "
                    "(aim: at least 0.8x)\n",
                    mib / bl, mib / sl, bl / sl);
    }
    for (int validate = 0; validate < 2; ++validate) {
        const double h = bestHandshake[validate];
        if (h < 1e300) {
            std::printf("TLS client handshake, median (%s): %.2f ms, %.0f per second\n",
                        validate ? "validation on, one-certificate trust file" : "validation off", h * 1e3, 1.0 / h);
        }
    }
    return 0;
}
