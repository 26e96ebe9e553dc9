#pragma once
// A growable byte buffer that starts in storage its caller provides (usually on the stack) and
// moves to the heap the first time it must grow.

#include <cstddef>
#include <cstdint>

namespace json::detail {

enum : uint64_t {
    JsonManagedBufferLocationMask = 3,
    JsonManagedBufferLocal = 1,     // the caller's storage
    JsonManagedBufferOnHeap = 2,
    JsonManagedBufferMustFree = 4,  // the storage is the buffer's own
};

struct JsonManagedBuffer {
    uint8_t* bytes = nullptr;
    uint64_t length = 0;
    uint64_t flags = 0;
    uint64_t roundSizeUpToMultipleOf = 0;  // 0: no rounding
};

// Releases the buffer, then points it at the caller's storage.
void json_managedBuffer_setToStackBuffer(JsonManagedBuffer* buffer, uint8_t* storage, uint64_t size);
// Frees heap storage the buffer owns and empties it.
void json_managedBuffer_release(JsonManagedBuffer* buffer);
// Grows the buffer to at least size bytes (rounded up to the step), keeping its contents.
// Returns the byte pointer, or null when memory runs out (a heap buffer then has lost its
// storage).
uint8_t* json_managedBuffer_resize(JsonManagedBuffer* buffer, uint64_t size);

}  // namespace json::detail
