// Parsed trees are shared between threads by handle: the reference counts and the shared empty
// string must stand concurrent copies and releases, and the front ends may run on any thread.

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "JsonTestSupport.h"

namespace {

TEST(JsonConcurrency, ThreadsParseAndShareImmutableTrees) {
    const std::string text = R"({"Firmwares":[{"MCU_VER1":""},{"App_Name":"K42"},{"list":[1,2.5,"x",null,true]}]})";
    const JsonValue shared = objectFromJSONString(text);
    ASSERT_TRUE(shared);
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 300; ++i) {
                const JsonValue mine = objectFromJSONString(text);
                // Copy handles out of the shared tree and drop them again while other threads do
                // the same.
                JsonValue firmwares = shared.dictionary()->objectForKey("Firmwares");
                JsonValue empty = firmwares.array()->objectAtIndex(0).dictionary()->objectForKey("MCU_VER1");
                JsonValue copy = shared.copy();
                if (!(mine == copy) || empty.stringView() != "" || !JsonValue::makeString("").isSameObject(empty)) {
                    ++mismatches;
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
