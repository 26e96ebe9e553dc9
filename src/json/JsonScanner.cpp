// The string and number scanners: they check a token, decode or convert its value, compute its
// value hash on the way and leave everything in the parse state's current token.

#include <charconv>
#include <cstring>
#include <string>
#include <system_error>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "json/detail/JsonParseState.h"
#include "json/detail/JsonTokenCache.h"
#include "json/detail/JsonUtf8.h"

namespace json::detail {

namespace {

// The value of each hexadecimal digit, -1 for any other byte; and the byte each one-letter escape
// stands for, 0 for the others ("u" and the invalid ones).
struct EscapeTables {
    int8_t hex[256] = {};
    uint8_t simple[256] = {};
    constexpr EscapeTables() {
        for (int c = 0; c < 256; ++c) hex[c] = -1;
        for (int c = '0'; c <= '9'; ++c) hex[c] = static_cast<int8_t>(c - '0');
        for (int c = 'a'; c <= 'f'; ++c) hex[c] = static_cast<int8_t>(c - 'a' + 10);
        for (int c = 'A'; c <= 'F'; ++c) hex[c] = static_cast<int8_t>(c - 'A' + 10);
        simple[static_cast<uint8_t>('"')] = '"';
        simple[static_cast<uint8_t>('\\')] = '\\';
        simple[static_cast<uint8_t>('/')] = '/';
        simple[static_cast<uint8_t>('b')] = 0x08;
        simple[static_cast<uint8_t>('f')] = 0x0C;
        simple[static_cast<uint8_t>('n')] = 0x0A;
        simple[static_cast<uint8_t>('r')] = 0x0D;
        simple[static_cast<uint8_t>('t')] = 0x09;
    }
};
constexpr EscapeTables kEscapes;

int hexValue(uint8_t c) { return kEscapes.hex[c]; }

enum class HexResult { Ok, End, NotHex };

// Reads four hexadecimal digits at p.
HexResult readHex4(JsonParseState* parseState, const uint8_t*& p, const uint8_t* end, uint32_t* value) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
        if (p >= end) return HexResult::End;
        const int digit = hexValue(*p);
        if (digit < 0) {
            parseState->atIndex = static_cast<uint64_t>(p - parseState->stringBufferBytes);
            json_error(parseState,
                       "Unexpected character found in \\u Unicode escape sequence.  Found '%c', expected [0-9a-fA-F].",
                       *p);
            return HexResult::NotHex;
        }
        v = (v << 4) | static_cast<uint32_t>(digit);
        ++p;
    }
    *value = v;
    return HexResult::Ok;
}

void setIndex(JsonParseState* parseState, const uint8_t* p) {
    parseState->atIndex = static_cast<uint64_t>(p - parseState->stringBufferBytes);
}

// What a look at sixteen bytes of a string found: how many of them go as they are, and whether
// the byte after those needs a closer look (a quotation mark, a backslash, a control byte, or a
// UTF-8 sequence the look could not vouch for). Without one, the sixteen ended, or a sequence that
// crosses their end starts there.
struct StringRun {
    unsigned plain;
    bool look;
};

#if defined(__SSE2__)
inline __m128i atLeast(__m128i bytes, uint8_t floor) {
    const __m128i f = _mm_set1_epi8(static_cast<char>(floor));
    return _mm_cmpeq_epi8(_mm_max_epu8(bytes, f), bytes);
}

inline __m128i equal(__m128i bytes, uint8_t value) {
    return _mm_cmpeq_epi8(bytes, _mm_set1_epi8(static_cast<char>(value)));
}

// What sixteen bytes of a string hold, one bit per byte (lowest: the first).
struct StringBlock {
    __m128i bytes;
    unsigned stops;   // quotation marks, backslashes and control bytes
    unsigned faults;  // where the UTF-8 check below failed
    unsigned cut;     // where a sequence starts that runs past the sixteen (16: none does)
};

