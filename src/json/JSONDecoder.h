#pragma once
// Reading JSON: the decoder and the one-call front ends for strings and byte vectors.
//
//   #include "json/JSONDecoder.h"
//
//   platform::Error error;  // left untouched on success
//   JsonValue manifest = objectFromJSONStringWithParseOptions(text, 0, &error);
//   if (!manifest) { /* error.domain == "JsonErrorDomain", error.code == -1, error.description */ }
//   if (JsonDictionary* top = manifest.dictionary()) {
//       const JsonValue& firmwares = top->objectForKey("Firmwares");   // none when absent
//       if (JsonArray* list = firmwares.array()) {
//           for (uint64_t i = 0; i < list->count(); ++i) {
//               const JsonValue& item = list->objectAtIndex(i);        // JsonRangeException past the end
//               if (item.isDictionary()) { /* item.dictionary()->objectForKey("MCU").stringView() */ }
//           }
//       }
//   }
//
// The top level of a document must be an object or an array. A failed parse returns none and
// stores the first error (message, byte index under "JsonAtIndexKey", line from 1 under
// "JsonLineNumberKey", both uint64_t in userInfo) in the out-error, when one is given.
// The plain entry points give immutable collections; the mutable ones give collections whose
// mutators work. Each front-end call uses a fresh decoder; keep a JSONDecoder to share repeated
// strings and numbers between documents through its token cache.

#include <cstdint>
#include <memory>
#include <string>

#include "json/JsonArray.h"
#include "json/JsonDictionary.h"
#include "json/JsonExceptions.h"
#include "json/JsonValue.h"
#include "platform/Error.h"

using JsonParseOptionFlags = uint64_t;

inline constexpr JsonParseOptionFlags JsonParseOptionStrict = 0;
// "//" line comments and "/*" ... "*/" block comments count as white space.
inline constexpr JsonParseOptionFlags JsonParseFlagComments = 1;
// The UTF-8 forms of U+0085, U+2028 and U+2029 count as line ends.
inline constexpr JsonParseOptionFlags JsonParseFlagUnicodeNewlines = 2;
// Ill-formed UTF-8 and invalid \u escapes in strings become U+FFFD instead of errors.
inline constexpr JsonParseOptionFlags JsonParseFlagLooseUnicode = 4;
// Bytes after the top-level value are ignored.
inline constexpr JsonParseOptionFlags JsonParseFlagTextAfterValue = 8;
inline constexpr JsonParseOptionFlags JsonParseOptionsValidMask = 15;

inline constexpr const char* JsonErrorDomain = "JsonErrorDomain";
inline constexpr long JsonErrorCode = -1;
inline constexpr const char* JsonAtIndexKey = "JsonAtIndexKey";
inline constexpr const char* JsonLineNumberKey = "JsonLineNumberKey";

// Deepest nesting of arrays and objects a document may have.
inline constexpr uint64_t JsonMaximumNestingDepth = 1024;

namespace json::detail {
struct JsonParseState;
}  // namespace json::detail

class JSONDecoder {
public:
    static std::unique_ptr<JSONDecoder> decoder();
    static std::unique_ptr<JSONDecoder> decoderWithParseOptions(JsonParseOptionFlags options);

    JSONDecoder();
    // Options above 15 raise JsonInvalidArgumentException "Invalid parse options.".
    explicit JSONDecoder(JsonParseOptionFlags options);
    ~JSONDecoder();
    // A moved-from decoder has no parse state: parsing with it raises
    // JsonInternalInconsistencyException "parseState is NULL.".
    JSONDecoder(JSONDecoder&& other) noexcept;
    JSONDecoder& operator=(JSONDecoder&& other) noexcept;

    // Empties the token cache; the decoder stays usable.
    void clearCache();

    // Immutable parse of length bytes of UTF-8. A null pointer raises
    // JsonInvalidArgumentException "The string argument is NULL."; length 0 gives the error
    // "Reached the end of the buffer.". The error is stored only when the parse fails.
    JsonValue objectWithUTF8StringLength(const uint8_t* bytes, uint64_t length, platform::Error* error = nullptr);
    JsonValue parseUTF8StringLength(const uint8_t* bytes, uint64_t length, platform::Error* error = nullptr);
    JsonValue objectWithData(const platform::Bytes& jsonData, platform::Error* error = nullptr);
    JsonValue parseJSONData(const platform::Bytes& jsonData, platform::Error* error = nullptr);

    // The same, giving mutable arrays and dictionaries.
    JsonValue mutableObjectWithUTF8StringLength(const uint8_t* bytes, uint64_t length,
                                                platform::Error* error = nullptr);
    JsonValue mutableObjectWithData(const platform::Bytes& jsonData, platform::Error* error = nullptr);

    JsonParseOptionFlags parseOptions() const;

private:
    friend struct JsonFrontEnd;
    JsonValue parse(const uint8_t* bytes, uint64_t length, bool mutableResults, platform::Error* error);
    std::unique_ptr<json::detail::JsonParseState> parseState;
};

// One-call front ends on text (std::string holds UTF-8 already, so no conversion step fails).
JsonValue objectFromJSONString(const std::string& text);
JsonValue objectFromJSONStringWithParseOptions(const std::string& text, JsonParseOptionFlags options,
                                               platform::Error* error = nullptr);
JsonValue mutableObjectFromJSONString(const std::string& text);
JsonValue mutableObjectFromJSONStringWithParseOptions(const std::string& text, JsonParseOptionFlags options,
                                                      platform::Error* error = nullptr);

// One-call front ends on bytes.
JsonValue objectFromJSONData(const platform::Bytes& data);
JsonValue objectFromJSONDataWithParseOptions(const platform::Bytes& data, JsonParseOptionFlags options,
                                             platform::Error* error = nullptr);
JsonValue mutableObjectFromJSONData(const platform::Bytes& data);
JsonValue mutableObjectFromJSONDataWithParseOptions(const platform::Bytes& data, JsonParseOptionFlags options,
                                                    platform::Error* error = nullptr);
