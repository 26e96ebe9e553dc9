#pragma once
// Helpers shared by the JSON writer's tests: trees built by hand and an object of the caller's
// own class.

#include <string>
#include <utility>
#include <vector>

#include "JsonTestSupport.h"
#include "json/JsonSerializer.h"

inline JsonValue arrayOf(std::vector<JsonValue> members, bool mutableArray = false) {
    return JsonArrayCreate(members.data(), members.size(), mutableArray);
}

inline JsonValue dictionaryOf(std::vector<std::pair<JsonValue, JsonValue>> pairs, bool mutableDictionary = false) {
    std::vector<JsonValue> keys;
    std::vector<JsonValue> objects;
    std::vector<uint64_t> hashes;
    for (auto& [key, object] : pairs) {
        hashes.push_back(key.hash());
        keys.push_back(std::move(key));
        objects.push_back(std::move(object));
    }
    return JsonDictionaryCreate(keys.data(), hashes.data(), objects.data(), keys.size(), mutableDictionary);
}

inline JsonValue str(std::string_view text) { return JsonValue::makeString(text); }

// A date of the caller's own: JSON has no such kind, so only a formatter can write it.
class TestDate : public JsonCallerObject {
public:
    explicit TestDate(std::string text) : text_(std::move(text)) {}
    std::string className() const override { return "JsonTestDate"; }
    const std::string& text() const { return text_; }

    static JsonValue make(std::string text) { return JsonValue::makeCallerObject(std::make_unique<TestDate>(std::move(text))); }
    static std::string textOf(const JsonValue& value) { return static_cast<const TestDate*>(value.callerObject())->text(); }

private:
    std::string text_;
};

// What a serializer call gives: the text of a string result, "bytes: " and the text of a data
// result, "error: " and the message of a failure, or the kind and text of an exception raised.
inline std::string outcomeOf(const std::function<JsonSerializerResult(platform::Error*)>& call) {
    try {
        platform::Error error;
        const JsonSerializerResult result = call(&error);
        if (const auto* text = std::get_if<std::string>(&result)) return *text;
        if (const auto* bytes = std::get_if<platform::Bytes>(&result))
            return "bytes: " + std::string(bytes->begin(), bytes->end());
        if (error.domain != JsonErrorDomain || error.code != JsonErrorCode) return "bad error: " + error.toString();
        return "error: " + error.description;
    } catch (const JsonInternalInconsistencyException& e) {
        return std::string("inconsistency: ") + e.what();
    } catch (const JsonInvalidArgumentException& e) {
        return std::string("invalid argument: ") + e.what();
    } catch (const JsonMutationDuringEnumerationException& e) {
        return std::string("mutation: ") + e.what();
    }
}

inline std::string outcomeOf(const JsonValue& object, JsonSerializeOptionFlags options = 0,
                             JsonEncodeOptionType encodeOption = JsonEncodeOptionResultString,
                             const JsonFormatterBlock& block = {}, JsonSerializerDelegate* delegate = nullptr,
                             JsonFormatterSelector selector = 0) {
    return outcomeOf([&](platform::Error* error) {
        return JsonSerializer::serializeObjectOptionsEncodeOptionBlockDelegateSelector(object, options, encodeOption,
                                                                                      block, delegate, selector, error);
    });
}