// Looks at the sixteen bytes at p, which start at a character (never inside a UTF-8 sequence).
// Well-formed UTF-8 goes as it is without a branch per character: every byte of 0x80 or more must
// be a lead byte of C2-F4 or a continuation byte exactly where a lead asks for one, within the
// second-byte limits of E0, ED, F0 and F4. Sequences that might encode a noncharacter (EF B7 ..,
// .. BF BE, .. BF BF) count as faults too: the careful decoder knows the exact rule.
inline StringBlock lookAtString16(const uint8_t* p) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(bytes));
    // As signed bytes the control bytes and the bytes of 0x80 or more are below 0x20.
    const __m128i special = _mm_or_si128(_mm_cmplt_epi8(bytes, _mm_set1_epi8(0x20)),
                                         _mm_or_si128(equal(bytes, '"'), equal(bytes, '\\')));
    const unsigned stops = static_cast<unsigned>(_mm_movemask_epi8(special)) & ~high;
    if (high == 0) return StringBlock{bytes, stops, 0, 16};

    // Lead bytes (those of C0 or more, C0 and C1 refused below) and continuation bytes, one bit
    // each: a continuation byte is wanted one place after any lead, two after a lead of three or
    // four bytes, three after a lead of four, and nowhere else.
    const auto leads2 = static_cast<unsigned>(_mm_movemask_epi8(atLeast(bytes, 0xC0)));
    const auto leads3 = static_cast<unsigned>(_mm_movemask_epi8(atLeast(bytes, 0xE0)));
    const auto leads4 = static_cast<unsigned>(_mm_movemask_epi8(atLeast(bytes, 0xF0)));
    const auto continuations = high & ~leads2;
    const unsigned wanted = (leads2 << 1) | (leads3 << 2) | (leads4 << 3);
    unsigned faults = (wanted ^ continuations) & 0xFFFFu;
    // Bytes that never start a sequence (C0, C1: overlong forms; F5-FF), and the second-byte
    // limits of E0, ED, F0 and F4, and sequences that might encode a noncharacter.
    const __m128i previous = _mm_slli_si128(bytes, 1);  // lane i holds byte i - 1 (0 before p)
    const __m128i evenFloor = _mm_and_si128(bytes, _mm_set1_epi8(static_cast<char>(0xFE)));
    __m128i bad = _mm_or_si128(atLeast(bytes, 0xF5), equal(evenFloor, 0xC0));
    const __m128i below90 = _mm_cmplt_epi8(bytes, _mm_set1_epi8(static_cast<char>(0x90)));  // 80-8F
    const __m128i belowA0 = _mm_cmplt_epi8(bytes, _mm_set1_epi8(static_cast<char>(0xA0)));  // 80-9F
    bad = _mm_or_si128(bad, _mm_and_si128(equal(previous, 0xE0), belowA0));     // overlong
    bad = _mm_or_si128(bad, _mm_andnot_si128(belowA0, equal(previous, 0xED)));  // surrogates
    bad = _mm_or_si128(bad, _mm_and_si128(equal(previous, 0xF0), below90));     // overlong
    bad = _mm_or_si128(bad, _mm_andnot_si128(below90, equal(previous, 0xF4)));  // above U+10FFFF
    bad = _mm_or_si128(bad, _mm_and_si128(equal(previous, 0xEF), equal(bytes, 0xB7)));
    bad = _mm_or_si128(bad, _mm_and_si128(equal(previous, 0xBF), equal(evenFloor, 0xBE)));
    faults |= static_cast<unsigned>(_mm_movemask_epi8(bad));

    // A sequence whose lead sits in the last three bytes and that runs past them is left for the
    // next look, which starts at its lead.
    const unsigned crossing = (leads2 & 0x8000u) | (leads3 & 0xC000u) | (leads4 & 0xE000u);
    return StringBlock{bytes, stops, faults, static_cast<unsigned>(__builtin_ctz(crossing | 0x10000u))};
}

// The faults of the block that matter for its bytes before upTo: those before it, and one on it
// (a continuation byte wanted there).
inline unsigned faultsUpTo(const StringBlock& block, unsigned upTo) {
    return block.faults & ((2u << upTo) - 1);
}

inline StringRun scanString16(const uint8_t* p) {
    const StringBlock block = lookAtString16(p);
    const unsigned stop = static_cast<unsigned>(__builtin_ctz(block.stops | 0x10000u));
    const unsigned upTo = stop < block.cut ? stop : block.cut;
    const unsigned relevant = faultsUpTo(block, upTo);
    if (relevant == 0) return StringRun{upTo, stop < block.cut};
    // The character that holds the first fault gets the closer look: it starts at the last byte
    // before the fault that is not a continuation byte.
    const unsigned first = static_cast<unsigned>(__builtin_ctz(relevant));
    const __m128i continuation = _mm_cmplt_epi8(block.bytes, _mm_set1_epi8(static_cast<char>(0xC0)));
    const unsigned starts = ~static_cast<unsigned>(_mm_movemask_epi8(continuation)) & ((1u << first) - 1);
    return StringRun{starts ? 31u - static_cast<unsigned>(__builtin_clz(starts)) : 0u, true};
}

