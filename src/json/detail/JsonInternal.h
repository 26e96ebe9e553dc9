#pragma once
// Helpers shared by the reader's own source files; not part of its interface.

#include <cstdarg>
#include <string>
#include <string_view>

#include "json/JsonValue.h"

namespace json::detail {

// A handle to object that takes one more reference (jsonValueAdopting, which takes over the
// caller's reference, is in JsonValue.h).
JsonValue jsonValueRetaining(JsonKind kind, JsonObject* object);

// A new string of bytes the reader checked (well-formed UTF-8), carved out of the arena when one is
// given (see JsonArena), else on the heap.
JsonValue jsonMakeString(std::string_view text, JsonArena* arena);

// printf-style formatting into a std::string.
std::string jsonFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string jsonFormatV(const char* format, va_list arguments);

}  // namespace json::detail
