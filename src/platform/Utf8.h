#pragma once
// UTF-8 checks for texts that come from files and from the mixer.

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(const uint8_t* bytes, size_t length);

// The bytes as UTF-8, each invalid sequence replaced by U+FFFD.
std::string utf8WithReplacement(const uint8_t* bytes, size_t length);

// The length of the longest prefix of text, at most maxBytes long, that ends on a character
// boundary (text is assumed valid UTF-8).
size_t utf8PrefixLength(const std::string& text, size_t maxBytes);

}  // namespace platform
