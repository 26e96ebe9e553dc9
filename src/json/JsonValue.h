#pragma once
// The value type of the JSON reader: none (absent), null, booleans, signed and unsigned 64-bit
// integers, doubles, shared immutable strings, arrays and dictionaries, and objects of the caller's
// own classes (which the reader never makes; the writer hands them to a formatter).
//
// A JsonValue is a small handle (16 bytes). Scalars live inside it; strings, arrays and
// dictionaries are reference-counted heap objects shared by every handle that points at them
// (the count is atomic, so finished trees can be handed between threads). Copying a handle
// shares the object; isSameObject tells whether two handles share one.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>

#include "json/JsonExceptions.h"

class JsonArray;
class JsonDictionary;
class JsonObject;
class JsonValue;
enum class JsonKind : uint8_t;

// The reader's internals (json/detail/) that the value classes let in.
namespace json::detail {
class JsonArena;
class JsonTokenCacheReferences;
JsonValue jsonMakeString(std::string_view text, JsonArena* arena);
JsonValue jsonValueRetaining(JsonKind kind, JsonObject* object);
inline JsonValue jsonValueAdopting(JsonKind kind, JsonObject* object);
// One more / one less handle into the tree that holds object (see JsonArena).
void jsonTreeRetain(const JsonObject* object) noexcept;
void jsonTreeRelease(const JsonObject* object) noexcept;
}  // namespace json::detail

enum class JsonKind : uint8_t {
    None,             // no value: an absent key, a failed parse
    Null,             // the JSON literal null (the shared null object)
    Boolean,          // true or false (the shared boolean objects)
    Integer,          // a number held as signed 64-bit
    UnsignedInteger,  // a number above 9223372036854775807, held as unsigned 64-bit
    Double,           // a number with a fraction or an exponent, or -0
    String,
    Array,
    Dictionary,
    CallerObject,     // an object of the caller's own class (JsonCallerObject), equal only to itself
};

// The reader clears blocks of handles to all-zero bytes and moves handles by their bytes: zero
// bytes are the none value, and a handle holds no pointer into itself.
static_assert(static_cast<int>(JsonKind::None) == 0, "zero bytes make a none handle");

// Base of the reference-counted objects a JsonValue can point at.
class JsonObject {
public:
    JsonObject(const JsonObject&) = delete;
    JsonObject& operator=(const JsonObject&) = delete;

protected:
    JsonObject() = default;
    ~JsonObject() = default;

private:
    friend class JsonValue;
    friend class json::detail::JsonTokenCacheReferences;
    friend class json::detail::JsonArena;
    friend JsonValue json::detail::jsonMakeString(std::string_view text, json::detail::JsonArena* arena);
    mutable std::atomic<uint32_t> refs_{1};

protected:
    // Where the object lives, which says how handles count it.
    enum Storage : uint8_t {
        Heap,        // allocated alone; refs_ counts its handles
        ArenaChunk,  // carved out of an arena block that lives while its chunks do; refs_ counts
        Tree,        // part of an immutable parsed tree: handles count on the tree, which goes whole
        Immortal,    // lives for the whole run: handles do not count
    };
    Storage storage_ = Heap;
    bool wellFormed_ = false;  // a string whose bytes the reader checked: well-formed UTF-8 of valid code points
};

// An immutable UTF-8 string; its bytes follow the object in the same allocation.
class JsonString : public JsonObject {
public:
    std::string_view view() const { return {data(), length_}; }
    // Whether the bytes are known to be well-formed UTF-8 of code points the reader accepts (true
    // for the strings the reader makes; a string made from the caller's bytes is not known to be).
    bool wellFormed() const { return wellFormed_; }
    const char* data() const { return reinterpret_cast<const char*>(this + 1); }
    uint64_t length() const { return length_; }

private:
    friend class JsonValue;
    friend JsonValue json::detail::jsonMakeString(std::string_view text, json::detail::JsonArena* arena);
    explicit JsonString(uint64_t length) : length_(length) {}
    ~JsonString() = default;
    // In the arena when one is given and has room, else on the heap.
    static JsonString* create(std::string_view text, json::detail::JsonArena* arena = nullptr);
    static void destroy(JsonString* string);
    uint64_t length_;
};

// Base of the caller's own reference-counted objects (a date, say). A JsonValue holds one like a
// collection; it is equal only to itself, and the writer asks a formatter to replace it.
class JsonCallerObject : public JsonObject {
public:
    virtual ~JsonCallerObject() = default;
    // The name that messages about the object give as its class.
    virtual std::string className() const = 0;

protected:
    JsonCallerObject() = default;
};

