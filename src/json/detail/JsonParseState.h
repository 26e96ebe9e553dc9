#pragma once
// The state of one decoder: the input of the parse in progress, the current token, the working
// storage (token buffer and object stack) and the token cache. Internal to the reader.

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "json/JSONDecoder.h"
#include "json/detail/JsonArena.h"
#include "json/detail/JsonManagedBuffer.h"
#include "platform/Error.h"

namespace json::detail {

enum JsonTokenType : uint64_t {
    JsonTokenTypeInvalid = 0,
    JsonTokenTypeNumber = 1,
    JsonTokenTypeString = 2,
    JsonTokenTypeObjectBegin = 3,
    JsonTokenTypeObjectEnd = 4,
    JsonTokenTypeArrayBegin = 5,
    JsonTokenTypeArrayEnd = 6,
    JsonTokenTypeSeparator = 7,
    JsonTokenTypeComma = 8,
    JsonTokenTypeTrue = 9,
    JsonTokenTypeFalse = 10,
    JsonTokenTypeNull = 11,
};

enum JsonValueType : uint64_t {
    JsonValueTypeInvalid = 0,
    JsonValueTypeString = 5,
    JsonValueTypeLongLong = 7,
    JsonValueTypeUnsignedLongLong = 11,
    JsonValueTypeDouble = 13,
};

// One cache line per item. The value bytes of a cached string are the bytes of its own
// (immutable) string object.
struct alignas(64) JsonTokenCacheItem {
    uint64_t hash = 0;     // the value hash of the scanners
    uint64_t size = 0;     // value length in bytes
    uint64_t cfHash = 0;   // the object's hash(); 0 until first needed as a dictionary key
    uint64_t words[2] = {};  // a value of up to 16 bytes as two words (see JsonTokenValue)
    JsonValue object;      // none when the item is empty; see JsonTokenCacheReferences
    uint32_t lent = 0;     // references handed out of the item's stash
    uint8_t type = JsonValueTypeInvalid;
    bool inTree = false;   // the object belongs to the tree being parsed and is held without counting
};

inline constexpr uint64_t JsonTokenCacheCount = 1024;

struct JsonTokenCache {
    std::unique_ptr<JsonTokenCacheItem[]> items;
    uint64_t count = 0;
};

struct JsonTokenValue {
    const uint8_t* ptr = nullptr;
    uint64_t length = 0;
    uint64_t type = JsonValueTypeInvalid;
    uint64_t hash = 0;
    // A string of up to 16 bytes as two words that hold all its bytes (jsonValueHash's), so that
    // the cache can compare it without reading the cached string's own bytes.
    uint64_t words[2] = {};
    union {
        int64_t longLongValue;
        uint64_t unsignedLongLongValue;
        double doubleValue;
    } number{};
    JsonTokenCacheItem* cacheItem = nullptr;
};

struct JsonParseToken {
    const uint8_t* tokenPtr = nullptr;  // the token's first byte (a string's opening quote)
    uint64_t tokenLength = 0;
    uint64_t type = JsonTokenTypeInvalid;
    JsonTokenValue value;
};

enum : uint64_t {
    JsonObjectStackLocationMask = 3,
    JsonObjectStackLocal = 1,
    JsonObjectStackOnHeap = 2,
    JsonObjectStackMustFree = 4,      // objects are the stack's own heap array
    JsonObjectStackKeysMustFree = 8,  // keys and hashes are the stack's own heap arrays
};

struct JsonObjectStack {
    JsonValue* objects = nullptr;
    JsonValue* keys = nullptr;
    uint64_t* cfHashes = nullptr;
    uint64_t count = 0;     // entries of objects
    uint64_t keyCount = 0;  // entries of keys and cfHashes: only dictionaries need them, so a long
                            // array grows objects alone
    uint64_t index = 0;
    uint64_t roundSizeUpToMultipleOf = 0;
    uint64_t flags = 0;
};

struct JsonParseState {
    JsonParseOptionFlags parseOptionFlags = 0;
    const uint8_t* stringBufferBytes = nullptr;
    uint64_t stringBufferLength = 0;
    uint64_t atIndex = 0;
    uint64_t lineNumber = 1;
    JsonParseToken token;
    JsonManagedBuffer tokenBuffer;
    JsonObjectStack objectStack;
    JsonTokenCache cache;
    std::optional<platform::Error> error;
    bool mutableResults = false;
    JsonArena* arena = nullptr;  // where the collections of the parse in progress are made
    // The strings of a parse go into its arena too when nothing keeps them beyond its tree: the
    // one-call front ends drop their decoder (and its cache) right after the parse. A kept
    // decoder's cache may hold a string for a long time, and must not pin a block with it.
    bool stringsInArena = false;
    uint64_t depth = 0;  // arrays and objects open now
};

// One parse of length bytes on the state; the result or none (error stored when given).
JsonValue JsonParseUTF8String(JsonParseState* parseState, bool mutableCollections, const uint8_t* string,
                              uint64_t length, platform::Error* error);

// Records an error unless one was recorded before in this parse.
void json_error(JsonParseState* parseState, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The scanners: 0 success, 1 failure (with an error recorded).
int json_parse_string(JsonParseState* parseState);
int json_parse_number(JsonParseState* parseState);

void json_clearCache(JsonParseState* parseState);
// Empties the cache without touching its objects: those of a parsed tree, which the cache held
// without counting for the length of the parse.
void json_forgetCache(JsonParseState* parseState);

void json_objectStack_setToStackBuffer(JsonObjectStack* stack, JsonValue* objects, JsonValue* keys,
                                       uint64_t* cfHashes, uint64_t count);
void json_objectStack_release(JsonObjectStack* stack);
int json_objectStack_resize(JsonObjectStack* stack, uint64_t newCount);
// Grows objects alone (for arrays); 0 on success, 1 when memory runs out.
int json_objectStack_resizeObjects(JsonObjectStack* stack, uint64_t newCount);

}  // namespace json::detail
