// The encoder core: one tree written into the state's output buffer through a few write routines
// that make room first, with a per-call cache of the text of atoms already written and the
// formatter fall-back for objects of the caller's own classes.

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstring>

#include "json/JSONDecoder.h"
#include "json/JsonArray.h"
#include "json/detail/JsonDoubleText.h"
#include "json/detail/JsonEncodeState.h"
#include "json/detail/JsonInternal.h"
#include "json/detail/JsonUtf8.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace json::detail {

namespace {

__attribute__((noinline)) int json_encode_array(JsonEncodeState* encodeState, const JsonArray& array);
__attribute__((noinline)) int json_encode_dictionary(JsonEncodeState* encodeState, const JsonDictionary& dictionary);

// Grows the output to growTo bytes, rounded up to the buffer's step (32768 bytes).
__attribute__((noinline)) int json_encode_grow(JsonEncodeState* encodeState, uint64_t growTo) {
    if (json_encode_resizeOutput(encodeState, growTo)) return 0;
    json_encode_error(encodeState, "Unable to resize temporary buffer.");
    return 1;
}

inline int json_encode_reserve(JsonEncodeState* encodeState, uint64_t needed, uint64_t growTo) {
    if (needed <= encodeState->stringBuffer.length) return 0;
    return json_encode_grow(encodeState, growTo);
}

inline void json_encode_updateCache(JsonEncodeState* encodeState, uint64_t slot, uint64_t start,
                                    const JsonValue& object) {
    JsonEncodeCache& entry = encodeState->cache[slot];
    const uint64_t length = encodeState->atIndex - start;
    if (length > UINT32_MAX) {  // longer texts are not kept
        entry.kind = JsonKind::None;
        return;
    }
    const JsonValue::Identity identity = object.identity();
    entry.bits = identity.bits;
    entry.kind = identity.kind;
    entry.offset = start;
    entry.length = static_cast<uint32_t>(length);
    if (!encodeState->openCollections.empty()) {
        if (encodeState->held.empty()) encodeState->held.resize(JsonEncodeCacheCount);
        encodeState->held[slot] = object;
    } else if (!encodeState->held.empty() && encodeState->held[slot]) {
        encodeState->held[slot] = JsonValue();
    }
}

// Writes count bytes (a literal or a cached text).
inline int json_encode_writen(JsonEncodeState* encodeState, const void* bytes, uint64_t count) {
    const uint64_t at = encodeState->atIndex;
    if (encodeState->stringBuffer.length - at < count + 4 && json_encode_reserve(encodeState, at + count + 4, at + count + 4096))
        return 1;
    std::memcpy(encodeState->stringBuffer.bytes + at, bytes, count);
    encodeState->atIndex = at + count;
    return 0;
}

// Compact mode: one punctuation byte.
inline int json_encode_write1fast(JsonEncodeState* encodeState, char c) {
    const uint64_t at = encodeState->atIndex;
    if (at + 4 >= encodeState->stringBuffer.length && json_encode_reserve(encodeState, at + 1 + 256, at + 1 + 1024))
        return 1;
    encodeState->stringBuffer.bytes[at] = static_cast<uint8_t>(c);
    encodeState->atIndex = at + 1;
    return 0;
}

// Room for a line break and the indentation of one level deeper than now, with the spaces
// json_encode_lineBreak may store past the indentation.
inline int json_encode_reservePretty(JsonEncodeState* encodeState) {
    const uint64_t at = encodeState->atIndex;
    const uint64_t indentation = 2 * (encodeState->depth + 1);
    return json_encode_reserve(encodeState, at + indentation + 48, at + indentation + 4096);
}

// Writes a line feed and two spaces per level at out, where room was made for the line feed, the
// indentation and 48 bytes more; the end of what was written.
inline uint8_t* json_encode_lineBreak(uint8_t* out, uint64_t depth) {
    static constexpr char kSpaces[] = "                                ";  // 32
    *out++ = '\n';
    // Thirty-two spaces a step (two stores); the room made covers the up to 31 past the
    // indentation.
    const uint64_t indentation = 2 * depth;
    for (uint64_t i = 0; i < indentation; i += 32) std::memcpy(out + i, kSpaces, 32);
    return out + indentation;
}

// Pretty mode: ": " for a colon; otherwise the byte followed by a line break, or after one when
// the level closes. One room check covers it all. Inlined where it is used, the punctuation and
// the change of depth being known there.
inline __attribute__((always_inline)) int json_encode_write1slow(JsonEncodeState* encodeState, int depthChange,
                                                                 char c) {
    if (json_encode_reservePretty(encodeState)) return 1;
    encodeState->depth += depthChange;
    uint8_t* const base = encodeState->stringBuffer.bytes;
    uint8_t* out = base + encodeState->atIndex;
    if (c == ':') {
        out[0] = ':';
        out[1] = ' ';
        out += 2;
    } else if (depthChange < 0) {
        out = json_encode_lineBreak(out, encodeState->depth);
        *out++ = static_cast<uint8_t>(c);
    } else {
        *out++ = static_cast<uint8_t>(c);
        out = json_encode_lineBreak(out, encodeState->depth);
    }
    encodeState->atIndex = static_cast<uint64_t>(out - base);
    return 0;
}

inline int json_encode_punctuation(JsonEncodeState* encodeState, int depthChange, char c) {
    if (encodeState->serializeOptionFlags & JsonSerializeOptionPretty)
        return json_encode_write1slow(encodeState, depthChange, c);
    return json_encode_write1fast(encodeState, c);
}

// ---- Strings ----

enum ByteClass : uint8_t {
    Plain,
    ShortEscape,  // a backslash and one letter (or the byte itself)
    Control,      // \u00XX
    Slash,        // escaped only under JsonSerializeOptionEscapeSlash
    High,         // the lead of a UTF-8 sequence, or a stray byte
};

struct StringTables {
    uint8_t byteClass[256] = {};
    uint8_t shortEscape[256] = {};
    constexpr StringTables() {
        for (int c = 0; c < 0x20; ++c) byteClass[c] = Control;
        for (int c = 0x80; c < 256; ++c) byteClass[c] = High;
        const char pairs[][2] = {{'\b', 'b'}, {'\t', 't'}, {'\n', 'n'}, {'\f', 'f'}, {'\r', 'r'}, {'"', '"'}, {'\\', '\\'}};
        for (const auto& pair : pairs) {
            byteClass[static_cast<uint8_t>(pair[0])] = ShortEscape;
            shortEscape[static_cast<uint8_t>(pair[0])] = static_cast<uint8_t>(pair[1]);
        }
        byteClass[static_cast<uint8_t>('/')] = Slash;
    }
};
constexpr StringTables kStringTables;

constexpr char kHexDigits[] = "0123456789abcdef";

inline uint8_t* writeUnicodeEscape(uint8_t* out, uint32_t unit) {
    out[0] = '\\';
    out[1] = 'u';
    out[2] = static_cast<uint8_t>(kHexDigits[(unit >> 12) & 0xF]);
    out[3] = static_cast<uint8_t>(kHexDigits[(unit >> 8) & 0xF]);
    out[4] = static_cast<uint8_t>(kHexDigits[(unit >> 4) & 0xF]);
    out[5] = static_cast<uint8_t>(kHexDigits[unit & 0xF]);
    return out + 6;
}

// Which bytes the plain copy of a string must stop at: control bytes, the quotation mark and the
// backslash always; "/" when it is escaped; bytes of 0x80 and above unless the text is known to
// be well-formed UTF-8 that goes out as it is.
struct StopBytes {
    bool slash;
    bool high;
};

#if defined(__SSE2__)
inline uint64_t loadWord64(const uint8_t* p) {
    uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

inline uint64_t loadWord32(const uint8_t* p) {
    uint32_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

// The rest (1 to 15) bytes at p in the low lanes, zeros above, read without touching a byte
// past them: two overlapping loads, the overlap shifted out.
inline __m128i loadTail(const uint8_t* p, unsigned rest) {
    uint64_t low = 0;
    uint64_t high = 0;
    if (rest >= 8) {
        low = loadWord64(p);
        high = rest > 8 ? loadWord64(p + rest - 8) >> (8 * (16 - rest)) : 0;
    } else if (rest >= 4) {
        low = loadWord32(p) | ((loadWord32(p + rest - 4) >> (8 * (8 - rest))) << 32);
    } else {
        low = p[0];
        if (rest > 1) low |= uint64_t{p[1]} << 8;
        if (rest > 2) low |= uint64_t{p[2]} << 16;
    }
    return _mm_set_epi64x(static_cast<long long>(high), static_cast<long long>(low));
}

// The stop bytes among the sixteen, one bit each (lowest bit: first byte).
inline unsigned stopMask16(__m128i bytes, StopBytes stop) {
    // c <= 0x1F as unsigned bytes: the larger of c and 0x1F is 0x1F.
    __m128i marks = _mm_cmpeq_epi8(_mm_max_epu8(bytes, _mm_set1_epi8(0x1F)), _mm_set1_epi8(0x1F));
    marks = _mm_or_si128(marks, _mm_cmpeq_epi8(bytes, _mm_set1_epi8('"')));
    marks = _mm_or_si128(marks, _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\')));
    if (stop.slash) marks = _mm_or_si128(marks, _mm_cmpeq_epi8(bytes, _mm_set1_epi8('/')));
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(marks));
    if (stop.high) mask |= static_cast<unsigned>(_mm_movemask_epi8(bytes));
    return mask;
}
#endif

// Writes the text as a JSON string. Whenever a byte is to be read, the room left holds twice the
// bytes still to read and sixteen more: the plain copy stores sixteen bytes at a time, whole, even
// when fewer of them are the string's, and a byte goes out as at most two bytes unless it is
// escaped with \u. Such an escape writes at most four bytes more than twice what it reads (6 for a
// control byte, 6 for a code point of two or three bytes and 12 for one of four under
// JsonSerializeOptionEscapeNonASCII), so it first makes room for twice the bytes from it on and
// twenty more. A text the reader made is well-formed UTF-8 already and is not checked again.
int json_encode_string(JsonEncodeState* encodeState, std::string_view text, bool wellFormed) {
    const uint64_t size = text.size();
    {
        const uint64_t at = encodeState->atIndex;
        if (json_encode_reserve(encodeState, at + 2 * size + 256, at + 2 * size + 1024)) return 1;
    }
    uint8_t* base = encodeState->stringBuffer.bytes;
    uint8_t* out = base + encodeState->atIndex;
    const bool quotes = !(encodeState->encodeOption & JsonEncodeOptionStringObjTrimQuotes);
    const bool escapeSlash = encodeState->serializeOptionFlags & JsonSerializeOptionEscapeSlash;
    const bool escapeNonASCII = encodeState->serializeOptionFlags & JsonSerializeOptionEscapeNonASCII;
    const StopBytes stop{escapeSlash, escapeNonASCII || !wellFormed};
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    const uint8_t* const end = p + size;

    auto makeRoom = [&]() {
        const uint64_t at = static_cast<uint64_t>(out - base);
        const uint64_t rest = static_cast<uint64_t>(end - p);
        if (json_encode_reserve(encodeState, at + 2 * rest + 20, at + 2 * rest + 1024)) return false;
        base = encodeState->stringBuffer.bytes;
        out = base + at;
        return true;
    };

    if (quotes) *out++ = '"';
    while (p < end) {
        // A run of bytes that go out as they are, sixteen at a time: the reserved room covers
        // the whole sixteen even when the run stops inside them.
#if defined(__SSE2__)
        for (;;) {
            unsigned mask;
            if (end - p >= 16) {
                mask = stopMask16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), stop);
                std::memcpy(out, p, 16);
            } else {
                // The last few bytes (the text's own memory ends with them) are gathered into
                // sixteen, zeros after them; the bytes past the end count as stops.
                const auto rest = static_cast<unsigned>(end - p);
                if (rest == 0) break;
                const __m128i tail = loadTail(p, rest);
                mask = stopMask16(tail, stop) | (0xFFFFu << rest);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out), tail);
            }
            if (mask == 0) {
                out += 16;
                p += 16;
                continue;
            }
            const unsigned plain = static_cast<unsigned>(std::countr_zero(mask));
            out += plain;
            p += plain;
            break;
        }
#endif
        if (p == end) break;
        const uint8_t c = *p;
        if (const uint8_t letter = kStringTables.shortEscape[c]) {
            // The usual stop: a quotation mark, a backslash, a tab or a line feed.
            out[0] = '\\';
            out[1] = letter;
            out += 2;
            ++p;
            continue;
        }
        switch (kStringTables.byteClass[c]) {
        case Plain:
            *out++ = c;
            ++p;
            break;
        case ShortEscape:
            *out++ = '\\';
            *out++ = kStringTables.shortEscape[c];
            ++p;
            break;
        case Slash:
            if (escapeSlash) *out++ = '\\';
            *out++ = c;
            ++p;
            break;
        case Control:
            if (!makeRoom()) return 1;
            out = writeUnicodeEscape(out, c);
            ++p;
            break;
        case High: {
            const int length = jsonAnnouncedLength(c);
            const bool sequence = wellFormed || (length <= 4 && static_cast<uint64_t>(length) <= static_cast<uint64_t>(end - p) &&
                                                 isLegalUTF8(p, length));
            const uint8_t* next = nullptr;
            uint32_t codePoint = 0;
            if (!sequence) {
                // The reader's decoder says where the ill-formed sequence ends.
                ConvertSingleCodePointInUTF8(p, end, &next, &codePoint);
                *out++ = '?';
                p = next;
                break;
            }
            if (!escapeNonASCII) {
                std::memcpy(out, p, static_cast<size_t>(length));
                out += length;
                p += length;
                break;
            }
            if (ConvertSingleCodePointInUTF8(p, end, &next, &codePoint) != JsonConversionOK) {
                json_encode_error(encodeState, "Error converting UTF8.");
                return 1;
            }
            if (!makeRoom()) return 1;
            if (codePoint <= 0xFFFF) {
                out = writeUnicodeEscape(out, codePoint);
            } else {
                out = writeUnicodeEscape(out, (codePoint >> 10) + 0xD7C0);
                out = writeUnicodeEscape(out, (codePoint & 0x3FF) + 0xDC00);
            }
            p = next;
            break;
        }
        }
    }
    if (quotes) *out++ = '"';
    encodeState->atIndex = static_cast<uint64_t>(out - base);
    return 0;
}

