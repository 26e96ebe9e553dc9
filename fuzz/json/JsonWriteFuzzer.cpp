// Writes what the reader makes of the input under the writer's options and reads the text back.
// The first four bytes choose how; the rest is the JSON text:
//   byte 0: the writing options (0x01 pretty, 0x02 non-ASCII escaped, 0x10 "/" escaped), 0x04 a
//           mutable tree, 0x08 the text placed at an edge of the writer's buffer, 0x20 that edge
//           the first 32768-byte block of the result rather than the 4096 bytes on the stack;
//   byte 1: the encode option word (its low six bits: result kind, collection or string as the top
//           object, quotation marks trimmed); a top string is the tree's first string;
//   byte 2: how many bytes (its low six bits) before that edge the text ends;
//   byte 3: how many times (it and one, 1 to 256, as far as 256 kB of text allow) the text of
//           each string of the input is repeated inside its quotation marks before it is read.
// The writer keeps its output in 4096 bytes on the stack, then in blocks of 32768, reserves room
// for a string by its length and stores some bytes past the text it writes. Placing the text at an
// edge (by filler before it, whose length is measured) and repeating strings let a short input
// reach where an overrun shows: the end of a buffer after a long run of escapes. Besides crashes
// and sanitizer reports, it checks that what is written reads back equal (a string as an array's
// member; without its quotation marks, with them put back), that trimmed marks are all and only
// the strings' own, that escaped text holds no non-ASCII byte or bare "/", and that compact text
// has no space outside strings; contradictory options raise and the other failures are proper
// errors.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json/JSONDecoder.h"
#include "json/JsonSerializer.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

constexpr JsonSerializeOptionFlags kWriteOptions =
    JsonSerializeOptionPretty | JsonSerializeOptionEscapeNonASCII | JsonSerializeOptionEscapeSlash;
constexpr JsonEncodeOptionType kEncodeOptions = JsonEncodeOptionResultMask | JsonEncodeOptionCollectionObj |
                                                JsonEncodeOptionStringObj | JsonEncodeOptionStringObjTrimQuotes;

// The deepest nesting of the tree and its first string (depth first, a key before its object).
struct Survey {
    uint64_t depth = 0;
    JsonValue firstString;
};

void survey(const JsonValue& value, uint64_t depth, Survey* out) {
    out->depth = std::max(out->depth, depth);
    if (value.isString() && !out->firstString) out->firstString = value;
    if (const JsonArray* array = value.array()) {
        for (const JsonValue& member : *array) survey(member, depth + 1, out);
    } else if (const JsonDictionary* dictionary = value.dictionary()) {
        for (const JsonValue& key : *dictionary) {
            survey(key, depth + 1, out);
            survey(dictionary->objectForKey(key), depth + 1, out);
        }
    }
}

// The text of a call's result, or none with the call's error.
struct Written {
    std::optional<std::string> text;
    platform::Error error;
};

Written write(const JsonValue& top, JsonSerializeOptionFlags options, JsonEncodeOptionType encodeOption) {
    Written out;
    const JsonSerializerResult result = JsonSerializer::serializeObjectOptionsEncodeOptionBlockDelegateSelector(
        top, options, encodeOption, {}, nullptr, 0, &out.error);
    if (const auto* text = std::get_if<std::string>(&result)) {
        out.text = *text;
    } else if (const auto* bytes = std::get_if<platform::Bytes>(&result)) {
        out.text = std::string(bytes->begin(), bytes->end());
    }
    require(out.text.has_value() == out.error.description.empty());
    if (!out.text) require(out.error.domain == JsonErrorDomain && out.error.code == JsonErrorCode);
    return out;
}

// A filler string of `rest` bytes, `whole` filler numbers and the tree: the members of an array.
// The string comes first, where the room it reserves (twice its length and more) is there
// anyway; numbers reserve little, so the output does not move off the stack early.
JsonValue withFiller(const JsonValue& tree, uint64_t whole, uint64_t rest) {
    std::vector<JsonValue> members;
    members.push_back(JsonValue::makeString(std::string(rest, 'x')));
    members.insert(members.end(), whole, JsonValue::makeInteger(1000000000000000000));
    members.push_back(tree);
    return JsonArrayCreate(members.data(), members.size(), false);
}

// The top object made longer in front so that its text ends `gap` bytes before `edge`, where it
// can: a string by plain bytes before its own, anything else as the last member of an array after
// filler. Each byte added to a string, or to the filler string, adds one to the text, and each
// filler number as many as two texts written with none and with one of them differ by.
JsonValue placedAtEdge(const JsonValue& top, JsonSerializeOptionFlags options, JsonEncodeOptionType encodeOption,
                       uint64_t edge, uint64_t gap) {
    const JsonEncodeOptionType measure = (encodeOption & ~JsonEncodeOptionResultMask) | JsonEncodeOptionResultString;
    if (top.isString()) {
        const std::optional<std::string> text = write(top, options, measure).text;
        if (!text || text->size() + gap >= edge) return top;
        return JsonValue::makeString(std::string(edge - gap - text->size(), 'p') + top.string());
    }
    const std::optional<std::string> bare = write(withFiller(top, 0, 0), options, measure).text;
    const std::optional<std::string> one = write(withFiller(top, 1, 0), options, measure).text;
    if (!bare || !one || bare->size() + gap > edge) return top;
    const uint64_t each = one->size() - bare->size();  // 19 digits and their punctuation
    const uint64_t missing = edge - gap - bare->size();
    const uint64_t whole = missing > 100 ? (missing - 100 + each - 1) / each : 0;
    return withFiller(top, whole, missing - whole * each);
}