enum class Decoded {
    Sixteen,  // the sixteen are done
    Stop,     // p is at a byte the one-letter escapes do not cover (or the closing quote)
    Careful,  // nothing taken: the UTF-8 of the sixteen needs the careful decoder's look
};

// On the decoding path: decodes the sixteen bytes at p (at least sixteen more must follow p in the
// input), of which only plain bytes, well-formed UTF-8 and one-letter escapes may be taken, into
// out (room made for 48 bytes). All stops among the sixteen are handled from this one look; p
// moves past what was taken.
inline Decoded decodeString16(uint8_t* o, uint64_t& produced, const uint8_t*& p, const uint8_t* end) {
    const StringBlock block = lookAtString16(p);
    const unsigned upTo = block.cut;  // bytes of whole characters
    if (faultsUpTo(block, upTo) != 0) return Decoded::Careful;
    // The plain bytes from any point on are moved sixteen at a time from the input (or, near its
    // end, from a copy of the sixteen followed by zeros).
    alignas(16) uint8_t local[32];
    const bool nearEnd = end - p < 32;
    if (nearEnd) {
        _mm_store_si128(reinterpret_cast<__m128i*>(local), block.bytes);
        _mm_store_si128(reinterpret_cast<__m128i*>(local + 16), _mm_setzero_si128());
    }
    const uint8_t* const from = nearEnd ? local : p;
    const auto available = static_cast<unsigned>(end - p > 17 ? 17 : end - p);
    unsigned stops = block.stops & ((1u << upTo) - 1);
    unsigned taken = 0;
    for (;;) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o + produced),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + taken)));
        if (stops == 0) {
            produced += upTo - taken;
            p += upTo;
            return Decoded::Sixteen;
        }
        const auto stop = static_cast<unsigned>(__builtin_ctz(stops));
        produced += stop - taken;
        taken = stop;
        uint8_t simple = 0;
        if (p[stop] != '\\' || stop + 1 >= available || !(simple = kEscapes.simple[p[stop + 1]])) break;
        o[produced++] = simple;
        taken = stop + 2;
        if (taken >= upTo) {
            p += taken;
            return Decoded::Sixteen;
        }
        stops &= ~0u << taken;
    }
    p += taken;
    return Decoded::Stop;
}
#else
// Bytes that stand for themselves inside a string: printable ASCII other than the quote and the
// backslash. Everything else needs a closer look.
struct PlainStringBytes {
    bool plain[256] = {};
    constexpr PlainStringBytes() {
        for (int c = 0x20; c < 0x80; ++c) plain[c] = c != '"' && c != '\\';
    }
};
constexpr PlainStringBytes kPlain;

inline StringRun scanString16(const uint8_t* p) {
    unsigned n = 0;
    while (n < 16 && kPlain.plain[p[n]]) ++n;
    return StringRun{n, n < 16};
}
#endif

// The same look at the last bytes of the input (fewer than sixteen), through a copy padded with
// control bytes: the run always stops, at the end of the input at the latest.
inline StringRun scanStringTail(const uint8_t* p, const uint8_t* end) {
    uint8_t tail[16] = {};
    std::memcpy(tail, p, static_cast<size_t>(end - p));
    return scanString16(tail);
}

// The first byte at or after p that needs a closer look, or end.
inline const uint8_t* endOfPlainRun(const uint8_t* p, const uint8_t* end) {
    for (;;) {
        if (end - p < 16) return p + scanStringTail(p, end).plain;
        const StringRun run = scanString16(p);
        p += run.plain;
        if (run.look) return p;
    }
}