// ---- Numbers and literals ----

int json_encode_number(JsonEncodeState* encodeState, const JsonValue& number) {
    // "-1.2345678901234567e-308" and every integer fit, with what the number writers store past
    // their text.
    constexpr uint64_t kRoom = JsonNumberTextRoom + 1;
    const uint64_t at = encodeState->atIndex;
    if (encodeState->stringBuffer.length - at < kRoom && json_encode_reserve(encodeState, at + kRoom, at + kRoom + 4096))
        return 1;
    char* const start = reinterpret_cast<char*>(encodeState->stringBuffer.bytes + at);
    char* out = start;
    switch (number.kind()) {
    case JsonKind::Integer: {
        const int64_t value = number.longLongValue();
        uint64_t magnitude = static_cast<uint64_t>(value);
        if (value < 0) {
            *out++ = '-';
            magnitude = 0 - magnitude;  // -2^63 too
        }
        out = jsonWriteUnsigned(out, magnitude);
        break;
    }
    case JsonKind::UnsignedInteger:
        out = jsonWriteUnsigned(out, number.unsignedLongLongValue());
        break;
    default: {
        const double value = number.doubleValue();
        if (!std::isfinite(value)) {
            json_encode_error(encodeState,
                              "Floating point values must be finite.  JSON does not support NaN or Infinity.");
            return 1;
        }
        // As printf's "%.17g", whatever the process locale.
        out = jsonWriteDouble17(out, value);
        break;
    }
    }
    encodeState->atIndex = at + static_cast<uint64_t>(out - start);
    return 0;
}

