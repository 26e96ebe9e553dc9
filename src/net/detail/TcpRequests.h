#pragma once
// The TCP socket's own parts: the pre-buffer, the entries of its request queues (reads, writes,
// the TLS marker) and the system call that tests replace. Internal to the socket; its tests reach
// them here.

#include <any>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <vector>

#include "platform/Error.h"

namespace net::detail {

// Bytes read from the descriptor that no request has taken yet. Readable bytes lie between the
// read and the write position; space before the read position is reused once the buffer empties.
class AsyncTcpSocketPreBuffer {
public:
    explicit AsyncTcpSocketPreBuffer(size_t capacity);  // initWithCapacity

    // Makes room for n more bytes, growing by exactly the shortfall; never shrinks.
    void ensureCapacityForWrite(size_t n);

    size_t availableBytes() const { return writePointer - readPointer; }
    uint8_t* readBuffer() { return preBuffer.data() + readPointer; }
    const uint8_t* readBuffer() const { return preBuffer.data() + readPointer; }
    void getReadBufferAvailableBytes(uint8_t** bufferPtr, size_t* availableBytesPtr);
    // Consumes n bytes; when nothing is left both positions return to the start.
    void didRead(size_t n);

    size_t availableSpace() const { return preBuffer.size() - writePointer; }
    uint8_t* writeBuffer() { return preBuffer.data() + writePointer; }
    void getWriteBufferAvailableSpace(uint8_t** bufferPtr, size_t* availableSpacePtr);
    void didWrite(size_t n);

    void reset() { readPointer = writePointer = 0; }
    size_t preBufferSize() const { return preBuffer.size(); }

private:
    std::vector<uint8_t> preBuffer;  // the block; its size is the capacity
    size_t readPointer = 0;          // offset of the first byte not yet consumed
    size_t writePointer = 0;         // offset of the first free byte
};

// An entry of the request queues: a read or a write request, or the marker of a TLS upgrade.
class AsyncTcpRequest {
public:
    explicit AsyncTcpRequest(bool special) : isSpecial(special) {}
    virtual ~AsyncTcpRequest() = default;
    const bool isSpecial;  // the TLS marker
};

// One queued read: whatever is available (readLength 0, no terminator), an exact length
// (readLength > 0) or up to and including a terminator (term not empty).
class AsyncTcpReadPacket : public AsyncTcpRequest {
public:
    // buffer null: the request makes its own of readLength bytes and owns it.
    AsyncTcpReadPacket(std::shared_ptr<platform::Bytes> buffer, size_t startOffset, size_t maxLength, double timeout,
                       size_t readLength, platform::Bytes term, long tag);

    // Lengthens the buffer so that n more bytes fit after startOffset + bytesDone.
    void ensureCapacityForAdditionalDataOfLength(size_t n);
    size_t optimalReadLengthWithDefaultShouldPreBuffer(size_t defaultValue, bool* shouldPreBufferPtr) const;
    // Not for terminator reads; bytesAvailable must be above 0.
    size_t readLengthForNonTermWithHint(size_t bytesAvailable) const;
    // Terminator reads only; bytesAvailable must be above 0.
    size_t readLengthForTermWithHintShouldPreBuffer(size_t bytesAvailable, bool* shouldPreBufferPtr) const;
    // Terminator reads only, pre-buffer not empty: how many pre-buffered bytes to move so that the
    // move stops right after the terminator when there is one.
    size_t readLengthForTermWithPreBufferFound(const AsyncTcpSocketPreBuffer& preBuffer, bool* foundPtr) const;
    // Terminator reads only: n bytes were just placed after bytesDone; returns how many of them lie
    // after the end of the terminator, or -1 when the terminator is not there yet.
    long searchForTermAfterPreBuffering(long numBytes) const;

    bool isTermRead() const { return !term.empty(); }
    uint8_t* writePosition() { return buffer->data() + startOffset + bytesDone; }

    std::shared_ptr<platform::Bytes> buffer;
    size_t startOffset;
    size_t bytesDone = 0;
    size_t maxLength;
    double timeout;
    size_t readLength;
    platform::Bytes term;
    bool bufferOwner;
    size_t originalBufferLength;
    long tag;

private:
    size_t freeRoom() const;
};

// One queued write. The request holds the caller's bytes, shared and not copied, until it ends.
class AsyncTcpWritePacket : public AsyncTcpRequest {
public:
    AsyncTcpWritePacket(std::shared_ptr<const platform::Bytes> buffer, double timeout, long tag)
        : AsyncTcpRequest(false), buffer(std::move(buffer)), tag(tag), timeout(timeout) {}

    std::shared_ptr<const platform::Bytes> buffer;
    size_t bytesDone = 0;
    long tag;
    double timeout;
};

// The marker of a TLS upgrade, queued in both request queues; it carries a copy of the settings.
class AsyncTcpSpecialPacket : public AsyncTcpRequest {
public:
    explicit AsyncTcpSpecialPacket(std::map<std::string, std::any> tlsSettings)
        : AsyncTcpRequest(true), tlsSettings(std::move(tlsSettings)) {}
    std::map<std::string, std::any> tlsSettings;
};

// The system call behind accepting. Tests replace it to provoke failures that loopback never
// gives (no descriptors left).
struct AsyncTcpSocketSystemCalls {
    std::function<int(int fd, sockaddr* address, socklen_t* addressLength, int flags)> accept4;
    static AsyncTcpSocketSystemCalls real();
};

}  // namespace net::detail
