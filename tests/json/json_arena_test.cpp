// The strings and collections of a one-call parse share large blocks of memory: an immutable
// tree's blocks live while any value of the tree does, a mutable tree's block while anything
// carved out of it does. Values kept after their tree is gone, and values dropped
// on another thread than the one that parsed them, must stay intact until their last holder goes
// (run under the sanitizers: early frees and leaks are reported).

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "JsonTestSupport.h"

namespace {

// About 400 KB: many blocks of strings, arrays and dictionaries.
std::string manyMembers(int seed) {
    std::string text = "[";
    for (int i = 0; i < 4000; ++i) {
        if (i) text += ',';
        text += R"({"name":"member )" + std::to_string(seed * 10000 + i) + R"(","list":[)" + std::to_string(i) +
                R"(,"x"],"text":")" + std::string(static_cast<size_t>(i % 60), 'a' + static_cast<char>(i % 26)) + "\"}";
    }
    return text + "]";
}

std::vector<JsonValue> keepSome(const JsonValue& tree) {
    std::vector<JsonValue> kept;
    const JsonArray& members = *tree.array();
    for (uint64_t i = 0; i < members.count(); i += 97) {
        const JsonDictionary& member = *members.objectAtIndex(i).dictionary();
        kept.push_back(member.objectForKey("name"));
        kept.push_back(member.objectForKey("list"));
        kept.push_back(members.objectAtIndex(i));
    }
    return kept;
}

void expectIntact(const std::vector<JsonValue>& kept, int seed) {
    for (size_t k = 0; k < kept.size(); ++k) {
        const uint64_t i = (k / 3) * 97;
        switch (k % 3) {
        case 0:
            EXPECT_EQ(kept[k].stringView(), "member " + std::to_string(seed * 10000 + static_cast<int>(i)));
            break;
        case 1:
            EXPECT_EQ(kept[k].description(), "[" + std::to_string(i) + ",\"x\"]");
            break;
        default:
            EXPECT_EQ(kept[k].dictionary()->objectForKey("name").stringView(),
                      "member " + std::to_string(seed * 10000 + static_cast<int>(i)));
            break;
        }
    }
}

TEST(JsonArena, ValuesKeptFromATreeOutliveIt) {
    std::vector<JsonValue> kept;
    {
        const JsonValue tree = objectFromJSONString(manyMembers(1));
        ASSERT_TRUE(tree.isArray());
        kept = keepSome(tree);
    }
    // Parse and drop other trees meanwhile, so that freed blocks are used again; let the kept
    // values go a few at a time, checking the rest each time.
    for (int round = 0; !kept.empty(); ++round) {
        EXPECT_TRUE(mutableObjectFromJSONString(manyMembers(2 + round)).isArray());
        expectIntact(kept, 1);
        kept.resize(kept.size() >= 4 ? kept.size() - 4 : 0);  // not whole members: blocks half let go
    }
}

TEST(JsonArena, ValuesDroppedOnOtherThreads) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        JsonValue tree = objectFromJSONString(manyMembers(t));
        ASSERT_TRUE(tree.isArray());
        std::vector<JsonValue> kept = keepSome(tree);
        threads.emplace_back([kept = std::move(kept), tree = std::move(tree), t]() mutable {
            expectIntact(kept, t);
            // This thread parses too, then drops the other thread's tree and values.
            EXPECT_TRUE(objectFromJSONString(manyMembers(10 + t)).isArray());
            tree = JsonValue();
            expectIntact(kept, t);
        });
    }
    for (std::thread& thread : threads) thread.join();
}

}  // namespace