// The length of the UTF-8 sequence at p (a byte of 0x80 or more) when it is well-formed and its
// code point one a string may hold; 0 otherwise (ill-formed, cut off by the end, a noncharacter),
// which the careful decoder then reports or replaces.
inline int validSequenceLength(const uint8_t* p, const uint8_t* end) {
    const uint8_t c = p[0];
    const uint64_t available = static_cast<uint64_t>(end - p);
    if (c >= 0xC2 && c <= 0xDF) return available >= 2 && (p[1] & 0xC0) == 0x80 ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        if (available < 3 || !isLegalUTF8(p, 3)) return 0;
        const uint32_t u = ((c & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
        return (u >= 0xFDD0 && u <= 0xFDEF) || (u & 0xFFFE) == 0xFFFE ? 0 : 3;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if (available < 4 || !isLegalUTF8(p, 4)) return 0;
        // The low sixteen bits of the code point are FFFE or FFFF.
        return (p[1] & 0x0F) == 0x0F && (p[2] & 0x3F) == 0x3F && (p[3] & 0x3E) == 0x3E ? 0 : 4;
    }
    return 0;
}

int failString(JsonParseState* parseState, const uint8_t* p) {
    setIndex(parseState, p);
    json_error(parseState, "Invalid string.");
    return 1;
}

int failControlByte(JsonParseState* parseState, const uint8_t* p) {
    setIndex(parseState, p);
    json_error(parseState, "Invalid character < 0x20 found in string: 0x%2.2x.", *p);
    return failString(parseState, p);
}

// Leaves the string in the current token: the token runs from the opening quote at start to the
// closing quote; the value is the given bytes (in place, or decoded in the token buffer).
int finishString(JsonParseState* parseState, const uint8_t* start, const uint8_t* closingQuote, const uint8_t* value,
                 uint64_t length, uint64_t hash) {
    JsonParseToken& token = parseState->token;
    token.tokenPtr = start;
    token.tokenLength = static_cast<uint64_t>(closingQuote + 1 - start);
    token.value.ptr = value;
    token.value.length = length;
    token.value.type = JsonValueTypeString;
    token.value.hash = hash;
    setIndex(parseState, closingQuote + 1);
    // The cache's look-up comes next: its slots are asked for now, so that they are on their way
    // while the scan returns.
    if (const JsonTokenCacheItem* const items = parseState->cache.items.get()) {
        const uint64_t mask = parseState->cache.count - 1;
        for (uint64_t x = 0; x < 4; ++x) __builtin_prefetch(&items[(hash + (length + JsonValueTypeString + 3) * x) & mask]);
    }
    return 0;
}

// A string's decoded value as it is built in the token buffer; its hash is taken once it is
// complete.
struct DecodedString {
    JsonParseState* parseState;
    JsonManagedBuffer& buffer;
    uint64_t used;

    // Makes room for n more bytes and a margin of 16, which covers any one decoded character.
    bool reserve(uint64_t n) {
        if (buffer.length >= used && buffer.length - used >= n + 16) return true;
        if (json_managedBuffer_resize(&buffer, used + n + 1024)) return true;
        json_error(parseState, "Internal error: Unable to resize temporary buffer. %s line #%ld", __FILE__,
                   static_cast<long>(__LINE__));
        return false;
    }

    void appendByte(uint8_t byte) { buffer.bytes[used++] = byte; }

    // Copies [from, to); room must have been made for it.
    void appendRun(const uint8_t* from, const uint8_t* to) {
        std::memcpy(buffer.bytes + used, from, static_cast<size_t>(to - from));
        used += static_cast<uint64_t>(to - from);
    }

    bool appendCodePoint(uint32_t codePoint) {
        uint8_t* target = buffer.bytes + used;
        if (ConvertUTF32toUTF8(codePoint, &target, buffer.bytes + buffer.length) != JsonConversionOK) {
            json_error(parseState,
                       "Internal error: Unable to add UTF8 sequence to internal string buffer. %s line #%ld", __FILE__,
                       static_cast<long>(__LINE__));
            return false;
        }
        used = static_cast<uint64_t>(target - buffer.bytes);
        return true;
    }
};

// Appends the UTF-8 sequence at p and moves p past it. A cut-off sequence is an error; an
// ill-formed one is too, unless the loose option puts U+FFFD in its place.
bool appendUtf8(DecodedString& out, const uint8_t*& p, const uint8_t* end, bool loose) {
    const uint8_t* next;
    uint32_t codePoint;
    const JsonConversionResult result = ConvertSingleCodePointInUTF8(p, end, &next, &codePoint);
    if (result == JsonConversionOK) {
        out.appendRun(p, next);
        p = next;
        return true;
    }
    if (result == JsonSourceExhausted) {
        setIndex(out.parseState, p);
        json_error(out.parseState, "End of buffer reached while parsing UTF8 in \"\" string.");
        return false;
    }
    if (!loose) {
        setIndex(out.parseState, p);
        json_error(out.parseState, "Illegal UTF8 sequence found in \"\" string.");
        return false;
    }
    if (!out.appendCodePoint(JsonReplacementCharacter)) return false;
    p = next;
    return true;
}

// Decodes the four hexadecimal digits after "\u" at p, with the second escape of a surrogate
// pair, and moves p past what it used. An unpaired surrogate or a code point that may not stand
// in a string is an error, unless the loose option puts U+FFFD in its place.
bool decodeUnicodeEscape(JsonParseState* parseState, const uint8_t*& p, const uint8_t* end, bool loose,
                         uint32_t* codePoint) {
    uint32_t first = 0;
    if (readHex4(parseState, p, end, &first) != HexResult::Ok) return false;
    *codePoint = first;
    bool illegal = false;
    if (first >= 0xD800 && first <= 0xDBFF) {
        if (p >= end || (*p == '\\' && p + 1 >= end)) return false;
        if (*p != '\\' || p[1] != 'u') {
            if (!loose) {
                setIndex(parseState, p);
                json_error(parseState,
                           "Required a second \\u Unicode escape sequence following a surrogate \\u Unicode "
                           "escape sequence.");
                return false;
            }
            // Resume at the byte that did not fit (at the backslash when the "u" was missing).
            *codePoint = JsonReplacementCharacter;
        } else {
            p += 2;
            uint32_t second = 0;
            if (readHex4(parseState, p, end, &second) != HexResult::Ok) return false;
            if (second >= 0xDC00 && second <= 0xDFFF) {
                *codePoint = ((first - 0xD800) << 10) + (second - 0xDC00) + 0x10000;
            } else {
                illegal = true;
            }
        }
    } else if (first >= 0xDC00 && first <= 0xDFFF) {
        illegal = true;
    }
    if (illegal || !jsonIsValidCodePoint(*codePoint)) {
        if (!loose) {
            setIndex(parseState, p);
            json_error(parseState, "Illegal \\u Unicode escape sequence.");
            return false;
        }
        *codePoint = JsonReplacementCharacter;
    }
    return true;
}

// The value of the four hexadecimal digits at p, or -1 when one of them is not one.
inline int32_t hex4(const uint8_t* p) {
    const int32_t a = kEscapes.hex[p[0]], b = kEscapes.hex[p[1]], c = kEscapes.hex[p[2]], d = kEscapes.hex[p[3]];
    if ((a | b | c | d) < 0) return -1;
    return (a << 12) | (b << 8) | (c << 4) | d;
}

// The usual "\u" escapes, whose backslash is at p: a character a string may hold, of the Basic
// Multilingual Plane or as a surrogate pair. Appended and p moved past the escape; false (nothing
// done) for anything else, which appendEscape then reports or replaces.
inline bool appendUnicodeEscapeQuickly(DecodedString& out, const uint8_t*& p, const uint8_t* end) {
    if (end - p < 6) return false;
    const int32_t unit = hex4(p + 2);
    if (unit <= 0) return false;
    auto u = static_cast<uint32_t>(unit);
    int length = 6;
    if (u >= 0xD800 && u <= 0xDFFF) {
        // A high surrogate followed at once by an escaped low one.
        if (u > 0xDBFF || end - p < 12 || p[6] != '\\' || p[7] != 'u') return false;
        const int32_t second = hex4(p + 8);
        if (second < 0xDC00 || second > 0xDFFF) return false;
        u = ((u - 0xD800) << 10) + (static_cast<uint32_t>(second) - 0xDC00) + 0x10000;
        length = 12;
    }
    if (!jsonIsValidCodePoint(u)) return false;
    uint8_t* target = out.buffer.bytes + out.used;
    ConvertUTF32toUTF8(u, &target, target + 4);  // room for 16 was made
    out.used = static_cast<uint64_t>(target - out.buffer.bytes);
    p += length;
    return true;
}

// Appends the character of the escape whose backslash is at p and moves p past the escape.
bool appendEscape(DecodedString& out, const uint8_t*& p, const uint8_t* end, bool loose) {
    const uint8_t* const backslash = p;
    if (++p >= end) return false;
    if (const uint8_t simple = kEscapes.simple[*p]) {
        out.appendByte(simple);
        ++p;
        return true;
    }
    if (*p == 'u') {
        ++p;
        uint32_t codePoint = 0;
        return decodeUnicodeEscape(out.parseState, p, end, loose, &codePoint) && out.appendCodePoint(codePoint);
    }
    setIndex(out.parseState, backslash);
    json_error(out.parseState, "Invalid escape sequence found in \"\" string.");
    return false;
}

}  // namespace

