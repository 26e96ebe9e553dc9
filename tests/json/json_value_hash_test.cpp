// The value hash that keys the token cache, checked against its definition: strings hash their
// decoded bytes, h = ((h * 33) + (c - 29)) XOR (h >> 19) from 1402737925; numbers start from
// 1402737925 + value type (+ the integer value) and fold in their 8 value bytes the same way.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "json/detail/JsonParseState.h"

namespace {

using namespace json::detail;

uint64_t definedHash(uint64_t h, const std::string& bytes) {
    for (unsigned char c : bytes) h = (h * 33u + static_cast<uint64_t>(c) - 29u) ^ (h >> 19);
    return h;
}

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

TEST(JsonValueHash, StringsAndNumbersHashByDefinition) {
    const struct {
        const char* text;
        std::string decoded;
    } strings[] = {
        {R"("a")", "a"},
        {R"("mixer scene 12")", "mixer scene 12"},
        {"\"caf\xC3\xA9\"", "caf\xC3\xA9"},
        {R"("tab\tand \u00e9")", "tab\tand \xC3\xA9"},
    };
    for (const auto& row : strings) {
        EXPECT_EQ(scannedHash(std::string(row.text) + " ", true), definedHash(1402737925u, row.decoded)) << row.text;
    }

    auto numberHash = [](uint64_t type, uint64_t cell, bool integer) {
        uint64_t h = 1402737925u + type + (integer ? cell : 0);
        std::string bytes;
        for (int i = 0; i < 8; ++i) bytes += static_cast<char>(cell >> (8 * i));
        return definedHash(h, bytes);
    };
    EXPECT_EQ(scannedHash("42,", false), numberHash(11, 42, true));
    EXPECT_EQ(scannedHash("-7,", false), numberHash(7, static_cast<uint64_t>(int64_t{-7}), true));
    double half = 0.5;
    uint64_t halfBits;
    std::memcpy(&halfBits, &half, sizeof halfBits);
    EXPECT_EQ(scannedHash("0.5,", false), numberHash(13, halfBits, false));
}

}  // namespace
