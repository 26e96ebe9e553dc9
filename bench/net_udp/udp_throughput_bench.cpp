// Datagrams per second through AsyncUdpSocket on loopback (a sending socket, a receiving socket in
// continuous mode, the delegate on a serial queue), against asio doing the same with one io_context
// thread (asio_udp_bench.cpp, when asio is installed) and a plain blocking sendto/recvfrom loop, all
// in the same run. Each moves the datagrams in windows of kWindow (UdpBench.h). After the table the
// median rate of each is printed with the ratios project / asio and project / plain loop. By
// default each runs 7 times, interleaved at random with the others (BenchArgs.h).

#include "UdpBench.h"

#include "../BenchArgs.h"
#include "net/AsyncUdpSocket.h"

#include "platform/Trace.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

using platform::Bytes;
using namespace udpbench;

Bytes loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto* p = reinterpret_cast<const uint8_t*>(&a);
    return Bytes(p, p + sizeof a);
}

int plainSocket(uint16_t* port) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    Bytes a = loopback(0);
    ::bind(fd, reinterpret_cast<const sockaddr*>(a.data()), sizeof(sockaddr_in));
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
    *port = ntohs(bound.sin_port);
    return fd;
}

void BM_PlainLoop(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    uint16_t receiverPort = 0;
    uint16_t senderPort = 0;
    int receiver = plainSocket(&receiverPort);
    int sender = plainSocket(&senderPort);
    growReceiveBuffer(receiver);
    const Bytes to = loopback(receiverPort);
    Bytes payload(size, 0x5A);
    Bytes buffer(9216);
    int64_t datagrams = 0;
    for (auto _ : state) {
        for (int i = 0; i < kWindow; ++i) {
            ::sendto(sender, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(to.data()),
                     sizeof(sockaddr_in));
        }
        for (int i = 0; i < kWindow; ++i) {
            sockaddr_in from{};
            socklen_t len = sizeof from;
            ::recvfrom(receiver, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
        }
        datagrams += kWindow;
    }
    reportRate(state, datagrams);
    ::close(receiver);
    ::close(sender);
}

class Counter : public AsyncUdpSocketDelegate {
public:
    unsigned capabilities() const override { return kDidReceiveDataFromAddressWithFilterContext; }
    void udpSocketDidReceiveDataFromAddressWithFilterContext(const SocketPtr&, const Bytes&, const Bytes&,
                                                             const std::any&) override {
        received.add();
    }
    Received received;
};

void BM_AsyncUdpSocket(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    auto delegate = std::make_shared<Counter>();
    auto delegateQueue = platform::dispatch::Queue::createSerial("bench delegate");
    auto receiver = AsyncUdpSocket::initWithDelegateDelegateQueue(delegate, delegateQueue);
    auto sender = AsyncUdpSocket::initWithDelegateDelegateQueue(delegate, delegateQueue);
    if (!receiver->bindToPortInterfaceError(0, std::string("127.0.0.1"), nullptr) ||
        !sender->bindToPortInterfaceError(0, std::string("127.0.0.1"), nullptr) ||
        !receiver->beginReceiving(nullptr)) {
        state.SkipWithError("cannot bind on loopback");
        return;
    }
    receiver->performBlock([&] { growReceiveBuffer(receiver->socket4FD()); });
    const Bytes to = receiver->localAddress_IPv4();
    const Bytes payload(size, 0x5A);
    int64_t datagrams = 0;
    for (auto _ : state) {
        for (int i = 0; i < kWindow; ++i) sender->sendDataToAddressWithTimeoutTag(payload, to, -1, i);
        datagrams += kWindow;
        delegate->received.waitFor(datagrams);
    }
    reportRate(state, datagrams);
    sender->close();
    receiver->close();
}

BENCHMARK(BM_PlainLoop)->Arg(kSizes[0])->Arg(kSizes[1])->UseRealTime();
BENCHMARK(BM_AsyncUdpSocket)->Arg(kSizes[0])->Arg(kSizes[1])->UseRealTime();

// Keeps the median rate of each benchmark (the summary of its repetitions, or its one run) so
// that the ratios can be printed after the table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.error_occurred || (run.run_type == Run::RT_Aggregate && !median)) continue;
            auto it = run.counters.find(kRateCounter);
            if (it == run.counters.end()) continue;
            if (median || !medians.count(run.run_name.str())) medians[run.run_name.str()] = it->second.value;
        }
    }
    // The median rate of a benchmark, 0 when it did not run.
    double median(const std::string& name) const {
        auto it = medians.find(name);
        return it == medians.end() ? 0 : it->second;
    }
    std::map<std::string, double> medians;
};

}  // namespace

int main(int argc, char** argv) {
    platform::setTraceEnabled(false);
    std::vector<char*> args = benchargs::withDefaults(argc, argv, {"--benchmark_repetitions=7",
                                                                   "--benchmark_enable_random_interleaving=true",
                                                                   "--benchmark_display_aggregates_only=true"});
    int count = static_cast<int>(args.size()) - 1;
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const int64_t size : kSizes) {
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, "/%lld/real_time", static_cast<long long>(size));
        const double ours = reporter.median(std::string("BM_AsyncUdpSocket") + suffix);
        const double asio = reporter.median(std::string("BM_AsioUdp") + suffix);
        const double plain = reporter.median(std::string("BM_PlainLoop") + suffix);
        if (ours <= 0) continue;
        std::printf("%lld-byte datagrams (thousands/s, median): AsyncUdpSocket %.0f", static_cast<long long>(size),
                    ours / 1e3);
        if (asio > 0) std::printf(", asio %.0f", asio / 1e3);
        if (plain > 0) std::printf(", plain loop %.0f", plain / 1e3);
        if (asio > 0) std::printf("; project / asio %.2fx", ours / asio);
        if (plain > 0) std::printf("; project / plain loop %.2fx", ours / plain);
        std::printf("\n");
    }
    benchmark::Shutdown();
    return 0;
}
