#include "serial/TextEncoding.h"

#include "platform/Utf8.h"

namespace {

// Mac OS Roman: bytes 0x00-0x7F are ASCII; these are the characters of 0x80-0xFF.
constexpr char32_t kMacRomanHigh[128] = {
    0x00C4, 0x00C5, 0x00C7, 0x00C9, 0x00D1, 0x00D6, 0x00DC, 0x00E1,  // 0x80
    0x00E0, 0x00E2, 0x00E4, 0x00E3, 0x00E5, 0x00E7, 0x00E9, 0x00E8,  // 0x88
    0x00EA, 0x00EB, 0x00ED, 0x00EC, 0x00EE, 0x00EF, 0x00F1, 0x00F3,  // 0x90
    0x00F2, 0x00F4, 0x00F6, 0x00F5, 0x00FA, 0x00F9, 0x00FB, 0x00FC,  // 0x98
    0x2020, 0x00B0, 0x00A2, 0x00A3, 0x00A7, 0x2022, 0x00B6, 0x00DF,  // 0xA0
    0x00AE, 0x00A9, 0x2122, 0x00B4, 0x00A8, 0x2260, 0x00C6, 0x00D8,  // 0xA8
    0x221E, 0x00B1, 0x2264, 0x2265, 0x00A5, 0x00B5, 0x2202, 0x2211,  // 0xB0
    0x220F, 0x03C0, 0x222B, 0x00AA, 0x00BA, 0x03A9, 0x00E6, 0x00F8,  // 0xB8
    0x00BF, 0x00A1, 0x00AC, 0x221A, 0x0192, 0x2248, 0x2206, 0x00AB,  // 0xC0
    0x00BB, 0x2026, 0x00A0, 0x00C0, 0x00C3, 0x00D5, 0x0152, 0x0153,  // 0xC8
    0x2013, 0x2014, 0x201C, 0x201D, 0x2018, 0x2019, 0x00F7, 0x25CA,  // 0xD0
    0x00FF, 0x0178, 0x2044, 0x20AC, 0x2039, 0x203A, 0xFB01, 0xFB02,  // 0xD8
    0x2021, 0x00B7, 0x201A, 0x201E, 0x2030, 0x00C2, 0x00CA, 0x00C1,  // 0xE0
    0x00CB, 0x00C8, 0x00CD, 0x00CE, 0x00CF, 0x00CC, 0x00D3, 0x00D4,  // 0xE8
    0xF8FF, 0x00D2, 0x00DA, 0x00DB, 0x00D9, 0x0131, 0x02C6, 0x02DC,  // 0xF0
    0x00AF, 0x02D8, 0x02D9, 0x02DA, 0x00B8, 0x02DD, 0x02DB, 0x02C7,  // 0xF8
};

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// The code point that starts at text[i] of valid UTF-8; i moves past it.
char32_t nextCodePoint(const std::string& text, size_t& i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i);
    int extra = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
    char32_t c = extra == 0 ? lead : lead & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) c = (c << 6) | (byte(i + k) & 0x3F);
    i += extra + 1;
    return c;
}


}  // namespace

std::optional<std::string> decodeString(const uint8_t* bytes, size_t length, StringEncoding encoding) {
    switch (encoding) {
    case StringEncoding::UTF8:
        if (!platform::isValidUtf8(bytes, length)) return std::nullopt;
        return std::string(reinterpret_cast<const char*>(bytes), length);
    case StringEncoding::MacOSRoman: {
        std::string text;
        text.reserve(length);
        for (size_t i = 0; i < length; ++i) {
            appendUtf8(text, bytes[i] < 0x80 ? char32_t(bytes[i]) : kMacRomanHigh[bytes[i] - 0x80]);
        }
        return text;
    }
    }
    return std::nullopt;
}

std::optional<platform::Bytes> encodeString(const std::string& text, StringEncoding encoding) {
    const auto* raw = reinterpret_cast<const uint8_t*>(text.data());
    if (!platform::isValidUtf8(raw, text.size())) return std::nullopt;
    switch (encoding) {
    case StringEncoding::UTF8:
        return platform::Bytes(raw, raw + text.size());
    case StringEncoding::MacOSRoman: {
        platform::Bytes out;
        out.reserve(text.size());
        for (size_t i = 0; i < text.size();) {
            char32_t c = nextCodePoint(text, i);
            if (c < 0x80) {
                out.push_back(static_cast<uint8_t>(c));
                continue;
            }
            int found = -1;
            for (int k = 0; k < 128 && found < 0; ++k) {
                if (kMacRomanHigh[k] == c) found = k;
            }
            if (found < 0) return std::nullopt;
            out.push_back(static_cast<uint8_t>(0x80 + found));
        }
        return out;
    }
    }
    return std::nullopt;
}
