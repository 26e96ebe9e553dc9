// The asio peer of the UDP benchmark: the same exchange with two asio datagram sockets on one
// io_context run by one thread. As with AsyncUdpSocket, the benchmark thread asks for each
// datagram (posted to the io_context, where the socket lives) and the receiver reads continuously.

#include "UdpBench.h"

#include <asio.hpp>

#include <thread>
#include <vector>

namespace {

using asio::ip::udp;
using namespace udpbench;

class AsioReceiver {
public:
    AsioReceiver(asio::io_context& io, Received& received)
        : socket_(io, udp::endpoint(asio::ip::address_v4::loopback(), 0)), received_(received), buffer_(9216) {
        growReceiveBuffer(socket_.native_handle());
    }
    udp::endpoint endpoint() const { return socket_.local_endpoint(); }
    void start() {
        socket_.async_receive_from(asio::buffer(buffer_), from_, [this](const asio::error_code& ec, size_t) {
            if (ec) return;
            received_.add();
            start();
        });
    }
    void close() { socket_.close(); }

private:
    udp::socket socket_;
    Received& received_;
    std::vector<uint8_t> buffer_;
    udp::endpoint from_;
};

void BM_AsioUdp(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    asio::io_context io;
    auto work = asio::make_work_guard(io);
    Received received;
    AsioReceiver receiver(io, received);
    udp::socket sender(io, udp::endpoint(asio::ip::address_v4::loopback(), 0));
    const udp::endpoint to = receiver.endpoint();
    const std::vector<uint8_t> payload(size, 0x5A);
    receiver.start();
    std::thread runner([&] { io.run(); });
    int64_t datagrams = 0;
    for (auto _ : state) {
        asio::post(io, [&] {
            for (int i = 0; i < kWindow; ++i)
                sender.async_send_to(asio::buffer(payload), to, [](const asio::error_code&, size_t) {});
        });
        datagrams += kWindow;
        received.waitFor(datagrams);
    }
    reportRate(state, datagrams);
    asio::post(io, [&] {
        receiver.close();
        sender.close();
        work.reset();
    });
    runner.join();
}

BENCHMARK(BM_AsioUdp)->Arg(kSizes[0])->Arg(kSizes[1])->UseRealTime();

}  // namespace
