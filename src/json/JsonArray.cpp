#include "json/JsonArray.h"

#include <new>
#include <utility>

#include "json/JsonInternal.h"

const JsonValue& JsonArray::objectAtIndex(uint64_t index) const {
    if (index >= count_) raiseRange("objectAtIndex", index, count_);
    return objects_[index];
}

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
        JsonValue* grown = new (std::nothrow) JsonValue[newCapacity];
        if (!grown) throw JsonMallocException("Unable to resize objects array.");
        for (uint64_t i = 0; i < count_; ++i) grown[i] = std::move(objects_[i]);
        objects_.reset(grown);
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

JsonValue JsonArrayCreate(JsonValue* objects, uint64_t count, bool mutableCollection) {
    auto* array = new (std::nothrow) JsonArray();
    if (!array) return {};
    JsonValue result = jsonValueAdopting(JsonKind::Array, array);
    if (count != 0) {
        array->objects_.reset(new (std::nothrow) JsonValue[count]);
        if (!array->objects_) return {};
        for (uint64_t i = 0; i < count; ++i) array->objects_[i] = std::move(objects[i]);
    }
    array->count_ = count;
    array->capacity_ = count;
    array->mutations_ = mutableCollection ? 1 : 0;
    return result;
}
