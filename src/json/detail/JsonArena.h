#pragma once
// Storage for the arrays and dictionaries of one parse (and the strings of a one-call parse).
// Instead of one heap allocation each, they are carved in order out of large aligned blocks. A
// block counts its live objects and goes back to the heap when the last one is freed, whichever
// thread frees it; so a value kept after the rest of its tree is gone keeps its block alive.
// Internal to the reader.

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace json::detail {

struct JsonArenaBlock;

class JsonArena {
public:
    // Blocks are this size and aligned to it, so an object finds its block from its address.
    static constexpr size_t kBlockSize = 64 * 1024;
    // Larger objects get their own heap allocation.
    static constexpr size_t kLargestChunk = 4096;

    JsonArena() = default;
    JsonArena(const JsonArena&) = delete;
    JsonArena& operator=(const JsonArena&) = delete;
    ~JsonArena() { close(); }

    // size bytes for one object (rounded up to a multiple of 8), or null: too large, or no
    // memory for a new block. The caller then allocates from the heap.
    void* allocate(size_t size) {
        if (size > kLargestChunk) return nullptr;
        size = (size + 7) & ~size_t{7};
        if (static_cast<size_t>(end_ - next_) < size && !openBlock()) return nullptr;
        void* chunk = next_;
        next_ += size;
        ++handedOut_;
        return chunk;
    }

    // Gives up the current block: from now on only its objects keep it.
    void close();

    // Frees a chunk that allocate() handed out (its object has been destroyed).
    static void release(void* chunk) noexcept;

private:
    bool openBlock();

    JsonArenaBlock* block_ = nullptr;
    uint8_t* next_ = nullptr;
    uint8_t* end_ = nullptr;
    uint64_t handedOut_ = 0;  // chunks of the current block
};

}  // namespace json::detail
