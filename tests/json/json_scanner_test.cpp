// String and number scanning: escapes, surrogate pairs, UTF-8 checks, the loose-Unicode option,
// integer and double conversion with their range errors, and the string hash behind the cache.

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "JsonTestSupport.h"

namespace {

struct StringCase {
    std::string element;  // the JSON string token, placed in an array
    JsonParseOptionFlags options;
    std::string bytes;    // decoded bytes, when it parses
    std::string message;  // the error, when it does not
    uint64_t index = 0;
};

StringCase ok(std::string element, std::string bytes, JsonParseOptionFlags options = 0) {
    return {std::move(element), options, std::move(bytes), "", 0};
}
StringCase bad(std::string element, std::string message, uint64_t index, JsonParseOptionFlags options = 0) {
    return {std::move(element), options, "", std::move(message), index};
}

const char* const kIllegalEscape = "Illegal \\u Unicode escape sequence.";
const char* const kIllegalUtf8 = "Illegal UTF8 sequence found in \"\" string.";
const char* const kSecondEscape =
    "Required a second \\u Unicode escape sequence following a surrogate \\u Unicode escape sequence.";
const char* const kFffd = "\xEF\xBF\xBD";

class Strings : public testing::TestWithParam<StringCase> {};

TEST_P(Strings, DecodeOrReport) {
    const StringCase& c = GetParam();
    platform::Error error;
    const JsonValue value = objectFromJSONStringWithParseOptions("[" + c.element + "]", c.options, &error);
    if (c.message.empty()) {
        ASSERT_TRUE(value) << error.description;
        EXPECT_EQ(value.array()->objectAtIndex(0).stringView(), c.bytes);
    } else {
        ASSERT_FALSE(value) << value.description();
        EXPECT_EQ(error.description, c.message);
        EXPECT_EQ(userInfoNumber(error, JsonAtIndexKey), c.index);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Escapes, Strings,
    testing::Values(ok(R"("plain")", "plain"), ok(R"("")", ""),
                    ok(R"("a\"\\\/\b\f\n\r\t")", "a\"\\/\b\f\n\r\t"), ok(R"("\u00e9\u20AC")", "\xC3\xA9\xE2\x82\xAC"),
                    ok(R"("\uD834\uDD1E")", "\xF0\x9D\x84\x9E"), ok(R"("x\u0041y")", "xAy"),
                    bad(R"("\x")", "Invalid escape sequence found in \"\" string.", 2),
                    bad(R"("\u12G4")", "Unexpected character found in \\u Unicode escape sequence.  Found 'G', "
                                       "expected [0-9a-fA-F].", 6),
                    bad(R"("\u0000")", kIllegalEscape, 8), ok(R"("\u0000")", kFffd, 4),
                    bad(R"("\uFFFE")", kIllegalEscape, 8), bad(R"("\uFDD0")", kIllegalEscape, 8),
                    bad(R"("\uDD1E")", kIllegalEscape, 8), ok(R"("\uDD1E")", kFffd, 4),
                    bad(R"("\uD834x")", kSecondEscape, 8), ok(R"("\uD834x")", std::string(kFffd) + "x", 4),
                    // The "u" is missing: scanning resumes at the backslash, which escapes "n".
                    ok(R"("\uD834\n")", std::string(kFffd) + "\n", 4),
                    bad(R"("\uD834\u0041")", kIllegalEscape, 14), ok(R"("\uD834\u0041")", kFffd, 4)));

INSTANTIATE_TEST_SUITE_P(
    Utf8, Strings,
    testing::Values(ok("\"\xF0\x9D\x84\x9E \xC3\xA9\"", "\xF0\x9D\x84\x9E \xC3\xA9"),
                    bad("\"a\tb\"", "Invalid character < 0x20 found in string: 0x09.", 3),
                    bad("\"\\n\x1f\"", "Invalid character < 0x20 found in string: 0x1f.", 4),
                    bad("\"\xC3\x28\"", kIllegalUtf8, 2), ok("\"\xC3\x28\"", std::string(kFffd) + "(", 4),
                    bad("\"\xEF\xBF\xBF\"", kIllegalUtf8, 2),      // U+FFFF
                    bad("\"\xEF\xB7\x90\"", kIllegalUtf8, 2),      // U+FDD0
                    bad("\"\xEF\xB7\xAF\"", kIllegalUtf8, 2),      // U+FDEF
                    ok("\"\xEF\xB7\xB0\"", "\xEF\xB7\xB0"),         // U+FDF0
                    bad("\"\xF0\x9F\xBF\xBE\"", kIllegalUtf8, 2),  // U+1FFFE
                    bad("\"\\n\xF4\x8F\xBF\xBF\"", kIllegalUtf8, 4),  // U+10FFFF, after an escape
                    ok("\"\xF0\x9F\xBF\xBD\xF0\xAF\xBF\xBD\"", "\xF0\x9F\xBF\xBD\xF0\xAF\xBF\xBD"),  // U+1FFFD, U+2FFFD
                    bad("\"\xED\xA0\x80\"", kIllegalUtf8, 2),      // a surrogate in UTF-8
                    bad("\"\xC0\xAF\"", kIllegalUtf8, 2),          // overlong "/"
                    bad("\"\xFF\"", kIllegalUtf8, 2), ok("\"a\xFF\x80z\"", std::string("a") + kFffd + "z", 4),
                    // Not a continuation byte: ill-formed, not cut off.
                    bad("\"\xE2\x82]\"", kIllegalUtf8, 2)));

// Long strings are checked sixteen bytes at a time. Every sequence, well-formed or not, must be
// judged the same wherever it falls among those sixteen (across their end too), on the path that
// takes the string in place and on the one that decodes it after an escape.
TEST(JsonStrings, EachSequenceIsJudgedTheSameAtEveryPosition) {
    const struct {
        const char* bytes;
        bool valid;
    } sequences[] = {
        {"\xC2\x80", true},         {"\xDF\xBF", true},           {"\xE0\xA0\x80", true},
        {"\xED\x9F\xBF", true},     {"\xEE\x80\x80", true},       {"\xEF\xB7\x8F", true},  // U+FDCF
        {"\xEF\xB7\xB0", true},     {"\xEF\xBF\xBD", true},       {"\xE3\xBF\xBF", true},  // U+3FFF
        {"\xF0\x90\x80\x80", true}, {"\xF0\x9F\x8E\x9A", true},   {"\xF4\x8F\xBF\xBD", true},
        {"\xF1\xBF\xBF\xBD", true}, {"\xC3\xA9\xE2\x82\xAC", true},
        {"\xC0\x80", false},         {"\xC1\xBF", false},           {"\xE0\x9F\xBF", false},
        {"\xED\xA0\x80", false},     {"\xF0\x8F\xBF\xBD", false},  {"\xF4\x90\x80\x80", false},
        {"\xF5\x80\x80\x80", false}, {"\xFF", false},               {"\x80", false},
        {"\xBF\xBF", false},         {"\xE2\x82" "a", false},        {"\xC3" "a", false},
        {"\xF0\x9F\x8E" "a", false},  {"\xEF\xBF\xBE", false},       {"\xEF\xB7\x90", false},
        {"\xF0\x9F\xBF\xBF", false}, {"\xF3\xAF\xBF\xBE", false},   {"\xC3\xA9\xE2\x82", false},
        {"\xE2\x82\\n", false},
    };
    for (const bool decoding : {false, true}) {
        for (const auto& sequence : sequences) {
            for (size_t offset = 0; offset < 40; ++offset) {
                // An escape first sends the string down the decoding path; the sequence is followed
                // by more text, or directly by the closing quote.
                const std::string before = (decoding ? std::string("\\t") : std::string()) + std::string(offset, 'x');
                const std::string body = before + sequence.bytes + std::string(offset % 2 ? 40 : 0, 'y');
                const std::string text = "[\"" + body + "\"]";
                platform::Error error;
                const JsonValue value = objectFromJSONStringWithParseOptions(text, 0, &error);
                const std::string where = std::string(decoding ? "decoding, " : "in place, ") + "offset " +
                                          std::to_string(offset) + ": " + testing::PrintToString(sequence.bytes);
                if (sequence.valid) {
                    ASSERT_TRUE(value) << where << " " << error.description;
                    const std::string decoded = (decoding ? std::string("\t") : std::string()) + body.substr(before.size() - offset);
                    EXPECT_EQ(value.array()->objectAtIndex(0).stringView(), decoded) << where;
                } else {
                    ASSERT_FALSE(value) << where;
                    EXPECT_EQ(error.description, kIllegalUtf8) << where;
                    // The error points at the sequence's first byte (a stray continuation byte is
                    // its own sequence).
                    const std::string bytes = sequence.bytes;
                    size_t fault = 0;
                    if (bytes == "\xC3\xA9\xE2\x82") fault = 2;
                    EXPECT_EQ(userInfoNumber(error, JsonAtIndexKey), 2 + before.size() + fault) << where;
                }
            }
        }
    }
}

// Strings cut off by the end of the input (no closing quote, no closing bracket).
TEST(JsonStrings, CutOffByTheEndOfTheInput) {
    const struct {
        const char* text;
        JsonParseOptionFlags options;
        const char* message;
        uint64_t index;
    } cases[] = {
        {"[\"\xE2\x82", 0, "End of buffer reached while parsing UTF8 in \"\" string.", 2},
        {"[\"\xE2\x82", 4, "End of buffer reached while parsing UTF8 in \"\" string.", 2},
        {"[\"abc", 0, "Invalid string.", 5},
        {"[\"\\u00", 0, "Invalid string.", 6},
        {"[\"\\uD834", 4, "Invalid string.", 8},
        {"[\"a\\", 0, "Invalid string.", 4},
    };
    for (const auto& c : cases) {
        platform::Error error;
        EXPECT_FALSE(objectFromJSONStringWithParseOptions(c.text, c.options, &error)) << c.text;
        EXPECT_EQ(error.description, c.message) << c.text;
        EXPECT_EQ(userInfoNumber(error, JsonAtIndexKey), c.index) << c.text;
    }
}

TEST(JsonStrings, LongStringWithOneEscapeGrowsTheTokenBufferAndDecodesWhole) {
    const std::string body(10000, 'x');
    const JsonValue value = objectFromJSONString("[\"" + body + "\\n" + body + "\"]");
    ASSERT_TRUE(value);
    EXPECT_EQ(value.array()->objectAtIndex(0).stringView(), body + "\n" + body);
}

TEST(JsonStrings, EscapedAndPlainFormsHashAlikeAndShareOneObject) {
    JSONDecoder decoder;
    const std::string text = R"(["A","\u0041","caf\u00e9","café"])";
    const JsonValue value = decoder.objectWithUTF8StringLength(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    ASSERT_TRUE(value);
    const JsonArray& array = *value.array();
    EXPECT_TRUE(array.objectAtIndex(0).isSameObject(array.objectAtIndex(1)));
    EXPECT_TRUE(array.objectAtIndex(2).isSameObject(array.objectAtIndex(3)));
    EXPECT_FALSE(array.objectAtIndex(0).isSameObject(array.objectAtIndex(2)));
}

// A number with plenty of text after it reads as it does at the end of the input: the same value,
// or the same error.
TEST(JsonNumbers, ReadAlikeWhateverFollowsThem) {
    const char* const numbers[] = {"1", "-1", "7", "42", "-42", "123456789012345", "-123456789012345",
                                   "1234567890123456", "-1234567890123456", "9223372036854775807",
                                   "-9223372036854775808", "9223372036854775808", "18446744073709551615",
                                   "18446744073709551616", "-9223372036854775809", "0", "-0", "01", "-01", "12.5",
                                   "12e3", "12E+3", "-7.25e-2", "1.", "1e", "-", "100000000000000000000"};
    // The value's description, or the error's message (its index moves with the text after).
    auto outcome = [](const std::string& text) {
        platform::Error error;
        const JsonValue value = objectFromJSONStringWithParseOptions(text, 0, &error);
        return value ? value.description() : error.description;
    };
    const std::string spaces(40, ' ');
    for (const char* number : numbers) {
        EXPECT_EQ(outcome(std::string("[") + number + spaces + "]"), outcome(std::string("[") + number + "]")) << number;
        EXPECT_EQ(outcome(std::string("{\"k\":") + number + spaces + "}"), outcome(std::string("{\"k\":") + number + "}"))
            << number;
    }
}

struct NumberCase {
    const char* element;
    JsonKind kind;
    std::string value;    // the value's description when it parses
    std::string message;  // the error otherwise
};

class Numbers : public testing::TestWithParam<NumberCase> {};

TEST_P(Numbers, ConvertOrReport) {
    const NumberCase& c = GetParam();
    platform::Error error;
    const JsonValue value = objectFromJSONStringWithParseOptions(std::string("[") + c.element + "]", 0, &error);
    if (c.message.empty()) {
        ASSERT_TRUE(value) << error.description;
        const JsonValue& number = value.array()->objectAtIndex(0);
        EXPECT_EQ(number.kind(), c.kind);
        EXPECT_EQ(number.description(), c.value);
    } else {
        ASSERT_FALSE(value) << value.description();
        EXPECT_EQ(error.description, c.message);
    }
}

const char* const kInvalidNumber = "Invalid number.";

INSTANTIATE_TEST_SUITE_P(
    Conversions, Numbers,
    testing::Values(
        NumberCase{"0", JsonKind::Integer, "0", ""}, NumberCase{"-1", JsonKind::Integer, "-1", ""},
        NumberCase{"-0", JsonKind::Double, "-0", ""}, NumberCase{"0e1", JsonKind::Double, "0", ""},
        NumberCase{"2.5", JsonKind::Double, "2.5", ""}, NumberCase{"1E+2", JsonKind::Double, "100", ""},
        NumberCase{"-12.5e-1", JsonKind::Double, "-1.25", ""},
        NumberCase{"9223372036854775807", JsonKind::Integer, "9223372036854775807", ""},
        NumberCase{"9223372036854775808", JsonKind::UnsignedInteger, "9223372036854775808", ""},
        NumberCase{"18446744073709551615", JsonKind::UnsignedInteger, "18446744073709551615", ""},
        NumberCase{"-9223372036854775808", JsonKind::Integer, "-9223372036854775808", ""},
        // Subnormal results are numbers like any other.
        NumberCase{"4.9e-324", JsonKind::Double, "5e-324", ""},
        NumberCase{"2.5e-310", JsonKind::Double, "2.5e-310", ""},
        NumberCase{"18446744073709551616", JsonKind::None, "",
                   "The value '18446744073709551616' exceeded the maximum value that could be represented: "
                   "18446744073709551615."},
        NumberCase{"-9223372036854775809", JsonKind::None, "",
                   "The value '-9223372036854775809' exceeded the minimum value that could be represented: "
                   "-9223372036854775808."},
        NumberCase{"1e400", JsonKind::None, "", "The value '1e400' could not be represented as a 'double' due to overflow."},
        NumberCase{"-0.001e312", JsonKind::None, "",
                   "The value '-0.001e312' could not be represented as a 'double' due to overflow."},
        NumberCase{"1e-400", JsonKind::None, "", "The value '1e-400' could not be represented as a 'double' due to underflow."},
        NumberCase{"12345e-330", JsonKind::None, "",
                   "The value '12345e-330' could not be represented as a 'double' due to underflow."},
        NumberCase{"1.", JsonKind::None, "", kInvalidNumber}, NumberCase{"1e", JsonKind::None, "", kInvalidNumber},
        NumberCase{"1e+", JsonKind::None, "", kInvalidNumber}, NumberCase{"-", JsonKind::None, "", kInvalidNumber},
        NumberCase{"-a", JsonKind::None, "", kInvalidNumber}, NumberCase{"1.e1", JsonKind::None, "", kInvalidNumber}));

}  // namespace
