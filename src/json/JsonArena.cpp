#include "json/detail/JsonArena.h"

#include "json/JsonValue.h"

#include <cstdlib>
#include <new>

namespace json::detail {

// The header at the start of each block. While the block is open, live holds a large bias less
// the chunks freed so far, so no free can bring it to 0; closing trades the bias for the count of
// chunks handed out, and whoever brings it to 0 frees the block.
struct alignas(64) JsonArenaBlock {
    std::atomic<uint64_t> live;
    JsonTree* tree = nullptr;         // the tree the block belongs to, if any
    JsonArenaBlock* next = nullptr;   // the tree's next block
    bool large = false;               // one object's own allocation (freed, not kept)
};

// The blocks of one tree and the count of handles into it. While the tree is being parsed the
// count holds a large bias, so that no handle made and dropped on the way can end it.
struct JsonTree {
    std::atomic<uint64_t> refs{uint64_t{1} << 62};
    JsonArenaBlock* blocks = nullptr;
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

JsonArenaBlock* blockOf(const void* object) {
    return reinterpret_cast<JsonArenaBlock*>(reinterpret_cast<uintptr_t>(object) & ~(uintptr_t{JsonArena::kBlockSize} - 1));
}

void destroyTree(JsonTree* tree) {
    // The tree lists its blocks newest first. They go back oldest first, so that the newest,
    // written last and the likeliest still to be in the processor's caches, are taken again first.
    JsonArenaBlock* oldestFirst = nullptr;
    for (JsonArenaBlock* block = tree->blocks; block;) {
        JsonArenaBlock* next = block->next;
        block->next = oldestFirst;
        oldestFirst = block;
        block = next;
    }
    for (JsonArenaBlock* block = oldestFirst; block;) {
        JsonArenaBlock* next = block->next;
        if (block->large) {
            block->~JsonArenaBlock();
            std::free(block);
        } else {
            giveBack(block);
        }
        block = next;
    }
    delete tree;
}

}  // namespace

void jsonTreeRetain(const JsonObject* object) noexcept {
    blockOf(object)->tree->refs.fetch_add(1, std::memory_order_relaxed);
}

void jsonTreeRelease(const JsonObject* object) noexcept {
    JsonTree* tree = blockOf(object)->tree;
    // As for an object's own count: the sole holder needs no atomic decrement.
    if (tree->refs.load(std::memory_order_acquire) == 1 || tree->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        destroyTree(tree);
    }
}

bool JsonArena::beginTree() {
    close();
    tree_ = new (std::nothrow) JsonTree;
    return tree_ != nullptr;
}

void JsonArena::endTree(bool keep) {
    close();
    JsonTree* tree = tree_;
    tree_ = nullptr;
    if (keep) {
        tree->refs.store(1, std::memory_order_release);
    } else {
        destroyTree(tree);
    }
}

void* JsonArena::allocateLarge(size_t size) {
    // The object starts inside the first block-sized part of its allocation, so that its address
    // finds the header as a chunk's does.
    const size_t bytes = (sizeof(JsonArenaBlock) + size + kBlockSize - 1) / kBlockSize * kBlockSize;
    if (bytes < size) return nullptr;
    void* memory = std::aligned_alloc(kBlockSize, bytes);
    if (!memory) return nullptr;
    auto* block = new (memory) JsonArenaBlock{};
    block->tree = tree_;
    block->large = true;
    block->next = tree_->blocks;
    tree_->blocks = block;
    return block + 1;
}

bool JsonArena::openBlock() {
    close();
    void* memory = takeBlock();
    if (!memory) return false;
    block_ = new (memory) JsonArenaBlock{};
    block_->live.store(kOpenBias, std::memory_order_relaxed);
    if (tree_) {
        block_->tree = tree_;
        block_->next = tree_->blocks;
        tree_->blocks = block_;
    }
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
    if (block->tree) return;  // the tree's blocks go with the tree
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
