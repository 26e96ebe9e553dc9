// The token cache: recently made strings of one decoder, keyed by the scanners'
// value hash, so that repeated keys and values share one object.

#include "json/detail/JsonTokenCache.h"

#include <cstring>
#include <new>

#include "json/detail/JsonInternal.h"

namespace json::detail {

namespace {

JsonValue makeObject(JsonParseState* parseState, const JsonTokenValue& value) {
    return jsonMakeString(std::string_view(reinterpret_cast<const char*>(value.ptr), static_cast<size_t>(value.length)),
                          parseState->stringsInArena ? parseState->arena : nullptr);
}

}  // namespace

namespace {

void clearItem(JsonTokenCacheItem& item) {
    JsonTokenCacheReferences::drop(item);
    item.hash = 0;
    item.cfHash = 0;
    item.size = 0;
    item.type = JsonValueTypeInvalid;
}

}  // namespace

JsonValue json_cachedObjectsProbe(JsonParseState* parseState) {
    using namespace json_cache_detail;
    JsonTokenValue& value = parseState->token.value;

    JsonTokenCacheItem* items = parseState->cache.items.get();
    const uint64_t mask = parseState->cache.count - 1;
    JsonTokenCacheItem* target = nullptr;
    for (uint64_t x = 0; x < 4; ++x) {
        const uint64_t slot = x == 0 ? (value.hash & mask)
                                     : ((value.hash + value.length * x + value.type * x + 3 * x) & mask);
        JsonTokenCacheItem& item = items[slot];
        if (item.object.isNone()) {
            target = &item;
            break;
        }
        if (item.hash == value.hash && item.size == value.length && item.type == value.type && sameValue(item, value)) {
            value.cacheItem = &item;
            return JsonTokenCacheReferences::lend(item);
        }
        if (!target) target = &item;
    }

    JsonValue object = makeObject(parseState, value);
    if (!object) return object;
    clearItem(*target);
    JsonTokenCacheReferences::keep(*target, object);
    target->hash = value.hash;
    target->size = value.length;
    target->type = static_cast<uint8_t>(value.type);
    target->words[0] = value.words[0];
    target->words[1] = value.words[1];
    value.cacheItem = target;
    return object;
}

void json_forgetCache(JsonParseState* parseState) {
    JsonTokenCacheItem* items = parseState->cache.items.get();
    for (uint64_t i = 0; i < parseState->cache.count; ++i) {
        JsonTokenCacheReferences::forget(items[i]);
        items[i].hash = 0;
        items[i].cfHash = 0;
        items[i].size = 0;
        items[i].type = JsonValueTypeInvalid;
    }
}

void json_clearCache(JsonParseState* parseState) {
    JsonTokenCacheItem* items = parseState->cache.items.get();
    for (uint64_t i = 0; i < parseState->cache.count; ++i) clearItem(items[i]);
}

}  // namespace json::detail