// ---- The formatter ----

uint64_t cacheSlotFor(JsonValue::Identity identity) {
    return ((identity.bits + static_cast<uint64_t>(identity.kind)) * 0x9E3779B97F4A7C15ULL) >> 54;
}

// Asks the block, then the delegate, for a replacement of an object the core cannot write. A
// collection being written that the formatter changed ends the call at once: its members may be
// gone.
JsonValue json_encode_replacementFor(JsonEncodeState* encodeState, const JsonValue& object) {
    JsonValue replacement;
    if (encodeState->formatterBlock) replacement = (*encodeState->formatterBlock)(object);
    if (!replacement && encodeState->formatterDelegate)
        replacement = (encodeState->formatterDelegate->*encodeState->classFormatterIMP)(object);
    for (const JsonEncodeOpenCollection& open : encodeState->openCollections) {
        if (*open.mutations != open.seen) jsonRaiseMutationDuringEnumeration(open.className);
    }
    if (replacement) encodeState->replacements.push_back(replacement);
    return replacement;
}

// ---- Arrays and dictionaries ----

template <class Collection>
const uint64_t* mutationCounter(const Collection& collection) {
    JsonFastEnumerationState enumeration;
    collection.countByEnumeratingWithStateObjectsCount(&enumeration, nullptr, 0);
    return enumeration.mutationsPtr;
}