int json_parse_string(JsonParseState* parseState) {
    const uint8_t* const end = parseState->stringBufferBytes + parseState->stringBufferLength;
    const uint8_t* const start = parseState->stringBufferBytes + parseState->atIndex;
    const bool loose = parseState->parseOptionFlags & JsonParseFlagLooseUnicode;
    const uint8_t* p = start + 1;

    // Fast path: no copy, no decoding, as long as there is no escape and the UTF-8 is valid. The
    // hash is taken over the bytes in place at the end.
    for (;;) {
        p = endOfPlainRun(p, end);
        if (p >= end) return failString(parseState, p);
        const uint8_t c = *p;
        if (c == '"') {
            const uint64_t length = static_cast<uint64_t>(p - (start + 1));
            return finishString(parseState, start, p, start + 1, length,
                                jsonValueHash(start + 1, length, parseState->token.value.words));
        }
        if (c == '\\') break;
        if (c < 0x20) return failControlByte(parseState, p);
        if (c < 0x80) {
            ++p;
            continue;
        }
        const int sequence = validSequenceLength(p, end);
        if (sequence == 0) break;
        p += sequence;
    }

    // Decoding path: copy what was seen into the token buffer and decode from here on.
    DecodedString out{parseState, parseState->tokenBuffer, static_cast<uint64_t>(p - (start + 1))};
    if (!out.reserve(0)) return failString(parseState, p);
    if (end - p >= 16) {
        // Sixteen bytes at a time (the last piece running past the prefix, within the input and
        // the room made) rather than through a call for each length.
        for (uint64_t copied = 0; copied < out.used; copied += 16) std::memcpy(out.buffer.bytes + copied, start + 1 + copied, 16);
    } else if (out.used) {
        std::memcpy(out.buffer.bytes, start + 1, out.used);
    }

    for (;;) {
        // Plain bytes and well-formed UTF-8 go sixteen at a time: room is made for the whole
        // sixteen even when the run stops inside them, and for 16 more, enough for any one
        // decoded character after them.
        if (end - p >= 16) {
            if (!out.reserve(48)) return failString(parseState, p);
#if defined(__SSE2__)
            const Decoded decoded = decodeString16(out.buffer.bytes, out.used, p, end);
            if (decoded == Decoded::Sixteen) continue;
            if (decoded == Decoded::Careful) {
                std::memcpy(out.buffer.bytes + out.used, p, 16);
                const StringRun run = scanString16(p);
                out.used += run.plain;
                p += run.plain;
                if (!run.look) continue;
            }
#else
            std::memcpy(out.buffer.bytes + out.used, p, 16);
            const StringRun run = scanString16(p);
            out.used += run.plain;
            p += run.plain;
            if (!run.look) continue;
#endif
        } else {
            const uint64_t rest = static_cast<uint64_t>(end - p);
            if (!out.reserve(rest)) return failString(parseState, p);
            const unsigned plain = scanStringTail(p, end).plain;
            out.appendRun(p, p + plain);
            p += plain;
            if (p >= end) return failString(parseState, p);
        }
        const uint8_t c = *p;
        if (c == '\\') {
            // One-letter escapes, the usual ones, here; "\u" and the invalid ones the long way.
            if (end - p >= 2) {
                if (const uint8_t simple = kEscapes.simple[p[1]]) {
                    out.appendByte(simple);
                    p += 2;
                    continue;
                }
                if (p[1] == 'u' && appendUnicodeEscapeQuickly(out, p, end)) continue;
            }
            if (!appendEscape(out, p, end, loose)) return failString(parseState, p);
        } else if (c == '"') {
            return finishString(parseState, start, p, out.buffer.bytes, out.used,
                                jsonValueHash(out.buffer.bytes, out.used, parseState->token.value.words));
        } else if (c >= 0x80) {
            const int sequence = validSequenceLength(p, end);
            if (sequence != 0) {
                // Room for 16 was made: the copy takes four bytes whatever the length (all of
                // them inside the input when the sequence is shorter, as the closing quote follows).
                if (end - p >= 4) {
                    std::memcpy(out.buffer.bytes + out.used, p, 4);
                    out.used += static_cast<uint64_t>(sequence);
                } else {
                    out.appendRun(p, p + sequence);
                }
                p += sequence;
            } else if (!appendUtf8(out, p, end, loose)) {
                return failString(parseState, p);
            }
        } else if (c < 0x20) {
            return failControlByte(parseState, p);
        } else {
            out.appendByte(c);
            ++p;
        }
    }
}

