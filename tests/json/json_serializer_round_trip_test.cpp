// Random trees written under every option mix read back equal through the strict reader.

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <string>

#include "JsonSerializerTestSupport.h"
#include "json/detail/JsonUtf8.h"

namespace {

using namespace json::detail;

class RandomTree {
public:
    explicit RandomTree(uint64_t seed) : random_(seed) {}

    JsonValue collection() { return random_() % 2 ? array(0) : dictionary(0); }

    // Text of every kind of character the strict reader accepts back: escapes, control bytes
    // (never U+0000), "/", and code points of every UTF-8 length (never a noncharacter).
    std::string text() {
        std::string out;
        const int length = static_cast<int>(random_() % 24);
        for (int i = 0; i < length; ++i) {
            uint32_t codePoint;
            switch (random_() % 6) {
            case 0:
                codePoint = static_cast<uint32_t>("\"\\/\b\f\n\r\t"[random_() % 8]);
                break;
            case 1:
                codePoint = 1 + static_cast<uint32_t>(random_() % 0x7F);
                break;
            case 2:
                codePoint = 0x80 + static_cast<uint32_t>(random_() % 0x780);
                break;
            case 3:
                codePoint = 0x800 + static_cast<uint32_t>(random_() % 0xF800);
                break;
            case 4:
                codePoint = 0x10000 + static_cast<uint32_t>(random_() % 0x100000);
                break;
            default:
                codePoint = 'a' + static_cast<uint32_t>(random_() % 26);
                break;
            }
            if (!jsonIsValidCodePoint(codePoint)) continue;
            uint8_t bytes[4];
            uint8_t* end = bytes;
            ConvertUTF32toUTF8(codePoint, &end, bytes + 4);
            out.append(reinterpret_cast<const char*>(bytes), static_cast<size_t>(end - bytes));
        }
        return out;
    }

private:
    JsonValue value(int depth) {
        const uint64_t pick = random_() % (depth < 6 ? 12 : 10);
        switch (pick) {
        case 0:
            return JsonValue::makeNull();
        case 1:
            return JsonValue::makeBoolean(random_() % 2);
        case 2:
            return JsonValue::makeInteger(static_cast<int64_t>(random_()));
        case 3:
            return JsonValue::makeUnsignedInteger(random_() | (uint64_t{1} << 63));
        case 4:
            return JsonValue::makeInteger(static_cast<int64_t>(random_() % 2001) - 1000);
        case 5: {
            double real;
            do {
                const uint64_t bits = random_();
                std::memcpy(&real, &bits, sizeof real);
            } while (!std::isfinite(real));
            return JsonValue::makeDouble(real);
        }
        case 6:
            return JsonValue::makeDouble(static_cast<double>(static_cast<int>(random_() % 20001) - 10000) / 64);
        case 7:
        case 8:
            // Strings already in the tree come again, so that the writer copies their text.
            if (!strings_.empty() && random_() % 3 == 0) return strings_[random_() % strings_.size()];
            strings_.push_back(str(text()));
            return strings_.back();
        case 9:
            return JsonValue::makeString("");
        case 10:
            return array(depth + 1);
        default:
            return dictionary(depth + 1);
        }
    }

    JsonValue array(int depth) {
        std::vector<JsonValue> members;
        const int count = static_cast<int>(random_() % 8);
        for (int i = 0; i < count; ++i) members.push_back(value(depth));
        return arrayOf(std::move(members), random_() % 2);
    }

    JsonValue dictionary(int depth) {
        std::vector<std::pair<JsonValue, JsonValue>> pairs;
        std::set<std::string> keys;
        const int count = static_cast<int>(random_() % 8);
        for (int i = 0; i < count; ++i) {
            const std::string key = text();
            if (keys.insert(key).second) pairs.emplace_back(str(key), value(depth));
        }
        return dictionaryOf(std::move(pairs), random_() % 2);
    }

    std::mt19937_64 random_;
    std::vector<JsonValue> strings_;
};

std::string textOf(const JsonSerializerResult& result) {
    if (const auto* text = std::get_if<std::string>(&result)) return *text;
    const auto& bytes = std::get<platform::Bytes>(result);
    return std::string(bytes.begin(), bytes.end());
}

TEST(JsonSerializerRoundTrip, RandomTreesReadBackEqualUnderEveryOptionMix) {
    const JsonSerializeOptionFlags optionMixes[] = {0, 1, 2, 3, 16, 17, 18, 19};
    for (uint64_t seed = 1; seed <= 100; ++seed) {
        RandomTree random(seed);
        const JsonValue tree = random.collection();
        const JsonValue top = str(random.text());
        for (JsonSerializeOptionFlags options : optionMixes) {
            for (JsonEncodeOptionType result : {JsonEncodeOptionResultData, JsonEncodeOptionResultString}) {
                platform::Error error;
                const std::string text = textOf(JsonSerializer::serializeObjectOptionsEncodeOptionBlockDelegateSelector(
                    tree, options, JsonEncodeOptionCollectionObj | result, {}, nullptr, 0, &error));
                ASSERT_TRUE(error.description.empty()) << error.description;
                const JsonValue back = objectFromJSONStringWithParseOptions(text, 0, &error);
                ASSERT_TRUE(back) << "seed " << seed << " options " << options << ": " << error.description << "\n" << text;
                EXPECT_EQ(back, tree) << "seed " << seed << " options " << options << "\n" << text;

                const std::string string = textOf(JsonSerializer::serializeObjectOptionsEncodeOptionBlockDelegateSelector(
                    top, options, JsonEncodeOptionStringObj | result, {}, nullptr, 0, nullptr));
                const JsonValue wrapped = objectFromJSONString("[" + string + "]");
                ASSERT_TRUE(wrapped) << string;
                EXPECT_EQ(wrapped.array()->objectAtIndex(0), top) << "seed " << seed << " options " << options;
            }
        }
    }
}

}  // namespace
