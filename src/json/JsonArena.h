#pragma once
// Storage for the arrays and dictionaries of one parse. Instead of one heap allocation each,
// the collections of a parse are carved in order out of large aligned blocks. A block counts
// its live collections and goes back to the heap when the last one is freed, whichever thread
// frees it; so a collection kept after the rest of its tree is gone keeps its block alive.
// Internal to the reader.

#include <atomic>
#include <cstddef>
#include <cstdint>

struct JsonArenaBlock;

class JsonArena {
public:
    // Blocks are this size and aligned to it, so a collection finds its block from its address.
    static constexpr size_t kBlockSize = 64 * 1024;
    // Larger collections get their own heap allocation.
    static constexpr size_t kLargestPiece = 4096;

    JsonArena() = default;
    JsonArena(const JsonArena&) = delete;
    JsonArena& operator=(const JsonArena&) = delete;
    ~JsonArena() { close(); }

    // size bytes (a multiple of 8) for one collection, or null: too large, or no memory for a
    // new block. The caller then allocates from the heap.
    void* allocate(size_t size) {
        if (size > kLargestPiece) return nullptr;
        size = (size + 7) & ~size_t{7};
        if (static_cast<size_t>(end_ - next_) < size && !openBlock()) return nullptr;
        void* piece = next_;
        next_ += size;
        ++handedOut_;
        return piece;
    }

    // Gives up the current block: from now on only its collections keep it.
    void close();

    // Frees a piece that allocate() handed out (its collection has been destroyed).
    static void release(void* piece) noexcept;

private:
    bool openBlock();

    JsonArenaBlock* block_ = nullptr;
    uint8_t* next_ = nullptr;
    uint8_t* end_ = nullptr;
    uint64_t handedOut_ = 0;  // pieces of the current block
};