namespace {

int failNumber(JsonParseState* parseState, const uint8_t* p) {
    setIndex(parseState, p);
    json_error(parseState, "Invalid number.");
    return 1;
}

// Whether an out-of-range decimal text is too large (overflow) rather than too small: the
// position of its first non-zero digit against its exponent.
bool isOverflow(const char* text, size_t length) {
    size_t i = (length && text[0] == '-') ? 1 : 0;
    int64_t position = 0;  // power of ten of the first non-zero digit, before the exponent
    bool found = false;
    int64_t integerDigits = 0;
    for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
        ++integerDigits;
        if (!found && text[i] != '0') {
            found = true;
            position = integerDigits;  // adjusted below once the integer part's length is known
        }
    }
    if (found) position = integerDigits - position;
    if (i < length && text[i] == '.') {
        int64_t fractionDigit = 0;
        for (++i; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
            ++fractionDigit;
            if (!found && text[i] != '0') {
                found = true;
                position = -fractionDigit;
            }
        }
    }
    int64_t exponent = 0;
    if (i < length && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        bool negative = false;
        if (i < length && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
        for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
            if (exponent < 100000000) exponent = exponent * 10 + (text[i] - '0');
        }
        if (negative) exponent = -exponent;
    }
    return found && position + exponent > 0;
}

