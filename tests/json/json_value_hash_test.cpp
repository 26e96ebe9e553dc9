// The value hash that keys the token cache: strings hash their decoded bytes (jsonValueHash), so
// a value written with escapes and the same value written plainly hash alike. Numbers are values
// held in their handles and take no part in the cache.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "json/JSONDecoder.h"
#include "json/detail/JsonParseState.h"
#include "json/detail/JsonTokenCache.h"

namespace {

using namespace json::detail;

// Scans the one token at the start of text; its value hash.
uint64_t scannedHash(const std::string& text, bool string) {
    JsonParseState state;
    state.stringBufferBytes = reinterpret_cast<const uint8_t*>(text.data());
    state.stringBufferLength = text.size();
    uint8_t storage[64];
    json_managedBuffer_setToStackBuffer(&state.tokenBuffer, storage, sizeof storage);
    const int failed = string ? json_parse_string(&state) : json_parse_number(&state);
    json_managedBuffer_release(&state.tokenBuffer);
    EXPECT_EQ(failed, 0) << text;
    return state.token.value.hash;
}

TEST(JsonValueHash, StringsHashTheirDecodedBytes) {
    const struct {
        const char* text;
        std::string decoded;
    } strings[] = {
        {R"("a")", "a"},
        {R"("mixer scene 12")", "mixer scene 12"},
        {"\"caf\xC3\xA9\"", "caf\xC3\xA9"},
        {R"("tab\tand \u00e9")", "tab\tand \xC3\xA9"},
        {R"("a preset name of some length, \u0041 and \"quoted\"")", "a preset name of some length, A and \"quoted\""},
    };
    for (const auto& row : strings) {
        const auto* decoded = reinterpret_cast<const uint8_t*>(row.decoded.data());
        uint64_t words[2];
        EXPECT_EQ(scannedHash(std::string(row.text) + " ", true), jsonValueHash(decoded, row.decoded.size(), words))
            << row.text;
    }
}

TEST(JsonValueHash, NumbersLeaveTheCacheToStrings) {
    // Twenty thousand different numbers between two equal strings: had the numbers taken cache
    // items, one of them would have put the first string out.
    std::string text = "[\"channel\"";
    for (int i = 0; i < 20000; ++i) text += "," + std::to_string(i * 7 + 1000000);
    text += ",\"channel\"]";
    JSONDecoder decoder;
    const JsonValue tree = decoder.objectWithUTF8StringLength(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    ASSERT_TRUE(tree.isArray());
    const JsonArray& array = *tree.array();
    EXPECT_EQ(array.objectAtIndex(1).longLongValue(), 1000000);
    EXPECT_TRUE(array.objectAtIndex(0).isSameObject(array.objectAtIndex(array.count() - 1)));
}

}  // namespace
