// The pre-buffer and the read request rules: how many bytes a read takes, where they go and
// whether its terminator has arrived.

#include "net/detail/TcpRequests.h"

#include "platform/Fatal.h"

#include <algorithm>
#include <cstring>

namespace net::detail {

// ---- AsyncTcpSocketPreBuffer ----

AsyncTcpSocketPreBuffer::AsyncTcpSocketPreBuffer(size_t capacity) : preBuffer(capacity) {}

void AsyncTcpSocketPreBuffer::ensureCapacityForWrite(size_t n) {
    const size_t space = availableSpace();
    if (n > space) preBuffer.resize(preBuffer.size() + (n - space));  // positions are offsets: they keep their place
}

void AsyncTcpSocketPreBuffer::getReadBufferAvailableBytes(uint8_t** bufferPtr, size_t* availableBytesPtr) {
    if (bufferPtr) *bufferPtr = readBuffer();
    if (availableBytesPtr) *availableBytesPtr = availableBytes();
}

void AsyncTcpSocketPreBuffer::didRead(size_t n) {
    readPointer += n;
    if (readPointer == writePointer) reset();  // empty: the whole block is free again
}

void AsyncTcpSocketPreBuffer::getWriteBufferAvailableSpace(uint8_t** bufferPtr, size_t* availableSpacePtr) {
    if (bufferPtr) *bufferPtr = writeBuffer();
    if (availableSpacePtr) *availableSpacePtr = availableSpace();
}

void AsyncTcpSocketPreBuffer::didWrite(size_t n) { writePointer += n; }

// ---- AsyncTcpReadPacket ----

AsyncTcpReadPacket::AsyncTcpReadPacket(std::shared_ptr<platform::Bytes> buffer, size_t startOffset, size_t maxLength,
                                       double timeout, size_t readLength, platform::Bytes term, long tag)
    : AsyncTcpRequest(false),
      maxLength(maxLength), timeout(timeout), readLength(readLength), term(std::move(term)), tag(tag) {
    if (buffer) {
        this->originalBufferLength = buffer->size();
        this->buffer = std::move(buffer);
        this->startOffset = startOffset;
        bufferOwner = false;
    } else {
        this->buffer = std::make_shared<platform::Bytes>(readLength);
        this->startOffset = 0;
        bufferOwner = true;
        originalBufferLength = 0;
    }
}

size_t AsyncTcpReadPacket::freeRoom() const {
    const size_t used = startOffset + bytesDone;
    return buffer->size() > used ? buffer->size() - used : 0;
}

void AsyncTcpReadPacket::ensureCapacityForAdditionalDataOfLength(size_t n) {
    const size_t used = startOffset + bytesDone;
    if (buffer->size() < used + n) buffer->resize(used + n);
}

size_t AsyncTcpReadPacket::optimalReadLengthWithDefaultShouldPreBuffer(size_t defaultValue,
                                                                       bool* shouldPreBufferPtr) const {
    size_t result;
    if (readLength > 0) {
        result = std::min(defaultValue, readLength - bytesDone);
        if (shouldPreBufferPtr) *shouldPreBufferPtr = false;
        return result;
    }
    result = maxLength > 0 ? std::min(defaultValue, maxLength - bytesDone) : defaultValue;
    if (shouldPreBufferPtr) *shouldPreBufferPtr = freeRoom() < result;
    return result;
}

size_t AsyncTcpReadPacket::readLengthForNonTermWithHint(size_t bytesAvailable) const {
    if (isTermRead()) platform::fatal("AsyncTcpSocket: This method does not apply to term reads");
    if (bytesAvailable == 0) platform::fatal("AsyncTcpSocket: Invalid parameter: bytesAvailable");
    if (readLength > 0) return std::min(bytesAvailable, readLength - bytesDone);
    if (maxLength > 0) return std::min(bytesAvailable, maxLength - bytesDone);
    return bytesAvailable;
}

size_t AsyncTcpReadPacket::readLengthForTermWithHintShouldPreBuffer(size_t bytesAvailable,
                                                                    bool* shouldPreBufferPtr) const {
    if (!isTermRead()) platform::fatal("AsyncTcpSocket: This method does not apply to non-term reads");
    if (bytesAvailable == 0) platform::fatal("AsyncTcpSocket: Invalid parameter: bytesAvailable");
    const size_t result = maxLength > 0 ? std::min(bytesAvailable, maxLength - bytesDone) : bytesAvailable;
    if (shouldPreBufferPtr) *shouldPreBufferPtr = freeRoom() < result;
    return result;
}

size_t AsyncTcpReadPacket::readLengthForTermWithPreBufferFound(const AsyncTcpSocketPreBuffer& pre,
                                                               bool* foundPtr) const {
    if (!isTermRead()) platform::fatal("AsyncTcpSocket: This method does not apply to non-term reads");
    const size_t available = pre.availableBytes();
    if (available == 0) platform::fatal("AsyncTcpSocket: Invoked with empty pre buffer!");

    const size_t termLength = term.size();
    if (bytesDone + available < termLength) return available;  // too few bytes for a terminator

    const size_t maxPreBufferLength = maxLength > 0 ? std::min(available, maxLength - bytesDone) : available;
    const uint8_t* preBytes = pre.readBuffer();
    const uint8_t* held = buffer->data() + startOffset;  // the bytes this read already holds

    // The terminator may begin in the held bytes: try windows that take k held bytes and the
    // first termLength - k pre-buffered ones, then windows wholly inside the pre-buffer.
    size_t k = std::min(bytesDone, termLength - 1);
    size_t position = 0;
    std::vector<uint8_t> window(termLength);
    // The window may not run past maxPreBufferLength pre-buffered bytes.
    while (k > 0 && termLength - k <= maxPreBufferLength) {
        std::memcpy(window.data(), held + bytesDone - k, k);
        std::memcpy(window.data() + k, preBytes, termLength - k);
        if (std::memcmp(window.data(), term.data(), termLength) == 0) {
            if (foundPtr) *foundPtr = true;
            return termLength - k;
        }
        --k;
    }
    for (; k == 0 && position + termLength <= maxPreBufferLength; ++position) {
        if (std::memcmp(preBytes + position, term.data(), termLength) == 0) {
            if (foundPtr) *foundPtr = true;
            return position + termLength;
        }
    }
    if (foundPtr) *foundPtr = false;
    return maxPreBufferLength;
}

long AsyncTcpReadPacket::searchForTermAfterPreBuffering(long numBytes) const {
    if (!isTermRead()) platform::fatal("AsyncTcpSocket: This method does not apply to non-term reads");
    const size_t termLength = term.size();
    const uint8_t* data = buffer->data() + startOffset;
    const size_t total = bytesDone + static_cast<size_t>(numBytes);
    size_t i = bytesDone >= termLength ? bytesDone - termLength + 1 : 0;
    for (; i + termLength <= total; ++i) {
        if (std::memcmp(data + i, term.data(), termLength) == 0) return static_cast<long>(total - (i + termLength));
    }
    return -1;
}

}  // namespace net::detail
