#include "json/JsonDictionary.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>
#include <utility>

#include "json/detail/JsonArena.h"
#include "json/detail/JsonInternal.h"

using namespace json::detail;

namespace {

// 0, then primes growing by about 1.6 each.
constexpr uint64_t json_dictionaryCapacities[] = {
    0,        3,        7,        13,        23,        41,        71,        127,       191,      251,
    383,      631,      1087,     1723,      2803,      4523,      7351,      11959,     19447,    31231,
    50683,    81919,    132607,   214519,    346607,    561109,    907759,    1468927,   2376191,  3845119,
    6221311,  10066421, 16287743, 26354171,  42641881,  68996069,  111638519, 180634607, 292272623, 472907251,
};

// hash mod capacity. The capacities come from the table above, so the usual small ones are
// divided by constants (a multiplication) instead of by a variable (a division).
inline uint64_t homeSlot(uint64_t hash, uint64_t capacity) {
    switch (capacity) {
    case 3:
        return hash % 3;
    case 7:
        return hash % 7;
    case 13:
        return hash % 13;
    case 23:
        return hash % 23;
    case 41:
        return hash % 41;
    case 71:
        return hash % 71;
    case 127:
        return hash % 127;
    case 191:
        return hash % 191;
    case 251:
        return hash % 251;
    default:
        return hash % capacity;
    }
}

// A heap table of capacity empty slots; null when memory runs out.
JsonHashTableEntry* allocateTable(uint64_t capacity) {
    if (capacity > UINT64_MAX / sizeof(JsonHashTableEntry)) return nullptr;
    auto* table = static_cast<JsonHashTableEntry*>(::operator new(capacity * sizeof(JsonHashTableEntry), std::nothrow));
    if (!table) return nullptr;
    for (uint64_t i = 0; i < capacity; ++i) new (&table[i]) JsonHashTableEntry();
    return table;
}

// Releases every slot of a table; frees it too unless it lives inside its dictionary.
void freeTable(JsonHashTableEntry* table, uint64_t capacity, bool isInline) {
    for (uint64_t i = 0; i < capacity; ++i) table[i].~JsonHashTableEntry();
    if (!isInline) ::operator delete(table);
}

}  // namespace

static_assert(alignof(JsonHashTableEntry) <= alignof(JsonDictionary) &&
                  sizeof(JsonDictionary) % alignof(JsonHashTableEntry) == 0,
              "the table follows the dictionary header");

JsonDictionary::~JsonDictionary() {
    releaseTable();
}

void JsonDictionary::releaseTable() {
    if (entry_) freeTable(entry_, capacity_, entry_ == inlineEntries());
    entry_ = nullptr;
}

JsonDictionary* JsonDictionary::allocate(uint64_t capacity, JsonArena* arena) {
    if (capacity > (UINT64_MAX - sizeof(JsonDictionary)) / sizeof(JsonHashTableEntry)) return nullptr;
    const uint64_t size = sizeof(JsonDictionary) + capacity * sizeof(JsonHashTableEntry);
    void* memory = arena ? arena->allocate(size) : nullptr;
    const bool inArena = memory != nullptr;
    if (!memory && arena && arena->holdsTree()) return nullptr;  // a tree holds nothing from the heap
    if (!memory) memory = ::operator new(size, std::nothrow);
    if (!memory) return nullptr;
    auto* dictionary = new (memory) JsonDictionary();
    dictionary->storage_ = !inArena ? Heap : arena->holdsTree() ? Tree : ArenaChunk;
    dictionary->entry_ = dictionary->inlineEntries();
    for (uint64_t i = 0; i < capacity; ++i) new (&dictionary->entry_[i]) JsonHashTableEntry();
    dictionary->capacity_ = capacity;
    return dictionary;
}

void JsonDictionary::destroy(JsonDictionary* dictionary) {
    const bool inArena = dictionary->storage_ == ArenaChunk;
    dictionary->~JsonDictionary();
    if (inArena) {
        JsonArena::release(dictionary);
    } else {
        ::operator delete(dictionary);
    }
}

namespace {

// The capacities for the member counts of nearly every parsed object, worked out when compiling
// by the same rule as below.
struct SmallCapacities {
    uint64_t capacity[32] = {};
    constexpr SmallCapacities() {
        for (uint64_t n = 0; n < 32; ++n) {
            const auto wanted = static_cast<uint64_t>(static_cast<double>(n) * 1.33);
            for (uint64_t c : json_dictionaryCapacities) {
                if (c >= wanted) {
                    capacity[n] = c;
                    break;
                }
            }
        }
    }
};

constexpr SmallCapacities kSmallCapacities;

}  // namespace

