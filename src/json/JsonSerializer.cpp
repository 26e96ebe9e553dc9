// The serializer: checks the arguments of a call, sets up its state, has the encoder core write
// the object and turns the written bytes into the result.

#include "json/JsonSerializer.h"

#include <new>

#include "json/detail/JsonEncodeState.h"

using namespace json::detail;

namespace {

constexpr uint64_t kOutputStackSize = 4096;
constexpr uint64_t kOutputRounding = 32768;

void requireParameter(bool condition, const char* description) {
    if (!condition) throw JsonInternalInconsistencyException(std::string("Invalid parameter not satisfying: ") + description);
}

}  // namespace

JsonSerializer::JsonSerializer() = default;

JsonSerializer::~JsonSerializer() {
    releaseState();
}

void JsonSerializer::releaseState() {
    if (!encodeState) return;
    json_managedBuffer_release(&encodeState->stringBuffer);
    encodeState.reset();
}

JsonSerializerResult JsonSerializer::serializeObjectOptionsEncodeOptionBlockDelegateSelector(
    const JsonValue& object, JsonSerializeOptionFlags options, JsonEncodeOptionType encodeOption,
    const JsonFormatterBlock& block, JsonSerializerDelegate* delegate, JsonFormatterSelector selector,
    platform::Error* error) {
    JsonSerializer serializer;
    return serializer.serializeObjectOptionsEncodeOptionBlockDelegateSelectorError(object, options, encodeOption, block,
                                                                                  delegate, selector, error);
}

JsonSerializerResult JsonSerializer::serializeObjectOptionsEncodeOptionBlockDelegateSelectorError(
    const JsonValue& object, JsonSerializeOptionFlags options, JsonEncodeOptionType encodeOption,
    const JsonFormatterBlock& block, JsonSerializerDelegate* delegate, JsonFormatterSelector selector,
    platform::Error* error) {
    requireParameter(!object.isNone(), "object != nil");
    requireParameter(!encodeState, "encodeState == NULL");
    requireParameter(!block || !delegate, "(block == NULL) || (delegate == NULL)");
    requireParameter(!(encodeOption & JsonEncodeOptionCollectionObj) ||
                         !(encodeOption & (JsonEncodeOptionStringObj | JsonEncodeOptionStringObjTrimQuotes)),
                     "((encodeOption & JsonEncodeOptionCollectionObj) == 0) || ((encodeOption & "
                     "(JsonEncodeOptionStringObj | JsonEncodeOptionStringObjTrimQuotes)) == 0)");

    encodeState.reset(new (std::nothrow) JsonEncodeState());
    if (!encodeState) throw JsonMallocException("Unable to allocate state structure.");
    // The state goes whatever happens, a formatter's exception included, so the serializer can be
    // used again.
    struct ReleaseAtExit {
        JsonSerializer* serializer;
        ~ReleaseAtExit() { serializer->releaseState(); }
    } releaseAtExit{this};
    JsonEncodeState* const state = encodeState.get();

    if (error) *error = platform::Error();

    if (delegate) {
        if (selector == 0)
            throw JsonInvalidArgumentException("The delegate argument is not NULL, but the selector argument is NULL.");
        if (selector != JsonSerializerDelegate::kSerializeUnsupportedObject || !(delegate->capabilities() & selector)) {
            throw JsonInvalidArgumentException(
                "The serializeUnsupportedClassesUsingDelegate: delegate does not respond to the selector argument.");
        }
        state->formatterDelegate = delegate;
        state->formatterSelector = selector;
        state->classFormatterIMP = &JsonSerializerDelegate::serializeUnsupportedObject;
    }
    if (block) state->formatterBlock = &block;
    state->serializeOptionFlags = options;
    state->encodeOption = encodeOption;

    uint8_t output[kOutputStackSize];
    json_managedBuffer_setToStackBuffer(&state->stringBuffer, output, sizeof output);
    state->stringBuffer.roundSizeUpToMultipleOf = kOutputRounding;
    state->output.asBytes = (encodeOption & JsonEncodeOptionResultMask) == JsonEncodeOptionResultData;

    // A handle of its own, so that the tree outlives the call whatever a formatter does with the
    // caller's.
    const JsonValue top = object;
    JsonSerializerResult result;
    if ((encodeOption & JsonEncodeOptionCollectionObj) && !top.isArray() && !top.isDictionary()) {
        json_encode_error(state, "Unable to serialize object class %s, expected a NSArray or NSDictionary.",
                          json_encode_className(top).c_str());
    } else if ((encodeOption & JsonEncodeOptionStringObj) && !top.isString()) {
        json_encode_error(state, "Unable to serialize object class %s, expected a NSString.",
                          json_encode_className(top).c_str());
    } else if (json_encode_add_atom_to_buffer(state, top) == 0) {
        // Output that outgrew the local array is already in the result's container: it is cut to
        // the bytes written and moved out. Output still in the local array is copied.
        const char* const bytes = reinterpret_cast<const char*>(state->stringBuffer.bytes);
        const bool inContainer = (state->stringBuffer.flags & JsonManagedBufferLocationMask) == JsonManagedBufferOnHeap;
        switch (encodeOption & JsonEncodeOptionResultMask) {
        case JsonEncodeOptionResultData:
            if (inContainer) {
                state->output.bytes.resize(state->atIndex);
                result.emplace<platform::Bytes>(std::move(state->output.bytes));
            } else {
                result.emplace<platform::Bytes>(bytes, bytes + state->atIndex);
            }
            break;
        case JsonEncodeOptionResultString:
            if (inContainer) {
                state->output.text.resize(state->atIndex);
                result.emplace<std::string>(std::move(state->output.text));
            } else {
                result.emplace<std::string>(bytes, state->atIndex);
            }
            break;
        default:
            json_encode_error(state, "Unknown encode as type.");
            break;
        }
    }

    if (error && state->error) *error = std::move(*state->error);
    return result;
}

