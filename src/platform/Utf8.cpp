#include "platform/Utf8.h"

namespace platform {

namespace {

// Length of the valid sequence starting at bytes[i], or 0 when it is invalid.
size_t sequenceLength(const uint8_t* b, size_t length, size_t i) {
    const uint8_t c = b[i];
    if (c < 0x80) return 1;
    size_t need;
    uint8_t lo = 0x80, hi = 0xBF;  // bounds of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        need = 2;
    } else if (c == 0xE0) {
        need = 3, lo = 0xA0;
    } else if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) {
        need = 3;
    } else if (c == 0xED) {
        need = 3, hi = 0x9F;  // no surrogates
    } else if (c == 0xF0) {
        need = 4, lo = 0x90;
    } else if (c >= 0xF1 && c <= 0xF3) {
        need = 4;
    } else if (c == 0xF4) {
        need = 4, hi = 0x8F;
    } else {
        return 0;
    }
    if (i + need > length) return 0;
    if (b[i + 1] < lo || b[i + 1] > hi) return 0;
    for (size_t k = 2; k < need; ++k)
        if ((b[i + k] & 0xC0) != 0x80) return 0;
    return need;
}

}  // namespace

bool isValidUtf8(const uint8_t* bytes, size_t length) {
    for (size_t i = 0; i < length;) {
        size_t n = sequenceLength(bytes, length, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string utf8WithReplacement(const uint8_t* bytes, size_t length) {
    std::string out;
    out.reserve(length);
    for (size_t i = 0; i < length;) {
        size_t n = sequenceLength(bytes, length, i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(reinterpret_cast<const char*>(bytes + i), n);
            i += n;
        }
    }
    return out;
}

size_t utf8PrefixLength(const std::string& text, size_t maxBytes) {
    if (text.size() <= maxBytes) return text.size();
    size_t end = maxBytes;
    // Step back over continuation bytes to the start of the character that crosses the limit.
    while (end > 0 && (static_cast<uint8_t>(text[end]) & 0xC0) == 0x80) --end;
    return end;
}

}  // namespace platform