class JsonValue {
public:
    JsonValue() noexcept : kind_(JsonKind::None) { value_.object = nullptr; }
    JsonValue(const JsonValue& other) noexcept : kind_(other.kind_), value_(other.value_) { retain(); }
    JsonValue(JsonValue&& other) noexcept : kind_(other.kind_), value_(other.value_) {
        other.kind_ = JsonKind::None;
        other.value_.object = nullptr;
    }
    JsonValue& operator=(const JsonValue& other) noexcept {
        JsonValue copy(other);
        swap(copy);
        return *this;
    }
    JsonValue& operator=(JsonValue&& other) noexcept {
        JsonValue moved(std::move(other));
        swap(moved);
        return *this;
    }
    ~JsonValue() { release(); }
    void swap(JsonValue& other) noexcept {
        std::swap(kind_, other.kind_);
        std::swap(value_, other.value_);
    }

    // Makers. A string is copied into a new shared string (the empty string is one shared object).
    static JsonValue makeNull();
    static JsonValue makeBoolean(bool value);
    static JsonValue makeInteger(int64_t value);
    static JsonValue makeUnsignedInteger(uint64_t value);
    static JsonValue makeDouble(double value);
    static JsonValue makeString(std::string_view text);
    // Takes over the object; it lives while some handle to it does.
    static JsonValue makeCallerObject(std::unique_ptr<JsonCallerObject> object);

    JsonKind kind() const { return kind_; }
    // True for every value except none.
    explicit operator bool() const { return kind_ != JsonKind::None; }
    bool isNone() const { return kind_ == JsonKind::None; }
    bool isNull() const { return kind_ == JsonKind::Null; }
    bool isBoolean() const { return kind_ == JsonKind::Boolean; }
    bool isNumber() const {
        return kind_ == JsonKind::Integer || kind_ == JsonKind::UnsignedInteger || kind_ == JsonKind::Double;
    }
    bool isString() const { return kind_ == JsonKind::String; }
    bool isArray() const { return kind_ == JsonKind::Array; }
    bool isDictionary() const { return kind_ == JsonKind::Dictionary; }
    bool isCallerObject() const { return kind_ == JsonKind::CallerObject; }

    // Scalar readers; a number converts between its forms as a C cast would, anything else is 0.
    bool boolValue() const;
    int64_t longLongValue() const;
    uint64_t unsignedLongLongValue() const;
    double doubleValue() const;

    // The string's UTF-8 bytes; empty when the value is not a string.
    std::string_view stringView() const;
    std::string string() const { return std::string(stringView()); }
    const JsonString* jsonString() const { return kind_ == JsonKind::String ? static_cast<const JsonString*>(value_.object) : nullptr; }

    // The collection, or null when the value is of another kind. The pointer lives as long as
    // some handle to the collection does.
    JsonArray* array() const;
    JsonDictionary* dictionary() const;
    JsonCallerObject* callerObject() const {
        return kind_ == JsonKind::CallerObject ? static_cast<JsonCallerObject*>(value_.object) : nullptr;
    }

    // Equality by content: strings by bytes, numbers by value across their forms, collections
    // element by element. hash() agrees with it.
    bool isEqual(const JsonValue& other) const;
    uint64_t hash() const;
    friend bool operator==(const JsonValue& a, const JsonValue& b) { return a.isEqual(b); }

    // Identity: the same heap object (for scalars, the same kind and bits).
    bool isSameObject(const JsonValue& other) const { return identity() == other.identity(); }
    // What isSameObject compares, without a reference: it names the object only while some
    // handle keeps the object alive.
    struct Identity {
        JsonKind kind;
        uint64_t bits;
        friend bool operator==(const Identity&, const Identity&) = default;
    };
    Identity identity() const { return {kind_, value_.bits}; }

    // An immutable equivalent: scalars and strings are themselves, an immutable collection is
    // itself, a mutable one gives a new immutable collection of the same members.
    JsonValue copy() const;

    // Debug text of the value (compact JSON-like), for test failures and trace lines.
    std::string description() const;

private:
    friend class JsonArray;
    friend class JsonDictionary;
    friend JsonValue json::detail::jsonValueRetaining(JsonKind kind, JsonObject* object);
    friend JsonValue json::detail::jsonValueAdopting(JsonKind kind, JsonObject* object);
    friend class json::detail::JsonTokenCacheReferences;

