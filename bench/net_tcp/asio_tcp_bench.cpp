// The asio peer of the TCP benchmark: the same bulk transfer and round trips with an asio socket
// on one io_context run by one thread, to the same server threads as the project's socket.

#include "TcpBench.h"

#include <asio.hpp>

#include <benchmark/benchmark.h>

#include <functional>

using namespace tcpbench;

namespace {

using asio::ip::tcp;

tcp::endpoint loopback(uint16_t port) { return tcp::endpoint(asio::ip::address_v4::loopback(), port); }

// Writes of kChunk bytes, each started by the completion of the one before, until total are out.
void BM_AsioThroughput(benchmark::State& state) {
    const std::vector<uint8_t> chunk(kChunk, 0x5A);
    for (auto _ : state) {
        Server server;
        server.sink(kTotal);
        const Bulk bulk;
        asio::io_context io;
        tcp::socket socket(io);
        size_t written = 0;
        std::function<void()> writeNext = [&] {
            asio::async_write(socket, asio::buffer(chunk), [&](const asio::error_code& ec, size_t n) {
                written += n;
                if (!ec && written < kTotal) writeNext();
            });
        };
        socket.async_connect(loopback(server.port()), [&](const asio::error_code& ec) {
            if (!ec) writeNext();
        });
        std::thread runner([&] { io.run(); });
        server.join();  // every byte has arrived
        bulk.end(server, "asio");
        runner.join();
        state.SetIterationTime(samples()["bulk wall/asio"].back());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
}

// A frame written and its answer read, the next asked for from the read's completion.
void BM_AsioRoundTrip(benchmark::State& state) {
    std::vector<uint8_t> frame(kFrame, 0x01), reply(kFrame);
    for (auto _ : state) {
        Server server;
        server.echo();
        asio::io_context io;
        tcp::socket socket(io);
        int left = kRoundTrips;
        std::chrono::steady_clock::time_point start, end;
        std::function<void()> ask = [&] {
            asio::async_write(socket, asio::buffer(frame), [](const asio::error_code&, size_t) {});
            asio::async_read(socket, asio::buffer(reply), [&](const asio::error_code& ec, size_t) {
                if (!ec && --left > 0) {
                    ask();
                } else {
                    end = std::chrono::steady_clock::now();
                    socket.close();
                }
            });
        };
        socket.async_connect(loopback(server.port()), [&](const asio::error_code& ec) {
            start = std::chrono::steady_clock::now();
            if (!ec) ask();
        });
        std::thread runner([&] { io.run(); });
        runner.join();
        server.join();
        const double s = seconds(end - start);
        state.SetIterationTime(s);
        record("round trip/asio", s / kRoundTrips);
    }
    state.SetItemsProcessed(state.iterations() * kRoundTrips);
}

BENCHMARK(BM_AsioThroughput)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_AsioRoundTrip)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
