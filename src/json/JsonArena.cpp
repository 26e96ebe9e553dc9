#include "json/detail/JsonArena.h"

#include <cstdlib>
#include <new>

namespace json::detail {

// The header at the start of each block. While the block is open, live holds a large bias less
// the chunks freed so far, so no free can bring it to 0; closing trades the bias for the count of
// chunks handed out, and whoever brings it to 0 frees the block.
struct alignas(64) JsonArenaBlock {
    std::atomic<uint64_t> live;
};

namespace {

constexpr uint64_t kOpenBias = uint64_t{1} << 62;

// Emptied blocks are kept per thread for the next parse, up to a bound, rather than handed
// straight back: the heap would give their pages back to the system and fault them in again.
// Under AddressSanitizer they go straight back, so that a block freed too early is reported.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define JSON_ARENA_KEEPS_NO_BLOCKS 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(JSON_ARENA_KEEPS_NO_BLOCKS)
constexpr size_t kKeptBlocks = 0;
#else
constexpr size_t kKeptBlocks = 64;
#endif

// Trivially destructible, so it stays usable while the thread's other thread-local and static
// objects are destroyed; the drain empties it once and then blocks go straight to the heap.
struct BlockPool {
    void* blocks[kKeptBlocks > 0 ? kKeptBlocks : 1];
    size_t count;
    bool drained;
};
thread_local BlockPool pool;

struct PoolDrain {
    ~PoolDrain() {
        while (pool.count) std::free(pool.blocks[--pool.count]);
        pool.drained = true;
    }
};
thread_local PoolDrain drain;

void* takeBlock() {
    if (pool.count) return pool.blocks[--pool.count];
    return std::aligned_alloc(JsonArena::kBlockSize, JsonArena::kBlockSize);
}

void giveBack(JsonArenaBlock* block) {
    block->~JsonArenaBlock();
    if (!pool.drained && pool.count < kKeptBlocks) {
        (void)&drain;  // the first use on a thread arranges for the drain at its exit
        pool.blocks[pool.count++] = block;
    } else {
        std::free(block);
    }
}

}  // namespace

bool JsonArena::openBlock() {
    close();
    void* memory = takeBlock();
    if (!memory) return false;
    block_ = new (memory) JsonArenaBlock{};
    block_->live.store(kOpenBias, std::memory_order_relaxed);
    next_ = static_cast<uint8_t*>(memory) + sizeof(JsonArenaBlock);
    end_ = static_cast<uint8_t*>(memory) + kBlockSize;
    handedOut_ = 0;
    return true;
}

void JsonArena::close() {
    if (!block_) return;
    JsonArenaBlock* block = block_;
    block_ = nullptr;
    next_ = end_ = nullptr;
    // live = bias - freed; afterwards live = handedOut - freed, the chunks still in use.
    if (block->live.fetch_sub(kOpenBias - handedOut_, std::memory_order_acq_rel) == kOpenBias - handedOut_) {
        giveBack(block);
    }
}

void JsonArena::release(void* chunk) noexcept {
    auto* block = reinterpret_cast<JsonArenaBlock*>(reinterpret_cast<uintptr_t>(chunk) & ~(uintptr_t{kBlockSize} - 1));
    if (block->live.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        giveBack(block);
    }
}

}  // namespace json::detail
