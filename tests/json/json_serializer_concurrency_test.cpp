// Threads write one shared tree at once: every call has its own state and the writer only reads
// the tree, so each thread's text is the one a lone writer gives.

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "JsonSerializerTestSupport.h"

namespace {

TEST(JsonSerializerConcurrency, ThreadsWriteOneSharedTree) {
    std::string text = "[";
    for (int i = 0; i < 200; ++i) {
        text += (i ? "," : "") + std::string(R"({"name":"preset )") + std::to_string(i) +
                R"(","gain":)" + std::to_string(i * 0.25) + R"(,"tags":["caf\u00e9","\ud83d\ude00",null,true]})";
    }
    text += "]";
    const JsonValue parsed = objectFromJSONString(text);
    ASSERT_TRUE(parsed);
    // A mutable tree with a caller object in it, written through one shared formatter.
    const JsonValue shared = mutableObjectFromJSONString(text);
    shared.array()->insertObjectAtIndex(TestDate::make("2024-05-01"), 0);
    const JsonFormatterBlock block = [](const JsonValue& object) { return str(TestDate::textOf(object)); };

    const JsonSerializeOptionFlags mixes[] = {0, JsonSerializeOptionPretty,
                                              JsonSerializeOptionEscapeNonASCII | JsonSerializeOptionEscapeSlash};
    std::vector<std::string> expected;
    for (JsonSerializeOptionFlags options : mixes) {
        expected.push_back(*JSONStringWithOptions(parsed, options));
        expected.push_back(*JSONStringWithOptionsSerializeUnsupportedClassesUsingBlock(shared, options, block));
    }

    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 40; ++i) {
                const size_t mix = static_cast<size_t>(t + i) % std::size(mixes);
                if (JSONStringWithOptions(parsed, mixes[mix]) != expected[2 * mix]) ++mismatches;
                if (JSONStringWithOptionsSerializeUnsupportedClassesUsingBlock(shared, mixes[mix], block) !=
                    expected[2 * mix + 1])
                    ++mismatches;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