    bool holdsObject() const { return kind_ >= JsonKind::String; }
    void retain() const noexcept {
        if (!holdsObject()) return;
        const JsonObject* object = value_.object;
        if (object->storage_ <= JsonObject::ArenaChunk) {
            object->refs_.fetch_add(1, std::memory_order_relaxed);
        } else if (object->storage_ == JsonObject::Tree) {
            json::detail::jsonTreeRetain(object);
        }
    }
    void release() noexcept {
        if (!holdsObject()) return;
        const JsonObject* object = value_.object;
        if (object->storage_ > JsonObject::ArenaChunk) {
            if (object->storage_ == JsonObject::Tree) json::detail::jsonTreeRelease(object);
            return;
        }
        // The sole holder skips the atomic decrement: nobody else can take a new reference to an
        // object that only this handle reaches. The acquire load pairs with the release part of
        // the other holders' decrements, so their writes are seen before the object goes.
        std::atomic<uint32_t>& refs = value_.object->refs_;
        if (refs.load(std::memory_order_acquire) == 1 || refs.fetch_sub(1, std::memory_order_acq_rel) == 1) destroy();
    }
    void destroy() noexcept;

    JsonKind kind_;
    union {
        bool boolean;
        int64_t integer;
        uint64_t unsignedInteger;
        double real;
        uint64_t bits;
        JsonObject* object;
    } value_;
};

// A handle that takes over the caller's reference to object.
inline JsonValue json::detail::jsonValueAdopting(JsonKind kind, JsonObject* object) {
    JsonValue value;
    value.kind_ = kind;
    value.value_.object = object;
    return value;
}

// The none value, for functions that return a reference to "nothing".
const JsonValue& jsonNone();

// An address range in a collection (location, length), as getObjectsRange takes it.
struct JsonRange {
    uint64_t location = 0;
    uint64_t length = 0;
};

// The state of one fast enumeration: the collection hands out its members in batches through
// countByEnumeratingWithStateObjectsCount and points mutationsPtr at its mutation counter, which
// the enumeration watches.
struct JsonFastEnumerationState {
    uint64_t state = 0;
    const JsonValue* itemsPtr = nullptr;
    const uint64_t* mutationsPtr = nullptr;
    uint64_t extra[5] = {};
};

// The exception an enumeration raises when its collection changed under it.
[[noreturn]] inline void jsonRaiseMutationDuringEnumeration(const char* className) {
    throw JsonMutationDuringEnumerationException(std::string("*** Collection <") + className +
                                                 "> was mutated while being enumerated.");
}

// Range-for over a collection (elements of an array, keys of a dictionary), in batches of 16.
// A mutation of the collection during the loop raises JsonMutationDuringEnumerationException.
template <class Collection>
class JsonEnumerationIterator {
public:
    using value_type = JsonValue;
    using difference_type = std::ptrdiff_t;

    JsonEnumerationIterator() = default;
    explicit JsonEnumerationIterator(const Collection* collection) : collection_(collection) {
        batch_ = collection_->countByEnumeratingWithStateObjectsCount(&state_, buffer_, kBatch);
        if (state_.mutationsPtr) mutations_ = *state_.mutationsPtr;
    }
    const JsonValue& operator*() const { return state_.itemsPtr[index_]; }
    const JsonValue* operator->() const { return &state_.itemsPtr[index_]; }
    JsonEnumerationIterator& operator++() {
        check();
        if (++index_ == batch_) fetch();
        return *this;
    }
    void operator++(int) { ++*this; }
    friend bool operator==(const JsonEnumerationIterator& it, std::default_sentinel_t) { return it.batch_ == 0; }

private:
    void fetch() {
        index_ = 0;
        batch_ = collection_->countByEnumeratingWithStateObjectsCount(&state_, buffer_, kBatch);
        if (batch_ != 0) check();
    }
    void check() const {
        if (state_.mutationsPtr && *state_.mutationsPtr != mutations_)
            jsonRaiseMutationDuringEnumeration(Collection::className());
    }
    static constexpr uint64_t kBatch = 16;
    const Collection* collection_ = nullptr;
    JsonFastEnumerationState state_;
    JsonValue buffer_[kBatch];
    uint64_t index_ = 0;
    uint64_t batch_ = 0;
    uint64_t mutations_ = 0;
};
