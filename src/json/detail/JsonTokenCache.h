#pragma once
// The token cache's look-up: the usual case (the first probe finds the value) inline in the
// parser's loops, everything else in json_cachedObjectsProbe. Internal to the reader.

#include <cstdint>
#include <cstring>

#include "json/detail/JsonParseState.h"

namespace json::detail {

// The cache holds each string it keeps through a stash of references taken at once, and hands
// them out one by one without touching the shared (atomic) count: a hit costs no atomic
// operation. The count is therefore never below the stash while the item holds it, however many
// of the handed-out references are dropped meanwhile (on any thread). Giving the item up returns
// what is left of the stash in one atomic step, which frees the string when nobody else holds it.
class JsonTokenCacheReferences {
public:
    static constexpr uint32_t kStash = uint32_t{1} << 30;
    static constexpr uint32_t kRefill = uint32_t{1} << 29;

    // A string of the tree being parsed is held without counting: the cache lets go of it when
    // the parse ends (forget), and the tree counts its handles itself.
    static bool inTree(const JsonValue& value) {
        return value.holdsObject() && value.value_.object->storage_ == JsonObject::Tree;
    }

    // Keeps a fresh object (its one reference is the caller's, and no other thread has seen it).
    // Whether it belongs to a tree is noted in the item, so that giving it up later need not
    // touch the object.
    static void keep(JsonTokenCacheItem& item, const JsonValue& fresh) {
        item.object.kind_ = fresh.kind_;
        item.object.value_ = fresh.value_;
        item.inTree = inTree(fresh);
        if (fresh.holdsObject() && !item.inTree) fresh.value_.object->refs_.store(1 + kStash, std::memory_order_relaxed);
        item.lent = 0;
    }

    // One more reference to the item's object, for the caller.
    static JsonValue lend(JsonTokenCacheItem& item) {
        if (!item.object.holdsObject() || item.inTree) return raw(item);
        if (++item.lent == kRefill) {
            item.object.value_.object->refs_.fetch_add(kRefill, std::memory_order_relaxed);
            item.lent = 0;
        }
        return raw(item);
    }

    // Gives the item's object up.
    static void drop(JsonTokenCacheItem& item) {
        if (item.object.holdsObject() && !item.inTree) {
            const uint32_t rest = kStash - item.lent;
            if (item.object.value_.object->refs_.fetch_sub(rest, std::memory_order_acq_rel) == rest) {
                item.object.destroy();
            }
        }
        forget(item);
    }

