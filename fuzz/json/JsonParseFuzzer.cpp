// Feeds arbitrary bytes to the reader under every option word, through kept decoders and the
// one-call front end. Besides crashes, sanitizer reports and leaks, it checks that a failure is a
// proper error, that every string of a tree that parses is well-formed UTF-8 of code points a
// string may hold (checked here byte by byte, apart from the reader's own checks), that a strict
// success reads back equal from its own text form, and that every tree that parses is written
// (compact or pretty, escaped as the input's first byte picks) into text that reads back equal.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "json/JSONDecoder.h"
#include "json/JsonSerializer.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

// Whether the bytes are well-formed UTF-8 whose code points are neither 0, nor surrogates, nor
// U+FDD0-U+FDEF, nor ones ending in FFFE or FFFF: the strings the reader may make.
bool validText(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<uint8_t>(text[i]);
        size_t length = 1;
        uint32_t codePoint = lead;
        if (lead >= 0x80) {
            if (lead >= 0xC2 && lead <= 0xDF) {
                length = 2, codePoint = lead & 0x1Fu;
            } else if (lead >= 0xE0 && lead <= 0xEF) {
                length = 3, codePoint = lead & 0x0Fu;
            } else if (lead >= 0xF0 && lead <= 0xF4) {
                length = 4, codePoint = lead & 0x07u;
            } else {
                return false;
            }
            if (i + length > text.size()) return false;
            for (size_t k = 1; k < length; ++k) {
                const auto next = static_cast<uint8_t>(text[i + k]);
                if ((next & 0xC0) != 0x80) return false;
                codePoint = (codePoint << 6) | (next & 0x3Fu);
            }
            const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
            if (codePoint < smallest[length] || codePoint > 0x10FFFF) return false;
        }
        if (codePoint == 0 || (codePoint >= 0xD800 && codePoint <= 0xDFFF) ||
            (codePoint >= 0xFDD0 && codePoint <= 0xFDEF) || (codePoint & 0xFFFE) == 0xFFFE)
            return false;
        i += length;
    }
    return true;
}

void walk(const JsonValue& value, int depth) {
    require(depth <= 1100);
    if (value.isString()) require(validText(value.stringView()));
    if (const JsonArray* array = value.array()) {
        uint64_t n = 0;
        for (const JsonValue& element : *array) {
            require(element.isSameObject(array->objectAtIndex(n++)));
            walk(element, depth + 1);
        }
        require(n == array->count());
    } else if (const JsonDictionary* dictionary = value.dictionary()) {
        uint64_t n = 0;
        for (const JsonValue& key : *dictionary) {
            require(key.isString() && validText(key.stringView()));
            ++n;
            walk(dictionary->objectForKey(key), depth + 1);
            require(dictionary->objectForKey(key.stringView()).isSameObject(dictionary->objectForKey(key)));
        }
        require(n == dictionary->count());
    }
}

// Writes the tree and reads the text back strictly: whatever the reader accepts (under any
// option), the writer turns into text the strict reader gives back equal.
void writeAndReadBack(const JsonValue& tree, JsonSerializeOptionFlags options) {
    platform::Error error;
    const std::optional<std::string> text = JSONStringWithOptions(tree, options, &error);
    require(text.has_value() && error.description.empty());
    const std::optional<platform::Bytes> bytes = JSONDataWithOptions(tree, options);
    require(bytes && std::string(bytes->begin(), bytes->end()) == *text);
    static JSONDecoder reader;
    const JsonValue back =
        reader.objectWithUTF8StringLength(reinterpret_cast<const uint8_t*>(text->data()), text->size());
    require(back == tree);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A persistent decoder per option word, so that the token cache carries over between inputs.
    static JSONDecoder decoders[16] = {JSONDecoder(0),  JSONDecoder(1),  JSONDecoder(2),  JSONDecoder(3),
                                       JSONDecoder(4),  JSONDecoder(5),  JSONDecoder(6),  JSONDecoder(7),
                                       JSONDecoder(8),  JSONDecoder(9),  JSONDecoder(10), JSONDecoder(11),
                                       JSONDecoder(12), JSONDecoder(13), JSONDecoder(14), JSONDecoder(15)};
    const unsigned options = size ? data[0] & 15u : 0;
    // The first byte's high bits pick pretty printing and the escapes of the written text.
    const JsonSerializeOptionFlags writeOptions =
        size ? ((data[0] >> 4) & (JsonSerializeOptionPretty | JsonSerializeOptionEscapeNonASCII)) |
                   (data[0] & 0x40 ? JsonSerializeOptionEscapeSlash : 0)
             : 0;
    const std::string text(reinterpret_cast<const char*>(data), size);

    // The whole input in strict mode, then the rest under the options the first byte picks.
    platform::Error error;
    const JsonValue strict = decoders[0].objectWithUTF8StringLength(data, size, &error);
    if (strict) {
        require(strict.isArray() || strict.isDictionary());
        walk(strict, 0);
        static JSONDecoder roundTrip;
        const std::string described = strict.description();
        const JsonValue again =
            roundTrip.objectWithUTF8StringLength(reinterpret_cast<const uint8_t*>(described.data()), described.size());
        require(again == strict);
        writeAndReadBack(strict, writeOptions);
    } else {
        require(error.domain == "JsonErrorDomain" && error.code == -1 && !error.description.empty());
    }

    if (size > 0) {
        platform::Error optionError;
        const JsonValue loose = decoders[options].mutableObjectWithUTF8StringLength(data + 1, size - 1, &optionError);
        if (loose) {
            walk(loose, 0);
            require(loose.copy() == loose);
            writeAndReadBack(loose, writeOptions);
        } else {
            require(optionError.domain == "JsonErrorDomain" && !optionError.description.empty());
        }
    }
    // The one-call front end keeps its strings in the parse's own blocks: the tree must outlive
    // nothing and agree with the kept decoder's verdict.
    {
        platform::Error oneCallError;
        const JsonValue oneCall = objectFromJSONStringWithParseOptions(text, 0, &oneCallError);
        require(static_cast<bool>(oneCall) == static_cast<bool>(strict));
        if (oneCall) {
            walk(oneCall, 0);
            require(oneCall == strict);
        }
    }
    if (size > 0 && data[0] == 0xFF) decoders[options].clearCache();
    return 0;
}
