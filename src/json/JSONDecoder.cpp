#include "json/JSONDecoder.h"

#include <new>

#include "json/detail/JsonParseState.h"

using namespace json::detail;

namespace {

constexpr uint64_t kTokenBufferRounding = 4096;
constexpr uint64_t kObjectStackRounding = 2048;

// The byte pointer for a byte vector; an empty vector still has one (empty input, not a
// missing one).
const uint8_t* bytesOf(const platform::Bytes& data) {
    static const uint8_t empty = 0;
    return data.empty() ? &empty : data.data();
}

}  // namespace

std::unique_ptr<JSONDecoder> JSONDecoder::decoder() {
    return decoderWithParseOptions(JsonParseOptionStrict);
}

std::unique_ptr<JSONDecoder> JSONDecoder::decoderWithParseOptions(JsonParseOptionFlags options) {
    return std::make_unique<JSONDecoder>(options);
}

JSONDecoder::JSONDecoder() : JSONDecoder(JsonParseOptionStrict) {}

JSONDecoder::JSONDecoder(JsonParseOptionFlags options) {
    if (options > JsonParseOptionsValidMask) throw JsonInvalidArgumentException("Invalid parse options.");
    auto state = std::make_unique<JsonParseState>();
    state->parseOptionFlags = options;
    state->tokenBuffer.roundSizeUpToMultipleOf = kTokenBufferRounding;
    state->objectStack.roundSizeUpToMultipleOf = kObjectStackRounding;
    state->cache.items.reset(new JsonTokenCacheItem[JsonTokenCacheCount]);
    state->cache.count = JsonTokenCacheCount;
    parseState = std::move(state);
}

JSONDecoder::~JSONDecoder() {
    if (parseState) {
        json_managedBuffer_release(&parseState->tokenBuffer);
        json_objectStack_release(&parseState->objectStack);
        clearCache();
    }
}

JSONDecoder::JSONDecoder(JSONDecoder&& other) noexcept = default;
JSONDecoder& JSONDecoder::operator=(JSONDecoder&& other) noexcept = default;

void JSONDecoder::clearCache() {
    if (parseState) json_clearCache(parseState.get());
}

JsonParseOptionFlags JSONDecoder::parseOptions() const {
    return parseState ? parseState->parseOptionFlags : 0;
}

JsonValue JSONDecoder::parse(const uint8_t* bytes, uint64_t length, bool mutableResults, platform::Error* error) {
    if (!parseState) throw JsonInternalInconsistencyException("parseState is NULL.");
    if (!bytes) throw JsonInvalidArgumentException("The string argument is NULL.");
    return JsonParseUTF8String(parseState.get(), mutableResults, bytes, length, error);
}

JsonValue JSONDecoder::objectWithUTF8StringLength(const uint8_t* bytes, uint64_t length, platform::Error* error) {
    return parse(bytes, length, false, error);
}

JsonValue JSONDecoder::parseUTF8StringLength(const uint8_t* bytes, uint64_t length, platform::Error* error) {
    return parse(bytes, length, false, error);
}

JsonValue JSONDecoder::objectWithData(const platform::Bytes& jsonData, platform::Error* error) {
    return parse(bytesOf(jsonData), jsonData.size(), false, error);
}

JsonValue JSONDecoder::parseJSONData(const platform::Bytes& jsonData, platform::Error* error) {
    return parse(bytesOf(jsonData), jsonData.size(), false, error);
}

JsonValue JSONDecoder::mutableObjectWithUTF8StringLength(const uint8_t* bytes, uint64_t length,
                                                         platform::Error* error) {
    return parse(bytes, length, true, error);
}

JsonValue JSONDecoder::mutableObjectWithData(const platform::Bytes& jsonData, platform::Error* error) {
    return parse(bytesOf(jsonData), jsonData.size(), true, error);
}

// What the one-call front ends may set on the decoder they make.
struct JsonFrontEnd {
    // The decoder is cleaned up right after its one parse, so its strings live with their tree.
    static void keepStringsWithTheirTree(JSONDecoder& decoder) { decoder.parseState->stringsInArena = true; }
};

namespace {

// Every front-end call parses with a fresh decoder, gone after the call. Options above 15 raise;
// a decoder that cannot be made for want of memory gives none without an error.
JsonValue parseOnce(const uint8_t* bytes, uint64_t length, JsonParseOptionFlags options, bool mutableResults,
                    platform::Error* error) {
    std::unique_ptr<JSONDecoder> decoder;
    try {
        decoder = std::make_unique<JSONDecoder>(options);
    } catch (const std::bad_alloc&) {
        return {};
    }
    JsonFrontEnd::keepStringsWithTheirTree(*decoder);
    return mutableResults ? decoder->mutableObjectWithUTF8StringLength(bytes, length, error)
                          : decoder->objectWithUTF8StringLength(bytes, length, error);
}

const uint8_t* bytesOf(const std::string& text) {
    return reinterpret_cast<const uint8_t*>(text.data());
}

}  // namespace

JsonValue objectFromJSONString(const std::string& text) {
    return objectFromJSONStringWithParseOptions(text, JsonParseOptionStrict, nullptr);
}

JsonValue objectFromJSONStringWithParseOptions(const std::string& text, JsonParseOptionFlags options,
                                               platform::Error* error) {
    return parseOnce(bytesOf(text), text.size(), options, false, error);
}

JsonValue mutableObjectFromJSONString(const std::string& text) {
    return mutableObjectFromJSONStringWithParseOptions(text, JsonParseOptionStrict, nullptr);
}

JsonValue mutableObjectFromJSONStringWithParseOptions(const std::string& text, JsonParseOptionFlags options,
                                                      platform::Error* error) {
    return parseOnce(bytesOf(text), text.size(), options, true, error);
}

JsonValue objectFromJSONData(const platform::Bytes& data) {
    return objectFromJSONDataWithParseOptions(data, JsonParseOptionStrict, nullptr);
}

JsonValue objectFromJSONDataWithParseOptions(const platform::Bytes& data, JsonParseOptionFlags options,
                                             platform::Error* error) {
    return parseOnce(bytesOf(data), data.size(), options, false, error);
}

JsonValue mutableObjectFromJSONData(const platform::Bytes& data) {
    return mutableObjectFromJSONDataWithParseOptions(data, JsonParseOptionStrict, nullptr);
}

JsonValue mutableObjectFromJSONDataWithParseOptions(const platform::Bytes& data, JsonParseOptionFlags options,
                                                    platform::Error* error) {
    return parseOnce(bytesOf(data), data.size(), options, true, error);
}
