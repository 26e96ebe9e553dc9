// A large output is written straight into the container that the result is, and moved out: the
// memory the process holds at its peak grows by little more than the text itself (read from the
// kernel's count of resident memory, whose peak the test resets before writing).

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "JsonSerializerTestSupport.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// A line of /proc/self/status in bytes ("VmRSS", "VmHWM"), or -1.
long long statusBytes(const std::string& key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(key + ":", 0) == 0) return std::stoll(line.substr(key.size() + 1)) * 1024;
    }
    return -1;
}

// Starts a new peak at the resident memory of now; false where the kernel does not offer it.
bool resetPeak() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return clear.good() && statusBytes("VmHWM") >= 0;
}

TEST(JsonSerializerMemory, HundredMegabyteOutputPeaksWithinOnePointThreeTimesItsSize) {
    if (kSanitized) GTEST_SKIP() << "the sanitizers' own memory hides the writer's";
    // One million times the same 98-byte string: 100,000,001 bytes of text from a 16 MB tree.
    const JsonValue member = str(std::string(97, 'x'));
    const JsonValue tree = arrayOf(std::vector<JsonValue>(1000000, member));
    const size_t expectedSize = 1000000 * 100 + 1;

    for (const bool bytes : {false, true}) {
        if (!resetPeak()) GTEST_SKIP() << "no resettable peak of resident memory here";
        const long long before = statusBytes("VmRSS");
        size_t size = 0;
        if (bytes) {
            const std::optional<platform::Bytes> data = JSONData(tree);
            ASSERT_TRUE(data);
            size = data->size();
            EXPECT_EQ((*data)[data->size() - 2], '"');
        } else {
            const std::optional<std::string> text = JSONString(tree);
            ASSERT_TRUE(text);
            size = text->size();
            EXPECT_EQ(text->substr(0, 4), "[\"xx");
        }
        const long long peak = statusBytes("VmHWM");
        EXPECT_EQ(size, expectedSize);
        EXPECT_LE(static_cast<double>(peak - before), 1.3 * static_cast<double>(expectedSize))
            << (bytes ? "bytes" : "text") << ": peak " << peak << " before " << before;
    }
}

}  // namespace
