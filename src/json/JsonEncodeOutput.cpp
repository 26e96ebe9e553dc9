// The writer's output once it outgrows the caller's storage: it is written straight into the
// container that becomes the result, which is then moved out without a copy.

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <stdexcept>

#include "json/detail/JsonEncodeState.h"

namespace json::detail {

namespace {

// Outputs up to this size are copied in one piece when they move: holding one twice for a moment
// costs little, and memory given back to the system would have to be faulted in again by the next
// output of its size. Larger ones move a piece at a time, each copied piece given back.
constexpr uint64_t kMovedWhole = uint64_t{16} << 20;
constexpr uint64_t kPiece = uint64_t{1} << 20;

// Gives the memory pages that lie wholly inside [begin, end) back to the system: they were copied
// and are not read again. Without this, moving a large output would hold it twice at once.
void releasePages(const uint8_t* begin, const uint8_t* end) {
    static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t first = (reinterpret_cast<uintptr_t>(begin) + page - 1) & ~(page - 1);
    const uintptr_t last = reinterpret_cast<uintptr_t>(end) & ~(page - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
}

void append(std::string& container, const uint8_t* bytes, uint64_t count) {
    container.append(reinterpret_cast<const char*>(bytes), count);
}

void append(platform::Bytes& container, const uint8_t* bytes, uint64_t count) {
    container.insert(container.end(), bytes, bytes + count);
}

// Makes container hold size bytes of which the first kept are those at from (its own data or the
// caller's storage). Its size grows in place while its capacity suffices (only the added part
// is filled); else it moves to a new container: four times the capacity while the output is small
// (fewer moves, each copying little), twice beyond, copied a piece at a time with each copied
// piece of the old one given back, so that a large output is never held twice.
template <class Container>
uint8_t* resizeContainer(Container& container, const uint8_t* from, uint64_t kept, uint64_t size) {
    const bool own = !container.empty() && from == reinterpret_cast<const uint8_t*>(container.data());
    if (own && size <= container.capacity()) {
        container.resize(size);
        return reinterpret_cast<uint8_t*>(container.data());
    }
    Container next;
    const uint64_t capacity = container.capacity();
    next.reserve(std::max<uint64_t>(size, (capacity < kMovedWhole ? 4 : 2) * capacity));
    for (uint64_t done = 0; done < kept;) {
        const uint64_t count = std::min(kPiece, kept - done);
        append(next, from + done, count);
        if (own && kept > kMovedWhole) releasePages(from + done, from + done + count);
        done += count;
    }
    next.resize(size);
    container = std::move(next);
    return reinterpret_cast<uint8_t*>(container.data());
}

}  // namespace

uint8_t* json_encode_resizeOutput(JsonEncodeState* encodeState, uint64_t size) {
    JsonManagedBuffer& buffer = encodeState->stringBuffer;
    const uint64_t step = buffer.roundSizeUpToMultipleOf;
    if (step != 0) {
        if (size > UINT64_MAX - step) return nullptr;
        size = (size + step - 1) / step * step;
    }
    if (size <= buffer.length) return buffer.bytes;
    JsonEncodeOutput& output = encodeState->output;
    uint8_t* bytes = nullptr;
    // Every byte of the buffer is kept, not only the atIndex written: a string being written runs
    // ahead of atIndex until it is finished.
    try {
        bytes = output.asBytes ? resizeContainer(output.bytes, buffer.bytes, buffer.length, size)
                               : resizeContainer(output.text, buffer.bytes, buffer.length, size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    } catch (const std::length_error&) {
        return nullptr;
    }
    // The container owns the bytes: the buffer points at them without the must-free flag.
    buffer.bytes = bytes;
    buffer.length = size;
    buffer.flags = (buffer.flags & ~(JsonManagedBufferLocationMask | JsonManagedBufferMustFree)) | JsonManagedBufferOnHeap;
    return bytes;
}

}  // namespace json::detail
