// The tokenizer and parser: what malformed texts report (message, byte index, line) and what
// well-formed ones give, under each parse option.

#include <gtest/gtest.h>

#include <string>

#include "JsonTestSupport.h"

namespace {

const char* const kUnexpectedToken =
    "Unexpected token, wanted '{', '}', '[', ']', ',', ':', 'true', 'false', 'null', '\"STRING\"', 'NUMBER'.";

struct ErrorCase {
    const char* text;
    JsonParseOptionFlags options;
    std::string message;
    uint64_t index;
    uint64_t line;
};

class ParseErrors : public testing::TestWithParam<ErrorCase> {};

TEST_P(ParseErrors, ReportMessageIndexAndLine) {
    const ErrorCase& c = GetParam();
    platform::Error error;
    const JsonValue value = objectFromJSONStringWithParseOptions(c.text, c.options, &error);
    ASSERT_FALSE(value) << value.description();
    EXPECT_EQ(error.domain, "JsonErrorDomain");
    EXPECT_EQ(error.code, -1);
    EXPECT_EQ(error.description, c.message);
    EXPECT_EQ(std::any_cast<std::string>(error.userInfo.at(platform::kLocalizedDescriptionKey)), c.message);
    EXPECT_EQ(userInfoNumber(error, JsonAtIndexKey), c.index);
    EXPECT_EQ(userInfoNumber(error, JsonLineNumberKey), c.line);
}

INSTANTIATE_TEST_SUITE_P(
    Structure, ParseErrors,
    testing::Values(
        ErrorCase{"", 0, "Reached the end of the buffer.", 0, 1},
        ErrorCase{"   ", 0, kUnexpectedToken, 3, 1},
        ErrorCase{"true", 0, kUnexpectedToken, 0, 1},  // a literal needs a byte after it
        ErrorCase{"true ", 0, "Expected either '[' or '{'.", 4, 1},
        ErrorCase{"\"a\" ", 0, "Expected either '[' or '{'.", 3, 1},
        ErrorCase{"[1,]", 0, "Unexpected ']'.", 4, 1},
        ErrorCase{"[,1]", 0, "Unexpected ','.", 2, 1},
        ErrorCase{"[1 2]", 0, "Unexpected value.", 4, 1},
        ErrorCase{"[01]", 0, "Unexpected value.", 3, 1},
        ErrorCase{"[1:2]", 0, "Expected a comma or a ']', not ':'", 3, 1},
        ErrorCase{"[}", 0, "Expected a value or a ']', not '}'", 2, 1},
        ErrorCase{"{\"a\" 1}", 0, "Expected ':'.", 6, 1},
        ErrorCase{"{\"a\":1,}", 0, "Unexpected '}'.", 8, 1},
        ErrorCase{"{\"a\":1 \"b\":2}", 0, "Unexpected string.", 10, 1},
        ErrorCase{"{1:2}", 0, "Expected a \"STRING\" or a '}', not '1'", 2, 1},
        ErrorCase{"{\"a\":}", 0, "Expected a value or a '}', not '}'", 6, 1},
        ErrorCase{"{\"a\":1,\"b\":}", 0, "Expected a value, not '}'", 12, 1},
        ErrorCase{"{\"a\":1,,}", 0, "Unexpected ','.", 8, 1},
        ErrorCase{"[true", 0, kUnexpectedToken, 1, 1},
        ErrorCase{"[12", 0, "Invalid number.", 3, 1},
        ErrorCase{"[[]", 0, "Reached the end of the buffer.", 3, 1},
        ErrorCase{"[[[]", 0, "Reached the end of the buffer.", 4, 1},
        ErrorCase{"[[] ", 0, kUnexpectedToken, 4, 1},
        ErrorCase{"{\"a\":[1]", 0, "Reached the end of the buffer.", 8, 1},
        ErrorCase{"[1] x", 0,
                  "A valid JSON object was parsed but there were additional non-white-space characters remaining.", 4,
                  1},
        ErrorCase{"[\f]", 0, kUnexpectedToken, 1, 1},
        ErrorCase{"[1]\n/* c */", 0,
                  "A valid JSON object was parsed but there were additional non-white-space characters remaining.", 4,
                  2}));

INSTANTIATE_TEST_SUITE_P(
    LineEnds, ParseErrors,
    testing::Values(
        // CR LF is one line end, LF one, a lone CR one.
        ErrorCase{"[\r\n1,\n2,\r]", 0, "Unexpected ']'.", 10, 4},
        ErrorCase{"[1,\r\n2,\nx]", 0, kUnexpectedToken, 8, 3},
        ErrorCase{"[1,\r\r\r]", 0, "Unexpected ']'.", 7, 4},
        ErrorCase{"[\n\n\"a\tb\"]", 0, "Invalid character < 0x20 found in string: 0x09.", 5, 3},
        // U+2028 is a line end only under option 2; without it, it is no token at all.
        ErrorCase{"[1,\xE2\x80\xA8,]", 2, "Unexpected ','.", 7, 2},
        ErrorCase{"[1,\xE2\x80\xA8,]", 0, kUnexpectedToken, 3, 1},
        ErrorCase{"[1,\xC2\x85\xE2\x80\xA9x]", 2, kUnexpectedToken, 8, 3}));

INSTANTIATE_TEST_SUITE_P(
    Comments, ParseErrors,
    testing::Values(
        ErrorCase{"/* c */[1]", 0, kUnexpectedToken, 0, 1},
        ErrorCase{"[[] // open", 1, kUnexpectedToken, 11, 1},
        ErrorCase{"[1, /* never closed", 1, kUnexpectedToken, 19, 1},
        ErrorCase{"// one\n/* two\n three */ [1,]", 1, "Unexpected ']'.", 28, 3},
        // "/*/" opens a comment and does not close it: the comment runs to the "*/" at the end.
        ErrorCase{"/*/ [1] */", 1, kUnexpectedToken, 10, 1},
        ErrorCase{"[1] /", 1,
                  "A valid JSON object was parsed but there were additional non-white-space characters remaining.", 4,
                  1}));

struct SuccessCase {
    const char* text;
    JsonParseOptionFlags options;
    const char* description;
};

class ParseSuccesses : public testing::TestWithParam<SuccessCase> {};

TEST_P(ParseSuccesses, GiveTheTree) {
    const SuccessCase& c = GetParam();
    EXPECT_EQ(parseOutcome(c.text, c.options), c.description);
}

INSTANTIATE_TEST_SUITE_P(
    Documents, ParseSuccesses,
    testing::Values(SuccessCase{"[]", 0, "[]"}, SuccessCase{"{}", 0, "{}"}, SuccessCase{" \t\r\n[ ]\r\n", 0, "[]"},
                    SuccessCase{"[1] ", 0, "[1]"},
                    SuccessCase{"[true,false,null,\"\",0,-1,2.5]", 0, "[true,false,null,\"\",0,-1,2.5]"},
                    SuccessCase{"{\"a\":{\"b\":[[],{}]}}", 0, "{\"a\":{\"b\":[[],{}]}}"},
                    SuccessCase{"[1] x", 8, "[1]"}, SuccessCase{"{}garbage", 8, "{}"},
                    SuccessCase{"/* lead */[1]// trail", 1, "[1]"},
                    SuccessCase{"[1,//x\r\n2/**/,3]/**/", 1, "[1,2,3]"},
                    // "/*/" is not a whole comment, so "[1]" lies inside it.
                    SuccessCase{"/*/ [1] */[2]", 1, "[2]"},
                    SuccessCase{"[1,\xE2\x80\xA8 2]", 2, "[1,2]"}, SuccessCase{"[1]\xE2\x80\xA9", 2, "[1]"}));

TEST(JsonParser, NestingLimitIsAnErrorNotAStackOverflow) {
    const std::string atLimit = std::string(1024, '[') + std::string(1024, ']');
    EXPECT_TRUE(objectFromJSONString(atLimit));

    platform::Error error;
    const std::string beyond = std::string(1025, '[') + std::string(1025, ']');
    EXPECT_FALSE(objectFromJSONStringWithParseOptions(beyond, 0, &error));
    EXPECT_EQ(error.description, "Arrays and objects are nested deeper than 1024 levels.");
    EXPECT_EQ(userInfoNumber(error, JsonAtIndexKey), 1025u);

    std::string objects;
    for (int i = 0; i < 200000; ++i) objects += "{\"k\":[";
    EXPECT_FALSE(objectFromJSONStringWithParseOptions(objects, 0, &error));
    EXPECT_EQ(error.description, "Arrays and objects are nested deeper than 1024 levels.");
}

TEST(JsonParser, ObjectStackMovesToTheHeapForLargeContainers) {
    std::string text = "[";
    for (int i = 0; i < 5000; ++i) text += (i ? "," : "") + std::to_string(i);
    text += "]";
    std::string nested = "{";
    for (int i = 0; i < 3000; ++i) nested += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":[" + std::to_string(i) + "]";
    nested += "}";
    const std::string both = "[" + text + "," + nested + "]";

    const JsonValue value = objectFromJSONString(both);
    ASSERT_TRUE(value.isArray());
    const JsonArray* numbers = value.array()->objectAtIndex(0).array();
    ASSERT_EQ(numbers->count(), 5000u);
    EXPECT_EQ(numbers->objectAtIndex(4999).longLongValue(), 4999);
    const JsonDictionary* members = value.array()->objectAtIndex(1).dictionary();
    ASSERT_EQ(members->count(), 3000u);
    EXPECT_EQ(members->objectForKey("k2999").array()->objectAtIndex(0).longLongValue(), 2999);
}

TEST(JsonParser, FirstErrorWinsAndSuccessLeavesTheErrorUntouched) {
    platform::Error error = platform::Error::make("Earlier", 7, "kept");
    EXPECT_TRUE(objectFromJSONStringWithParseOptions("[1]", 0, &error));
    EXPECT_EQ(error.domain, "Earlier");

    // The string fails first; the "Invalid string." and "Unable to parse JSON." that follow are
    // dropped.
    EXPECT_FALSE(objectFromJSONStringWithParseOptions("[\"\\q\"]", 0, &error));
    EXPECT_EQ(error.description, "Invalid escape sequence found in \"\" string.");
}

}  // namespace
