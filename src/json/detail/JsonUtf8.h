#pragma once
// UTF-8 routines of the JSON reader and writer: decoding one sequence with the reader's
// validity rules, checking well-formedness, and encoding one code point.

#include <cstdint>

namespace json::detail {

enum JsonConversionResult : int {
    JsonConversionOK = 0,
    JsonSourceExhausted = 1,  // the sequence runs past the end of the input
    JsonTargetExhausted = 2,  // no room to write
    JsonSourceIllegal = 3,
};

inline constexpr uint32_t JsonReplacementCharacter = 0xFFFD;

// Code points the reader refuses: zero, the surrogates, U+FDD0-U+FDEF and every code point
// whose low 16 bits are FFFE or FFFF.
inline bool jsonIsValidCodePoint(uint32_t u) {
    if (u == 0) return false;
    if (u >= 0xD800 && u <= 0xDFFF) return false;
    if (u >= 0xFDD0 && u <= 0xFDEF) return false;
    if (u <= 0x10FFFF && (u & 0xFFFE) == 0xFFFE) return false;
    return u <= 0x10FFFF;
}

// The length a lead byte announces: its leading one bits (1 for a stray continuation byte,
// 32 for 0xFF).
inline int jsonAnnouncedLength(uint8_t lead) {
    if (lead < 0x80) return 1;
    if (lead == 0xFF) return 32;
    int ones = 0;
    while (lead & (0x80 >> ones)) ++ones;
    return ones == 1 ? 1 : ones;
}

// Whether length (1 to 4) bytes form one well-formed UTF-8 sequence.
inline bool isLegalUTF8(const uint8_t* s, int length) {
    switch (length) {
    case 1:
        return s[0] < 0x80;
    case 2:
        return s[0] >= 0xC2 && s[0] <= 0xDF && (s[1] & 0xC0) == 0x80;
    case 3: {
        if ((s[1] & 0xC0) != 0x80 || (s[2] & 0xC0) != 0x80) return false;
        if (s[0] == 0xE0) return s[1] >= 0xA0;
        if (s[0] == 0xED) return s[1] <= 0x9F;
        return s[0] >= 0xE1 && s[0] <= 0xEF;
    }
    case 4: {
        if ((s[1] & 0xC0) != 0x80 || (s[2] & 0xC0) != 0x80 || (s[3] & 0xC0) != 0x80) return false;
        if (s[0] == 0xF0) return s[1] >= 0x90;
        if (s[0] == 0xF4) return s[1] <= 0x8F;
        return s[0] >= 0xF1 && s[0] <= 0xF3;
    }
    default:
        return false;
    }
}

// Decodes the sequence that starts at start (a byte of 0x80 or more). Sets next past what was
// taken and codePoint (U+FFFD on failure).
inline JsonConversionResult ConvertSingleCodePointInUTF8(const uint8_t* start, const uint8_t* end,
                                                         const uint8_t** next, uint32_t* codePoint) {
    const int length = jsonAnnouncedLength(*start);
    const uint64_t available = static_cast<uint64_t>(end - start);
    if (length <= 4 && static_cast<uint64_t>(length) <= available && isLegalUTF8(start, length)) {
        uint32_t u;
        switch (length) {
        case 2:
            u = ((start[0] & 0x1Fu) << 6) | (start[1] & 0x3Fu);
            break;
        case 3:
            u = ((start[0] & 0x0Fu) << 12) | ((start[1] & 0x3Fu) << 6) | (start[2] & 0x3Fu);
            break;
        default:
            u = ((start[0] & 0x07u) << 18) | ((start[1] & 0x3Fu) << 12) | ((start[2] & 0x3Fu) << 6) |
                (start[3] & 0x3Fu);
            break;
        }
        *next = start + length;
        if (!jsonIsValidCodePoint(u)) {
            *codePoint = JsonReplacementCharacter;
            return JsonSourceIllegal;
        }
        *codePoint = u;
        return JsonConversionOK;
    }
    // Not well-formed: skip the lead byte and the continuation bytes within the announced length.
    const uint8_t* p = start + 1;
    const uint64_t announcedEnd = static_cast<uint64_t>(length);
    while (p < end && static_cast<uint64_t>(p - start) < announcedEnd && (*p & 0xC0) == 0x80) ++p;
    *next = p;
    *codePoint = JsonReplacementCharacter;
    if (p < end && static_cast<uint64_t>(p - start) < announcedEnd) return JsonSourceIllegal;
    if (announcedEnd > available) return JsonSourceExhausted;
    return JsonSourceIllegal;
}

// Writes the code point as UTF-8 at *target and advances it; an invalid code point (or one above
// U+10FFFF) is written as U+FFFD. Nothing is written when the bytes would pass targetEnd.
inline JsonConversionResult ConvertUTF32toUTF8(uint32_t u, uint8_t** target, const uint8_t* targetEnd) {
    if (!jsonIsValidCodePoint(u)) u = JsonReplacementCharacter;
    const int n = u < 0x80 ? 1 : u < 0x800 ? 2 : u < 0x10000 ? 3 : 4;
    uint8_t* t = *target;
    if (targetEnd - t < n) return JsonTargetExhausted;
    switch (n) {
    case 1:
        t[0] = static_cast<uint8_t>(u);
        break;
    case 2:
        t[0] = static_cast<uint8_t>(0xC0 | (u >> 6));
        t[1] = static_cast<uint8_t>(0x80 | (u & 0x3F));
        break;
    case 3:
        t[0] = static_cast<uint8_t>(0xE0 | (u >> 12));
        t[1] = static_cast<uint8_t>(0x80 | ((u >> 6) & 0x3F));
        t[2] = static_cast<uint8_t>(0x80 | (u & 0x3F));
        break;
    default:
        t[0] = static_cast<uint8_t>(0xF0 | (u >> 18));
        t[1] = static_cast<uint8_t>(0x80 | ((u >> 12) & 0x3F));
        t[2] = static_cast<uint8_t>(0x80 | ((u >> 6) & 0x3F));
        t[3] = static_cast<uint8_t>(0x80 | (u & 0x3F));
        break;
    }
    *target = t + n;
    return JsonConversionOK;
}

}  // namespace json::detail
