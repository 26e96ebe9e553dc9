// The object stack grows the keys of open dictionaries apart from the members of open arrays:
// dictionaries opened while a long array holds thousands of members, and failures in that state
// (with or without a dictionary among them), must read and release every entry correctly. The
// grown storage is kept for the thread's next parse and must come to it empty.

#include <gtest/gtest.h>

#include <string>

#include "JsonTestSupport.h"

namespace {

std::string longArrayThen(const std::string& tail) {
    std::string text = "[";
    for (int i = 0; i < 5000; ++i) text += std::to_string(i) + ",";
    return text + tail;
}

TEST(JsonObjectStack, DictionariesOpenedBehindALongArray) {
    // Each tail is read once behind 5000 array members and once alone: the same last element,
    // or the same error message.
    const std::string tails[] = {
        R"({"a":1,"b":[{"c":"d","e":{"f":[2]}}]}])",
        R"({"a":1 "b":2}])",
        R"({"a":{"b":[1,{"c":)",
        R"({"a":{"b":[1,{"c":2})",
        R"({"a":"x","a":"y"}])",
        R"(1 2])",
        R"([1,[2]],])",
    };
    for (const std::string& tail : tails) {
        platform::Error longError, shortError;
        const JsonValue behind = objectFromJSONStringWithParseOptions(longArrayThen(tail), 0, &longError);
        const JsonValue alone = objectFromJSONStringWithParseOptions("[" + tail, 0, &shortError);
        ASSERT_EQ(static_cast<bool>(behind), static_cast<bool>(alone)) << tail;
        if (alone) {
            ASSERT_EQ(behind.array()->count(), 5001u);
            EXPECT_EQ(behind.array()->objectAtIndex(4999).longLongValue(), 4999);
            EXPECT_EQ(behind.array()->objectAtIndex(5000), alone.array()->objectAtIndex(0)) << tail;
        } else {
            EXPECT_EQ(longError.description, shortError.description) << tail;
        }
    }
}

TEST(JsonObjectStack, LongArraysInsideALongDictionary) {
    std::string text = "{";
    for (int i = 0; i < 3000; ++i) {
        text += "\"k" + std::to_string(i) + "\":";
        text += i % 1000 == 0 ? longArrayThen("{\"in\":" + std::to_string(i) + "}]") : std::to_string(i);
        text += ",";
    }
    text += "\"last\":true}";
    const JsonValue value = objectFromJSONString(text);
    ASSERT_TRUE(value.isDictionary());
    const JsonDictionary& members = *value.dictionary();
    EXPECT_EQ(members.count(), 3001u);
    EXPECT_EQ(members.objectForKey("k2000").array()->objectAtIndex(5000).description(), R"({"in":2000})");
    EXPECT_EQ(members.objectForKey("k2999").longLongValue(), 2999);
    EXPECT_TRUE(members.objectForKey("last").boolValue());
}

TEST(JsonObjectStack, StorageKeptForTheNextParseComesEmpty) {
    // Long arrays of strings (objects of their own, freed with their trees) that parse, fail
    // half-way or are cut off; after each, a long array of numbers parses whole and alone.
    std::string strings = "[";
    for (int i = 0; i < 20000; ++i) strings += "\"member " + std::to_string(i) + "\",";
    const std::string endings[] = {"\"last\"]", "\"last\" \"extra\"]", "\"last\""};
    std::string numbers = "[";
    for (int i = 0; i < 30000; ++i) numbers += std::to_string(i) + ",";
    numbers += "30000]";
    for (const bool mutableResults : {false, true}) {
        for (const std::string& ending : endings) {
            platform::Error error;
            const JsonValue first = mutableResults
                                        ? mutableObjectFromJSONStringWithParseOptions(strings + ending, 0, &error)
                                        : objectFromJSONStringWithParseOptions(strings + ending, 0, &error);
            if (first) {
                EXPECT_EQ(first.array()->objectAtIndex(19999).stringView(), "member 19999");
            }
            const JsonValue second = objectFromJSONString(numbers);
            ASSERT_TRUE(second.isArray()) << ending;
            ASSERT_EQ(second.array()->count(), 30001u) << ending;
            for (uint64_t i = 0; i <= 30000; ++i) ASSERT_EQ(second.array()->objectAtIndex(i).longLongValue(), static_cast<int64_t>(i));
        }
    }
}

}  // namespace