// Counts one more open collection against the nesting limit and, when the collection is mutable,
// notes its mutation count for the check after each formatter call.
template <class Collection>
int json_encode_open(JsonEncodeState* encodeState, const Collection& collection) {
    if (++encodeState->nesting > JsonMaximumNestingDepth) {
        json_encode_error(encodeState, "Arrays and objects are nested deeper than %lu levels.",
                          static_cast<unsigned long>(JsonMaximumNestingDepth));
        return 1;
    }
    if (collection.isMutable()) {
        const uint64_t* mutations = mutationCounter(collection);
        encodeState->openCollections.push_back({mutations, *mutations, Collection::className()});
    }
    return 0;
}

template <class Collection>
void json_encode_close(JsonEncodeState* encodeState, const Collection& collection) {
    --encodeState->nesting;
    if (collection.isMutable()) encodeState->openCollections.pop_back();
}

// The tree of a parse lies in memory children first, so a walk from the top meets each member
// collection far from its parent: the walk asks for a member's first bytes some members ahead of
// writing it, so that they arrive while the members before it are written.
constexpr uint64_t kPrefetchAhead = 8;

inline void prefetchMember(const JsonValue& member) {
    const JsonValue::Identity identity = member.identity();
    if (identity.kind == JsonKind::Array || identity.kind == JsonKind::Dictionary || identity.kind == JsonKind::String) {
        // The header and the first members, which follow it in the same allocation.
        const auto* object = reinterpret_cast<const char*>(identity.bits);
        for (int line = 0; line < 5; ++line) __builtin_prefetch(object + 64 * line);
    }
}

