#pragma once
// The dictionary of the JSON reader: an open-addressed hash table with linear probing and no
// tombstones. Its size comes from a table of primes by the 1.33 load rule. A parsed dictionary
// is immutable unless the parse asked for mutable results.

#include <cstdint>
#include <iterator>
#include <memory>
#include <string_view>
#include <vector>

#include "json/JsonValue.h"

struct JsonHashTableEntry {
    uint64_t keyHash = 0;  // the key's hash(); 0 in an empty slot
    JsonValue key;         // none in an empty slot
    JsonValue object;
};

class JsonDictionaryEnumerator;
namespace json::detail {
class JsonArena;
}  // namespace json::detail

class JsonDictionary : public JsonObject {
public:
    static const char* className() { return "JsonDictionary"; }

    uint64_t count() const { return count_; }
    uint64_t capacity() const { return capacity_; }
    bool isMutable() const { return mutations_ != 0; }

    // The value stored under the key, or none when the key is absent (or none).
    const JsonValue& objectForKey(const JsonValue& key) const;
    const JsonValue& objectForKey(std::string_view key) const;
    const JsonValue& objectForKey(const char* key) const { return objectForKey(std::string_view(key)); }

    // Fills objects and keys (either may be null; each needs room for count()) in slot order.
    void getObjectsAndKeys(JsonValue* objects, JsonValue* keys) const;

    // Fast enumeration of the keys in slot order.
    uint64_t countByEnumeratingWithStateObjectsCount(JsonFastEnumerationState* state, JsonValue* buffer,
                                                     uint64_t len) const;
    JsonEnumerationIterator<JsonDictionary> begin() const { return JsonEnumerationIterator<JsonDictionary>(this); }
    std::default_sentinel_t end() const { return {}; }

    // An enumerator over the keys in slot order.
    JsonDictionaryEnumerator keyEnumerator() const;

    // Mutators (mutable dictionaries only). The dictionary keeps a copy of the key; an equal key
    // already present is replaced.
    void setObjectForKey(JsonValue object, const JsonValue& key);
    void removeObjectForKey(const JsonValue& key);

    // A mutable dictionary gives a new immutable dictionary with the same members; an immutable
    // one gives itself.
    JsonValue copy() const;
    // A new mutable dictionary with the same members.
    JsonValue mutableCopy() const;

    bool isEqualToDictionary(const JsonDictionary& other) const;

    // The slot table, for tests of the probing.
    const JsonHashTableEntry* entries() const { return entry_; }

private:
    friend class JsonValue;
    friend class JsonDictionaryEnumerator;
    friend JsonValue JsonDictionaryCreate(JsonValue* keys, const uint64_t* keyHashes, JsonValue* objects,
                                          uint64_t count, bool mutableCollection, json::detail::JsonArena* arena);
    JsonDictionary() = default;
    ~JsonDictionary();
    // A new empty dictionary whose table (capacity empty slots) follows it in the same
    // allocation (in the arena when one is given and has room); null when memory runs out.
    static JsonDictionary* allocate(uint64_t capacity, json::detail::JsonArena* arena);
    static void destroy(JsonDictionary* dictionary);
    JsonHashTableEntry* inlineEntries() { return reinterpret_cast<JsonHashTableEntry*>(this + 1); }
    void releaseTable();

    template <class Match>
    JsonHashTableEntry* entryFor(uint64_t hash, Match matches) const;
    JsonHashTableEntry* JsonDictionaryHashTableEntryForKey(const JsonValue& key) const;
    void JsonDictionaryAddObject(uint64_t hash, JsonValue key, JsonValue object);
    void JsonDictionaryRemoveObjectWithEntry(JsonHashTableEntry* entry);
    void JsonDictionaryResizeIfNeccessary();
    void countMutation();
    [[noreturn]] void raiseImmutable(const char* method) const;

    uint64_t count_ = 0;
    uint64_t capacity_ = 0;
    uint64_t mutations_ = 0;  // 0: immutable; a mutable dictionary counts from 1, wrapping past 0
    // capacity_ slots: the ones that follow the dictionary in its own allocation, or a heap
    // table once a mutable dictionary has grown.
    JsonHashTableEntry* entry_ = nullptr;
};

// The enumerator of a dictionary's keys; it holds the dictionary while it lives.
class JsonDictionaryEnumerator {
public:
    // The dictionary must be a dictionary (JsonInvalidArgumentException otherwise).
    explicit JsonDictionaryEnumerator(JsonValue dictionary);
    // The next key in slot order, or none at the end.
    JsonValue nextObject();
    // The remaining keys.
    std::vector<JsonValue> allObjects();

private:
    JsonValue collection_;
    uint64_t nextObject_ = 0;
};

// A new dictionary holding the count (hash, key, object) triples, which it takes over (the
// handles are left none); a later duplicate key replaces an earlier one, and the table is sized
// for the keys that remain. In the arena when one is given.
JsonValue JsonDictionaryCreate(JsonValue* keys, const uint64_t* keyHashes, JsonValue* objects, uint64_t count,
                               bool mutableCollection, json::detail::JsonArena* arena = nullptr);

// The table capacity for n members: the first entry of the capacity table that holds n × 1.33.
// Counts beyond the table are capped at its last entry.
uint64_t JsonDictionaryCapacityForCount(uint64_t n);

// The hash that dictionaries use for a string key; JsonValue::hash() of a string gives the same.
uint64_t jsonStringKeyHash(std::string_view bytes);
