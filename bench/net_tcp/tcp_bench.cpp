// The TCP socket over loopback against asio doing the same exchanges with one io_context thread
// (asio_tcp_bench.cpp, when asio is installed) and a plain blocking socket loop, all in one run:
// bulk transfer (1 GiB in 64 KiB writes: CPU seconds per GiB and MiB/s), round trips of a 64-byte
// frame, and connects; TLS throughput against a blocking SSL_write loop to the same server thread.
// The socket runs twice: the delegate on a queue of its own, and on the socket queue itself. By
// default every benchmark runs 5 times, interleaved at random with the others (BenchArgs.h); the
// medians and the ratios (speed ratios: above 1 the project is ahead) are printed at the end.

#include "TcpBench.h"

#include "../BenchArgs.h"
#include "net/AsyncTcpSocket.h"
#include "net/TlsTestSupport.h"

#include <benchmark/benchmark.h>

#include <any>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

using platform::Bytes;
using platform::dispatch::Queue;
using namespace tcpbench;

namespace {

constexpr int kWindow = 8;  // writes kept queued on the socket at once
constexpr int kConnects = 200;
constexpr size_t kTlsTotal = 256u * 1024 * 1024;

const char* const kSocketSetups[2] = {"socket", "socket on its queue"};

// The server side of TLS: the handshake with the test certificate, then reads and discards total
// bytes.
void tlsSink(Server& server, size_t total) {
    server.serve([&server, total] {
        const int fd = ::accept(server.listener(), nullptr, nullptr);
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

// Accepts and closes count connections.
void acceptAndClose(Server& server, int count) {
    server.serve([&server, count] {
        for (int i = 0; i < count; ++i) {
            const int fd = ::accept(server.listener(), nullptr, nullptr);
            if (fd < 0) return;
            ::close(fd);
        }
    });
}

// The server side of count TLS handshakes one after the other, each connection kept until the
// client leaves.
void tlsHandshakes(Server& server, int count) {
    server.serve([&server, count] {
        for (int i = 0; i < count; ++i) {
            const int fd = ::accept(server.listener(), nullptr, nullptr);
            if (fd < 0) return;
            {
                nettest::LibraryPeer tls = nettest::LibraryPeer::server(fd);
                if (tls.handshake()) tls.read(1);
            }
            ::close(fd);
        }
    });
}

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
        const Bulk bulk;
        const int fd = blockingConnect(server.port());
        for (size_t sent = 0; sent < kTotal;) {
            const ssize_t n = ::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
        server.join();
        bulk.end(server, "blocking");
        ::close(fd);
        state.SetIterationTime(samples()["bulk wall/blocking"].back());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
}

// One run of the socket's throughput: kWindow writes kept queued until total bytes are on their
// way, plain or once the connection is secured (TLS 1.3, TLS_AES_128_GCM_SHA256); from the connect
// until the server has read every byte.
void socketThroughput(bool tls, bool sharedQueue, size_t total, const std::string& who) {
    const auto chunk = std::make_shared<const Bytes>(kChunk, 0x5A);
    Server server;
    if (tls)
        tlsSink(server, total);
    else
        server.sink(total);
    auto driver = std::make_shared<Driver>();
    size_t queued = 0;  // touched on the delegate queue only
    auto more = [&](const AsyncTcpSocketDelegate::SocketPtr& s) {
        if (queued < total) {
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
    const Bulk bulk;
    platform::Error err;
    sock->connectToHostOnPortError("127.0.0.1", server.port(), &err);
    server.join();  // every byte has arrived
    bulk.end(server, who);
    sock->disconnect();
    driver->wait();
}

void BM_SocketThroughput(benchmark::State& state) {
    const std::string who = kSocketSetups[state.range(0)];
    for (auto _ : state) {
        socketThroughput(false, state.range(0) != 0, kTotal, who);
        state.SetIterationTime(samples()["bulk wall/" + who].back());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
}

void BM_SocketTlsThroughput(benchmark::State& state) {
    nettest::TestCertificates::shared();  // made before the clock runs
    for (auto _ : state) {
        socketThroughput(true, false, kTlsTotal, "tls socket");
        state.SetIterationTime(samples()["bulk wall/tls socket"].back());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTlsTotal));
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
        const double s = seconds(std::chrono::steady_clock::now() - start);
        ::close(fd);
        state.SetIterationTime(s);
        record("round trip/blocking", s / kRoundTrips);
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
        const double s = seconds(end - start);
        state.SetIterationTime(s);
        record(std::string("round trip/") + kSocketSetups[state.range(0)], s / kRoundTrips);
    }
    state.SetItemsProcessed(state.iterations() * kRoundTrips);
}

void BM_BlockingConnect(benchmark::State& state) {
    for (auto _ : state) {
        Server server;
        acceptAndClose(server, kConnects);
        std::vector<double> took;
        for (int i = 0; i < kConnects; ++i) {
            const auto start = std::chrono::steady_clock::now();
            const int fd = blockingConnect(server.port());
            took.push_back(seconds(std::chrono::steady_clock::now() - start));
            ::close(fd);
        }
        server.join();
        for (double t : took) record("connect/blocking", t);
        state.SetIterationTime(median("connect/blocking") * kConnects);
    }
    state.SetItemsProcessed(state.iterations() * kConnects);
}

// From the connect call to the delegate's connect report, one socket object connecting again and
// again.
void BM_SocketConnect(benchmark::State& state) {
    const std::string row = std::string("connect/") + kSocketSetups[state.range(0)];
    for (auto _ : state) {
        Server server;
        acceptAndClose(server, kConnects);
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
        for (int i = 0; i < kConnects; ++i) {
            const auto start = std::chrono::steady_clock::now();
            platform::Error err;
            sock->connectToHostOnPortError("127.0.0.1", server.port(), &err);
            {
                std::unique_lock lock(mutex);
                cv.wait(lock, [&] { return connected > i; });
            }
            record(row, seconds(std::chrono::steady_clock::now() - start));
            sock->disconnect();
        }
        sock.reset();
        server.join();
        state.SetIterationTime(median(row) * kConnects);
    }
    state.SetItemsProcessed(state.iterations() * kConnects);
}

void BM_BlockingTlsThroughput(benchmark::State& state) {
    nettest::TestCertificates::shared();  // made before the clock runs
    const Bytes chunk(kChunk, 0x5A);
    for (auto _ : state) {
        Server server;
        tlsSink(server, kTlsTotal);
        const Bulk bulk;
        const int fd = blockingConnect(server.port());
        SSL_CTX* ctx = SSL_CTX_new(TLS_method());
        SSL* ssl = SSL_new(ctx);
        SSL_set_ciphersuites(ssl, "TLS_AES_128_GCM_SHA256");
        SSL_set_min_proto_version(ssl, TLS1_3_VERSION);
        SSL_set_fd(ssl, fd);
        if (SSL_connect(ssl) == 1) {
            for (size_t sent = 0; sent < kTlsTotal;) {
                size_t n = 0;
                if (SSL_write_ex(ssl, chunk.data(), chunk.size(), &n) != 1) break;
                sent += n;
            }
        }
        server.join();
        bulk.end(server, "tls blocking");
        SSL_free(ssl);
        SSL_CTX_free(ctx);
        ::close(fd);
        state.SetIterationTime(samples()["bulk wall/tls blocking"].back());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTlsTotal));
}

// Client handshakes one after the other, from the connect call to the socket's secure report, with
// validation on against a trust file holding the test root alone (the library's SSL_CERT_FILE, set
// before the first validating handshake of the process) and with validation off. The server is a
// thread on the library presenting the test leaf.
constexpr int kHandshakes = 100;
const char* const kHandshakeSetups[2] = {"validation off", "validation on, one-certificate trust file"};

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
        tlsHandshakes(server, kHandshakes);
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
        std::sort(took.begin(), took.end());
        const double s = took[took.size() / 2];
        state.SetIterationTime(s * kHandshakes);
        record(std::string("tls handshake/") + kHandshakeSetups[validate], s);
    }
    state.SetItemsProcessed(state.iterations() * kHandshakes);
}

BENCHMARK(BM_BlockingThroughput)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_SocketThroughput)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_BlockingRoundTrip)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_SocketRoundTrip)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_BlockingConnect)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_SocketConnect)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_BlockingTlsThroughput)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_SocketTlsThroughput)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_SocketTlsHandshake)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