// An atom whose text the cache does not hold: an object of the caller's own class goes through
// the formatter; the text written is recorded in the cache under the given object.
__attribute__((noinline)) int json_encode_atomMiss(JsonEncodeState* encodeState, const JsonValue& object,
                                                   uint64_t slot) {
    const uint64_t start = encodeState->atIndex;
    // An object of no kind the core writes is replaced once by the formatter; the replacement's
    // text is recorded under the original object.
    const JsonValue* atom = &object;
    JsonValue replacement;
    if (object.kind() == JsonKind::CallerObject || object.kind() == JsonKind::None) {
        if (encodeState->formatterBlock || encodeState->formatterDelegate)
            replacement = json_encode_replacementFor(encodeState, object);
        if (!replacement) {
            json_encode_error(encodeState, "Unable to serialize object class %s.", json_encode_className(object).c_str());
            return 1;
        }
        if (replacement.isCallerObject()) {
            json_encode_error(encodeState,
                              "Unable to serialize object class %s that was returned by the unsupported class "
                              "formatter.  Original object class was %s.",
                              json_encode_className(replacement).c_str(), json_encode_className(object).c_str());
            return 1;
        }
        if (replacement.isArray()) return json_encode_array(encodeState, *replacement.array());
        if (replacement.isDictionary()) return json_encode_dictionary(encodeState, *replacement.dictionary());
        atom = &replacement;
    }

    int failed = 0;
    switch (atom->kind()) {
    case JsonKind::String:
        failed = json_encode_string(encodeState, atom->stringView(), atom->jsonString()->wellFormed());
        break;
    case JsonKind::Boolean:
        failed = atom->boolValue() ? json_encode_writen(encodeState, "true", 4) : json_encode_writen(encodeState, "false", 5);
        break;
    case JsonKind::Null:
        failed = json_encode_writen(encodeState, "null", 4);
        break;
    default:
        failed = json_encode_number(encodeState, *atom);
        break;
    }
    if (failed) return 1;
    json_encode_updateCache(encodeState, slot, start, object);
    return 0;
}

