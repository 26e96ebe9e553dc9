// Numbers convert to exactly the value the standard conversion gives, whichever way the reader
// takes: short decimals and integers directly, everything else through the general conversion.
// Compared bit for bit (so -0.0 and 0.0 differ) over a table of edge cases and a seeded sweep.

#include <gtest/gtest.h>

#include <charconv>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "JsonTestSupport.h"

namespace {

uint64_t bitsOf(double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    return bits;
}

// Checks one parsed element against std::from_chars of the text it came from.
void expectLikeTheStandard(const JsonValue& number, const std::string& text) {
    const bool floating = text.find_first_of(".eE") != std::string::npos || text == "-0";
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (floating) {
        double expected = 0;
        ASSERT_EQ(std::from_chars(first, last, expected).ec, std::errc()) << text;
        ASSERT_EQ(number.kind(), JsonKind::Double) << text;
        EXPECT_EQ(bitsOf(number.doubleValue()), bitsOf(expected)) << text;
    } else if (text[0] == '-') {
        int64_t expected = 0;
        ASSERT_EQ(std::from_chars(first, last, expected).ec, std::errc()) << text;
        ASSERT_EQ(number.kind(), JsonKind::Integer) << text;
        EXPECT_EQ(number.longLongValue(), expected) << text;
    } else {
        uint64_t expected = 0;
        ASSERT_EQ(std::from_chars(first, last, expected).ec, std::errc()) << text;
        EXPECT_EQ(number.kind(), expected > uint64_t{INT64_MAX} ? JsonKind::UnsignedInteger : JsonKind::Integer) << text;
        EXPECT_EQ(number.unsignedLongLongValue(), expected) << text;
    }
}

// Parses the texts as one array "[t1,t2,...]" with one decoder and checks every element.
void expectConvertedLikeTheStandard(JSONDecoder& decoder, const std::vector<std::string>& texts) {
    std::string document = "[";
    for (const std::string& text : texts) document += (document.size() > 1 ? "," : "") + text;
    document += "]";
    platform::Error error;
    const JsonValue value = decoder.objectWithUTF8StringLength(reinterpret_cast<const uint8_t*>(document.data()),
                                                               document.size(), &error);
    ASSERT_TRUE(value) << document.substr(0, 200) << ": " << error.description;
    ASSERT_EQ(value.array()->count(), texts.size());
    for (size_t i = 0; i < texts.size(); ++i) {
        expectLikeTheStandard(value.array()->objectAtIndex(i), texts[i]);
        if (::testing::Test::HasFailure()) return;
    }
}

TEST(JsonNumberConversion, EdgeCasesMatchTheStandardConversion) {
    const char* const cases[] = {
        "0", "-0", "0.0", "-0.0", "0e5", "-0e-5", "0.000", "1", "-1", "7.0", "0.1", "0.2", "0.3", "-0.5",
        "1e22", "1e23", "1e-22", "1e-23", "4.35e-20", "123456789012345.6", "9007199254740992.0",
        "9007199254740993.0", "9007199254740993", "900719925474099.35", "12345678901234567890.0",
        "999999999999999999", "-999999999999999999", "9999999999999999999", "-9223372036854775808",
        "9223372036854775807", "9223372036854775808", "18446744073709551615", "1234567890123456789",
        "1.7976931348623157e308", "2.2250738585072014e-308", "4.9e-324", "5e-324", "1E+2", "1e+0022",
        "1e0000", "3.14159265358979323846", "0.30000000000000004", "2.5e-7", "123.456e-299",
    };
    JSONDecoder decoder;
    for (const char* text : cases) expectConvertedLikeTheStandard(decoder, {text});
}

TEST(JsonNumberConversion, SeededSweepMatchesTheStandardConversion) {
    std::mt19937_64 random(7);
    JSONDecoder decoder;
    auto digits = [&](int n) {
        std::string text;
        for (int i = 0; i < n; ++i) text += static_cast<char>('0' + random() % 10);
        return text;
    };
    std::vector<std::string> batch;
    for (int i = 0; i < 20000; ++i) {
        std::string text = random() % 4 == 0 ? "-" : "";
        const int whole = 1 + static_cast<int>(random() % 12);
        std::string integer = digits(whole);
        if (integer.size() > 1 && integer[0] == '0') integer[0] = '1';
        text += integer;
        switch (random() % 3) {
        case 0:
            break;
        case 1:
            text += "." + digits(1 + static_cast<int>(random() % 10));
            break;
        default:
            text += "." + digits(1 + static_cast<int>(random() % 8)) + (random() % 2 ? "e" : "E") +
                    (random() % 2 ? "-" : "+") + std::to_string(random() % 30);
            break;
        }
        batch.push_back(std::move(text));
        // A few hundred numbers a parse: one parse per number spent its time in the arena's
        // block allocation (64 KB each) rather than in the conversion under test.
        if (batch.size() == 500) {
            expectConvertedLikeTheStandard(decoder, batch);
            if (HasFailure()) return;
            batch.clear();
        }
    }
}

// A double's description is the shortest text that reads back as the same double. Integral
// doubles outside the integer range are written in exponent form (the reader refuses such a bare
// integer); inside the range, and for every other double, the shortest text stands.
TEST(JsonNumberConversion, DoubleDescriptionsReadBackAsTheSameDouble) {
    struct Row {
        const char* text;
        const char* description;
    };
    const Row rows[] = {
        {"18446744073709551616.0", "1.8446744073709552e+19"},  // 2^64
        {"-237462374673276894324.23479823246327846", "-2.374623746732769e+20"},
        {"-9223372036854777856.0", "-9.223372036854778e+18"},  // the double below -2^63
        {"1e300", "1e+300"},
        {"123456789012345678.0", "123456789012345680"},      // integral, inside the range
        {"18446744073709549568.0", "18446744073709549568"},  // the double below 2^64
        {"-9223372036854775808.0", "-9223372036854775808"},  // -2^63
        {"-0.0", "-0"},
        {"2.5", "2.5"},
        {"1e-7", "1e-07"},
    };
    JSONDecoder decoder;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        const JsonValue value = objectFromJSONString(std::string("[") + row.text + "]");
        ASSERT_TRUE(value);
        const JsonValue& number = value.array()->objectAtIndex(0);
        ASSERT_EQ(number.kind(), JsonKind::Double);
        const std::string described = value.description();
        EXPECT_EQ(described, std::string("[") + row.description + "]");
        platform::Error error;
        const JsonValue again = decoder.objectWithUTF8StringLength(reinterpret_cast<const uint8_t*>(described.data()),
                                                                   described.size(), &error);
        ASSERT_TRUE(again) << error.description;
        EXPECT_EQ(again, value);
        EXPECT_EQ(again.array()->objectAtIndex(0).doubleValue(), number.doubleValue());
    }
}

}  // namespace
