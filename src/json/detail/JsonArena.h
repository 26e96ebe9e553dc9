#pragma once
// Storage for the arrays and dictionaries of one parse (and the strings of a one-call parse).
// Instead of one heap allocation each, they are carved in order out of large aligned blocks.
//
// Two ways of letting them go:
// - Chunks (a mutable parse, a kept decoder's parse): each object counts its own handles; a block
//   counts its live objects and goes back to the heap when the last one is freed, whichever
//   thread frees it. A value kept after the rest of its tree is gone keeps its block alive.
// - A tree (an immutable one-call parse): the objects of the tree never change and point only at
//   one another, so they live and go together. Handles to any of them count on the tree; when the
//   last one goes, every block goes at once, without visiting the objects. A value kept after
//   the rest of its tree is gone keeps the whole tree alive.
// Internal to the reader.

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace json::detail {

struct JsonArenaBlock;
struct JsonTree;

class JsonArena {
public:
    // Blocks are this size and aligned to it, so an object finds its block from its address.
    static constexpr size_t kBlockSize = 64 * 1024;
    // Larger objects get their own heap allocation.
    static constexpr size_t kLargestChunk = 4096;

    JsonArena() = default;
    JsonArena(const JsonArena&) = delete;
    JsonArena& operator=(const JsonArena&) = delete;
    ~JsonArena() {
        if (tree_) endTree(false);
        close();
    }

    // size bytes for one object (rounded up to a multiple of 8), or null: too large for a chunk,
    // or no memory for a new block. The caller then allocates from the heap, except for a tree,
    // which takes objects of any size and fails only when memory runs out (null, and the object
    // cannot be made).
    void* allocate(size_t size) {
        if (size > kLargestChunk) return tree_ ? allocateLarge(size) : nullptr;
        size = (size + 7) & ~size_t{7};
        if (static_cast<size_t>(end_ - next_) < size && !openBlock()) return nullptr;
        void* chunk = next_;
        next_ += size;
        ++handedOut_;
        return chunk;
    }

    // From now on, until endTree, what is carved out belongs to one tree. False when memory runs
    // out (the arena then hands out chunks).
    bool beginTree();
    bool holdsTree() const { return tree_ != nullptr; }
    // Ends the tree: with keep, one handle (the top object's) holds it; without, it goes now
    // (no handle into it may be left).
    void endTree(bool keep);

    // Gives up the current block: from now on only its objects keep it.
    void close();

    // Frees a chunk that allocate() handed out (its object has been destroyed).
    static void release(void* chunk) noexcept;

private:
    bool openBlock();
    void* allocateLarge(size_t size);

    JsonTree* tree_ = nullptr;
    JsonArenaBlock* block_ = nullptr;
    uint8_t* next_ = nullptr;
    uint8_t* end_ = nullptr;
    uint64_t handedOut_ = 0;  // chunks of the current block
};

}  // namespace json::detail
