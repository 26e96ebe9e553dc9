#pragma once
// Helpers shared by the JSON reader's tests.

#include <any>
#include <cstdint>
#include <exception>
#include <functional>
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

// The text of the exception that call raises: e.what() of an Exception, "other exception: ..." for
// any other, "no exception" when it returns.
template <class Exception>
std::string caught(const std::function<void()>& call) {
    try {
        call();
    } catch (const Exception& e) {
        return e.what();
    } catch (const std::exception& e) {
        return std::string("other exception: ") + e.what();
    }
    return "no exception";
}
