// A kept decoder hands the same cached strings to many trees. Those trees are dropped on other
// threads while the decoder goes on parsing, evicting cache items and clearing its cache: every
// string must live exactly as long as its last holder (run under the sanitizers: a string freed
// too early or never freed is reported).

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "JsonTestSupport.h"

namespace {

struct Parsed {
    JsonValue tree;
    std::string expected;
};

TEST(JsonConcurrency, CachedStringsOutliveTheCacheAndDieWithTheirLastTree) {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<Parsed> queue;
    bool done = false;
    std::atomic<int> mismatches{0};

    std::vector<std::thread> workers;
    for (int t = 0; t < 3; ++t) {
        workers.emplace_back([&] {
            for (;;) {
                Parsed parsed;
                {
                    std::unique_lock<std::mutex> lock(mutex);
                    ready.wait(lock, [&] { return done || !queue.empty(); });
                    if (queue.empty()) return;
                    parsed = std::move(queue.front());
                    queue.pop_front();
                }
                // Copy handles to the shared strings out of the tree and drop them again.
                const JsonArray& list = *parsed.tree.dictionary()->objectForKey("list").array();
                std::vector<JsonValue> copies;
                for (const JsonValue& element : list) copies.push_back(element.dictionary()->objectForKey("name"));
                if (parsed.tree.description() != parsed.expected) ++mismatches;
            }
        });
    }

    JSONDecoder decoder;
    std::vector<JsonValue> keptHere;
    for (int i = 0; i < 600; ++i) {
        // Shared keys and values, plus enough distinct names that cache items are replaced.
        std::string text = R"({"list":[)";
        for (int j = 0; j < 8; ++j) {
            if (j) text += ',';
            text += R"({"name":"channel )" + std::to_string((i * 7 + j * 131) % 3000) + R"(","kind":"input"})";
        }
        text += "]}";
        JsonValue tree = decoder.objectWithUTF8StringLength(reinterpret_cast<const uint8_t*>(text.data()), text.size());
        ASSERT_TRUE(tree);
        if (i % 5 == 0) keptHere.push_back(tree);
        if (i % 50 == 0) decoder.clearCache();
        if (i % 97 == 0) keptHere.clear();
        {
            std::lock_guard<std::mutex> lock(mutex);
            queue.push_back({std::move(tree), text});
        }
        ready.notify_one();
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
    }
    ready.notify_all();
    for (std::thread& worker : workers) worker.join();
    EXPECT_EQ(mismatches.load(), 0);
    for (const JsonValue& tree : keptHere) {
        EXPECT_EQ(tree.dictionary()->objectForKey("list").array()->objectAtIndex(0).dictionary()->objectForKey("kind").stringView(),
                  "input");
    }
}

}  // namespace