uint64_t JsonDictionaryCapacityForCount(uint64_t n) {
    if (n < 32) return kSmallCapacities.capacity[n];
    const auto wanted = static_cast<uint64_t>(static_cast<double>(n) * 1.33);
    const auto* found = std::lower_bound(std::begin(json_dictionaryCapacities), std::end(json_dictionaryCapacities),
                                         wanted);
    if (found == std::end(json_dictionaryCapacities)) return json_dictionaryCapacities[39];
    return *found;
}

template <class Match>
JsonHashTableEntry* JsonDictionary::entryFor(uint64_t hash, Match matches) const {
    if (capacity_ == 0) return nullptr;
    uint64_t slot = homeSlot(hash, capacity_);
    for (uint64_t i = 0; i < capacity_; ++i) {
        JsonHashTableEntry& entry = entry_[slot];
        if (entry.key.isNone()) return nullptr;
        if (entry.keyHash == hash && matches(entry.key)) return &entry;
        if (++slot == capacity_) slot = 0;
    }
    return nullptr;
}

JsonHashTableEntry* JsonDictionary::JsonDictionaryHashTableEntryForKey(const JsonValue& key) const {
    if (key.isNone()) return nullptr;
    return entryFor(key.hash(), [&](const JsonValue& candidate) {
        return candidate.isSameObject(key) || candidate.isEqual(key);
    });
}

const JsonValue& JsonDictionary::objectForKey(const JsonValue& key) const {
    const JsonHashTableEntry* entry = JsonDictionaryHashTableEntryForKey(key);
    return entry ? entry->object : jsonNone();
}

const JsonValue& JsonDictionary::objectForKey(std::string_view key) const {
    const JsonHashTableEntry* entry = entryFor(jsonStringKeyHash(key), [&](const JsonValue& candidate) {
        return candidate.isString() && candidate.stringView() == key;
    });
    return entry ? entry->object : jsonNone();
}

void JsonDictionary::JsonDictionaryAddObject(uint64_t hash, JsonValue key, JsonValue object) {
    if (capacity_ == 0) return;
    uint64_t slot = homeSlot(hash, capacity_);
    for (uint64_t probes = 0; probes < capacity_;) {
        JsonHashTableEntry& entry = entry_[slot];
        if (entry.key.isNone()) {
            entry.keyHash = hash;
            entry.key = std::move(key);
            entry.object = std::move(object);
            ++count_;
            return;
        }
        if (entry.keyHash == hash && (entry.key.isSameObject(key) || entry.key.isEqual(key))) {
            // An equal key gives way; the slot may be refilled by the re-placed cluster, so it is
            // looked at again.
            JsonDictionaryRemoveObjectWithEntry(&entry);
            continue;
        }
        if (++slot == capacity_) slot = 0;
        ++probes;
    }
    // No free slot within a full probe sequence: the key and the object are dropped.
}

void JsonDictionary::JsonDictionaryRemoveObjectWithEntry(JsonHashTableEntry* entry) {
    entry->key = JsonValue();
    entry->object = JsonValue();
    entry->keyHash = 0;
    --count_;
    // No tombstones: every entry of the cluster after the hole is placed again from its home slot.
    uint64_t slot = static_cast<uint64_t>(entry - entry_);
    for (uint64_t walked = 0; walked < capacity_; ++walked) {
        if (++slot == capacity_) slot = 0;
        JsonHashTableEntry& next = entry_[slot];
        if (next.key.isNone()) break;
        const uint64_t hash = next.keyHash;
        JsonValue key = std::move(next.key);
        JsonValue object = std::move(next.object);
        next.key = JsonValue();
        next.object = JsonValue();
        next.keyHash = 0;
        --count_;
        JsonDictionaryAddObject(hash, std::move(key), std::move(object));
    }
}

void JsonDictionary::JsonDictionaryResizeIfNeccessary() {
    const uint64_t newCapacity = JsonDictionaryCapacityForCount(count_ + 1);
    if (newCapacity <= capacity_) return;
    JsonHashTableEntry* table = allocateTable(newCapacity);
    if (!table) throw JsonMallocException("Unable to allocate memory for hash table.");
    JsonHashTableEntry* const old = entry_;
    const uint64_t oldCapacity = capacity_;
    entry_ = table;
    capacity_ = newCapacity;
    count_ = 0;
    for (uint64_t i = 0; i < oldCapacity; ++i) {
        if (!old[i].key.isNone()) JsonDictionaryAddObject(old[i].keyHash, std::move(old[i].key), std::move(old[i].object));
    }
    freeTable(old, oldCapacity, old == inlineEntries());
}

