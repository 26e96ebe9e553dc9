#pragma once
// The frame exchanged with the mixer over TCP and serial alike:
//   [0..2] 01 20 03, [3] total length (low 8 bits), [4..7] 00 01 00 01, [8] command, [9] sub-code,
//   [10..len-2] payload (16-bit numbers high byte first), [len-1] "@".
// There is no checksum.

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace frame {

inline constexpr uint8_t kStart0 = 0x01;
inline constexpr uint8_t kStart1 = 0x20;
inline constexpr uint8_t kStart2 = 0x03;
inline constexpr uint8_t kTrailer = 0x40;  // "@"
// The shortest reply the reassembly completes; the longest frame of all.
inline constexpr size_t kMinReplyLength = 11;
inline constexpr size_t kMaxFrameLength = 4612;

// Commands.
inline constexpr uint8_t kCmdRenamePreset = 0x16;
inline constexpr uint8_t kCmdDeletePreset = 0x17;
inline constexpr uint8_t kCmdPresetList = 0x18;
inline constexpr uint8_t kCmdWritePreset = 0x23;
inline constexpr uint8_t kCmdCheckDevice = 0x25;
inline constexpr uint8_t kCmdReadMcuVersion = 0x2C;
inline constexpr uint8_t kCmdMemoryExport = 0x2F;
inline constexpr uint8_t kCmdMemoryImportAck = 0x30;
inline constexpr uint8_t kCmdMemoryImport = 0x31;
inline constexpr uint8_t kCmdPresetData = 0x32;
inline constexpr uint8_t kCmdPresetStored = 0x33;
inline constexpr uint8_t kCmdReadyOther = 0xF0;
inline constexpr uint8_t kCmdBlockOther = 0xF1;  // boards 1-3, and GUI picture blocks
inline constexpr uint8_t kCmdReadDspFirmware = 0xF2;
inline constexpr uint8_t kCmdEnterProgram = 0xF8;
inline constexpr uint8_t kCmdSearchDevice = 0xF9;
inline constexpr uint8_t kCmdReadyMain = 0xFA;
inline constexpr uint8_t kCmdBlockMain = 0xFB;
// The single byte that ends the main-board transfer.
inline constexpr uint8_t kEndOfTransfer = 0x04;

// Zero-fills exactly length bytes and writes the start bytes, the length byte, the fixed bytes
// 4..7, command, sub-code and trailer.
inline uint8_t* begin(uint8_t* buffer, size_t length, uint8_t command, uint8_t sub) {
    std::memset(buffer, 0, length);
    buffer[0] = kStart0;
    buffer[1] = kStart1;
    buffer[2] = kStart2;
    buffer[3] = static_cast<uint8_t>(length & 0xFF);
    buffer[4] = 0x00;
    buffer[5] = 0x01;
    buffer[6] = 0x00;
    buffer[7] = 0x01;
    buffer[8] = command;
    buffer[9] = sub;
    buffer[length - 1] = kTrailer;
    return buffer;
}

// Looks for a frame header, 01 20 03, any length byte, then 00 01 00 01, in a stream of bytes
// fed in chunks of any size; a header split across chunks is found too. The mixer answers the
// serial search with a frame of its own length and content, so its header is what tells a mixer
// from any other device on a USB serial adapter.
class HeaderScan {
public:
    static constexpr size_t kLength = 8;
    static constexpr size_t kNotFound = static_cast<size_t>(-1);

    // The offset in data just past the first header that completes there, or kNotFound. The
    // bytes after that offset are not looked at.
    size_t find(const uint8_t* data, size_t length) {
        for (size_t i = 0; i < length; ++i) {
            held_[count_++] = data[i];
            // Keep the longest tail that can still begin a header (the pattern is short).
            while (count_ > 0 && !beginsHeader(held_, count_)) {
                std::memmove(held_, held_ + 1, --count_);
            }
            if (count_ == kLength) {
                count_ = 0;
                return i + 1;
            }
        }
        return kNotFound;
    }
    // The header found last (its 8 bytes stay until the next find).
    const uint8_t* header() const { return held_; }
    void reset() { count_ = 0; }

private:
    static bool beginsHeader(const uint8_t* bytes, size_t count) {
        static constexpr uint8_t kPattern[kLength] = {kStart0, kStart1, kStart2, 0, 0x00, 0x01, 0x00, 0x01};
        for (size_t k = 0; k < count; ++k)
            if (k != 3 && bytes[k] != kPattern[k]) return false;
        return true;
    }
    uint8_t held_[kLength] = {};
    size_t count_ = 0;
};

inline void putU16(uint8_t* at, unsigned value) {
    at[0] = static_cast<uint8_t>((value >> 8) & 0xFF);
    at[1] = static_cast<uint8_t>(value & 0xFF);
}

}  // namespace frame