    // Empties the item without touching its object (a tree's string, when the tree may be gone).
    static void forget(JsonTokenCacheItem& item) {
        item.object.kind_ = JsonKind::None;
        item.object.value_.object = nullptr;
        item.lent = 0;
        item.inTree = false;
    }

private:
    static JsonValue raw(const JsonTokenCacheItem& item) {
        JsonValue handle;
        handle.kind_ = item.object.kind_;
        handle.value_ = item.object.value_;
        return handle;
    }
};

// The value hash of a string, which picks its cache slots and is compared first on a look-up: a
// function of the value bytes alone, so equal bytes (however they were written in the text) give
// equal hashes. Taken eight bytes at a time: each step multiplies two words into 128 bits and folds
// the halves, so every byte reaches the low bits that pick the slot.
namespace json_hash_detail {

__extension__ typedef unsigned __int128 Product;

inline uint64_t fold(uint64_t a, uint64_t b) {
    const Product product = static_cast<Product>(a) * b;
    return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
}

inline uint64_t word64(const uint8_t* p) {
    uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

inline uint64_t word32(const uint8_t* p) {
    uint32_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

inline constexpr uint64_t kSeed = 0xa0761d6478bd642fULL;
inline constexpr uint64_t kOdd1 = 0xe7037ed1a0b428dbULL;
inline constexpr uint64_t kOdd2 = 0x8ebc6af09c88c6e3ULL;

}  // namespace json_hash_detail

// The hash of length bytes; for up to 16 bytes also the two words it was taken from, which hold
// every byte (equal words of equal lengths: equal bytes).
inline uint64_t jsonValueHash(const uint8_t* bytes, uint64_t length, uint64_t words[2]) {
    using namespace json_hash_detail;
    // The first and the last bytes as two words (overlapping in the middle, never reading past
    // the value); a longer value first folds in its leading sixteen-byte pieces.
    uint64_t seed = kSeed ^ length;
    uint64_t a = 0;
    uint64_t b = 0;
    if (length <= 16) {
        if (length >= 8) {
            a = word64(bytes);
            b = word64(bytes + length - 8);
        } else if (length >= 4) {
            a = word32(bytes);
            b = word32(bytes + length - 4);
        } else if (length > 0) {
            a = (uint64_t{bytes[0]} << 16) | (uint64_t{bytes[length >> 1]} << 8) | bytes[length - 1];
        }
        words[0] = a;
        words[1] = b;
    } else {
        const uint8_t* p = bytes;
        uint64_t rest = length;
        for (; rest > 16; p += 16, rest -= 16) seed = fold(word64(p) ^ kOdd1, word64(p + 8) ^ seed);
        a = word64(bytes + length - 16);
        b = word64(bytes + length - 8);
    }
    return fold(a ^ kOdd1, b ^ seed ^ kOdd2);
}

namespace json_cache_detail {

template <class Word>
inline bool sameWord(const uint8_t* x, const uint8_t* y) {
    Word u, v;
    std::memcpy(&u, x, sizeof u);
    std::memcpy(&v, y, sizeof v);
    return u == v;
}

inline bool sameBytes(const void* a, const void* b, uint64_t length) {
    // Most keys and numbers are short: two overlapping words (the first and the last ones) beat a
    // call for them; no byte outside the value is read.
    const auto* x = static_cast<const uint8_t*>(a);
    const auto* y = static_cast<const uint8_t*>(b);
    if (length > 16) return std::memcmp(x, y, length) == 0;
    if (length >= 8) return sameWord<uint64_t>(x, y) && sameWord<uint64_t>(x + length - 8, y + length - 8);
    if (length >= 4) return sameWord<uint32_t>(x, y) && sameWord<uint32_t>(x + length - 4, y + length - 4);
    for (uint64_t i = 0; i < length; ++i) {
        if (x[i] != y[i]) return false;
    }
    return true;
}

// The value bytes an item holds: those of its string object.
inline const void* itemBytes(const JsonTokenCacheItem& item) {
    return item.object.jsonString()->data();
}

// Whether the item holds the value, whose length is the item's: a short one by its words.
inline bool sameValue(const JsonTokenCacheItem& item, const JsonTokenValue& value) {
    if (value.length <= 16) return item.words[0] == value.words[0] && item.words[1] == value.words[1];
    return sameBytes(itemBytes(item), value.ptr, value.length);
}

}  // namespace json_cache_detail

// The value of a number token. Numbers live in their handles: equal numbers are equal values
// without being shared, so they do not take cache items from the strings.
inline JsonValue json_numberObject(const JsonTokenValue& value) {
    switch (value.type) {
    case JsonValueTypeLongLong:
        return JsonValue::makeInteger(value.number.longLongValue);
    case JsonValueTypeUnsignedLongLong:
        if (value.number.unsignedLongLongValue > static_cast<uint64_t>(INT64_MAX)) {
            return JsonValue::makeUnsignedInteger(value.number.unsignedLongLongValue);
        }
        return JsonValue::makeInteger(static_cast<int64_t>(value.number.unsignedLongLongValue));
    default:
        return JsonValue::makeDouble(value.number.doubleValue);
    }
}

// The whole look-up of the current token's value: probes, a new object on a miss.
JsonValue json_cachedObjectsProbe(JsonParseState* parseState);

// The object for the current string token, shared through the cache.
inline JsonValue json_cachedObjects(JsonParseState* parseState) {
    using namespace json_cache_detail;
    JsonTokenValue& value = parseState->token.value;
    if (value.type == JsonValueTypeString && value.length == 0) return JsonValue::makeString({});
    // The first probe: when it holds the value, that is the answer the full look-up gives too.
    JsonTokenCacheItem& item = parseState->cache.items[value.hash & (parseState->cache.count - 1)];
    if (!item.object.isNone() && item.hash == value.hash && item.size == value.length && item.type == value.type &&
        sameValue(item, value)) {
        value.cacheItem = &item;
        return JsonTokenCacheReferences::lend(item);
    }
    return json_cachedObjectsProbe(parseState);
}

}  // namespace json::detail