// Checks the written text byte by byte: no non-ASCII byte when escaped, no "/" outside an escape
// when escaped, no white space outside strings when compact.
void checkBytes(std::string_view text, JsonSerializeOptionFlags options) {
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<uint8_t>(text[i]);
        if (options & JsonSerializeOptionEscapeNonASCII) require(c < 0x80);
        if (c == '"') {
            inString = !inString;
        } else if (c == '\\') {
            require(inString && i + 1 < text.size());
            ++i;
        } else if (c == '/') {
            require(inString && !(options & JsonSerializeOptionEscapeSlash));
        } else if (c == ' ' || c == '\n' || c == '\t' || c == '\r') {
            require(inString || (options & JsonSerializeOptionPretty));
        }
    }
    require(!inString);
}

// The text with the quotation marks that open and close strings taken out.
std::string withoutStringMarks(std::string_view text) {
    std::string out;
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '"') {
            inString = !inString;
            continue;
        }
        out += text[i];
        if (inString && text[i] == '\\' && i + 1 < text.size()) out += text[++i];
    }
    return out;
}

// The JSON text with the text of each string repeated `times` times inside its quotation marks.
std::string withStringsRepeated(std::string_view text, size_t times) {
    std::string out;
    size_t opened = 0;
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (!inString) {
            out += text[i];
            if (text[i] == '"') {
                inString = true;
                opened = i + 1;
            }
        } else if (text[i] == '\\') {
            ++i;
        } else if (text[i] == '"') {
            for (size_t n = 0; n < times; ++n) out += text.substr(opened, i - opened);
            out += '"';
            inString = false;
        }
    }
    if (inString) out += text.substr(opened);  // (unclosed: the reader fails on it as it is)
    return out;
}

JsonValue readBack(const std::string& text) {
    static JSONDecoder reader;
    return reader.objectWithUTF8StringLength(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const JsonSerializeOptionFlags options = data[0] & kWriteOptions;
    const bool mutableTree = data[0] & 0x04;
    const bool atEdge = data[0] & 0x08;
    const uint64_t edge = data[0] & 0x20 ? 32768 : 4096;
    const JsonEncodeOptionType encodeOption = data[1] & kEncodeOptions;
    const uint64_t gap = data[2] & 0x3F;
    const std::string_view input(reinterpret_cast<const char*>(data + 4), size - 4);
    const size_t times = std::min<size_t>(data[3] + 1u, std::max<size_t>(1, (size_t{256} << 10) / (input.size() + 1)));
    const std::string json = times > 1 ? withStringsRepeated(input, times) : std::string(input);
    const auto* bytes = reinterpret_cast<const uint8_t*>(json.data());
    static JSONDecoder decoder;
    const JsonValue tree = mutableTree ? decoder.mutableObjectWithUTF8StringLength(bytes, json.size())
                                       : decoder.objectWithUTF8StringLength(bytes, json.size());
    if (!tree) return 0;
    Survey facts;
    survey(tree, 0, &facts);

    const bool wantsCollection = encodeOption & JsonEncodeOptionCollectionObj;
    const bool wantsString = encodeOption & JsonEncodeOptionStringObj;
    const bool trimmed = encodeOption & JsonEncodeOptionStringObjTrimQuotes;
    if (wantsCollection && (wantsString || trimmed)) {
        // Contradictory: the call raises before it writes.
        bool raised = false;
        try {
            write(tree, options, encodeOption);
        } catch (const JsonInternalInconsistencyException&) {
            raised = true;
        }
        require(raised);
        return 0;
    }

    JsonValue top = wantsString && facts.firstString ? facts.firstString : tree;
    // The filler array adds a level, which the writer's nesting limit may not have room for.
    if (atEdge && (top.isString() || facts.depth + 1 < JsonMaximumNestingDepth))
        top = placedAtEdge(top, options, encodeOption, edge, gap);

    const Written written = write(top, options, encodeOption);
    const JsonEncodeOptionType result = encodeOption & JsonEncodeOptionResultMask;
    if (wantsString && !top.isString()) {
        require(!written.text);  // "expected a NSString"
        return 0;
    }
    if (result != JsonEncodeOptionResultData && result != JsonEncodeOptionResultString) {
        require(!written.text && written.error.description == "Unknown encode as type.");
        return 0;
    }
    require(written.text.has_value());
    const std::string& text = *written.text;

    // The text as JSON with every string's quotation marks: a trimmed text is compared with that
    // of the same call that keeps them.
    std::string quoted = text;
    if (trimmed) {
        if (top.isString()) {
            quoted = "\"" + text + "\"";
        } else {
            const Written full = write(top, options, encodeOption & ~JsonEncodeOptionStringObjTrimQuotes);
            require(full.text && withoutStringMarks(*full.text) == text);
            quoted = *full.text;
        }
    }
    checkBytes(quoted, options);
    if (top.isString()) {
        const JsonValue back = readBack("[" + quoted + "]");
        require(back && back.array()->count() == 1 && back.array()->objectAtIndex(0) == top);
    } else {
        require(readBack(quoted) == top);
    }
    return 0;
}