namespace {

JsonSerializerResult serialize(const JsonValue& object, JsonSerializeOptionFlags options,
                               JsonEncodeOptionType encodeOption, const JsonFormatterBlock& block,
                               JsonSerializerDelegate* delegate, JsonFormatterSelector selector, platform::Error* error) {
    return JsonSerializer::serializeObjectOptionsEncodeOptionBlockDelegateSelector(object, options, encodeOption, block,
                                                                                 delegate, selector, error);
}

std::optional<platform::Bytes> dataOf(JsonSerializerResult result) {
    if (auto* bytes = std::get_if<platform::Bytes>(&result)) return std::move(*bytes);
    return std::nullopt;
}

std::optional<std::string> stringOf(JsonSerializerResult result) {
    if (auto* text = std::get_if<std::string>(&result)) return std::move(*text);
    return std::nullopt;
}

const JsonFormatterBlock kNoBlock;

constexpr JsonEncodeOptionType kCollectionData = JsonEncodeOptionCollectionObj | JsonEncodeOptionResultData;
constexpr JsonEncodeOptionType kCollectionString = JsonEncodeOptionCollectionObj | JsonEncodeOptionResultString;
constexpr JsonEncodeOptionType kStringData = JsonEncodeOptionStringObj | JsonEncodeOptionResultData;
constexpr JsonEncodeOptionType kStringString = JsonEncodeOptionStringObj | JsonEncodeOptionResultString;

}  // namespace

std::optional<platform::Bytes> JSONData(const JsonValue& object) {
    return dataOf(serialize(object, 0, object.isString() ? kStringData : kCollectionData, kNoBlock, nullptr, 0, nullptr));
}

std::optional<std::string> JSONString(const JsonValue& object) {
    return stringOf(
        serialize(object, 0, object.isString() ? kStringString : kCollectionString, kNoBlock, nullptr, 0, nullptr));
}

std::optional<platform::Bytes> JSONDataWithOptionsIncludeQuotes(const JsonValue& string, JsonSerializeOptionFlags options,
                                                                bool includeQuotes, platform::Error* error) {
    const JsonEncodeOptionType trim = includeQuotes ? 0 : JsonEncodeOptionStringObjTrimQuotes;
    return dataOf(serialize(string, options, kStringData | trim, kNoBlock, nullptr, 0, error));
}

std::optional<std::string> JSONStringWithOptionsIncludeQuotes(const JsonValue& string, JsonSerializeOptionFlags options,
                                                              bool includeQuotes, platform::Error* error) {
    const JsonEncodeOptionType trim = includeQuotes ? 0 : JsonEncodeOptionStringObjTrimQuotes;
    return stringOf(serialize(string, options, kStringString | trim, kNoBlock, nullptr, 0, error));
}

std::optional<platform::Bytes> JSONDataWithOptions(const JsonValue& collection, JsonSerializeOptionFlags options,
                                                   platform::Error* error) {
    return dataOf(serialize(collection, options, kCollectionData, kNoBlock, nullptr, 0, error));
}

std::optional<std::string> JSONStringWithOptions(const JsonValue& collection, JsonSerializeOptionFlags options,
                                                 platform::Error* error) {
    return stringOf(serialize(collection, options, kCollectionString, kNoBlock, nullptr, 0, error));
}

std::optional<platform::Bytes> JSONDataWithOptionsSerializeUnsupportedClassesUsingDelegateSelector(
    const JsonValue& collection, JsonSerializeOptionFlags options, JsonSerializerDelegate* delegate,
    JsonFormatterSelector selector, platform::Error* error) {
    return dataOf(serialize(collection, options, kCollectionData, kNoBlock, delegate, selector, error));
}

std::optional<std::string> JSONStringWithOptionsSerializeUnsupportedClassesUsingDelegateSelector(
    const JsonValue& collection, JsonSerializeOptionFlags options, JsonSerializerDelegate* delegate,
    JsonFormatterSelector selector, platform::Error* error) {
    return stringOf(serialize(collection, options, kCollectionString, kNoBlock, delegate, selector, error));
}

std::optional<platform::Bytes> JSONDataWithOptionsSerializeUnsupportedClassesUsingBlock(
    const JsonValue& collection, JsonSerializeOptionFlags options, const JsonFormatterBlock& block,
    platform::Error* error) {
    return dataOf(serialize(collection, options, kCollectionData, block, nullptr, 0, error));
}

std::optional<std::string> JSONStringWithOptionsSerializeUnsupportedClassesUsingBlock(
    const JsonValue& collection, JsonSerializeOptionFlags options, const JsonFormatterBlock& block,
    platform::Error* error) {
    return stringOf(serialize(collection, options, kCollectionString, block, nullptr, 0, error));
}
