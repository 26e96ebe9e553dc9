#pragma once
// Writing JSON: the serializer and the one-call functions for strings, arrays and dictionaries.
//
//   #include "json/JSONDecoder.h"
//   #include "json/JsonSerializer.h"
//
//   platform::Error error;  // cleared at the start of every call that is given it
//   JsonValue manifest = objectFromJSONString(R"({"Firmwares":[{"MCU":"1.2"}]})");
//   std::optional<std::string> text = JSONStringWithOptions(manifest, JsonSerializeOptionPretty, &error);
//   if (!text) { /* error.domain == "JsonErrorDomain", error.code == -1, error.description */ }
//
//   // An object of the caller's own class is written through a formatter that replaces it by a
//   // value JSON can hold; without one the call fails ("Unable to serialize object class Stamp.").
//   struct Stamp : JsonCallerObject {
//       std::string className() const override { return "Stamp"; }
//       std::string text = "2024-05-01";
//   };
//   JsonValue stamp = JsonValue::makeCallerObject(std::make_unique<Stamp>());
//   JsonValue tree = JsonArrayCreate(&stamp, 1, false);  // takes over the handle
//   std::optional<platform::Bytes> bytes = JSONDataWithOptionsSerializeUnsupportedClassesUsingBlock(
//       tree, 0, [](const JsonValue& object) {
//           return JsonValue::makeString(static_cast<const Stamp*>(object.callerObject())->text);
//       }, &error);  // the bytes of ["2024-05-01"]
//
// The text is exactly the bytes written: UTF-8, no byte-order mark, no final line feed. Numbers
// are written without the locale: integers as their digits, doubles with 17 significant digits as
// printf's "%.17g" would. A string's ill-formed UTF-8 sequences are each written as "?". Arrays and
// objects nested deeper than 1024 levels (an array holding itself, say) fail as the reader does.
// Pretty printing indents by two spaces and sorts keys by their bytes (keys that are not
// strings last, where they fail).
//
// Misuse raises: JsonInternalInconsistencyException for contradictory options, a missing object
// or a call made from inside a formatter of the same serializer; JsonInvalidArgumentException for a
// delegate without a selector or one that does not answer it. A formatter's own exception passes
// through, and a formatter that changes a collection being written raises
// JsonMutationDuringEnumerationException when it returns; either way the serializer can be used
// again. Every call has its own state, so threads may write at once, also one shared tree (which
// nothing may change meanwhile); the formatter runs on the calling thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "json/JsonArray.h"
#include "json/JsonDictionary.h"
#include "json/JsonExceptions.h"
#include "json/JsonValue.h"
#include "platform/Error.h"

using JsonSerializeOptionFlags = uint64_t;

inline constexpr JsonSerializeOptionFlags JsonSerializeOptionNone = 0;
// Line feeds and two spaces per level after "[", "{" and ",", before "]" and "}"; ": " after keys;
// keys sorted.
inline constexpr JsonSerializeOptionFlags JsonSerializeOptionPretty = 1;
// Every non-ASCII character as \u escapes (a surrogate pair above U+FFFF) instead of UTF-8.
inline constexpr JsonSerializeOptionFlags JsonSerializeOptionEscapeNonASCII = 2;
// "/" as \/.
inline constexpr JsonSerializeOptionFlags JsonSerializeOptionEscapeSlash = 16;

using JsonEncodeOptionType = uint64_t;

// The low three bits choose the result: 1 bytes, 2 text; anything else gives none.
inline constexpr JsonEncodeOptionType JsonEncodeOptionResultData = 1;
inline constexpr JsonEncodeOptionType JsonEncodeOptionResultString = 2;
inline constexpr JsonEncodeOptionType JsonEncodeOptionResultMask = 7;
// The top object must be an array or a dictionary.
inline constexpr JsonEncodeOptionType JsonEncodeOptionCollectionObj = 8;
// The top object must be a string.
inline constexpr JsonEncodeOptionType JsonEncodeOptionStringObj = 16;
// Strings are written without their quotation marks. The one-call functions use it for a top-level
// string only; on a collection it drops the marks of every string, keys included (the text is then
// not JSON). Not together with CollectionObj.
inline constexpr JsonEncodeOptionType JsonEncodeOptionStringObjTrimQuotes = 32;

// The formatter as a block: takes an object the writer cannot write and returns its replacement,
// or none.
using JsonFormatterBlock = std::function<JsonValue(const JsonValue&)>;

