#include "json/JsonValue.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "json/JsonArray.h"
#include "json/JsonDictionary.h"
#include "json/detail/JsonArena.h"
#include "json/detail/JsonInternal.h"

namespace json::detail {

std::string jsonFormatV(const char* format, va_list arguments) {
    va_list copy;
    va_copy(copy, arguments);
    char small[256];
    const int needed = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (needed < 0) return format;
    if (static_cast<size_t>(needed) < sizeof small) return std::string(small, static_cast<size_t>(needed));
    std::string text(static_cast<size_t>(needed), '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, arguments);
    return text;
}

std::string jsonFormat(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::string text = jsonFormatV(format, arguments);
    va_end(arguments);
    return text;
}

JsonValue jsonValueRetaining(JsonKind kind, JsonObject* object) {
    JsonValue value = jsonValueAdopting(kind, object);
    value.retain();
    return value;
}

JsonValue jsonMakeString(std::string_view text, JsonArena* arena) {
    if (text.empty()) return JsonValue::makeString(text);
    JsonString* string = JsonString::create(text, arena);
    string->wellFormed_ = true;
    return jsonValueAdopting(JsonKind::String, string);
}

}  // namespace json::detail

using namespace json::detail;

JsonString* JsonString::create(std::string_view text, JsonArena* arena) {
    const size_t size = sizeof(JsonString) + text.size() + 1;
    void* memory = arena ? arena->allocate(size) : nullptr;
    const bool inArena = memory != nullptr;
    if (!memory) {
        if (arena && arena->holdsTree()) throw std::bad_alloc();  // a tree holds nothing from the heap
        memory = ::operator new(size);
    }
    auto* string = new (memory) JsonString(text.size());
    string->storage_ = !inArena ? Heap : arena->holdsTree() ? Tree : ArenaChunk;
    auto* bytes = reinterpret_cast<char*>(string + 1);
    if (!text.empty()) std::memcpy(bytes, text.data(), text.size());
    bytes[text.size()] = '\0';
    return string;
}

void JsonString::destroy(JsonString* string) {
    const bool inArena = string->storage_ == ArenaChunk;
    string->~JsonString();
    if (inArena) {
        JsonArena::release(string);
    } else {
        ::operator delete(string);
    }
}

void JsonValue::destroy() noexcept {
    switch (kind_) {
    case JsonKind::String:
        JsonString::destroy(static_cast<JsonString*>(value_.object));
        break;
    case JsonKind::Array:
        JsonArray::destroy(static_cast<JsonArray*>(value_.object));
        break;
    case JsonKind::Dictionary:
        JsonDictionary::destroy(static_cast<JsonDictionary*>(value_.object));
        break;
    case JsonKind::CallerObject:
        delete static_cast<JsonCallerObject*>(value_.object);
        break;
    default:
        break;
    }
}

const JsonValue& jsonNone() {
    static const JsonValue none;
    return none;
}

JsonValue JsonValue::makeNull() {
    JsonValue v;
    v.kind_ = JsonKind::Null;
    v.value_.bits = 0;
    return v;
}

JsonValue JsonValue::makeBoolean(bool value) {
    JsonValue v;
    v.kind_ = JsonKind::Boolean;
    v.value_.bits = value ? 1 : 0;
    return v;
}

JsonValue JsonValue::makeInteger(int64_t value) {
    JsonValue v;
    v.kind_ = JsonKind::Integer;
    v.value_.integer = value;
    return v;
}

JsonValue JsonValue::makeUnsignedInteger(uint64_t value) {
    JsonValue v;
    v.kind_ = JsonKind::UnsignedInteger;
    v.value_.unsignedInteger = value;
    return v;
}

JsonValue JsonValue::makeDouble(double value) {
    JsonValue v;
    v.kind_ = JsonKind::Double;
    v.value_.real = value;
    return v;
}

JsonValue JsonValue::makeCallerObject(std::unique_ptr<JsonCallerObject> object) {
    if (!object) return {};
    return jsonValueAdopting(JsonKind::CallerObject, object.release());
}

JsonValue JsonValue::makeString(std::string_view text) {
    if (text.empty()) {
        // One shared empty string; the static handle keeps it alive for the whole run.
        static const JsonValue empty = [] {
            JsonString* string = JsonString::create({});
            string->wellFormed_ = true;
            string->storage_ = JsonObject::Immortal;  // tree objects hold it without counting
            return jsonValueAdopting(JsonKind::String, string);
        }();
        return empty;
    }
    return jsonValueAdopting(JsonKind::String, JsonString::create(text));
}

bool JsonValue::boolValue() const {
    switch (kind_) {
    case JsonKind::Boolean:
        return value_.bits != 0;
    case JsonKind::Integer:
        return value_.integer != 0;
    case JsonKind::UnsignedInteger:
        return value_.unsignedInteger != 0;
    case JsonKind::Double:
        return value_.real != 0.0;
    default:
        return false;
    }
}

int64_t JsonValue::longLongValue() const {
    switch (kind_) {
    case JsonKind::Boolean:
        return value_.bits != 0;
    case JsonKind::Integer:
        return value_.integer;
    case JsonKind::UnsignedInteger:
        return static_cast<int64_t>(value_.unsignedInteger);
    case JsonKind::Double:
        if (!(value_.real >= -9223372036854775808.0 && value_.real < 9223372036854775808.0)) {
            return value_.real < 0 ? INT64_MIN : INT64_MAX;
        }
        return static_cast<int64_t>(value_.real);
    default:
        return 0;
    }
}

uint64_t JsonValue::unsignedLongLongValue() const {
    switch (kind_) {
    case JsonKind::Integer:
        return static_cast<uint64_t>(value_.integer);
    case JsonKind::Double:
        if (value_.real < 0) return static_cast<uint64_t>(longLongValue());
        if (!(value_.real < 18446744073709551616.0)) return UINT64_MAX;
        return static_cast<uint64_t>(value_.real);
    case JsonKind::UnsignedInteger:
        return value_.unsignedInteger;
    default:
        return static_cast<uint64_t>(longLongValue());
    }
}

double JsonValue::doubleValue() const {
    switch (kind_) {
    case JsonKind::Boolean:
        return value_.bits != 0 ? 1.0 : 0.0;
    case JsonKind::Integer:
        return static_cast<double>(value_.integer);
    case JsonKind::UnsignedInteger:
        return static_cast<double>(value_.unsignedInteger);
    case JsonKind::Double:
        return value_.real;
    default:
        return 0.0;
    }
}

std::string_view JsonValue::stringView() const {
    return kind_ == JsonKind::String ? static_cast<const JsonString*>(value_.object)->view() : std::string_view();
}

JsonArray* JsonValue::array() const {
    return kind_ == JsonKind::Array ? static_cast<JsonArray*>(value_.object) : nullptr;
}

JsonDictionary* JsonValue::dictionary() const {
    return kind_ == JsonKind::Dictionary ? static_cast<JsonDictionary*>(value_.object) : nullptr;
}

namespace {

// An exact integer form of a number, when it has one: the value as 64 bits plus whether it is
// negative (so 2^64-1 and -1 stay apart).
struct IntegralForm {
    bool exact = false;
    bool negative = false;
    uint64_t bits = 0;
};

IntegralForm integralForm(JsonKind kind, int64_t integer, uint64_t unsignedInteger, double real) {
    IntegralForm form;
    switch (kind) {
    case JsonKind::Integer:
        form = {true, integer < 0, static_cast<uint64_t>(integer)};
        break;
    case JsonKind::UnsignedInteger:
        form = {true, false, unsignedInteger};
        break;
    case JsonKind::Double:
        if (std::isfinite(real) && std::trunc(real) == real) {
            if (real >= -9223372036854775808.0 && real < 0) {
                form = {true, true, static_cast<uint64_t>(static_cast<int64_t>(real))};
            } else if (real >= 0 && real < 18446744073709551616.0) {
                form = {true, false, static_cast<uint64_t>(real)};
            }
        }
        break;
    default:
        break;
    }
    return form;
}

uint64_t mix64(uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    x ^= x >> 33;
    return x;
}

}  // namespace

uint64_t jsonStringKeyHash(std::string_view bytes) {
    // FNV-1a over the bytes, then a final mix so that short keys spread over the table.
    uint64_t h = 0xcbf29ce484222325ULL;
    for (unsigned char c : bytes) {
        h ^= c;
        h *= 0x100000001b3ULL;
    }
    return mix64(h);
}

bool JsonValue::isEqual(const JsonValue& other) const {
    if (isSameObject(other)) return kind_ != JsonKind::Double || value_.real == value_.real;
    if (isNumber() && other.isNumber()) {
        if (kind_ == JsonKind::Double && other.kind_ == JsonKind::Double) return value_.real == other.value_.real;
        const IntegralForm a = integralForm(kind_, value_.integer, value_.unsignedInteger, value_.real);
        const IntegralForm b = integralForm(other.kind_, other.value_.integer, other.value_.unsignedInteger,
                                            other.value_.real);
        return a.exact && b.exact && a.negative == b.negative && a.bits == b.bits;
    }
    if (kind_ != other.kind_) return false;
    switch (kind_) {
    case JsonKind::None:
    case JsonKind::Null:
        return true;
    case JsonKind::Boolean:
        return value_.bits == other.value_.bits;
    case JsonKind::String:
        return stringView() == other.stringView();
    case JsonKind::Array:
        return array()->isEqualToArray(*other.array());
    case JsonKind::Dictionary:
        return dictionary()->isEqualToDictionary(*other.dictionary());
    default:
        return false;
    }
}

uint64_t JsonValue::hash() const {
    switch (kind_) {
    case JsonKind::None:
        return 0;
    case JsonKind::Null:
        return 0x6e756c6cULL;
    case JsonKind::Boolean:
        return mix64(0x626f6f6cULL + value_.bits);
    case JsonKind::Integer:
    case JsonKind::UnsignedInteger:
    case JsonKind::Double: {
        const IntegralForm form = integralForm(kind_, value_.integer, value_.unsignedInteger, value_.real);
        if (form.exact) return mix64(form.bits + (form.negative ? 0x9e3779b97f4a7c15ULL : 0));
        uint64_t bits;
        std::memcpy(&bits, &value_.real, sizeof bits);
        return mix64(bits ^ 0x5bd1e995ULL);
    }
    case JsonKind::String:
        return jsonStringKeyHash(stringView());
    case JsonKind::Array:
        return array()->count();
    case JsonKind::Dictionary:
        return dictionary()->count();
    case JsonKind::CallerObject:
        return mix64(value_.bits);
    }
    return 0;
}

JsonValue JsonValue::copy() const {
    if (kind_ == JsonKind::Array) return array()->copy();
    if (kind_ == JsonKind::Dictionary) return dictionary()->copy();
    return *this;
}

namespace {

// The shortest text that reads back as the same double. That text is a bare integer for large
// integral values, and the reader takes a bare integer below -2^63 or from 2^64 on for an
// integer out of range and refuses it: those are written in exponent form instead.
void describeDouble(double real, std::string& out) {
    char buffer[64];
    char* end = std::to_chars(buffer, buffer + sizeof buffer, real).ptr;
    const char* digits = buffer[0] == '-' ? buffer + 1 : buffer;
    if (std::all_of(digits, static_cast<const char*>(end), [](char c) { return c >= '0' && c <= '9'; })) {
        std::from_chars_result fits;
        if (digits != buffer) {
            int64_t integer;
            fits = std::from_chars(buffer, end, integer);
        } else {
            uint64_t integer;
            fits = std::from_chars(buffer, end, integer);
        }
        if (fits.ec == std::errc::result_out_of_range) {
            end = std::to_chars(buffer, buffer + sizeof buffer, real, std::chars_format::scientific).ptr;
        }
    }
    out.append(buffer, end);
}

void describe(const JsonValue& value, std::string& out) {
    switch (value.kind()) {
    case JsonKind::None:
        out += "(none)";
        break;
    case JsonKind::Null:
        out += "null";
        break;
    case JsonKind::Boolean:
        out += value.boolValue() ? "true" : "false";
        break;
    case JsonKind::Integer:
        out += std::to_string(value.longLongValue());
        break;
    case JsonKind::UnsignedInteger:
        out += std::to_string(value.unsignedLongLongValue());
        break;
    case JsonKind::Double:
        describeDouble(value.doubleValue(), out);
        break;
    case JsonKind::String:
        out += '"';
        for (unsigned char c : value.stringView()) {
            if (c == '"' || c == '\\') {
                out += '\\';
                out += static_cast<char>(c);
            } else if (c < 0x20) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", c);
                out += escape;
            } else {
                out += static_cast<char>(c);
            }
        }
        out += '"';
        break;
    case JsonKind::Array: {
        out += '[';
        bool first = true;
        for (const JsonValue& element : *value.array()) {
            if (!first) out += ',';
            first = false;
            describe(element, out);
        }
        out += ']';
        break;
    }
    case JsonKind::Dictionary: {
        out += '{';
        bool first = true;
        for (const JsonValue& key : *value.dictionary()) {
            if (!first) out += ',';
            first = false;
            describe(key, out);
            out += ':';
            describe(value.dictionary()->objectForKey(key), out);
        }
        out += '}';
        break;
    }
    case JsonKind::CallerObject:
        out += "<" + value.callerObject()->className() + ">";
        break;
    }
}

}  // namespace

std::string JsonValue::description() const {
    std::string out;
    describe(*this, out);
    return out;
}
