// Datagrams per second through AsyncUdpSocket on loopback (a sending socket, a receiving socket in
// continuous mode, the delegate on a serial queue) against a plain blocking sendto/recvfrom loop in
// the same run. Both move the datagrams in windows of kWindow, with a receive buffer that holds a
// whole window, so that the receiver never drops any. The ratio of the two is printed at the end.

#include "net/AsyncUdpSocket.h"

#include "platform/Trace.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>

namespace {

using platform::Bytes;
constexpr int kWindow = 512;
constexpr int kReceiveBuffer = 4 << 20;

void growReceiveBuffer(int fd) { ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer); }

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
    state.counters["datagrams_per_second"] = benchmark::Counter(static_cast<double>(datagrams), benchmark::Counter::kIsRate);
    ::close(receiver);
    ::close(sender);
}

class Counter : public AsyncUdpSocketDelegate {
public:
    unsigned capabilities() const override { return kDidReceiveDataFromAddressWithFilterContext; }
    void udpSocketDidReceiveDataFromAddressWithFilterContext(const SocketPtr&, const Bytes& data, const Bytes&,
                                                             const std::any&) override {
        std::lock_guard<std::mutex> lock(mutex);
        bytes += data.size();
        ++received;
        if (received >= target) done.notify_all();
    }
    void waitFor(int64_t n) {
        std::unique_lock<std::mutex> lock(mutex);
        target = n;
        done.wait(lock, [&] { return received >= target; });
    }
    std::mutex mutex;
    std::condition_variable done;
    int64_t received = 0;
    int64_t target = 0;
    uint64_t bytes = 0;
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
        delegate->waitFor(datagrams);
    }
    state.counters["datagrams_per_second"] = benchmark::Counter(static_cast<double>(datagrams), benchmark::Counter::kIsRate);
    sender->close();
    receiver->close();
}

BENCHMARK(BM_PlainLoop)->Arg(21)->Arg(1400)->UseRealTime();
BENCHMARK(BM_AsyncUdpSocket)->Arg(21)->Arg(1400)->UseRealTime();

// Keeps the rate of each run so the ratios can be printed after the table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            auto it = run.counters.find("datagrams_per_second");
            if (it != run.counters.end()) rates[run.benchmark_name()] = it->second.value;
        }
    }
    std::map<std::string, double> rates;
};

}  // namespace

int main(int argc, char** argv) {
    platform::setTraceEnabled(false);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const char* size : {"21", "1400"}) {
        const std::string suffix = std::string("/") + size + "/real_time";
        auto plain = reporter.rates.find("BM_PlainLoop" + suffix);
        auto ours = reporter.rates.find("BM_AsyncUdpSocket" + suffix);
        if (plain == reporter.rates.end() || ours == reporter.rates.end() || plain->second <= 0) continue;
        std::printf("%s-byte datagrams: AsyncUdpSocket %.0f/s, plain loop %.0f/s, ratio %.2fx\n", size, ours->second,
                    plain->second, ours->second / plain->second);
    }
    benchmark::Shutdown();
    return 0;
}