// The whole text of one value: collections recurse, the rest is written here or copied from the
// cache, and anything else goes the long way.
inline int json_encode_value(JsonEncodeState* encodeState, const JsonValue& object) {
    const JsonValue::Identity identity = object.identity();
    // Literals and integers are written afresh: that costs less than finding their earlier text
    // again (a look into the cache, then a copy from wherever in the output it lies). The cache
    // serves the atoms whose text is dear to make (doubles) or that recur (the keys).
    switch (identity.kind) {
    case JsonKind::Array:
        return json_encode_array(encodeState, *object.array());
    case JsonKind::Dictionary:
        return json_encode_dictionary(encodeState, *object.dictionary());
    case JsonKind::Boolean:
        return object.boolValue() ? json_encode_writen(encodeState, "true", 4) : json_encode_writen(encodeState, "false", 5);
    case JsonKind::Null:
        return json_encode_writen(encodeState, "null", 4);
    case JsonKind::Integer:
    case JsonKind::UnsignedInteger:
        return json_encode_number(encodeState, object);
    default:
        break;
    }

    const uint64_t slot = cacheSlotFor(identity);
    const JsonEncodeCache& entry = encodeState->cache[slot];
    // kind None also marks an empty slot.
    if (entry.kind != identity.kind || entry.bits != identity.bits || identity.kind == JsonKind::None)
        return json_encode_atomMiss(encodeState, object, slot);
    // The text is copied from where it was written; room for it and 256 bytes more lets short
    // texts go in whole words.
    const uint64_t start = encodeState->atIndex;
    const uint64_t length = entry.length;
    if (json_encode_reserve(encodeState, start + length + 256, start + length + 1024)) return 1;
    uint8_t* bytes = encodeState->stringBuffer.bytes;
    const uint8_t* from = bytes + entry.offset;
    if (length <= 16) {
        std::memmove(bytes + start, from, 16);  // may overlap the text just before it
    } else {
        std::memcpy(bytes + start, from, length);
    }
    encodeState->atIndex = start + length;
    return 0;
}

int json_encode_array(JsonEncodeState* encodeState, const JsonArray& array) {
    if (json_encode_open(encodeState, array)) return 1;
    if (json_encode_punctuation(encodeState, +1, '[')) return 1;
    const uint64_t count = array.count();
    for (uint64_t i = 0; i < count && i < kPrefetchAhead; ++i) prefetchMember(array.objectAtIndex(i));
    for (uint64_t i = 0; i < count; ++i) {
        if (i + kPrefetchAhead < count) prefetchMember(array.objectAtIndex(i + kPrefetchAhead));
        if (i != 0 && json_encode_punctuation(encodeState, 0, ',')) return 1;
        if (json_encode_value(encodeState, array.objectAtIndex(i))) return 1;
    }
    if (json_encode_punctuation(encodeState, -1, ']')) return 1;
    json_encode_close(encodeState, array);
    return 0;
}

int json_encode_pair(JsonEncodeState* encodeState, const JsonHashTableEntry& entry) {
    if (!entry.key.isString()) {
        json_encode_error(encodeState, "Key must be a string object.");
        return 1;
    }
    if (json_encode_value(encodeState, entry.key)) return 1;
    if (json_encode_punctuation(encodeState, 0, ':')) return 1;
    return json_encode_value(encodeState, entry.object);
}

// The first eight bytes of a key as a number, the first byte the most significant, zeros after a
// shorter key: numbers in the order of the keys' bytes, as far as those go.
inline uint64_t leadingBytes(std::string_view key) {
    uint64_t word = 0;
    const auto* p = reinterpret_cast<const uint8_t*>(key.data());
    if (key.size() >= 8) {
        std::memcpy(&word, p, 8);
    } else {
        for (size_t i = 0; i < key.size(); ++i) word |= uint64_t{p[i]} << (8 * i);
    }
    return __builtin_bswap64(word);
}

// Keys by their bytes; keys that are not strings after all strings, in slot order.
bool json_encode_keyOrder(const JsonEncodeSortedKey& a, const JsonEncodeSortedKey& b) {
    if (a.isString && b.isString) {
        // Keys that differ in their first eight bytes are ordered by those as numbers (the first
        // byte the most significant), without a call.
        if (a.leading != b.leading) return a.leading < b.leading;
        return a.key < b.key;
    }
    if (a.isString != b.isString) return a.isString;
    return a.entry < b.entry;
}