// The digits of a number token as the scan gathers them, for the direct conversion below.
struct NumberDigits {
    uint64_t mantissa = 0;  // all digits before and after the point, while there are at most 19
    int digits = 0;         // how many there are
    int fractionDigits = 0;
    int exponent = 0;       // valid while exponentDigits is at most 4
    int exponentDigits = 0;
};

// Converts the common forms of a number token directly: integers of up to 18 (negative) or 19
// digits, and decimals whose digits make at most 2^53 with a power of ten up to 22 either way,
// where one correctly rounded multiplication or division by an exact power of ten gives the
// correctly rounded value, the same value the general conversion gives. Anything else (long
// digit strings, large exponents, values out of range) is left to the general conversion.
bool convertCommonNumber(const NumberDigits& n, bool negative, bool floating, JsonTokenValue& value) {
    if (!floating) {
        if (n.digits > 19 || (negative && n.mantissa > (uint64_t{1} << 63))) return false;
        if (negative) {
            value.type = JsonValueTypeLongLong;
            value.number.longLongValue = static_cast<int64_t>(0 - n.mantissa);  // -2^63 too
        } else {
            value.type = JsonValueTypeUnsignedLongLong;
            value.number.unsignedLongLongValue = n.mantissa;
        }
        return true;
    }
    if (n.digits > 19 || n.exponentDigits > 4 || n.mantissa > (uint64_t{1} << 53)) return false;
    const int scale = n.exponent - n.fractionDigits;
    if (scale < -22 || scale > 22) return false;
    static constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                              1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    double result = static_cast<double>(n.mantissa);
    result = scale < 0 ? result / kPowersOfTen[-scale] : result * kPowersOfTen[scale];
    value.type = JsonValueTypeDouble;
    value.number.doubleValue = negative ? -result : result;
    return true;
}

}  // namespace