// "name value" for each row that ran, separated by commas.
void printRow(const char* what, const std::vector<std::pair<std::string, double>>& values, const char* format) {
    std::printf("%s:", what);
    const char* separator = " ";
    for (const auto& [name, value] : values) {
        if (value <= 0) continue;
        std::printf("%s%s ", separator, name.c_str());
        std::printf(format, value);
        separator = ", ";
    }
    std::printf("\n");
}

// The speed of each project setup against a peer's, for a figure where less is better (seconds):
// above 1 the project is ahead.
void printRatios(const std::string& prefix, const std::string& peer) {
    const double theirs = median(prefix + peer);
    if (theirs <= 0) return;
    for (const char* who : kSocketSetups) {
        const double ours = median(prefix + who);
        if (ours > 0) std::printf("  %s / %s: %.2fx\n", who, peer.c_str(), theirs / ours);
    }
}

void printSummary() {
    const double gib = static_cast<double>(kTotal) / double(1u << 30);
    const double mib = static_cast<double>(kTotal) / (1024.0 * 1024.0);
    std::vector<std::string> setups{kSocketSetups[0], kSocketSetups[1], "asio", "blocking"};
    auto row = [&](const std::string& prefix, double scale) {
        std::vector<std::pair<std::string, double>> values;
        for (const auto& who : setups) values.emplace_back(who, median(prefix + who) * scale);
        return values;
    };
    std::printf("\nMedians; the socket runs with its delegate on a queue of its own, then on the socket queue.\n");
    printRow("TCP bulk, 1 GiB in 64 KiB writes, CPU seconds per GiB (both ends: client and reading thread)",
             row("bulk total cpu/", 1.0 / gib), "%.2f");
    printRatios("bulk total cpu/", "asio");
    printRatios("bulk total cpu/", "blocking");
    printRow("TCP bulk, client CPU seconds per GiB (less the reading thread)", row("bulk cpu/", 1.0 / gib), "%.2f");
    printRatios("bulk cpu/", "asio");
    std::vector<std::pair<std::string, double>> rates;
    for (const auto& who : setups) {
        const double s = median("bulk wall/" + who);
        rates.emplace_back(who, s > 0 ? mib / s : 0);
    }
    printRow("TCP bulk, MiB/s (swings with scheduling)", rates, "%.0f");
    printRow("TCP round trip, 64 bytes (us)", row("round trip/", 1e6), "%.1f");
    printRatios("round trip/", "asio");
    printRatios("round trip/", "blocking");
    printRow("TCP connect (us)", row("connect/", 1e6), "%.1f");
    printRatios("connect/", "blocking");
    const double bl = median("bulk wall/tls blocking"), sl = median("bulk wall/tls socket");
    if (bl > 0 && sl > 0) {
        const double tlsMib = static_cast<double>(kTlsTotal) / (1024.0 * 1024.0);
        std::printf("TLS 1.3 AES-128-GCM, 256 MiB: blocking SSL_write %.0f MiB/s, socket %.0f MiB/s; socket / "
                    "blocking %.2fx\n",
                    tlsMib / bl, tlsMib / sl, bl / sl);
    }
    for (const char* setup : kHandshakeSetups) {
        const double h = median(std::string("tls handshake/") + setup);
        if (h > 0) std::printf("TLS client handshake, median (%s): %.2f ms, %.0f per second\n", setup, h * 1e3, 1.0 / h);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<char*> args = benchargs::withDefaults(
        argc, argv, {"--benchmark_repetitions=5", "--benchmark_enable_random_interleaving=true",
                     "--benchmark_display_aggregates_only=true"});
    int count = static_cast<int>(args.size()) - 1;
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    printSummary();
    return 0;
}