// The formatter as a delegate: the selector names the method to call, and capabilities() the
// methods this delegate implements.
class JsonSerializerDelegate {
public:
    enum Capability : unsigned {
        kSerializeUnsupportedObject = 1u << 0,
    };
    virtual ~JsonSerializerDelegate() = default;
    virtual unsigned capabilities() const = 0;
    // The replacement of an object the writer cannot write, or none.
    virtual JsonValue serializeUnsupportedObject(const JsonValue& object) { return {}; }
};

// A selector is one Capability of JsonSerializerDelegate; 0 is none.
using JsonFormatterSelector = unsigned;

// The bytes (encode option 1) or the text (encode option 2) of a call, or nothing (monostate)
// when it failed.
using JsonSerializerResult = std::variant<std::monostate, platform::Bytes, std::string>;

namespace json::detail {
struct JsonEncodeState;
}  // namespace json::detail

class JsonSerializer {
public:
    JsonSerializer();
    ~JsonSerializer();
    JsonSerializer(const JsonSerializer&) = delete;
    JsonSerializer& operator=(const JsonSerializer&) = delete;

    // Writes object with a new serializer made for this one call (the class form).
    static JsonSerializerResult serializeObjectOptionsEncodeOptionBlockDelegateSelector(
        const JsonValue& object, JsonSerializeOptionFlags options, JsonEncodeOptionType encodeOption,
        const JsonFormatterBlock& block, JsonSerializerDelegate* delegate, JsonFormatterSelector selector,
        platform::Error* error = nullptr);

    // Writes object with this serializer. At most one of block and delegate; with a delegate, a
    // selector it answers. The error place, when given, is cleared first and receives the first
    // error of a failed call.
    JsonSerializerResult serializeObjectOptionsEncodeOptionBlockDelegateSelectorError(
        const JsonValue& object, JsonSerializeOptionFlags options, JsonEncodeOptionType encodeOption,
        const JsonFormatterBlock& block, JsonSerializerDelegate* delegate, JsonFormatterSelector selector,
        platform::Error* error = nullptr);

private:
    void releaseState();
    std::unique_ptr<json::detail::JsonEncodeState> encodeState;
};

// One-call functions. Those that take any receiver write a string as a top-level string and
// anything else as a top-level array or dictionary (so a number fails with "expected a NSArray or
// NSDictionary").
std::optional<platform::Bytes> JSONData(const JsonValue& object);
std::optional<std::string> JSONString(const JsonValue& object);

// A top-level string, with or without its quotation marks.
std::optional<platform::Bytes> JSONDataWithOptionsIncludeQuotes(const JsonValue& string, JsonSerializeOptionFlags options,
                                                                bool includeQuotes, platform::Error* error = nullptr);
std::optional<std::string> JSONStringWithOptionsIncludeQuotes(const JsonValue& string, JsonSerializeOptionFlags options,
                                                              bool includeQuotes, platform::Error* error = nullptr);

// A top-level array or dictionary.
std::optional<platform::Bytes> JSONDataWithOptions(const JsonValue& collection, JsonSerializeOptionFlags options,
                                                   platform::Error* error = nullptr);
std::optional<std::string> JSONStringWithOptions(const JsonValue& collection, JsonSerializeOptionFlags options,
                                                 platform::Error* error = nullptr);
std::optional<platform::Bytes> JSONDataWithOptionsSerializeUnsupportedClassesUsingDelegateSelector(
    const JsonValue& collection, JsonSerializeOptionFlags options, JsonSerializerDelegate* delegate,
    JsonFormatterSelector selector, platform::Error* error = nullptr);
std::optional<std::string> JSONStringWithOptionsSerializeUnsupportedClassesUsingDelegateSelector(
    const JsonValue& collection, JsonSerializeOptionFlags options, JsonSerializerDelegate* delegate,
    JsonFormatterSelector selector, platform::Error* error = nullptr);
std::optional<platform::Bytes> JSONDataWithOptionsSerializeUnsupportedClassesUsingBlock(
    const JsonValue& collection, JsonSerializeOptionFlags options, const JsonFormatterBlock& block,
    platform::Error* error = nullptr);
std::optional<std::string> JSONStringWithOptionsSerializeUnsupportedClassesUsingBlock(
    const JsonValue& collection, JsonSerializeOptionFlags options, const JsonFormatterBlock& block,
    platform::Error* error = nullptr);
