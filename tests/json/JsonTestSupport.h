#pragma once
// Helpers shared by the JSON reader's tests.

#include <any>
#include <cstdint>
#include <ostream>
#include <string>

#include "json/JSONDecoder.h"

inline void PrintTo(const JsonValue& value, std::ostream* out) { *out << value.description(); }

inline uint64_t userInfoNumber(const platform::Error& error, const char* key) {
    auto found = error.userInfo.find(key);
    if (found == error.userInfo.end()) return UINT64_MAX;
    const uint64_t* number = std::any_cast<uint64_t>(&found->second);
    return number ? *number : UINT64_MAX - 1;
}

// Parses text with a fresh decoder; the description of the result, or the error's
// "message @index:line".
inline std::string parseOutcome(const std::string& text, JsonParseOptionFlags options = 0) {
    platform::Error error;
    JsonValue value = objectFromJSONStringWithParseOptions(text, options, &error);
    if (value) return value.description();
    return error.description + " @" + std::to_string(userInfoNumber(error, JsonAtIndexKey)) + ":" +
           std::to_string(userInfoNumber(error, JsonLineNumberKey));
}
