#pragma once
// The array of the JSON reader. A parsed array is immutable unless the parse asked for mutable
// results; the mutators of an immutable one raise JsonInternalInconsistencyException.

#include <cstdint>
#include <iterator>
#include <memory>

#include "json/JsonValue.h"

namespace json::detail {
class JsonArena;
}  // namespace json::detail

class JsonArray : public JsonObject {
public:
    static const char* className() { return "JsonArray"; }

    uint64_t count() const { return count_; }
    bool isMutable() const { return mutations_ != 0; }
    uint64_t capacity() const { return capacity_; }

    // The element; an index at or beyond the count raises JsonRangeException with
    // "*** -[JsonArray objectAtIndex]: index (i) beyond bounds (count)".
    const JsonValue& objectAtIndex(uint64_t index) const {
        if (index >= count_) raiseRange("objectAtIndex", index, count_);
        return objects_[index];
    }

    // Copies the handles of the range into objects (which needs room for range.length).
    void getObjectsRange(JsonValue* objects, JsonRange range) const;

    // Fast enumeration in index order: up to len elements per call; 0 at the end.
    uint64_t countByEnumeratingWithStateObjectsCount(JsonFastEnumerationState* state, JsonValue* buffer,
                                                     uint64_t len) const;
    JsonEnumerationIterator<JsonArray> begin() const { return JsonEnumerationIterator<JsonArray>(this); }
    std::default_sentinel_t end() const { return {}; }

    // Mutators (mutable arrays only). Index = count appends.
    void insertObjectAtIndex(JsonValue object, uint64_t index);
    void removeObjectAtIndex(uint64_t index);
    void replaceObjectAtIndexWithObject(uint64_t index, JsonValue object);

    // A mutable array gives a new immutable array of the same elements; an immutable one gives
    // itself.
    JsonValue copy() const;
    // A new mutable array of the same elements.
    JsonValue mutableCopy() const;

    bool isEqualToArray(const JsonArray& other) const;

private:
    friend class JsonValue;
    friend JsonValue JsonArrayCreate(JsonValue* objects, uint64_t count, bool mutableCollection,
                                     json::detail::JsonArena* arena);
    JsonArray() = default;
    ~JsonArray();
    // A new empty array whose element slots (capacity of them, all none) follow it in the same
    // allocation (in the arena when one is given and has room); null when memory runs out.
    static JsonArray* allocate(uint64_t capacity, json::detail::JsonArena* arena);
    static void destroy(JsonArray* array);
    JsonValue* inlineObjects() { return reinterpret_cast<JsonValue*>(this + 1); }

    void releaseSlots();
    void countMutation();
    [[noreturn]] void raiseImmutable(const char* method) const;
    [[noreturn]] void raiseRange(const char* method, uint64_t index, uint64_t bounds) const;

    // capacity_ slots, each a live handle (none beyond count_): the slots that follow the array
    // in its own allocation, or a heap block once a mutable array has grown past them.
    JsonValue* objects_ = nullptr;
    uint64_t count_ = 0;
    uint64_t capacity_ = 0;
    uint64_t mutations_ = 0;  // 0: immutable; a mutable array counts from 1, wrapping past 0
};

// A new array that takes over the count handles at objects (they are left none); in the arena
// when one is given.
JsonValue JsonArrayCreate(JsonValue* objects, uint64_t count, bool mutableCollection,
                          json::detail::JsonArena* arena = nullptr);
