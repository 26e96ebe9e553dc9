// Reassembly and dispatch of the whole 30-packet backup stream (128,960 bytes) fed in chunks of
// 1, 1460 and 4096 bytes, against a baseline that only copies the same bytes in the same chunks.
// Counters: MB/s of the link and of the baseline measured in the same run, their ratio,
// and heap allocations per stream (a few per frame, none per byte).

#include "link/StartMainView.h"
#include "platform/Trace.h"
#include "sim/SimMixer.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace {
std::atomic<size_t> g_allocations{0};
}

// Counting replacements of the global allocation functions (malloc-backed on both sides).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace {

const std::vector<uint8_t>& backupStream() {
    static const std::vector<uint8_t> stream = sim::SimMixer(11).memoryImage();
    return stream;
}

// Copies the stream chunk by chunk into a frame-sized buffer, as a reader that does nothing would.
double copyMegabytesPerSecond(size_t chunk) {
    const auto& stream = backupStream();
    std::vector<uint8_t> sink(4612);
    const int rounds = 200;
    const auto start = std::chrono::steady_clock::now();
    for (int r = 0; r < rounds; ++r) {
        for (size_t at = 0; at < stream.size(); at += chunk) {
            const size_t n = std::min(chunk, stream.size() - at);
            for (size_t i = 0; i < n; i += sink.size()) {
                const size_t part = std::min(sink.size(), n - i);
                std::memcpy(sink.data(), stream.data() + at + i, part);
                benchmark::ClobberMemory();
            }
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return static_cast<double>(stream.size()) * rounds / seconds / 1e6;
}

void BM_CopyBaseline(benchmark::State& state) {
    const auto& stream = backupStream();
    const size_t chunk = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> sink(4612);
    for (auto _ : state) {
        for (size_t at = 0; at < stream.size(); at += chunk) {
            const size_t n = std::min(chunk, stream.size() - at);
            for (size_t i = 0; i < n; i += sink.size()) {
                std::memcpy(sink.data(), stream.data() + at + i, std::min(sink.size(), n - i));
                benchmark::ClobberMemory();
            }
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}

void BM_ReassembleAndDispatchBackup(benchmark::State& state) {
    platform::setTraceEnabled(false);
    const auto& stream = backupStream();
    const size_t chunk = static_cast<size_t>(state.range(0));
    auto gc = std::make_unique<GCData>();
    auto core = std::make_unique<XCoreData>("/nonexistent-varnel-resources");
    StartMainView link(*gc, *core);
    // No backup path: the finished stream is refused without touching the disk.
    gc->memoryFilePath.clear();
    const size_t allocationsBefore = g_allocations.load();
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        for (size_t at = 0; at < stream.size(); at += chunk)
            link.parseData(stream.data() + at, std::min(chunk, stream.size() - at));
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double allocations = static_cast<double>(g_allocations.load() - allocationsBefore);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
    const double copy = copyMegabytesPerSecond(chunk);
    state.counters["copy_MBps"] = copy;
    state.counters["allocs_per_stream"] = allocations / static_cast<double>(state.iterations());
    const double linkMBps = static_cast<double>(state.iterations() * stream.size()) / seconds / 1e6;
    state.counters["link_MBps"] = linkMBps;
    state.counters["ratio_to_copy"] = linkMBps / copy;
}

}  // namespace

BENCHMARK(BM_CopyBaseline)->Arg(1)->Arg(1460)->Arg(4096);
BENCHMARK(BM_ReassembleAndDispatchBackup)->Arg(1)->Arg(1460)->Arg(4096);
BENCHMARK_MAIN();
