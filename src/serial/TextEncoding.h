#pragma once
// The text encodings of the serial port's string reads and writes.

#include "platform/Error.h"

#include <optional>
#include <string>

// Numbered as the string encodings of the system's older code.
enum class StringEncoding : unsigned {
    UTF8 = 4,
    MacOSRoman = 30,
};

// The bytes as UTF-8 text; nullopt when they are not valid in the encoding.
std::optional<std::string> decodeString(const uint8_t* bytes, size_t length, StringEncoding encoding);
// The UTF-8 text in the encoding; nullopt when the text is not valid UTF-8 or has a character
// the encoding lacks.
std::optional<platform::Bytes> encodeString(const std::string& text, StringEncoding encoding);
