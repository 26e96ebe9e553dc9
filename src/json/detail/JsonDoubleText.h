#pragma once
// Numbers as the writer's text. A double as printf's "%.17g" writes it: 17 significant digits,
// correctly rounded (ties to even), fixed or exponent form by the %g rule, trailing zeros and a
// trailing point dropped, "." as the decimal separator whatever the locale. An integer as its
// decimal digits. Internal to the writer.

#include <cstdint>

namespace json::detail {

// What the writers below may store at out, some of it past the end of the text they return.
inline constexpr int JsonNumberTextRoom = 40;

// Writes the finite value at out (at most 25 bytes of text) and returns the end of the text.
char* jsonWriteDouble17(char* out, double value);

// Writes n in decimal at out (at most 20 bytes of text) and returns the end of the text.
char* jsonWriteUnsigned(char* out, uint64_t n);

}  // namespace json::detail
