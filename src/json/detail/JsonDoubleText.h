#pragma once
// A double as printf's "%.17g" writes it: 17 significant digits, correctly rounded (ties to even),
// fixed or exponent form by the %g rule, trailing zeros and a trailing point dropped, "." as the
// decimal separator whatever the locale. Internal to the writer.

namespace json::detail {

// Writes the finite value at out (at most 25 bytes) and returns the end of the text.
char* jsonWriteDouble17(char* out, double value);

}  // namespace json::detail