int json_parse_number(JsonParseState* parseState) {
    const uint8_t* const base = parseState->stringBufferBytes;
    const uint8_t* const end = base + parseState->stringBufferLength;
    const uint8_t* const start = base + parseState->atIndex;
    JsonParseToken& token = parseState->token;
    const uint8_t* p = start;
    bool negative = false;
    bool floating = false;

    auto isDigit = [](uint8_t c) { return c >= '0' && c <= '9'; };
    NumberDigits n;
    // Takes the digit at p into the mantissa (the count goes on past 19, the value stops).
    auto takeDigit = [&n](uint8_t c) {
        if (++n.digits <= 19) n.mantissa = n.mantissa * 10 + static_cast<uint64_t>(c - '0');
    };

    if (*p == '-') {
        negative = true;
        if (++p >= end) return failNumber(parseState, p);
    }
    if (*p == '0') {
        takeDigit(*p);
        ++p;  // zero: a following digit is not taken
    } else if (*p >= '1' && *p <= '9') {
        do {
            takeDigit(*p);
        } while (++p < end && isDigit(*p));
    } else {
        return failNumber(parseState, p);
    }
    if (p >= end) return failNumber(parseState, p);
    if (*p != '.' && *p != 'e' && *p != 'E' && n.digits <= 19 && !(negative && n.mantissa == 0) &&
        (!negative || n.mantissa <= (uint64_t{1} << 63))) {
        // The usual number, an integer in range (not -0, a double): taken as it is.
        JsonTokenValue& value = token.value;
        if (negative) {
            value.type = JsonValueTypeLongLong;
            value.number.longLongValue = static_cast<int64_t>(0 - n.mantissa);  // -2^63 too
        } else {
            value.type = JsonValueTypeUnsignedLongLong;
            value.number.unsignedLongLongValue = n.mantissa;
        }
        parseState->atIndex = static_cast<uint64_t>(p - base);
        token.tokenPtr = start;
        token.tokenLength = static_cast<uint64_t>(p - start);
        value.ptr = nullptr;
        value.length = 0;
        value.hash = 0;
        return 0;
    }
    if (*p == '.') {
        floating = true;
        if (++p >= end) return failNumber(parseState, p);
        if (!isDigit(*p)) return failNumber(parseState, p);
        do {
            takeDigit(*p);
            ++n.fractionDigits;
        } while (++p < end && isDigit(*p));
        if (p >= end) return failNumber(parseState, p);
    }
    if (*p == 'e' || *p == 'E') {
        floating = true;
        if (++p >= end) return failNumber(parseState, p);
        bool negativeExponent = false;
        if (*p == '+' || *p == '-') {
            negativeExponent = *p == '-';
            if (++p >= end) return failNumber(parseState, p);
        }
        if (!isDigit(*p)) return failNumber(parseState, p);
        do {
            if (++n.exponentDigits <= 4) n.exponent = n.exponent * 10 + (*p - '0');
        } while (++p < end && isDigit(*p));
        if (p >= end) return failNumber(parseState, p);
        if (negativeExponent) n.exponent = -n.exponent;
    }

    // Finished: the token is start..p; the byte at p is not taken.
    const char* text = reinterpret_cast<const char*>(start);
    const size_t length = static_cast<size_t>(p - start);
    parseState->atIndex = static_cast<uint64_t>(p - base);
    if (negative && length == 2 && text[1] == '0') floating = true;  // -0 is a double

    JsonTokenValue& value = token.value;
    std::from_chars_result converted{text + length, std::errc()};
    if (convertCommonNumber(n, negative, floating, value)) {
        // done
    } else if (floating) {
        value.type = JsonValueTypeDouble;
        converted = std::from_chars(text, text + length, value.number.doubleValue);
        if (converted.ec == std::errc::result_out_of_range) {
            json_error(parseState, "The value '%s' could not be represented as a 'double' due to %s.",
                       std::string(text, length).c_str(), isOverflow(text, length) ? "overflow" : "underflow");
            return failNumber(parseState, p);
        }
    } else if (negative) {
        value.type = JsonValueTypeLongLong;
        converted = std::from_chars(text, text + length, value.number.longLongValue, 10);
        if (converted.ec == std::errc::result_out_of_range) {
            json_error(parseState, "The value '%s' exceeded the minimum value that could be represented: %lld.",
                       std::string(text, length).c_str(), static_cast<long long>(INT64_MIN));
            return failNumber(parseState, p);
        }
    } else {
        value.type = JsonValueTypeUnsignedLongLong;
        converted = std::from_chars(text, text + length, value.number.unsignedLongLongValue, 10);
        if (converted.ec == std::errc::result_out_of_range) {
            json_error(parseState, "The value '%s' exceeded the maximum value that could be represented: %llu.",
                       std::string(text, length).c_str(), static_cast<unsigned long long>(UINT64_MAX));
            return failNumber(parseState, p);
        }
    }
    if (converted.ec != std::errc()) return failNumber(parseState, p);
    if (converted.ptr != text + length) {
        json_error(parseState, "The conversion function did not consume all of the number tokens characters.");
        return failNumber(parseState, p);
    }

    // A number is a value held in its handle, not a shared object: it needs no cache and so no
    // value hash.
    token.tokenPtr = start;
    token.tokenLength = length;
    value.ptr = nullptr;
    value.length = 0;
    value.hash = 0;
    return 0;
}

}  // namespace json::detail
