#include "platform/Utf8.h"

#include <gtest/gtest.h>

TEST(Utf8, ReplacementKeepsValidTextAndMarksEachBadByte) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"plain", "plain"},
        {"\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"},
        {"a\xFF" "b", "a\xEF\xBF\xBD" "b"},
        {"\xE2\x82", "\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    for (const auto& c : cases) {
        auto* b = reinterpret_cast<const uint8_t*>(c.in.data());
        EXPECT_EQ(platform::utf8WithReplacement(b, c.in.size()), c.out);
        EXPECT_EQ(platform::isValidUtf8(b, c.in.size()), c.in == c.out);
    }
}

TEST(Utf8, PrefixLengthStopsAtACharacterBoundary) {
    const std::string text = "abcdefghijklmn\xC3\xA9xyz";  // é at bytes 14-15
    EXPECT_EQ(platform::utf8PrefixLength(text, 16), 16u);
    EXPECT_EQ(platform::utf8PrefixLength(text, 15), 14u);
    EXPECT_EQ(platform::utf8PrefixLength("short", 16), 5u);
    const std::string euro = "\xE2\x82\xAC\xE2\x82\xAC";
    EXPECT_EQ(platform::utf8PrefixLength(euro, 4), 3u);
    EXPECT_EQ(platform::utf8PrefixLength(euro, 2), 0u);
}