// Sorts a dictionary's keys: the few of a usual dictionary by insertion, more by std::sort.
void json_encode_sortKeys(JsonEncodeSortedKey* first, JsonEncodeSortedKey* last) {
    if (last - first < 2) return;  // (an empty run may have no storage at all)
    if (last - first > 16) {
        std::sort(first, last, json_encode_keyOrder);
        return;
    }
    for (JsonEncodeSortedKey* i = first + 1; i < last; ++i) {
        const JsonEncodeSortedKey key = *i;
        JsonEncodeSortedKey* j = i;
        for (; j > first && json_encode_keyOrder(key, j[-1]); --j) *j = j[-1];
        *j = key;
    }
}

int json_encode_dictionary(JsonEncodeState* encodeState, const JsonDictionary& dictionary) {
    if (json_encode_open(encodeState, dictionary)) return 1;
    if (json_encode_punctuation(encodeState, +1, '{')) return 1;
    const JsonHashTableEntry* const entries = dictionary.entries();
    const uint64_t capacity = dictionary.capacity();
    if (encodeState->serializeOptionFlags & JsonSerializeOptionPretty) {
        // This dictionary's run sits on top of the runs of the dictionaries that enclose it; the
        // vector may move while members are written, so the run is read by index.
        std::vector<JsonEncodeSortedKey>& sorted = encodeState->sortedEntries;
        const size_t first = sorted.size();
        for (uint64_t slot = 0; slot < capacity; ++slot) {
            const JsonHashTableEntry& entry = entries[slot];
            if (entry.key.isNone()) continue;
            prefetchMember(entry.object);
            const std::string_view key = entry.key.stringView();
            sorted.push_back({key, &entry, leadingBytes(key), entry.key.isString()});
        }
        const size_t last = sorted.size();
        json_encode_sortKeys(sorted.data() + first, sorted.data() + last);
        for (size_t i = first; i < last; ++i) {
            if (i != first && json_encode_punctuation(encodeState, 0, ',')) return 1;
            if (json_encode_pair(encodeState, *encodeState->sortedEntries[i].entry)) return 1;
        }
        sorted.resize(first);
    } else {
        bool firstPair = true;
        for (uint64_t slot = 0; slot < capacity && slot < kPrefetchAhead; ++slot) prefetchMember(entries[slot].object);
        for (uint64_t slot = 0; slot < capacity; ++slot) {
            if (slot + kPrefetchAhead < capacity) prefetchMember(entries[slot + kPrefetchAhead].object);
            if (entries[slot].key.isNone()) continue;
            if (!firstPair && json_encode_punctuation(encodeState, 0, ',')) return 1;
            firstPair = false;
            if (json_encode_pair(encodeState, entries[slot])) return 1;
        }
    }
    if (json_encode_punctuation(encodeState, -1, '}')) return 1;
    json_encode_close(encodeState, dictionary);
    return 0;
}

}  // namespace

int json_encode_add_atom_to_buffer(JsonEncodeState* encodeState, const JsonValue& object) {
    return json_encode_value(encodeState, object);
}

void json_encode_error(JsonEncodeState* encodeState, const char* format, ...) {
    if (encodeState->error) return;  // the first error of a call wins
    va_list arguments;
    va_start(arguments, format);
    std::string message = jsonFormatV(format, arguments);
    va_end(arguments);
    encodeState->error = platform::Error::make(JsonErrorDomain, JsonErrorCode, std::move(message));
}

std::string json_encode_className(const JsonValue& object) {
    switch (object.kind()) {
    case JsonKind::String:
        return "JsonString";
    case JsonKind::Boolean:
    case JsonKind::Integer:
    case JsonKind::UnsignedInteger:
    case JsonKind::Double:
        return "JsonNumber";
    case JsonKind::Null:
        return "JsonNull";
    case JsonKind::Array:
        return JsonArray::className();
    case JsonKind::Dictionary:
        return JsonDictionary::className();
    case JsonKind::CallerObject:
        return object.callerObject()->className();
    case JsonKind::None:
        break;
    }
    return "JsonNone";
}

}  // namespace json::detail