void JsonDictionary::getObjectsAndKeys(JsonValue* objects, JsonValue* keys) const {
    uint64_t n = 0;
    for (uint64_t i = 0; i < capacity_; ++i) {
        if (entry_[i].key.isNone()) continue;
        if (objects) objects[n] = entry_[i].object;
        if (keys) keys[n] = entry_[i].key;
        ++n;
    }
}

uint64_t JsonDictionary::countByEnumeratingWithStateObjectsCount(JsonFastEnumerationState* state, JsonValue* buffer,
                                                                 uint64_t len) const {
    if (state->state == 0) state->mutationsPtr = &mutations_;
    uint64_t n = 0;
    uint64_t slot = state->state;
    for (; slot < capacity_ && n < len; ++slot) {
        if (!entry_[slot].key.isNone()) buffer[n++] = entry_[slot].key;
    }
    state->state = slot;
    state->itemsPtr = buffer;
    return n;
}

JsonDictionaryEnumerator JsonDictionary::keyEnumerator() const {
    return JsonDictionaryEnumerator(jsonValueRetaining(JsonKind::Dictionary, const_cast<JsonDictionary*>(this)));
}

void JsonDictionary::setObjectForKey(JsonValue object, const JsonValue& key) {
    if (!isMutable()) raiseImmutable("setObjectForKey");
    if (key.isNone()) {
        throw JsonInvalidArgumentException(
            jsonFormat("*** -[%s %s]: attempt to insert nil key", className(), "setObjectForKey"));
    }
    if (object.isNone()) {
        throw JsonInvalidArgumentException(jsonFormat("*** -[%s %s]: attempt to insert nil value (key: %s)",
                                                      className(), "setObjectForKey", key.description().c_str()));
    }
    JsonDictionaryResizeIfNeccessary();
    JsonValue keyCopy = key.copy();
    const uint64_t hash = keyCopy.hash();
    JsonDictionaryAddObject(hash, std::move(keyCopy), std::move(object));
    countMutation();
}

void JsonDictionary::removeObjectForKey(const JsonValue& key) {
    if (!isMutable()) raiseImmutable("removeObjectForKey");
    if (key.isNone()) {
        throw JsonInvalidArgumentException(
            jsonFormat("*** -[%s %s]: attempt to remove nil key", className(), "removeObjectForKey"));
    }
    if (JsonHashTableEntry* entry = JsonDictionaryHashTableEntryForKey(key)) {
        JsonDictionaryRemoveObjectWithEntry(entry);
        countMutation();
    }
}

namespace {

JsonValue copyOf(const JsonDictionary& dictionary, const JsonHashTableEntry* entries, uint64_t capacity,
                 bool mutableCollection) {
    const uint64_t count = dictionary.count();
    std::unique_ptr<JsonValue[]> keys(new JsonValue[count]);
    std::unique_ptr<JsonValue[]> objects(new JsonValue[count]);
    std::unique_ptr<uint64_t[]> hashes(new uint64_t[count]);
    uint64_t n = 0;
    for (uint64_t i = 0; i < capacity && n < count; ++i) {
        if (entries[i].key.isNone()) continue;
        keys[n] = entries[i].key;
        objects[n] = entries[i].object;
        hashes[n] = entries[i].keyHash;
        ++n;
    }
    return JsonDictionaryCreate(keys.get(), hashes.get(), objects.get(), n, mutableCollection);
}

}  // namespace

JsonValue JsonDictionary::copy() const {
    if (!isMutable()) return jsonValueRetaining(JsonKind::Dictionary, const_cast<JsonDictionary*>(this));
    return copyOf(*this, entry_, capacity_, false);
}

JsonValue JsonDictionary::mutableCopy() const {
    return copyOf(*this, entry_, capacity_, true);
}

bool JsonDictionary::isEqualToDictionary(const JsonDictionary& other) const {
    if (this == &other) return true;
    if (count_ != other.count_) return false;
    for (uint64_t i = 0; i < capacity_; ++i) {
        if (entry_[i].key.isNone()) continue;
        const JsonHashTableEntry* match = other.JsonDictionaryHashTableEntryForKey(entry_[i].key);
        if (!match || !match->object.isEqual(entry_[i].object)) return false;
    }
    return true;
}

void JsonDictionary::countMutation() {
    if (++mutations_ == 0) mutations_ = 1;
}

