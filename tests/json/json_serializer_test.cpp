// The writer: the text of each kind of value under each option, pretty printing, the misuse that
// raises and the failures that are errors, nesting, buffer growth and the formatter.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "JsonSerializerTestSupport.h"
#include "json/detail/JsonEncodeState.h"

namespace {

TEST(JsonSerializer, PrettyPrintsNestedCollectionsLineByLine) {
    const JsonValue tree = dictionaryOf({{str("b"), dictionaryOf({})}, {str("a"), arrayOf({JsonValue::makeInteger(1), JsonValue::makeInteger(2)})}});
    EXPECT_EQ(JSONStringWithOptions(tree, JsonSerializeOptionPretty),
              "{\n"
              "  \"a\": [\n"
              "    1,\n"
              "    2\n"
              "  ],\n"
              "  \"b\": {\n"
              "    \n"
              "  }\n"
              "}");
    EXPECT_EQ(JSONStringWithOptions(arrayOf({}), JsonSerializeOptionPretty), "[\n  \n]");
    EXPECT_EQ(JSONString(arrayOf({})), "[]");
    EXPECT_EQ(JSONString(dictionaryOf({})), "{}");
    EXPECT_EQ(JSONString(tree), R"({"b":{},"a":[1,2]})");
}

TEST(JsonSerializer, PrettyPrintingSortsKeysOtherwiseSlotOrder) {
    const JsonValue tree = objectFromJSONString(R"({"a":1,"b":2,"c":3})");
    std::string slotOrder;
    for (const JsonValue& key : *tree.dictionary()) slotOrder += key.string();
    ASSERT_NE(slotOrder, "abc") << "the keys must sit out of order in the table for this test to show anything";

    std::string compact = "{";
    for (const JsonValue& key : *tree.dictionary())
        compact += (compact.size() > 1 ? "," : "") + ("\"" + key.string() + "\":") + tree.dictionary()->objectForKey(key).description();
    EXPECT_EQ(JSONString(tree), compact + "}");
    EXPECT_EQ(JSONStringWithOptions(tree, JsonSerializeOptionPretty), "{\n  \"a\": 1,\n  \"b\": 2,\n  \"c\": 3\n}");
}

TEST(JsonSerializer, PrettyPrintingSortsKeysByAllTheirBytes) {
    // Keys alike in their first eight bytes or more, shorter keys, bytes above 0x7F and 0x01:
    // more than sixteen of them, so both ways of sorting show.
    const std::vector<std::string> keys = {"field12_3", "field12_10", "field12_", "field1", "field", "f", "",
                                           "fieldABCDEFGH2", "fieldABCDEFGH1", "\xC3\xA9t\xC3\xA9", "z", "\x01", "a\x01",
                                           "a", "field12_3x", "Field", "field 12", "field12_30", "fieldABCDEFGH"};
    for (const size_t count : {size_t{6}, keys.size()}) {
        std::vector<std::pair<JsonValue, JsonValue>> pairs;
        for (size_t i = 0; i < count; ++i) pairs.emplace_back(str(keys[i]), JsonValue::makeInteger(static_cast<int64_t>(i)));
        const std::optional<std::string> text = JSONStringWithOptions(dictionaryOf(std::move(pairs)), JsonSerializeOptionPretty);
        ASSERT_TRUE(text);
        std::vector<std::string> sorted(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(count));
        std::sort(sorted.begin(), sorted.end());
        size_t at = 0;
        for (const std::string& key : sorted) {
            const std::string written = JSONStringWithOptionsIncludeQuotes(str(key), 0, true).value() + ": ";
            const size_t found = text->find("\n  " + written, at);
            ASSERT_NE(found, std::string::npos) << "key " << testing::PrintToString(key) << " out of order in\n" << *text;
            at = found + 1;
        }
    }
}

TEST(JsonSerializer, TopLevelStringWithAndWithoutQuotes) {
    const JsonValue quoted = str("a\"b");
    EXPECT_EQ(JSONString(quoted), "\"a\\\"b\"");
    EXPECT_EQ(JSONStringWithOptionsIncludeQuotes(quoted, 0, false), "a\\\"b");
    EXPECT_EQ(JSONDataWithOptionsIncludeQuotes(quoted, JsonSerializeOptionEscapeSlash, false),
              platform::Bytes({'a', '\\', '"', 'b'}));
    const JsonValue tree = arrayOf({JsonValue::makeInteger(7)});
    EXPECT_EQ(JSONData(tree), platform::Bytes({'[', '7', ']'}));
    EXPECT_EQ(JSONDataWithOptions(tree, JsonSerializeOptionPretty), platform::Bytes({'[', '\n', ' ', ' ', '7', '\n', ']'}));
}

struct ValueCase {
    const char* name;
    JsonValue value;
    JsonSerializeOptionFlags options;
    std::string expected;  // the text of the value alone, or "error: " and the message
};

// Each value is written as the only member of an array.
TEST(JsonSerializer, ValuesToTextOrError) {
    const std::string notFinite = "error: Floating point values must be finite.  JSON does not support NaN or Infinity.";
    const ValueCase cases[] = {
        {"quotation mark", str("a\"b"), 0, R"("a\"b")"},
        {"backslash", str("\\"), 0, R"("\\")"},
        {"short escapes", str("\t\n\r\b\f"), 0, R"("\t\n\r\b\f")"},
        {"control bytes", str(std::string("\x00\x01\x0b\x1f\x7f", 5)), 0, "\"\\u0000\\u0001\\u000b\\u001f\x7f\""},
        {"slash plain", str("a/b"), 0, R"("a/b")"},
        {"slash escaped", str("a/b"), JsonSerializeOptionEscapeSlash, R"("a\/b")"},
        {"e acute as UTF-8", str("caf\xC3\xA9"), 0, "\"caf\xC3\xA9\""},
        {"e acute escaped", str("caf\xC3\xA9"), JsonSerializeOptionEscapeNonASCII, R"("caf\u00e9")"},
        {"U+1F600 as UTF-8", str("\xF0\x9F\x98\x80"), 0, "\"\xF0\x9F\x98\x80\""},
        {"U+1F600 escaped", str("\xF0\x9F\x98\x80"), JsonSerializeOptionEscapeNonASCII, R"("\ud83d\ude00")"},
        {"U+20AC and slash escaped", str("\xE2\x82\xAC/"), JsonSerializeOptionEscapeNonASCII | JsonSerializeOptionEscapeSlash,
         R"("\u20ac\/")"},
        {"noncharacter U+FFFE as UTF-8", str("\xEF\xBF\xBE"), 0, "\"\xEF\xBF\xBE\""},
        {"noncharacter U+FFFE escaped", str("x\xEF\xBF\xBE"), JsonSerializeOptionEscapeNonASCII, "error: Error converting UTF8."},
        {"noncharacter U+FDD0 escaped", str("\xEF\xB7\x90"), JsonSerializeOptionEscapeNonASCII, "error: Error converting UTF8."},
        {"ill-formed pair", str("a\xC3(b"), 0, R"("a?(b")"},
        {"encoded surrogate", str("\xED\xA0\x80z"), 0, R"("?z")"},
        {"stray continuation bytes", str("\x80\x80"), 0, R"("??")"},
        {"cut off at the end", str("ab\xE2\x82"), JsonSerializeOptionEscapeNonASCII, R"("ab?")"},
        {"five-byte form and 0xFF", str("\xF8\x88\x80\x80\x80\xFF"), 0, R"("??")"},
        // Long enough for the word-at-a-time copy to meet its special bytes at every offset.
        {"specials in long runs", str("abcdefg\"hijklmn\\opqrstu\x01vwxyz12\xC3\xA9"), 0,
         "\"abcdefg\\\"hijklmn\\\\opqrstu\\u0001vwxyz12\xC3\xA9\""},
        {"zero", JsonValue::makeInteger(0), 0, "0"},
        {"smallest integer", JsonValue::makeInteger(INT64_MIN), 0, "-9223372036854775808"},
        {"largest integer", JsonValue::makeInteger(INT64_MAX), 0, "9223372036854775807"},
        {"largest unsigned", JsonValue::makeUnsignedInteger(UINT64_MAX), 0, "18446744073709551615"},
        {"0.1", JsonValue::makeDouble(0.1), 0, "0.10000000000000001"},
        {"0.1 as a float", JsonValue::makeDouble(0.1f), 0, "0.10000000149011612"},
        {"2.5", JsonValue::makeDouble(2.5), 0, "2.5"},
        {"1.0", JsonValue::makeDouble(1.0), 0, "1"},
        {"1e16", JsonValue::makeDouble(1e16), 0, "10000000000000000"},
        {"1e21", JsonValue::makeDouble(1e21), 0, "1e+21"},
        // Just below the power of ten, whose 17 digits at the power's own exponent round up to it.
        {"nearest 1e24", JsonValue::makeDouble(1e24), 0, "9.9999999999999998e+23"},
        {"nearest -1e24", JsonValue::makeDouble(-1e24), 0, "-9.9999999999999998e+23"},
        {"nearest 1e28", JsonValue::makeDouble(1e28), 0, "9.9999999999999996e+27"},
        {"nearest -1e28", JsonValue::makeDouble(-1e28), 0, "-9.9999999999999996e+27"},
        {"nearest 1e31", JsonValue::makeDouble(1e31), 0, "9.9999999999999996e+30"},
        {"nearest -1e31", JsonValue::makeDouble(-1e31), 0, "-9.9999999999999996e+30"},
        {"nearest 1e35", JsonValue::makeDouble(1e35), 0, "9.9999999999999997e+34"},
        {"nearest -1e35", JsonValue::makeDouble(-1e35), 0, "-9.9999999999999997e+34"},
        {"nearest 1e37", JsonValue::makeDouble(1e37), 0, "9.9999999999999995e+36"},
        {"nearest -1e37", JsonValue::makeDouble(-1e37), 0, "-9.9999999999999995e+36"},
        {"nearest 1e38", JsonValue::makeDouble(1e38), 0, "9.9999999999999998e+37"},
        {"nearest -1e38", JsonValue::makeDouble(-1e38), 0, "-9.9999999999999998e+37"},
        {"1.5e-7", JsonValue::makeDouble(1.5e-7), 0, "1.4999999999999999e-07"},
        {"negative zero", JsonValue::makeDouble(-0.0), 0, "-0"},
        {"smallest subnormal", JsonValue::makeDouble(std::numeric_limits<double>::denorm_min()), 0,
         "4.9406564584124654e-324"},
        {"NaN", JsonValue::makeDouble(std::nan("")), 0, notFinite},
        {"infinity", JsonValue::makeDouble(INFINITY), 0, notFinite},
        {"minus infinity", JsonValue::makeDouble(-INFINITY), 0, notFinite},
        {"true", JsonValue::makeBoolean(true), 0, "true"},
        {"false", JsonValue::makeBoolean(false), 0, "false"},
        {"null", JsonValue::makeNull(), 0, "null"},
        {"none held by an array", JsonValue(), 0, "error: Unable to serialize object class JsonNone."},
        {"number key", dictionaryOf({{JsonValue::makeInteger(1), str("x")}}), 0, "error: Key must be a string object."},
        {"number key sorted last", dictionaryOf({{JsonValue::makeInteger(1), str("x")}, {str("b"), str("y")}}),
         JsonSerializeOptionPretty, "error: Key must be a string object."},
    };
    for (const ValueCase& c : cases) {
        const std::string outcome = outcomeOf(arrayOf({c.value}), c.options);
        if (c.expected.rfind("error: ", 0) == 0) {
            EXPECT_EQ(outcome, c.expected) << c.name;
        } else if (c.options & JsonSerializeOptionPretty) {
            EXPECT_EQ(outcome, "[\n  " + c.expected + "\n]") << c.name;
        } else {
            EXPECT_EQ(outcome, "[" + c.expected + "]") << c.name;
        }
    }
}

// A delegate that can claim the formatter method or not.
class TestDelegate : public JsonSerializerDelegate {
public:
    explicit TestDelegate(unsigned capabilities) : capabilities_(capabilities) {}
    unsigned capabilities() const override { return capabilities_; }
    JsonValue serializeUnsupportedObject(const JsonValue& object) override {
        ++calls;
        return object.isCallerObject() ? str(TestDate::textOf(object)) : JsonValue();
    }
    int calls = 0;

private:
    unsigned capabilities_;
};

TEST(JsonSerializer, MisuseRaisesAndWrongTopObjectsFail) {
    const std::string unknown = "error: Unknown encode as type.";
    const JsonValue tree = arrayOf({str("x")});
    TestDelegate answering(JsonSerializerDelegate::kSerializeUnsupportedObject);
    TestDelegate silent(0);
    const JsonFormatterBlock block = [](const JsonValue&) { return str("b"); };
    const struct {
        const char* name;
        JsonValue object;
        JsonEncodeOptionType encodeOption;
        const JsonFormatterBlock* block;
        JsonSerializerDelegate* delegate;
        JsonFormatterSelector selector;
        std::string expected;
    } cases[] = {
        {"encode option 0", tree, 0, nullptr, nullptr, 0, unknown},
        {"encode option 3", tree, 3, nullptr, nullptr, 0, unknown},
        {"encode option 4", tree, 4, nullptr, nullptr, 0, unknown},
        {"encode option 5", tree, 5, nullptr, nullptr, 0, unknown},
        {"encode option 6", tree, 6, nullptr, nullptr, 0, unknown},
        {"encode option 7", tree, 7, nullptr, nullptr, 0, unknown},
        {"encode option 7 with a failing value", arrayOf({JsonValue::makeDouble(NAN)}), 7, nullptr, nullptr, 0,
         "error: Floating point values must be finite.  JSON does not support NaN or Infinity."},
        {"data result", tree, 1, nullptr, nullptr, 0, "bytes: [\"x\"]"},
        {"collection and string", str("x"), 8 | 16 | 2, nullptr, nullptr, 0,
         "inconsistency: Invalid parameter not satisfying: ((encodeOption & JsonEncodeOptionCollectionObj) == 0) || "
         "((encodeOption & (JsonEncodeOptionStringObj | JsonEncodeOptionStringObjTrimQuotes)) == 0)"},
        {"collection and trimmed quotes", tree, 8 | 32 | 2, nullptr, nullptr, 0,
         "inconsistency: Invalid parameter not satisfying: ((encodeOption & JsonEncodeOptionCollectionObj) == 0) || "
         "((encodeOption & (JsonEncodeOptionStringObj | JsonEncodeOptionStringObjTrimQuotes)) == 0)"},
        {"trimmed quotes of a string not asked to be one", str("a\"b"), 32 | 2, nullptr, nullptr, 0, "a\\\"b"},
        {"trimmed quotes of a string as data", str("a/b"), 32 | 1, nullptr, nullptr, 0, "bytes: a/b"},
        {"trimmed quotes in a collection, keys too", dictionaryOf({{str("k"), arrayOf({str("v\""), JsonValue::makeInteger(1)})}}),
         32 | 2, nullptr, nullptr, 0, "{k:[v\\\",1]}"},
        {"trimmed quotes of a number", JsonValue::makeInteger(5), 32 | 2, nullptr, nullptr, 0, "5"},
        {"trimmed quotes of a top-level string", str("k\"/"), 16 | 32 | 2, nullptr, nullptr, 0, "k\\\"/"},
        {"collection expected, string given", str("x"), 8 | 2, nullptr, nullptr, 0,
         "error: Unable to serialize object class JsonString, expected a NSArray or NSDictionary."},
        {"collection expected, boolean given", JsonValue::makeBoolean(true), 8 | 2, nullptr, nullptr, 0,
         "error: Unable to serialize object class JsonNumber, expected a NSArray or NSDictionary."},
        {"string expected, array given", tree, 16 | 2, nullptr, nullptr, 0,
         "error: Unable to serialize object class JsonArray, expected a NSString."},
        {"string expected, caller object given", TestDate::make("d"), 16 | 2, &block, nullptr, 0,
         "error: Unable to serialize object class JsonTestDate, expected a NSString."},
        {"no object", JsonValue(), 2, nullptr, nullptr, 0, "inconsistency: Invalid parameter not satisfying: object != nil"},
        {"block and delegate", tree, 2, &block, &answering, JsonSerializerDelegate::kSerializeUnsupportedObject,
         "inconsistency: Invalid parameter not satisfying: (block == NULL) || (delegate == NULL)"},
        {"delegate without selector", tree, 2, nullptr, &answering, 0,
         "invalid argument: The delegate argument is not NULL, but the selector argument is NULL."},
        {"delegate not answering its selector", tree, 2, nullptr, &silent,
         JsonSerializerDelegate::kSerializeUnsupportedObject,
         "invalid argument: The serializeUnsupportedClassesUsingDelegate: delegate does not respond to the selector "
         "argument."},
        {"selector of no method", tree, 2, nullptr, &answering, 1u << 5,
         "invalid argument: The serializeUnsupportedClassesUsingDelegate: delegate does not respond to the selector "
         "argument."},
    };
    const JsonFormatterBlock none;
    for (const auto& c : cases) {
        EXPECT_EQ(outcomeOf(c.object, 0, c.encodeOption, c.block ? *c.block : none, c.delegate, c.selector), c.expected)
            << c.name;
    }
    EXPECT_EQ(answering.calls, 0);
}

TEST(JsonSerializer, ErrorPlaceIsClearedAtTheStartAndHoldsOnlyTheFirstError) {
    platform::Error error = platform::Error::make("OldDomain", 5, "old");
    EXPECT_EQ(JSONStringWithOptions(arrayOf({}), 0, &error), "[]");
    EXPECT_TRUE(error.domain.empty() && error.description.empty());

    error = platform::Error::make("OldDomain", 5, "old");
    EXPECT_FALSE(JSONStringWithOptions(arrayOf({JsonValue::makeDouble(NAN), TestDate::make("d")}), 0, &error));
    EXPECT_EQ(error.domain, "JsonErrorDomain");
    EXPECT_EQ(error.code, -1);
    EXPECT_EQ(error.description, "Floating point values must be finite.  JSON does not support NaN or Infinity.");
    ASSERT_EQ(error.userInfo.size(), 1u);
    EXPECT_EQ(std::any_cast<std::string>(error.userInfo.at(platform::kLocalizedDescriptionKey)), error.description);
}

JsonValue nestedArrays(int levels) {
    JsonValue value = arrayOf({});
    for (int i = 1; i < levels; ++i) value = arrayOf({value});
    return value;
}

TEST(JsonSerializer, NestingIsLimitedAsTheReaderLimitsIt) {
    const std::string tooDeep = "error: Arrays and objects are nested deeper than 1024 levels.";
    const JsonValue deepest = nestedArrays(1024);
    for (JsonSerializeOptionFlags options : {JsonSerializeOptionNone, JsonSerializeOptionPretty}) {
        platform::Error error;
        const std::optional<std::string> text = JSONStringWithOptions(deepest, options, &error);
        ASSERT_TRUE(text) << error.description;
        EXPECT_EQ(objectFromJSONString(*text), deepest);
        EXPECT_EQ(outcomeOf(nestedArrays(1025), options), tooDeep);
        EXPECT_EQ(outcomeOf(dictionaryOf({{str("k"), nestedArrays(1024)}}), options), tooDeep);
    }

    // An array that holds itself fails instead of running out of stack.
    const JsonValue cycle = mutableObjectFromJSONString("[1]");
    cycle.array()->insertObjectAtIndex(cycle, 1);
    EXPECT_EQ(outcomeOf(cycle), tooDeep);
    EXPECT_EQ(outcomeOf(cycle, JsonSerializeOptionPretty), tooDeep);
    cycle.array()->removeObjectAtIndex(1);  // breaks the cycle, so the array can be freed
    EXPECT_EQ(JSONString(cycle), "[1]");
}

TEST(JsonSerializer, LargeOutputEqualsItsPieces) {
    // Strings of every length up to 300 with escapes, well past the 4096 bytes kept on the stack.
    std::vector<JsonValue> members;
    std::string expected = "[";
    for (int i = 0; i < 300; ++i) {
        std::string text(static_cast<size_t>(i), static_cast<char>('a' + i % 26));
        if (i % 7 == 0) text += "\"\x01\xE2\x82\xAC";
        members.push_back(str(text));
        expected += (i ? "," : "") + *JSONString(members.back());
    }
    const JsonValue tree = arrayOf(members);
    ASSERT_GT(expected.size(), 32768u);
    expected += "]";
    EXPECT_EQ(JSONString(tree), expected);
    EXPECT_EQ(JSONData(tree), platform::Bytes(expected.begin(), expected.end()));
}

TEST(JsonSerializer, EscapesMakeTheirOwnRoom) {
    // Six output bytes for each input byte, and up to twelve for each code point escaped.
    std::string expected;
    for (int i = 0; i < 10000; ++i) expected += "\\u0001";
    EXPECT_EQ(JSONString(arrayOf({str(std::string(10000, '\x01'))})), "[\"" + expected + "\"]");

    std::string emoji;
    std::string escaped;
    for (int i = 0; i < 5000; ++i) {
        emoji += "\xF0\x9F\x98\x80\xC3\xA9";
        escaped += "\\ud83d\\ude00\\u00e9";
    }
    EXPECT_EQ(JSONStringWithOptions(arrayOf({str(emoji)}), JsonSerializeOptionEscapeNonASCII), "[\"" + escaped + "\"]");
}

// The text the encoder core writes into `size` bytes of the caller's storage (the output moves to
// a container of its own if it must grow), or a note that bytes after the storage were written.
std::string writtenBeforeGuardBytes(const JsonValue& value, JsonSerializeOptionFlags options,
                                    JsonEncodeOptionType encodeOption, size_t size) {
    using namespace json::detail;
    std::vector<uint8_t> storage(size + 32, 0xA5);
    const auto state = std::make_unique<JsonEncodeState>();
    json_managedBuffer_setToStackBuffer(&state->stringBuffer, storage.data(), size);
    state->serializeOptionFlags = options;
    state->encodeOption = encodeOption;
    const bool written = json_encode_add_atom_to_buffer(state.get(), value) == 0;
    std::string text(reinterpret_cast<const char*>(state->stringBuffer.bytes), written ? state->atIndex : 0);
    json_managedBuffer_release(&state->stringBuffer);
    const auto guard = storage.begin() + static_cast<std::ptrdiff_t>(size);
    if (!std::all_of(guard, storage.end(), [](uint8_t b) { return b == 0xA5; })) return "bytes written past the end";
    return written ? text : "error";
}

// Filler members of 200 bytes of text (two strings: the same one repeated, and one shorter) and
// the text they are written as: "[" and the members, `size` bytes in all.
std::pair<std::vector<JsonValue>, std::string> arrayFiller(size_t size) {
    static const JsonValue repeated = str(std::string(197, 'x'));
    std::vector<JsonValue> members;
    std::string text = "[";
    size_t left = size - 1;
    for (; left >= 200 + 3; left -= 200) {  // the last one has three bytes at least
        members.push_back(repeated);
        text += "\"" + std::string(197, 'x') + "\",";
    }
    if (left > 0) {
        members.push_back(str(std::string(left - 3, 'x')));
        text += "\"" + std::string(left - 3, 'x') + "\",";
    }
    return {members, text};
}

// A string's last 1 to 15 bytes go out in one sixteen-byte store (before an escape among them is
// written), and those sixteen must lie inside the output buffer however little room the escapes
// before them left: strings of escapes and then 0 to 17 plain bytes, the text ending 0 to 15 bytes
// before the end of the buffer (the sixteen bytes stored reach no further), the serializer's 4096
// bytes on the stack or the result's first block of 32768. A string is written as the last member
// of an array after filler members (80 escapes in it; the array's text ends there) and, within the
// 4096 bytes, as the top object with and without its quotation marks (plain bytes, then as many
// escapes as the room takes, so that they use up the room reserved at the string's start): by the
// serializer as text and as bytes (AddressSanitizer sees a byte stored past the array or the block)
// and, within 4096 bytes, by the encoder core into storage of that size with guard bytes after it.
TEST(JsonSerializer, StringTailsAfterEscapesStayInsideTheOutput) {
    struct Escape {
        const char* text;
        size_t width;
        JsonSerializeOptionFlags options;
    };
    const Escape escapes[] = {{"\\u0001", 6, 0}, {"\\ud83d\\ude00", 12, JsonSerializeOptionEscapeNonASCII}};
    constexpr size_t kStack = 4096;
    JSONDecoder reader;
    auto readMember = [&](const std::string& text) {
        const JsonValue array =
            reader.objectWithUTF8StringLength(reinterpret_cast<const uint8_t*>(text.data()), text.size());
        return array ? array.array()->objectAtIndex(0) : JsonValue();
    };
    std::vector<std::string> failures;
    auto check = [&](const std::string& name, const JsonValue& value, JsonSerializeOptionFlags options,
                     JsonEncodeOptionType top, const std::string& expected, size_t end) {
        if (!value) {
            failures.push_back(name + ": not read");
            return;
        }
        for (const JsonEncodeOptionType result : {JsonEncodeOptionResultString, JsonEncodeOptionResultData}) {
            const JsonSerializerResult written = JsonSerializer::serializeObjectOptionsEncodeOptionBlockDelegateSelector(
                value, options, top | result, {}, nullptr, 0);
            const auto* text = std::get_if<std::string>(&written);
            const auto* bytes = std::get_if<platform::Bytes>(&written);
            const auto* data = bytes ? reinterpret_cast<const char*>(bytes->data()) : nullptr;
            if (text ? *text != expected : !bytes || std::string_view(data, bytes->size()) != expected)
                failures.push_back(name + (text ? ": text" : ": bytes") + " written otherwise");
        }
        if (end != kStack) return;
        const std::string guarded = writtenBeforeGuardBytes(value, options, top | JsonEncodeOptionResultString, end);
        if (guarded != expected) failures.push_back(name + ": " + guarded.substr(0, 30) + " (core)");
    };
    auto repeated = [](const char* text, size_t count) {
        std::string out;
        for (size_t i = 0; i < count; ++i) out += text;
        return out;
    };
    for (const Escape& escape : escapes) {
        for (const size_t end : {kStack, size_t{32768}}) {
            for (size_t tail = 0; tail <= 17; ++tail) {
                for (size_t gap = 0; gap < 16; ++gap) {
                    const std::string name = std::string(escape.text) + ", end " + std::to_string(end) + ", tail " +
                                             std::to_string(tail) + ", gap " + std::to_string(gap);
                    const std::string member = "\"" + repeated(escape.text, 80) + std::string(tail, 'a') + "\"";
                    auto [members, document] = arrayFiller(end - gap - member.size() - 1);
                    members.push_back(readMember("[" + member + "]"));
                    check(name + " in array", arrayOf(members), escape.options, JsonEncodeOptionCollectionObj,
                          document + member + "]", end);
                    if (end != kStack) continue;

                    const size_t count = (end - 64) / escape.width;
                    const std::string text = std::string(end - gap - 2 - count * escape.width - tail, 'p') +
                                             repeated(escape.text, count) + std::string(tail, 'a');
                    const JsonValue string = readMember("[\"" + text + "\"]");
                    check(name + " alone", string, escape.options, JsonEncodeOptionStringObj, "\"" + text + "\"", end);
                    check(name + " alone unquoted", string, escape.options,
                          JsonEncodeOptionStringObj | JsonEncodeOptionStringObjTrimQuotes, text, end);
                }
            }
        }
    }
    EXPECT_EQ(failures, std::vector<std::string>());
}

TEST(JsonSerializer, RepeatedObjectsAreCopiedAndGrowTheBuffer) {
    // The first copy of the string fits the first 4096 bytes; the cached copies do not.
    const JsonValue text = str(std::string(1500, 'q'));
    const JsonValue number = JsonValue::makeDouble(0.1);
    const std::string quoted = "\"" + std::string(1500, 'q') + "\"";
    EXPECT_EQ(JSONString(arrayOf({text, number, text, number, text})),
              "[" + quoted + ",0.10000000000000001," + quoted + ",0.10000000000000001," + quoted + "]");
}

TEST(JsonSerializerFormatter, CallerObjectsNeedAFormatter) {
    const JsonValue date = TestDate::make("2024-05-01");
    const JsonValue tree = dictionaryOf({{str("when"), date}});
    platform::Error error;
    EXPECT_FALSE(JSONData(tree));
    EXPECT_FALSE(JSONDataWithOptions(tree, 0, &error));
    EXPECT_EQ(error.description, "Unable to serialize object class JsonTestDate.");

    int asked = 0;
    const JsonFormatterBlock block = [&](const JsonValue& object) {
        ++asked;
        return str(TestDate::textOf(object));
    };
    EXPECT_EQ(JSONStringWithOptionsSerializeUnsupportedClassesUsingBlock(tree, 0, block), R"({"when":"2024-05-01"})");
    const std::optional<platform::Bytes> bytes =
        JSONDataWithOptionsSerializeUnsupportedClassesUsingBlock(arrayOf({date}), 0, block);
    EXPECT_EQ(std::string(bytes->begin(), bytes->end()), R"(["2024-05-01"])");

    TestDelegate delegate(JsonSerializerDelegate::kSerializeUnsupportedObject);
    EXPECT_EQ(JSONStringWithOptionsSerializeUnsupportedClassesUsingDelegateSelector(
                  tree, JsonSerializeOptionPretty, &delegate, JsonSerializerDelegate::kSerializeUnsupportedObject),
              "{\n  \"when\": \"2024-05-01\"\n}");
    EXPECT_TRUE(JSONDataWithOptionsSerializeUnsupportedClassesUsingDelegateSelector(
        tree, 0, &delegate, JsonSerializerDelegate::kSerializeUnsupportedObject));
    EXPECT_EQ(delegate.calls, 2);
    EXPECT_EQ(asked, 2);

    // A formatter that has no answer, or answers with another object of no JSON kind.
    EXPECT_EQ(outcomeOf(tree, 0, 2, [](const JsonValue&) { return JsonValue(); }),
              "error: Unable to serialize object class JsonTestDate.");
    EXPECT_EQ(outcomeOf(tree, 0, 2, [](const JsonValue&) { return TestDate::make("other"); }),
              "error: Unable to serialize object class JsonTestDate that was returned by the unsupported class "
              "formatter.  Original object class was JsonTestDate.");
}

TEST(JsonSerializerFormatter, SameObjectTwiceAsksOnce) {
    const JsonValue date = TestDate::make("d1");
    const JsonValue other = TestDate::make("d2");
    int asked = 0;
    const JsonFormatterBlock block = [&](const JsonValue& object) {
        ++asked;
        return str(TestDate::textOf(object));
    };
    EXPECT_EQ(JSONStringWithOptionsSerializeUnsupportedClassesUsingBlock(
                  arrayOf({date, other, date, dictionaryOf({{str("k"), date}})}), 0, block),
              R"(["d1","d2","d1",{"k":"d1"}])");
    EXPECT_EQ(asked, 2);
}

TEST(JsonSerializerFormatter, FreshReplacementsKeepTheirOwnTexts) {
    // Each replacement is a new array holding a new string; none may be taken for an earlier one.
    std::vector<JsonValue> dates;
    std::string expected = "[";
    for (int i = 0; i < 200; ++i) {
        dates.push_back(TestDate::make("date " + std::to_string(i)));
        expected += (i ? "," : "") + std::string("[\"date ") + std::to_string(i) + "\",{\"n\":" + std::to_string(i) + "}]";
    }
    const JsonFormatterBlock block = [](const JsonValue& object) {
        const std::string text = TestDate::textOf(object);
        return arrayOf({str(text), dictionaryOf({{str("n"), JsonValue::makeInteger(std::stoi(text.substr(5)))}})});
    };
    EXPECT_EQ(JSONStringWithOptionsSerializeUnsupportedClassesUsingBlock(arrayOf(dates), 0, block), expected + "]");
}

TEST(JsonSerializerFormatter, StringsFreedByAFormatterAreNotTakenForNewOnes) {
    // The formatter empties a mutable array written before it, freeing its strings, and makes new
    // strings of the same size (which the allocator may place where the freed ones were).
    for (int round = 0; round < 20; ++round) {
        std::vector<JsonValue> olds;
        for (int i = 0; i < 8; ++i) olds.push_back(str("old text " + std::to_string(i)));
        const JsonValue written = arrayOf(std::move(olds), true);
        const JsonFormatterBlock block = [&](const JsonValue&) {
            while (written.array()->count() != 0) written.array()->removeObjectAtIndex(0);
            std::vector<JsonValue> news;
            for (int i = 0; i < 8; ++i) news.push_back(str("new text " + std::to_string(i)));
            return arrayOf(std::move(news));
        };
        EXPECT_EQ(JSONStringWithOptionsSerializeUnsupportedClassesUsingBlock(arrayOf({written, TestDate::make("d")}), 0, block),
                  R"([["old text 0","old text 1","old text 2","old text 3","old text 4","old text 5","old text 6",)"
                  R"("old text 7"],["new text 0","new text 1","new text 2","new text 3","new text 4","new text 5",)"
                  R"("new text 6","new text 7"]])");
    }
}

TEST(JsonSerializerFormatter, ExceptionsPassThroughAndTheSerializerStaysUsable) {
    JsonSerializer serializer;
    const JsonValue tree = arrayOf({str("before"), TestDate::make("d")});
    const JsonFormatterBlock throwing = [](const JsonValue&) -> JsonValue { throw std::runtime_error("formatter failed"); };
    platform::Error error = platform::Error::make("OldDomain", 1, "old");
    EXPECT_EQ(caught<std::runtime_error>([&] {
                  serializer.serializeObjectOptionsEncodeOptionBlockDelegateSelectorError(tree, 0, 10, throwing, nullptr,
                                                                                        0, &error);
              }),
              "formatter failed");
    EXPECT_TRUE(error.description.empty());

    // A formatter that calls the serializer it runs in.
    const JsonFormatterBlock reentering = [&](const JsonValue& object) {
        serializer.serializeObjectOptionsEncodeOptionBlockDelegateSelectorError(object, 0, 10, {}, nullptr, 0);
        return str("never");
    };
    EXPECT_EQ(caught<JsonInternalInconsistencyException>([&] {
                  serializer.serializeObjectOptionsEncodeOptionBlockDelegateSelectorError(tree, 0, 10, reentering,
                                                                                        nullptr, 0);
              }),
              "Invalid parameter not satisfying: encodeState == NULL");

    const JsonSerializerResult result = serializer.serializeObjectOptionsEncodeOptionBlockDelegateSelectorError(
        tree, 0, 10, [](const JsonValue&) { return str("after"); }, nullptr, 0);
    EXPECT_EQ(std::get<std::string>(result), R"(["before","after"])");
}

TEST(JsonSerializerFormatter, ChangingACollectionBeingWrittenRaises) {
    const std::string arrayMutated = "mutation: *** Collection <JsonArray> was mutated while being enumerated.";
    const std::string dictionaryMutated = "mutation: *** Collection <JsonDictionary> was mutated while being enumerated.";
    for (JsonSerializeOptionFlags options : {JsonSerializeOptionNone, JsonSerializeOptionPretty}) {
        // A small array: the removed members would be read after they were freed.
        const JsonValue array = arrayOf({TestDate::make("d"), str("gone"), str("gone too")}, true);
        const JsonFormatterBlock shrinkArray = [&](const JsonValue&) {
            array.array()->removeObjectAtIndex(2);
            array.array()->removeObjectAtIndex(1);
            return str("x");
        };
        EXPECT_EQ(outcomeOf(array, options, 10, shrinkArray), arrayMutated);

        // The enclosing collection counts too, and so does a dictionary.
        const JsonValue inner = arrayOf({TestDate::make("d")});
        const JsonValue dictionary = dictionaryOf({{str("a"), inner}, {str("b"), str("v")}}, true);
        const JsonFormatterBlock clearDictionary = [&](const JsonValue&) {
            dictionary.dictionary()->removeObjectForKey(str("a"));
            dictionary.dictionary()->removeObjectForKey(str("b"));
            return str("x");
        };
        EXPECT_EQ(outcomeOf(dictionary, options, 10, clearDictionary), dictionaryMutated);

        // Changing a collection that is not being written is no concern of the writer's.
        const JsonValue elsewhere = mutableObjectFromJSONString("[]");
        const JsonFormatterBlock growElsewhere = [&](const JsonValue&) {
            elsewhere.array()->insertObjectAtIndex(str("y"), 0);
            return str("x");
        };
        EXPECT_EQ(outcomeOf(arrayOf({TestDate::make("d")}, true), 0, 10, growElsewhere), R"(["x"])");
    }
}

}  // namespace
