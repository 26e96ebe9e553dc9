#pragma once
// The state of one serialization call and the encoder core that writes a tree into it. Internal
// to the writer.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "json/JsonDictionary.h"
#include "json/JsonSerializer.h"
#include "json/detail/JsonManagedBuffer.h"
#include "platform/Error.h"

namespace json::detail {

inline constexpr uint64_t JsonEncodeCacheCount = 1024;

// The text of an atom written earlier in this call, found again by the atom's identity (kind and
// bits). Under immutable collections the identity alone is enough: they keep their members, and
// the top object and every formatter replacement outlive the call. Under a mutable one a formatter
// could free the atom and a new object take its address, so the state then holds the atom too
// (held, by slot).
struct JsonEncodeCache {
    uint64_t bits = 0;
    uint64_t offset = 0;  // where the text starts in stringBuffer
    uint32_t length = 0;
    JsonKind kind = JsonKind::None;  // None: an empty slot
};

// A mutable collection whose members are being written, and its mutation count when it opened.
struct JsonEncodeOpenCollection {
    const uint64_t* mutations = nullptr;
    uint64_t seen = 0;
    const char* className = nullptr;
};

// The output once it has outgrown the caller's storage: the container the result is made of
// (bytes for a data result, else text), so that the result takes it over without a copy.
struct JsonEncodeOutput {
    bool asBytes = false;
    std::string text;
    platform::Bytes bytes;
};

// A key of a dictionary being pretty printed, with its bytes at hand for sorting.
struct JsonEncodeSortedKey {
    std::string_view key;
    const JsonHashTableEntry* entry;
    uint64_t leading;  // the first eight bytes of the key as a number (zeros after a shorter key)
    bool isString;
};

struct JsonEncodeState {
    // The output: the caller's storage at first, then the data of output's container (which
    // owns it: the buffer is never told to free it).
    JsonManagedBuffer stringBuffer;
    JsonEncodeOutput output;
    uint64_t atIndex = 0;            // bytes written so far, the next write position
    JsonEncodeCache cache[JsonEncodeCacheCount];
    JsonSerializeOptionFlags serializeOptionFlags = 0;
    JsonEncodeOptionType encodeOption = 0;
    uint64_t depth = 0;    // indentation level, kept when pretty printing
    uint64_t nesting = 0;  // open arrays and dictionaries, against the nesting limit
    std::optional<platform::Error> error;  // the first error of the call

    JsonSerializerDelegate* formatterDelegate = nullptr;
    JsonFormatterSelector formatterSelector = 0;
    JsonValue (JsonSerializerDelegate::*classFormatterIMP)(const JsonValue&) = nullptr;
    const JsonFormatterBlock* formatterBlock = nullptr;  // none when empty

    // The atoms of the cache's slots, kept while mutable collections are written (empty until then).
    std::vector<JsonValue> held;
    // Every replacement a formatter gave, kept until the call ends.
    std::vector<JsonValue> replacements;
    // The mutable collections being written, checked after every formatter call.
    std::vector<JsonEncodeOpenCollection> openCollections;
    // Entries of the dictionaries being pretty printed, each one's sorted run on top of its
    // parent's.
    std::vector<JsonEncodeSortedKey> sortedEntries;
};

// Makes the output hold at least size bytes (rounded up to the buffer's step), keeping its bytes;
// moves it into the output container the first time. Null when memory runs out.
uint8_t* json_encode_resizeOutput(JsonEncodeState* encodeState, uint64_t size);

// Writes the whole text of object (recursing into members) at atIndex. 0 when written, 1 when an
// error was recorded.
int json_encode_add_atom_to_buffer(JsonEncodeState* encodeState, const JsonValue& object);

// Records the message as the call's error unless one is recorded already.
void json_encode_error(JsonEncodeState* encodeState, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The class name that messages give for a value: JsonString, JsonNumber (booleans too), JsonNull,
// JsonArray, JsonDictionary, or a caller object's own.
std::string json_encode_className(const JsonValue& object);

}  // namespace json::detail
