#include "json/detail/JsonManagedBuffer.h"

#include <cstdlib>
#include <cstring>

namespace json::detail {

void json_managedBuffer_setToStackBuffer(JsonManagedBuffer* buffer, uint8_t* storage, uint64_t size) {
    json_managedBuffer_release(buffer);
    buffer->bytes = storage;
    buffer->length = size;
    buffer->flags = (buffer->flags & ~JsonManagedBufferLocationMask) | JsonManagedBufferLocal;
}

void json_managedBuffer_release(JsonManagedBuffer* buffer) {
    if ((buffer->flags & JsonManagedBufferMustFree) && buffer->bytes) {
        std::free(buffer->bytes);
        buffer->flags &= ~JsonManagedBufferMustFree;
    }
    buffer->bytes = nullptr;
    buffer->length = 0;
    buffer->flags &= ~JsonManagedBufferLocationMask;
}

uint8_t* json_managedBuffer_resize(JsonManagedBuffer* buffer, uint64_t size) {
    const uint64_t step = buffer->roundSizeUpToMultipleOf;
    if (step != 0) {
        if (size > UINT64_MAX - step) return nullptr;
        size = (size + step - 1) / step * step;
    }
    if (size <= buffer->length) return buffer->bytes;

    if ((buffer->flags & JsonManagedBufferLocationMask) == JsonManagedBufferOnHeap) {
        auto* grown = static_cast<uint8_t*>(std::realloc(buffer->bytes, size));
        if (!grown) {
            std::free(buffer->bytes);
            buffer->bytes = nullptr;
            buffer->length = 0;
            buffer->flags &= ~JsonManagedBufferMustFree;
            return nullptr;
        }
        buffer->bytes = grown;
        buffer->length = size;
        return grown;
    }
    auto* heap = static_cast<uint8_t*>(std::malloc(size));
    if (!heap) return nullptr;
    if (buffer->bytes && buffer->length) std::memcpy(heap, buffer->bytes, buffer->length);
    buffer->bytes = heap;
    buffer->length = size;
    buffer->flags = (buffer->flags & ~JsonManagedBufferLocationMask) | JsonManagedBufferOnHeap | JsonManagedBufferMustFree;
    return heap;
}

}  // namespace json::detail