void JsonDictionary::raiseImmutable(const char* method) const {
    throw JsonInternalInconsistencyException(
        jsonFormat("*** -[%s %s]: mutating method sent to immutable object", className(), method));
}

JsonDictionaryEnumerator::JsonDictionaryEnumerator(JsonValue dictionary) : collection_(std::move(dictionary)) {
    if (!collection_.isDictionary()) throw JsonInvalidArgumentException("The dictionary argument is not a dictionary.");
}

JsonValue JsonDictionaryEnumerator::nextObject() {
    const JsonDictionary* dictionary = collection_.dictionary();
    while (nextObject_ < dictionary->capacity_) {
        const JsonHashTableEntry& entry = dictionary->entry_[nextObject_++];
        if (!entry.key.isNone()) return entry.key;
    }
    return {};
}

std::vector<JsonValue> JsonDictionaryEnumerator::allObjects() {
    std::vector<JsonValue> keys;
    keys.reserve(collection_.dictionary()->count());
    for (JsonValue key = nextObject(); key; key = nextObject()) keys.push_back(std::move(key));
    return keys;
}

JsonValue JsonDictionaryCreate(JsonValue* keys, const uint64_t* keyHashes, JsonValue* objects, uint64_t count,
                               bool mutableCollection, JsonArena* arena) {
    // One chunk of memory holds the dictionary and its table.
    JsonDictionary* dictionary = JsonDictionary::allocate(JsonDictionaryCapacityForCount(count), arena);
    if (!dictionary) return {};
    JsonValue result = jsonValueAdopting(JsonKind::Dictionary, dictionary);
    JsonHashTableEntry* const table = dictionary->entry_;
    const uint64_t capacity = dictionary->capacity_;
    for (uint64_t i = 0; i < count; ++i) {
        // Usually the key lands in an empty slot of its probe sequence before meeting an equal
        // key: the slot takes the handles' bytes over, and the stack's copies are cleared below,
        // all at once. A duplicate takes the general path, which puts the earlier member out.
        const uint64_t hash = keyHashes[i];
        uint64_t slot = homeSlot(hash, capacity);
        uint64_t probes = 0;
        for (; probes < capacity; ++probes) {
            JsonHashTableEntry& entry = table[slot];
            if (entry.key.isNone()) {
                entry.keyHash = hash;
                std::memcpy(static_cast<void*>(&entry.key), static_cast<const void*>(&keys[i]), sizeof(JsonValue));
                std::memcpy(static_cast<void*>(&entry.object), static_cast<const void*>(&objects[i]), sizeof(JsonValue));
                ++dictionary->count_;
                break;
            }
            if (entry.keyHash == hash && (entry.key.isSameObject(keys[i]) || entry.key.isEqual(keys[i]))) {
                dictionary->JsonDictionaryAddObject(hash, std::move(keys[i]), std::move(objects[i]));
                break;
            }
            if (++slot == capacity) slot = 0;
        }
        if (probes == capacity) {
            // No room in a full probe sequence (not at the 1.33 load): the member is dropped, as
            // the general path drops it.
            keys[i] = JsonValue();
            objects[i] = JsonValue();
        }
    }
    // The handles the table took over (and those the general path left none) are cleared
    // without being released: the stack's entries end up none. (Element by element: the counts
    // are small, and a call would cost more.)
    for (uint64_t i = 0; i < count; ++i) {
        new (&keys[i]) JsonValue();
        new (&objects[i]) JsonValue();
    }
    // Repeated keys leave a table sized for every member given. The survivors move, in slot
    // order, to a table sized for them by the same rule, and the large one goes with its
    // dictionary; without repeats this costs one comparison. Without memory for the smaller
    // table the large one stays.
    if (dictionary->count_ < count) {
        const uint64_t fitted = JsonDictionaryCapacityForCount(dictionary->count_);
        JsonDictionary* smaller = fitted < capacity ? JsonDictionary::allocate(fitted, arena) : nullptr;
        if (smaller) {
            JsonValue compact = jsonValueAdopting(JsonKind::Dictionary, smaller);
            for (uint64_t i = 0; i < capacity; ++i) {
                JsonHashTableEntry& entry = table[i];
                if (!entry.key.isNone()) {
                    smaller->JsonDictionaryAddObject(entry.keyHash, std::move(entry.key), std::move(entry.object));
                }
            }
            dictionary = smaller;
            result = std::move(compact);
        }
    }
    dictionary->mutations_ = mutableCollection ? 1 : 0;
    return result;
}
