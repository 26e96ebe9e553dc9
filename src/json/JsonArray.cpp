#include "json/JsonArray.h"

#include <cstring>
#include <new>
#include <utility>

static_assert(alignof(JsonValue) <= alignof(JsonArray) && sizeof(JsonArray) % alignof(JsonValue) == 0,
              "element slots follow the array header");

#include "json/detail/JsonArena.h"
#include "json/detail/JsonInternal.h"

using namespace json::detail;

void JsonArray::getObjectsRange(JsonValue* objects, JsonRange range) const {
    const uint64_t end = range.location + range.length;
    if (end < range.location || end > count_) raiseRange("getObjectsRange", end, count_);
    if (!objects && end > 0) {
        throw JsonRangeException(jsonFormat("*** -[%s %s]: pointer to objects array is NULL but range length is %lu",
                                            className(), "getObjectsRange", static_cast<unsigned long>(end)));
    }
    for (uint64_t i = 0; i < range.length; ++i) objects[i] = objects_[range.location + i];
}

uint64_t JsonArray::countByEnumeratingWithStateObjectsCount(JsonFastEnumerationState* state, JsonValue* buffer,
                                                            uint64_t len) const {
    if (state->state == 0) state->mutationsPtr = &mutations_;
    if (state->state >= count_) return 0;
    uint64_t n = count_ - state->state;
    if (n > len) n = len;
    for (uint64_t i = 0; i < n; ++i) buffer[i] = objects_[state->state + i];
    state->itemsPtr = buffer;
    state->state += n;
    return n;
}

void JsonArray::insertObjectAtIndex(JsonValue object, uint64_t index) {
    if (!isMutable()) raiseImmutable("insertObjectAtIndex");
    if (object.isNone()) {
        throw JsonInvalidArgumentException(
            jsonFormat("*** -[%s %s]: attempt to insert nil", className(), "insertObjectAtIndex"));
    }
    if (index > count_) raiseRange("insertObjectAtIndex", index, count_ + 1);
    if (count_ + 1 >= capacity_) {
        const uint64_t newCapacity = capacity_ + 16;
        auto* grown = static_cast<JsonValue*>(::operator new(newCapacity * sizeof(JsonValue), std::nothrow));
        if (!grown) throw JsonMallocException("Unable to resize objects array.");
        for (uint64_t i = 0; i < newCapacity; ++i) new (&grown[i]) JsonValue();
        for (uint64_t i = 0; i < count_; ++i) grown[i].swap(objects_[i]);
        releaseSlots();
        objects_ = grown;
        capacity_ = newCapacity;
    }
    for (uint64_t i = count_; i > index; --i) objects_[i] = std::move(objects_[i - 1]);
    objects_[index] = std::move(object);
    ++count_;
    countMutation();
}

void JsonArray::removeObjectAtIndex(uint64_t index) {
    if (!isMutable()) raiseImmutable("removeObjectAtIndex");
    if (index >= count_) raiseRange("removeObjectAtIndex", index, count_);
    JsonValue removed = std::move(objects_[index]);
    for (uint64_t i = index; i + 1 < count_; ++i) objects_[i] = std::move(objects_[i + 1]);
    --count_;
    countMutation();
}

void JsonArray::replaceObjectAtIndexWithObject(uint64_t index, JsonValue object) {
    if (!isMutable()) raiseImmutable("replaceObjectAtIndexWithObject");
    if (object.isNone()) {
        throw JsonInvalidArgumentException(
            jsonFormat("*** -[%s %s]: attempt to insert nil", className(), "replaceObjectAtIndexWithObject"));
    }
    if (index >= count_) raiseRange("replaceObjectAtIndexWithObject", index, count_);
    objects_[index] = std::move(object);
    countMutation();
}

JsonValue JsonArray::copy() const {
    if (!isMutable()) return jsonValueRetaining(JsonKind::Array, const_cast<JsonArray*>(this));
    std::unique_ptr<JsonValue[]> elements(new JsonValue[count_]);
    for (uint64_t i = 0; i < count_; ++i) elements[i] = objects_[i];
    return JsonArrayCreate(elements.get(), count_, false);
}

JsonValue JsonArray::mutableCopy() const {
    std::unique_ptr<JsonValue[]> elements(new JsonValue[count_]);
    for (uint64_t i = 0; i < count_; ++i) elements[i] = objects_[i];
    return JsonArrayCreate(elements.get(), count_, true);
}

bool JsonArray::isEqualToArray(const JsonArray& other) const {
    if (this == &other) return true;
    if (count_ != other.count_) return false;
    for (uint64_t i = 0; i < count_; ++i) {
        if (!objects_[i].isEqual(other.objects_[i])) return false;
    }
    return true;
}

void JsonArray::countMutation() {
    if (++mutations_ == 0) mutations_ = 1;
}

void JsonArray::raiseImmutable(const char* method) const {
    throw JsonInternalInconsistencyException(
        jsonFormat("*** -[%s %s]: mutating method sent to immutable object", className(), method));
}

void JsonArray::raiseRange(const char* method, uint64_t index, uint64_t bounds) const {
    throw JsonRangeException(jsonFormat("*** -[%s %s]: index (%lu) beyond bounds (%lu)", className(), method,
                                        static_cast<unsigned long>(index), static_cast<unsigned long>(bounds)));
}

JsonArray::~JsonArray() {
    releaseSlots();
}

void JsonArray::releaseSlots() {
    for (uint64_t i = 0; i < capacity_; ++i) objects_[i].~JsonValue();
    if (objects_ != inlineObjects()) ::operator delete(objects_);
    objects_ = nullptr;
}

JsonArray* JsonArray::allocate(uint64_t capacity, JsonArena* arena) {
    if (capacity > (UINT64_MAX - sizeof(JsonArray)) / sizeof(JsonValue)) return nullptr;
    const uint64_t size = sizeof(JsonArray) + capacity * sizeof(JsonValue);
    void* memory = arena ? arena->allocate(size) : nullptr;
    const bool inArena = memory != nullptr;
    if (!memory && arena && arena->holdsTree()) return nullptr;  // a tree holds nothing from the heap
    if (!memory) memory = ::operator new(size, std::nothrow);
    if (!memory) return nullptr;
    auto* array = new (memory) JsonArray();
    array->storage_ = !inArena ? Heap : arena->holdsTree() ? Tree : ArenaChunk;
    array->objects_ = array->inlineObjects();
    for (uint64_t i = 0; i < capacity; ++i) new (&array->objects_[i]) JsonValue();
    array->capacity_ = capacity;
    return array;
}

void JsonArray::destroy(JsonArray* array) {
    const bool inArena = array->storage_ == ArenaChunk;
    array->~JsonArray();
    if (inArena) {
        JsonArena::release(array);
    } else {
        ::operator delete(array);
    }
}

JsonValue JsonArrayCreate(JsonValue* objects, uint64_t count, bool mutableCollection, JsonArena* arena) {
    // One chunk of memory holds the array and its elements.
    JsonArray* array = JsonArray::allocate(count, arena);
    if (!array) return {};
    // The handles' bytes move over; the given ones are cleared without being released.
    for (uint64_t i = 0; i < count; ++i) {
        std::memcpy(static_cast<void*>(&array->objects_[i]), static_cast<const void*>(&objects[i]), sizeof(JsonValue));
        new (&objects[i]) JsonValue();
    }
    array->count_ = count;
    array->mutations_ = mutableCollection ? 1 : 0;
    return jsonValueAdopting(JsonKind::Array, array);
}
