// The decoder and the front ends: option checks, argument checks, the token cache across
// parses, mutable and immutable results, and the firmware manifest as the programs read it.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <string>

#include "JsonTestSupport.h"

namespace {

const uint8_t* bytes(const std::string& text) { return reinterpret_cast<const uint8_t*>(text.data()); }

TEST(JSONDecoder, ArgumentChecksRaise) {
    EXPECT_EQ(caught<JsonInvalidArgumentException>([] { JSONDecoder decoder(16); }), "Invalid parse options.");
    EXPECT_EQ(caught<JsonInvalidArgumentException>([] { JSONDecoder::decoderWithParseOptions(255); }),
              "Invalid parse options.");
    // The front ends raise too instead of returning an error.
    platform::Error error;
    EXPECT_EQ(caught<JsonInvalidArgumentException>([&] { objectFromJSONStringWithParseOptions("[]", 16, &error); }),
              "Invalid parse options.");
    EXPECT_TRUE(error.domain.empty());
    EXPECT_EQ(JSONDecoder(15).parseOptions(), 15u);

    JSONDecoder decoder;
    EXPECT_EQ(caught<JsonInvalidArgumentException>([&] { decoder.objectWithUTF8StringLength(nullptr, 0); }),
              "The string argument is NULL.");
    JSONDecoder moved = std::move(decoder);
    EXPECT_EQ(caught<JsonInternalInconsistencyException>([&] { decoder.objectWithData(platform::Bytes{'[', ']'}); }),
              "parseState is NULL.");
    EXPECT_TRUE(moved.objectWithData(platform::Bytes{'[', ']'}).isArray());
}

TEST(JSONDecoder, EmptyInputIsTheEndOfTheBuffer) {
    platform::Error fromString, fromData, fromBytes;
    EXPECT_FALSE(objectFromJSONStringWithParseOptions("", 0, &fromString));
    EXPECT_FALSE(objectFromJSONDataWithParseOptions(platform::Bytes{}, 0, &fromData));
    static const uint8_t one = '[';
    EXPECT_FALSE(JSONDecoder().objectWithUTF8StringLength(&one, 0, &fromBytes));
    for (const platform::Error* error : {&fromString, &fromData, &fromBytes}) {
        EXPECT_EQ(error->description, "Reached the end of the buffer.");
        EXPECT_EQ(userInfoNumber(*error, JsonAtIndexKey), 0u);
        EXPECT_EQ(userInfoNumber(*error, JsonLineNumberKey), 1u);
    }
}

TEST(JSONDecoder, EveryEntryPointParsesTheSameBytes) {
    const std::string text = R"({"a":[1,"x",{"b":null}]})";
    const platform::Bytes data(text.begin(), text.end());
    JSONDecoder decoder;
    const JsonValue reference = objectFromJSONString(text);
    const JsonValue results[] = {
        decoder.objectWithUTF8StringLength(bytes(text), text.size()),
        decoder.parseUTF8StringLength(bytes(text), text.size()),
        decoder.objectWithData(data),
        decoder.parseJSONData(data),
        decoder.mutableObjectWithUTF8StringLength(bytes(text), text.size()),
        decoder.mutableObjectWithData(data),
        objectFromJSONStringWithParseOptions(text, 0),
        objectFromJSONData(data),
        objectFromJSONDataWithParseOptions(data, 0),
        mutableObjectFromJSONString(text),
        mutableObjectFromJSONStringWithParseOptions(text, 0),
        mutableObjectFromJSONData(data),
        mutableObjectFromJSONDataWithParseOptions(data, 0),
    };
    for (const JsonValue& result : results) EXPECT_EQ(result, reference) << result.description();
}

TEST(JSONDecoder, MutableEntryPointsGiveMutableCollectionsAtEveryLevel) {
    const JsonValue value = mutableObjectFromJSONString(R"({"list":[{"inner":[]}]})");
    JsonDictionary& top = *value.dictionary();
    ASSERT_TRUE(top.isMutable());
    JsonArray& list = *top.objectForKey("list").array();
    ASSERT_TRUE(list.isMutable());
    ASSERT_TRUE(list.objectAtIndex(0).dictionary()->isMutable());
    list.objectAtIndex(0).dictionary()->objectForKey("inner").array()->insertObjectAtIndex(JsonValue::makeString("s"), 0);
    top.removeObjectForKey(JsonValue::makeString("nothing"));
    top.setObjectForKey(JsonValue::makeInteger(1), JsonValue::makeString("n"));
    EXPECT_EQ(top.objectForKey("list").description(), R"([{"inner":["s"]}])");

    const JsonValue frozen = objectFromJSONString(R"({"list":[{"inner":[]}]})");
    EXPECT_FALSE(frozen.dictionary()->isMutable());
    EXPECT_FALSE(frozen.dictionary()->objectForKey("list").array()->isMutable());
}

TEST(JSONDecoder, TokenCacheSharesStringsAcrossParsesUntilCleared) {
    JSONDecoder decoder;
    const std::string text = R"([{"name":"mixer","kind":"mixer"},{"name":"desk"}])";
    const JsonValue first = decoder.objectWithUTF8StringLength(bytes(text), text.size());
    ASSERT_TRUE(first);
    const JsonDictionary& a = *first.array()->objectAtIndex(0).dictionary();
    const JsonDictionary& b = *first.array()->objectAtIndex(1).dictionary();
    // Within one parse: the repeated value and the repeated key are one object each.
    EXPECT_TRUE(a.objectForKey("name").isSameObject(a.objectForKey("kind")));
    JsonValue keysA[2], keysB[1];
    a.getObjectsAndKeys(nullptr, keysA);
    b.getObjectsAndKeys(nullptr, keysB);
    EXPECT_TRUE(keysB[0].isSameObject(keysA[0].stringView() == "name" ? keysA[0] : keysA[1]));

    // A second parse with the same decoder takes its strings from the cache.
    const JsonValue second = decoder.objectWithUTF8StringLength(bytes(text), text.size());
    EXPECT_EQ(second, first);
    EXPECT_TRUE(second.array()->objectAtIndex(0).dictionary()->objectForKey("name").isSameObject(a.objectForKey("name")));

    // After clearCache the strings are made again; the old tree is unaffected.
    decoder.clearCache();
    const JsonValue third = decoder.objectWithUTF8StringLength(bytes(text), text.size());
    EXPECT_EQ(third, first);
    EXPECT_FALSE(third.array()->objectAtIndex(0).dictionary()->objectForKey("name").isSameObject(a.objectForKey("name")));
    EXPECT_EQ(a.objectForKey("name").stringView(), "mixer");

    // The front ends use a fresh decoder each time, so nothing is shared between their calls.
    const JsonValue once = objectFromJSONString(text);
    const JsonValue twice = objectFromJSONString(text);
    EXPECT_FALSE(once.array()->objectAtIndex(1).dictionary()->objectForKey("name").isSameObject(
        twice.array()->objectAtIndex(1).dictionary()->objectForKey("name")));
}

TEST(JSONDecoder, StaysUsableAfterAnError) {
    JSONDecoder decoder;
    const std::string bad = R"({"a":[1,2,}])";
    const std::string good = R"({"a":[1,2]})";
    platform::Error error;
    EXPECT_FALSE(decoder.objectWithUTF8StringLength(bytes(bad), bad.size(), &error));
    EXPECT_EQ(error.description, "Expected a value, not '}'");
    platform::Error untouched = platform::Error::make("Earlier", 1, "kept");
    EXPECT_EQ(decoder.objectWithUTF8StringLength(bytes(good), good.size(), &untouched).description(), good);
    EXPECT_EQ(untouched.domain, "Earlier");
}

TEST(JSONDecoder, ReadsTheFirmwareManifestAsTheProgramsDo) {
    std::ifstream in(std::filesystem::path(VARNEL_SOURCE_DIR) / "resources" / "lib" / "PE4471093357.json",
                     std::ios::binary);
    ASSERT_TRUE(in) << "manifest missing";
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    platform::Error error;
    const JsonValue manifest = objectFromJSONStringWithParseOptions(text, 0, &error);
    ASSERT_TRUE(manifest.isDictionary()) << error.description;
    const JsonArray* firmwares = manifest.dictionary()->objectForKey("Firmwares").array();
    ASSERT_NE(firmwares, nullptr);
    ASSERT_EQ(firmwares->count(), 9u);
    EXPECT_EQ(firmwares->objectAtIndex(4).dictionary()->objectForKey("App_Name").stringView(),
              "K42 Firmware update tool");
    EXPECT_EQ(firmwares->objectAtIndex(8).dictionary()->objectForKey("Utype").stringView(), "0");
    EXPECT_TRUE(firmwares->objectAtIndex(0).dictionary()->objectForKey("App_Name").isNone());
    EXPECT_THROW(firmwares->objectAtIndex(9), JsonRangeException);
}

}  // namespace
