// The tokenizer and the recursive parser: one pass over the input, members of open containers
// kept on one shared object stack, the first error of a parse recorded with its position.

#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "json/JsonArray.h"
#include "json/JsonDictionary.h"
#include "json/detail/JsonInternal.h"
#include "json/detail/JsonParseState.h"
#include "json/detail/JsonTokenCache.h"

namespace json::detail {

namespace {

constexpr uint64_t kAcceptValue = 1;
constexpr uint64_t kAcceptComma = 2;
constexpr uint64_t kAcceptEnd = 4;

constexpr uint64_t kTokenBufferStackSize = 2048;
constexpr uint64_t kObjectStackStackCount = 1024;

const char* const kUnexpectedToken =
    "Unexpected token, wanted '{', '}', '[', ']', ',', ':', 'true', 'false', 'null', '\"STRING\"', 'NUMBER'.";

// The container parsers stay out of line (each is a loop with its own frame); the tokenizer and
// the token-to-object step are inlined into their loops, as they run once per token. Without
// optimisation they are not: there every local of an inlined step keeps its own stack slot (with
// the sanitizers' guard zones around it), and the frame of each level of nesting would grow to
// kilobytes; as calls, the steps' frames exist only while they run.
#if defined(__OPTIMIZE__)
#define JSON_INLINE inline __attribute__((always_inline))
#else
#define JSON_INLINE inline
#endif
__attribute__((noinline)) JsonValue json_parse_array(JsonParseState* parseState);
__attribute__((noinline)) JsonValue json_parse_dictionary(JsonParseState* parseState);

bool isValueToken(uint64_t type) {
    constexpr uint64_t kValueTokens = (uint64_t{1} << JsonTokenTypeNumber) | (uint64_t{1} << JsonTokenTypeString) |
                                      (uint64_t{1} << JsonTokenTypeObjectBegin) |
                                      (uint64_t{1} << JsonTokenTypeArrayBegin) | (uint64_t{1} << JsonTokenTypeTrue) |
                                      (uint64_t{1} << JsonTokenTypeFalse) | (uint64_t{1} << JsonTokenTypeNull);
    return type < 64 && ((kValueTokens >> type) & 1) != 0;
}

// Whether the tokenizer must skip white space (or comments) before the byte: it may start white
// space under some option (a byte up to the space, or of 0x80 or more), or it is '/'. Any other
// byte starts a token or is not one. Two comparisons, no table to load on the way to each token.
inline bool mayStartWhiteSpace(uint8_t c) {
    return static_cast<uint8_t>(c - 0x21) >= 0x5F || c == '/';
}

// Byte length of the line end at position, or 0.
uint64_t json_parse_is_newline(const JsonParseState* parseState, uint64_t position) {
    const uint8_t* bytes = parseState->stringBufferBytes;
    const uint64_t length = parseState->stringBufferLength;
    if (position >= length) return 0;
    const uint8_t c = bytes[position];
    if (c == '\n') return 1;
    if (c == '\r') return (position + 1 < length && bytes[position + 1] == '\n') ? 2 : 1;
    if (parseState->parseOptionFlags & JsonParseFlagUnicodeNewlines) {
        if (c == 0xC2 && position + 1 < length && bytes[position + 1] == 0x85) return 2;
        if (c == 0xE2 && position + 2 < length && bytes[position + 1] == 0x80 &&
            (bytes[position + 2] == 0xA8 || bytes[position + 2] == 0xA9))
            return 3;
    }
    return 0;
}

void json_parse_skip_whitespace(JsonParseState* parseState) {
    const uint8_t* bytes = parseState->stringBufferBytes;
    const uint64_t length = parseState->stringBufferLength;
    const bool comments = parseState->parseOptionFlags & JsonParseFlagComments;
    uint64_t at = parseState->atIndex;
    while (at < length) {
        const uint8_t c = bytes[at];
        if (c == ' ' || c == '\t') {
            ++at;
            continue;
        }
        if (const uint64_t newline = json_parse_is_newline(parseState, at)) {
            at += newline;
            ++parseState->lineNumber;
            continue;
        }
        if (comments && c == '/' && at + 1 < length) {
            if (bytes[at + 1] == '/') {
                at += 2;
                while (at < length) {
                    if (const uint64_t newline = json_parse_is_newline(parseState, at)) {
                        at += newline;
                        ++parseState->lineNumber;
                        break;
                    }
                    ++at;
                }
                continue;
            }
            if (bytes[at + 1] == '*') {
                // The closing "*/" is looked for after the opening "/*", so "/*/" does not close.
                at += 2;
                bool closed = false;
                while (at < length) {
                    if (bytes[at] == '*' && at + 1 < length && bytes[at + 1] == '/') {
                        at += 2;
                        closed = true;
                        break;
                    }
                    if (const uint64_t newline = json_parse_is_newline(parseState, at)) {
                        at += newline;
                        ++parseState->lineNumber;
                    } else {
                        ++at;
                    }
                }
                if (!closed) at = length;
                continue;
            }
        }
        break;
    }
    parseState->atIndex = at;
}

// 0 when a token was read, 1 when not.
JSON_INLINE int json_parse_next_token(JsonParseState* parseState) {
    // Most tokens follow their predecessor directly; only a byte that may start white space (or
    // a comment) needs the full skip.
    if (parseState->atIndex >= parseState->stringBufferLength ||
        mayStartWhiteSpace(parseState->stringBufferBytes[parseState->atIndex])) {
        json_parse_skip_whitespace(parseState);
    }
    const uint8_t* bytes = parseState->stringBufferBytes;
    const uint64_t length = parseState->stringBufferLength;
    const uint64_t at = parseState->atIndex;
    JsonParseToken& token = parseState->token;
    if (at >= length) {
        json_error(parseState, "%s", kUnexpectedToken);
        return 1;
    }
    const uint8_t c = bytes[at];
    token.tokenPtr = bytes + at;
    token.tokenLength = 0;
    token.type = JsonTokenTypeInvalid;

    uint64_t type = JsonTokenTypeInvalid;
    uint64_t size = 0;
    switch (c) {
    case '"':
        if (json_parse_string(parseState) == 0) {
            token.type = JsonTokenTypeString;
            return 0;
        }
        break;
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9':
        if (json_parse_number(parseState) == 0) {
            token.type = JsonTokenTypeNumber;
            return 0;
        }
        break;
    case '{':
        type = JsonTokenTypeObjectBegin, size = 1;
        break;
    case '}':
        type = JsonTokenTypeObjectEnd, size = 1;
        break;
    case '[':
        type = JsonTokenTypeArrayBegin, size = 1;
        break;
    case ']':
        type = JsonTokenTypeArrayEnd, size = 1;
        break;
    case ':':
        type = JsonTokenTypeSeparator, size = 1;
        break;
    case ',':
        type = JsonTokenTypeComma, size = 1;
        break;
    case 't':
        // A literal counts only when at least one more byte follows it.
        if (at + 4 < length && std::memcmp(bytes + at, "true", 4) == 0) type = JsonTokenTypeTrue, size = 4;
        break;
    case 'f':
        if (at + 5 < length && std::memcmp(bytes + at, "false", 5) == 0) type = JsonTokenTypeFalse, size = 5;
        break;
    case 'n':
        if (at + 4 < length && std::memcmp(bytes + at, "null", 4) == 0) type = JsonTokenTypeNull, size = 4;
        break;
    default:
        break;
    }
    if (type == JsonTokenTypeInvalid) {
        json_error(parseState, "%s", kUnexpectedToken);
        return 1;
    }
    token.type = type;
    token.tokenLength = size;
    parseState->atIndex = at + size;
    return 0;
}

// Reads the expected one-byte token when it follows directly (the usual ':' after a key and ','
// after a member), exactly as the tokenizer would; anything else goes through the tokenizer.
JSON_INLINE int json_parse_next_token_expecting(JsonParseState* parseState, uint8_t expected, uint64_t type) {
    const uint64_t at = parseState->atIndex;
    if (at < parseState->stringBufferLength && parseState->stringBufferBytes[at] == expected) {
        JsonParseToken& token = parseState->token;
        token.tokenPtr = parseState->stringBufferBytes + at;
        token.tokenLength = 1;
        token.type = type;
        parseState->atIndex = at + 1;
        return 0;
    }
    return json_parse_next_token(parseState);
}

JSON_INLINE JsonValue json_object_for_token(JsonParseState* parseState) {
    parseState->token.value.cacheItem = nullptr;
    switch (parseState->token.type) {
    case JsonTokenTypeString:
        return json_cachedObjects(parseState);
    case JsonTokenTypeNumber:
        return json_numberObject(parseState->token.value);
    case JsonTokenTypeObjectBegin:
        return json_parse_dictionary(parseState);
    case JsonTokenTypeArrayBegin:
        return json_parse_array(parseState);
    case JsonTokenTypeTrue:
        return JsonValue::makeBoolean(true);
    case JsonTokenTypeFalse:
        return JsonValue::makeBoolean(false);
    case JsonTokenTypeNull:
        return JsonValue::makeNull();
    default:
        json_error(parseState, "Internal error: Unknown token type. %s line #%ld", __FILE__, static_cast<long>(__LINE__));
        return {};
    }
}

// Skips white space before a token, as the tokenizer does: only a byte that may start white
// space (or a comment) needs the full skip.
JSON_INLINE void json_parse_skip_to_token(JsonParseState* parseState) {
    if (parseState->atIndex >= parseState->stringBufferLength ||
        mayStartWhiteSpace(parseState->stringBufferBytes[parseState->atIndex])) {
        json_parse_skip_whitespace(parseState);
    }
}

// After a member, the usual next token: a comma right after it. Reads it as the tokenizer would.
JSON_INLINE bool json_parse_comma_after_member(JsonParseState* parseState) {
    const uint64_t at = parseState->atIndex;
    if (at >= parseState->stringBufferLength || parseState->stringBufferBytes[at] != ',') return false;
    JsonParseToken& token = parseState->token;
    token.tokenPtr = parseState->stringBufferBytes + at;
    token.tokenLength = 1;
    token.type = JsonTokenTypeComma;
    parseState->atIndex = at + 1;
    return true;
}

// The usual short string: its closing quote among the sixteen bytes after the opening one, with
// nothing but printable ASCII before it. Read and hashed in place, where the scanner would take
// the same bytes the same way, and its object found (or made) through the cache. False, with
// nothing read, for any other string: the scanner then reads it.
JSON_INLINE bool json_parse_short_string(JsonParseState* parseState, JsonValue& object) {
#if defined(__SSE2__)
    const uint64_t at = parseState->atIndex;
    if (parseState->stringBufferLength - at < 17) return false;
    const uint8_t* const first = parseState->stringBufferBytes + at + 1;
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(first));
    // As signed bytes the control bytes and the bytes of 0x80 or more are below 0x20.
    const __m128i stops = _mm_or_si128(_mm_cmplt_epi8(bytes, _mm_set1_epi8(0x20)),
                                       _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('"')),
                                                    _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\'))));
    const auto mask = static_cast<unsigned>(_mm_movemask_epi8(stops));
    if (mask == 0) return false;
    const auto length = static_cast<unsigned>(__builtin_ctz(mask));
    if (first[length] != '"') return false;
    JsonParseToken& token = parseState->token;
    token.tokenPtr = first - 1;
    token.tokenLength = length + 2;
    token.type = JsonTokenTypeString;
    token.value.ptr = first;
    token.value.length = length;
    token.value.type = JsonValueTypeString;
    token.value.hash = jsonValueHash(first, length, token.value.words);
    token.value.cacheItem = nullptr;
    parseState->atIndex = at + length + 2;
    object = json_cachedObjects(parseState);
    return true;
#else
    return false;
#endif
}

enum class JsonValueRead {
    Value,      // the value's object is made (or none, with the error recorded)
    Failed,     // the value's token did not scan (its error recorded)
    NotAValue,  // no value starts here: nothing was read, the tokenizer takes it from here
};

// Where a value may come: reads the token and makes its object in one step, telling the kinds
// of value apart by the token's first byte once (the tokenizer and the token's object would
// each tell them apart again). Leaves the parse state as those two would.
JSON_INLINE JsonValueRead json_parse_value(JsonParseState* parseState, JsonValue& object) {
    json_parse_skip_to_token(parseState);
    const uint8_t* bytes = parseState->stringBufferBytes;
    const uint64_t length = parseState->stringBufferLength;
    const uint64_t at = parseState->atIndex;
    if (at >= length) return JsonValueRead::NotAValue;
    const uint8_t c = bytes[at];
    JsonParseToken& token = parseState->token;
    token.tokenPtr = bytes + at;
    token.tokenLength = 0;
    token.type = JsonTokenTypeInvalid;
    token.value.cacheItem = nullptr;
    if (c == '"') {
        if (json_parse_short_string(parseState, object)) return JsonValueRead::Value;
        if (json_parse_string(parseState) != 0) {
            json_error(parseState, "%s", kUnexpectedToken);
            return JsonValueRead::Failed;
        }
        token.type = JsonTokenTypeString;
        object = json_cachedObjects(parseState);
        return JsonValueRead::Value;
    }
    if ((c >= '0' && c <= '9') || c == '-') {
        if (json_parse_number(parseState) != 0) {
            json_error(parseState, "%s", kUnexpectedToken);
            return JsonValueRead::Failed;
        }
        token.type = JsonTokenTypeNumber;
        object = json_numberObject(token.value);
        return JsonValueRead::Value;
    }
    if (c == '{' || c == '[') {
        token.type = c == '{' ? JsonTokenTypeObjectBegin : JsonTokenTypeArrayBegin;
        token.tokenLength = 1;
        parseState->atIndex = at + 1;
        object = c == '{' ? json_parse_dictionary(parseState) : json_parse_array(parseState);
        return JsonValueRead::Value;
    }
    // A literal counts only when at least one more byte follows it.
    uint64_t size = 0;
    if (c == 't' && at + 4 < length && std::memcmp(bytes + at, "true", 4) == 0) {
        token.type = JsonTokenTypeTrue, size = 4;
        object = JsonValue::makeBoolean(true);
    } else if (c == 'f' && at + 5 < length && std::memcmp(bytes + at, "false", 5) == 0) {
        token.type = JsonTokenTypeFalse, size = 5;
        object = JsonValue::makeBoolean(false);
    } else if (c == 'n' && at + 4 < length && std::memcmp(bytes + at, "null", 4) == 0) {
        token.type = JsonTokenTypeNull, size = 4;
        object = JsonValue::makeNull();
    } else {
        return JsonValueRead::NotAValue;
    }
    token.tokenLength = size;
    parseState->atIndex = at + size;
    return JsonValueRead::Value;
}

void json_error_parse_accept_or3(JsonParseState* parseState, uint64_t acceptBits, const char* text1,
                                 const char* text2, const char* text4) {
    const char* texts[2] = {};
    int n = 0;
    if (acceptBits & kAcceptValue) texts[n++] = text1;
    if ((acceptBits & kAcceptComma) && n < 2) texts[n++] = text2;
    if ((acceptBits & kAcceptEnd) && n < 2) texts[n++] = text4;
    const JsonParseToken& token = parseState->token;
    const int width = token.tokenLength > INT_MAX ? INT_MAX : static_cast<int>(token.tokenLength);
    const char* tokenText = reinterpret_cast<const char*>(token.tokenPtr);
    if (n == 1) {
        json_error(parseState, "Expected %s, not '%*.*s'", texts[0], width, width, tokenText);
    } else if (n == 2) {
        json_error(parseState, "Expected %s or %s, not '%*.*s'", texts[0], texts[1], width, width, tokenText);
    }
}

bool inputExhausted(const JsonParseState* parseState) {
    return parseState->atIndex >= parseState->stringBufferLength;
}

// Opens one more level of nesting; false (with the error recorded) past the limit.
bool enterContainer(JsonParseState* parseState) {
    if (++parseState->depth > JsonMaximumNestingDepth) {
        json_error(parseState, "Arrays and objects are nested deeper than %lu levels.",
                   static_cast<unsigned long>(JsonMaximumNestingDepth));
        return false;
    }
    return true;
}

// Makes room for a few more entries on the object stack: objects for an array, objects, keys
// and hashes for a dictionary.
bool growStackIfNeeded(JsonParseState* parseState, const char* what, bool withKeys) {
    JsonObjectStack& stack = parseState->objectStack;
    if (stack.index + 4 <= stack.count && (!withKeys || stack.index + 4 <= stack.keyCount)) return true;
    // Doubling keeps the copying linear in the number of open members (a fixed step would make
    // one long array quadratic).
    const uint64_t grown = (withKeys && stack.keyCount < stack.count ? stack.count : stack.count * 2) + 128;
    if ((withKeys ? json_objectStack_resize(&stack, grown) : json_objectStack_resizeObjects(&stack, grown)) == 0) {
        return true;
    }
    json_error(parseState, "Internal error: [%s] objectsIndex > %lu, resize failed? %s line #%ld", what,
               static_cast<unsigned long>(stack.count - 4), __FILE__, static_cast<long>(__LINE__));
    return false;
}

void releaseEntries(JsonObjectStack& stack, uint64_t from) {
    for (uint64_t i = from; i < stack.index; ++i) {
        stack.objects[i] = JsonValue();
        if (i < stack.keyCount) stack.keys[i] = JsonValue();
    }
    stack.index = from;
}

JsonValue json_parse_array(JsonParseState* parseState) {
    JsonObjectStack& stack = parseState->objectStack;
    const uint64_t start = stack.index;
    JsonValue parsedArray;
    if (enterContainer(parseState)) {
        uint64_t acceptBits = kAcceptValue | kAcceptEnd;
        bool stop = false;
        while (!stop && !parseState->error && parseState->atIndex < parseState->stringBufferLength) {
            if (!growStackIfNeeded(parseState, "array", false)) break;
            if (acceptBits & kAcceptValue) {
                JsonValue object;
                const JsonValueRead read = json_parse_value(parseState, object);
                if (read == JsonValueRead::Failed) break;
                if (read == JsonValueRead::Value) {
                    if (!object) {
                        // A nested container cut off by the end of the input is reported as such
                        // by the top level.
                        if (!inputExhausted(parseState)) json_error(parseState, "Internal error: Object == NULL");
                        break;
                    }
                    stack.objects[stack.index++].swap(object);  // the entry is empty
                    acceptBits = json_parse_comma_after_member(parseState) ? kAcceptValue : kAcceptComma | kAcceptEnd;
                    continue;
                }
            }
            if (json_parse_next_token_expecting(parseState, ',', JsonTokenTypeComma) != 0) break;
            const uint64_t type = parseState->token.type;
            if (isValueToken(type)) {
                if (!(acceptBits & kAcceptValue)) {
                    json_error(parseState, "Unexpected value.");
                    break;
                }
                JsonValue object = json_object_for_token(parseState);
                if (!object) {
                    // A nested container cut off by the end of the input is reported as such by
                    // the top level.
                    if (!inputExhausted(parseState)) json_error(parseState, "Internal error: Object == NULL");
                    break;
                }
                stack.objects[stack.index++].swap(object);  // the entry is empty
                acceptBits = kAcceptComma | kAcceptEnd;
            } else if (type == JsonTokenTypeArrayEnd) {
                if (!(acceptBits & kAcceptEnd)) {
                    json_error(parseState, "Unexpected ']'.");
                    break;
                }
                parsedArray = JsonArrayCreate(stack.objects + start, stack.index - start, parseState->mutableResults,
                                              parseState->arena);
                stop = true;
            } else if (type == JsonTokenTypeComma) {
                if (!(acceptBits & kAcceptComma)) {
                    json_error(parseState, "Unexpected ','.");
                    break;
                }
                acceptBits = kAcceptValue;
            } else {
                json_error_parse_accept_or3(parseState, acceptBits, "a value", "a comma", "a ']'");
                break;
            }
        }
    }
    --parseState->depth;
    // A built array has taken its members over and left their entries none.
    if (parsedArray) {
        stack.index = start;
    } else {
        releaseEntries(stack, start);
    }
    return parsedArray;
}

JsonValue json_parse_dictionary(JsonParseState* parseState) {
    JsonObjectStack& stack = parseState->objectStack;
    const uint64_t start = stack.index;
    JsonValue parsedDictionary;
    if (enterContainer(parseState)) {
        uint64_t acceptBits = kAcceptValue | kAcceptEnd;
        bool stop = false;
        while (!stop && !parseState->error && parseState->atIndex < parseState->stringBufferLength) {
            if (!growStackIfNeeded(parseState, "dictionary", true)) break;
            // Entries above the stack's index are always empty (built containers and released
            // members leave them so), so the reserved entry needs no clearing.
            const uint64_t entry = stack.index++;

            // The usual key: a string where one may come, read without the tokenizer.
            uint64_t type;
            JsonValue key;
            if (acceptBits & kAcceptValue) json_parse_skip_to_token(parseState);
            if ((acceptBits & kAcceptValue) && parseState->atIndex < parseState->stringBufferLength &&
                parseState->stringBufferBytes[parseState->atIndex] == '"') {
                if (!json_parse_short_string(parseState, key)) {
                    JsonParseToken& token = parseState->token;
                    token.tokenPtr = parseState->stringBufferBytes + parseState->atIndex;
                    token.tokenLength = 0;
                    token.type = JsonTokenTypeInvalid;
                    if (json_parse_string(parseState) != 0) {
                        json_error(parseState, "%s", kUnexpectedToken);
                        break;
                    }
                    token.type = JsonTokenTypeString;
                    token.value.cacheItem = nullptr;
                    key = json_cachedObjects(parseState);
                }
                type = JsonTokenTypeString;
            } else {
                if (json_parse_next_token_expecting(parseState, ',', JsonTokenTypeComma) != 0) break;
                type = parseState->token.type;
                if (type == JsonTokenTypeString) {
                    if (!(acceptBits & kAcceptValue)) {
                        json_error(parseState, "Unexpected string.");
                        break;
                    }
                    key = json_object_for_token(parseState);
                }
            }
            if (type == JsonTokenTypeString) {
                if (!key) {
                    json_error(parseState, "Internal error: Key == NULL.");
                    break;
                }
                uint64_t keyHash;
                if (JsonTokenCacheItem* item = parseState->token.value.cacheItem) {
                    if (item->cfHash == 0) item->cfHash = key.hash();
                    keyHash = item->cfHash;
                } else {
                    keyHash = key.hash();
                }
                stack.keys[entry].swap(key);  // the entry is empty
                stack.cfHashes[entry] = keyHash;
            } else if (type == JsonTokenTypeObjectEnd) {
                if (!(acceptBits & kAcceptEnd)) {
                    json_error(parseState, "Unexpected '}'.");
                    break;
                }
                --stack.index;
                parsedDictionary = JsonDictionaryCreate(stack.keys + start, stack.cfHashes + start, stack.objects + start,
                                                        stack.index - start, parseState->mutableResults,
                                                        parseState->arena);
                stop = true;
                continue;
            } else if (type == JsonTokenTypeComma) {
                if (!(acceptBits & kAcceptComma)) {
                    json_error(parseState, "Unexpected ','.");
                    break;
                }
                --stack.index;
                acceptBits = kAcceptValue;
                continue;
            } else {
                json_error_parse_accept_or3(parseState, acceptBits, "a \"STRING\"", "a comma", "a '}'");
                break;
            }

            if (json_parse_next_token_expecting(parseState, ':', JsonTokenTypeSeparator) != 0) break;
            if (parseState->token.type != JsonTokenTypeSeparator) {
                json_error(parseState, "Expected ':'.");
                break;
            }
            JsonValue object;
            const JsonValueRead read = json_parse_value(parseState, object);
            if (read == JsonValueRead::Failed) break;
            if (read == JsonValueRead::NotAValue) {
                if (json_parse_next_token(parseState) != 0) break;
                if (!isValueToken(parseState->token.type)) {
                    json_error_parse_accept_or3(parseState, acceptBits, "a value", "a comma", "a '}'");
                    break;
                }
                object = json_object_for_token(parseState);
            }
            if (!object) {
                if (!inputExhausted(parseState)) json_error(parseState, "Internal error: Object == NULL.");
                break;
            }
            stack.objects[entry].swap(object);  // the entry is empty
            acceptBits = json_parse_comma_after_member(parseState) ? kAcceptValue : kAcceptComma | kAcceptEnd;
        }
    }
    --parseState->depth;
    if (parsedDictionary) {
        stack.index = start;
    } else {
        releaseEntries(stack, start);
    }
    return parsedDictionary;
}

JsonValue json_parse_it(JsonParseState* parseState) {
    JsonValue parsedObject;
    if (parseState->atIndex < parseState->stringBufferLength && json_parse_next_token(parseState) == 0) {
        const uint64_t type = parseState->token.type;
        if (type == JsonTokenTypeObjectBegin || type == JsonTokenTypeArrayBegin) {
            parsedObject = json_object_for_token(parseState);
        } else {
            json_error(parseState, "Expected either '[' or '{'.");
        }
    }
    if (!parsedObject && parseState->atIndex >= parseState->stringBufferLength) {
        json_error(parseState, "Reached the end of the buffer.");
    }
    if (!parsedObject) {
        json_error(parseState, "Unable to parse JSON.");
        return {};
    }
    if (parseState->atIndex < parseState->stringBufferLength) {
        json_parse_skip_whitespace(parseState);
        if (parseState->parseOptionFlags & JsonParseFlagTextAfterValue) return parsedObject;
        if (parseState->atIndex < parseState->stringBufferLength) {
            json_error(parseState,
                       "A valid JSON object was parsed but there were additional non-white-space characters remaining.");
            return {};
        }
    }
    return parsedObject;
}

}  // namespace

void json_error(JsonParseState* parseState, const char* format, ...) {
    if (parseState->error) return;  // the first error of a parse wins
    va_list arguments;
    va_start(arguments, format);
    std::string message = jsonFormatV(format, arguments);
    va_end(arguments);
    platform::Error error = platform::Error::make(JsonErrorDomain, JsonErrorCode, std::move(message));
    error.userInfo[JsonAtIndexKey] = static_cast<uint64_t>(parseState->atIndex);
    error.userInfo[JsonLineNumberKey] = static_cast<uint64_t>(parseState->lineNumber);
    parseState->error = std::move(error);
}

void json_objectStack_setToStackBuffer(JsonObjectStack* stack, JsonValue* objects, JsonValue* keys,
                                       uint64_t* cfHashes, uint64_t count) {
    json_objectStack_release(stack);
    stack->objects = objects;
    stack->keys = keys;
    stack->cfHashes = cfHashes;
    stack->count = count;
    stack->keyCount = count;
    for (uint64_t i = 0; i < count; ++i) {
        objects[i] = JsonValue();
        keys[i] = JsonValue();
        cfHashes[i] = 0;
    }
    stack->flags = (stack->flags & ~JsonObjectStackLocationMask) | JsonObjectStackLocal;
}

namespace {

// A handle is its kind and its payload and holds no pointer into itself, so a block of handles can
// move by copying its bytes (the old block is then freed without destroying them), and all-zero
// bytes are the none value (see JsonValue).

// A heap array of count none handles; null when memory runs out.
JsonValue* newHandles(uint64_t count) {
    if (count > UINT64_MAX / sizeof(JsonValue)) return nullptr;
    void* handles = std::calloc(count, sizeof(JsonValue));
    return static_cast<JsonValue*>(handles);
}

// Moves count handles from one block to another of none handles, leaving the first block to be
// freed as it is.
void moveHandles(JsonValue* to, JsonValue* from, uint64_t count) {
    std::memcpy(static_cast<void*>(to), static_cast<const void*>(from), count * sizeof(JsonValue));
}

void deleteHandles(JsonValue* handles, uint64_t count) {
    for (uint64_t i = 0; i < count; ++i) handles[i].~JsonValue();
    std::free(handles);
}

// The members of a long array outgrow the parse routine's own storage and move to the heap; the
// largest such block of handles is kept per thread (up to a bound) for the next parse, so that a
// document read again and again does not allocate, clear and copy its members' storage anew each
// time. Trivially destructible, so it stays usable while the thread's other thread-local objects
// are destroyed; the drain frees it once and then nothing more is kept.
struct SpareHandles {
    JsonValue* handles;
    uint64_t count;
    bool drained;
};
thread_local SpareHandles spare;

struct SpareDrain {
    ~SpareDrain() {
        std::free(spare.handles);
        spare = {nullptr, 0, true};
    }
};
thread_local SpareDrain spareDrain;

constexpr uint64_t kKeptHandles = uint64_t{1} << 17;

// A heap array of at least count none handles (its size in granted); null when memory runs out.
JsonValue* takeHandles(uint64_t count, uint64_t* granted) {
    if (spare.handles && spare.count >= count) {
        JsonValue* handles = spare.handles;
        *granted = spare.count;
        spare.handles = nullptr;
        spare.count = 0;
        return handles;
    }
    *granted = count;
    return newHandles(count);
}

// Takes back a heap array of count handles, all none.
void giveBackHandles(JsonValue* handles, uint64_t count) {
    if (!spare.drained && count <= kKeptHandles && count > spare.count) {
        (void)&spareDrain;  // the first use on a thread arranges for the drain at its exit
        std::free(spare.handles);
        spare.handles = handles;
        spare.count = count;
        return;
    }
    std::free(handles);
}

uint64_t roundedStackCount(const JsonObjectStack* stack, uint64_t newCount) {
    const uint64_t step = stack->roundSizeUpToMultipleOf;
    return step != 0 ? (newCount + step - 1) / step * step : newCount;
}

}  // namespace

void json_objectStack_release(JsonObjectStack* stack) {
    if (stack->objects) {
        for (uint64_t i = 0; i < stack->index; ++i) stack->objects[i] = JsonValue();
    }
    if (stack->keys) {
        for (uint64_t i = 0; i < stack->index && i < stack->keyCount; ++i) stack->keys[i] = JsonValue();
    }
    stack->index = 0;
    if (stack->flags & JsonObjectStackMustFree) {
        giveBackHandles(stack->objects, stack->count);  // every entry is none again
        stack->flags &= ~JsonObjectStackMustFree;
    }
    if (stack->flags & JsonObjectStackKeysMustFree) {
        deleteHandles(stack->keys, stack->keyCount);
        delete[] stack->cfHashes;
        stack->flags &= ~JsonObjectStackKeysMustFree;
    }
    stack->objects = nullptr;
    stack->keys = nullptr;
    stack->cfHashes = nullptr;
    stack->count = 0;
    stack->keyCount = 0;
    stack->flags &= ~JsonObjectStackLocationMask;
}

int json_objectStack_resizeObjects(JsonObjectStack* stack, uint64_t newCount) {
    newCount = roundedStackCount(stack, newCount);
    if (newCount <= stack->count) return 0;
    JsonValue* objects = takeHandles(newCount, &newCount);
    if (!objects) return 1;
    moveHandles(objects, stack->objects, stack->count);
    if (stack->flags & JsonObjectStackMustFree) {
        std::free(stack->objects);
    } else {
        // The caller's storage: its handles are destroyed with its frame, so they are made none.
        std::memset(static_cast<void*>(stack->objects), 0, stack->count * sizeof(JsonValue));
    }
    stack->objects = objects;
    stack->count = newCount;
    stack->flags = (stack->flags & ~JsonObjectStackLocationMask) | JsonObjectStackOnHeap | JsonObjectStackMustFree;
    return 0;
}

int json_objectStack_resize(JsonObjectStack* stack, uint64_t newCount) {
    if (json_objectStack_resizeObjects(stack, newCount) != 0) return 1;
    newCount = roundedStackCount(stack, newCount);
    if (newCount <= stack->keyCount) return 0;
    JsonValue* keys = newHandles(newCount);
    uint64_t* hashes = keys ? new (std::nothrow) uint64_t[newCount]() : nullptr;
    if (!hashes) {
        if (keys) deleteHandles(keys, newCount);
        return 1;
    }
    moveHandles(keys, stack->keys, stack->keyCount);
    std::memcpy(hashes, stack->cfHashes, stack->keyCount * sizeof(uint64_t));
    if (stack->flags & JsonObjectStackKeysMustFree) {
        std::free(stack->keys);
        delete[] stack->cfHashes;
    } else {
        std::memset(static_cast<void*>(stack->keys), 0, stack->keyCount * sizeof(JsonValue));
    }
    stack->keys = keys;
    stack->cfHashes = hashes;
    stack->keyCount = newCount;
    stack->flags |= JsonObjectStackKeysMustFree;
    return 0;
}

JsonValue JsonParseUTF8String(JsonParseState* parseState, bool mutableCollections, const uint8_t* string,
                              uint64_t length, platform::Error* error) {
    parseState->stringBufferBytes = string;
    parseState->stringBufferLength = length;
    parseState->atIndex = 0;
    parseState->lineNumber = 1;
    parseState->error.reset();
    parseState->mutableResults = mutableCollections;
    parseState->depth = 0;
    parseState->token = JsonParseToken();

    uint8_t tokenBufferStorage[kTokenBufferStackSize];
    JsonValue stackObjects[kObjectStackStackCount];
    JsonValue stackKeys[kObjectStackStackCount];
    uint64_t stackHashes[kObjectStackStackCount];
    json_managedBuffer_setToStackBuffer(&parseState->tokenBuffer, tokenBufferStorage, sizeof tokenBufferStorage);
    json_objectStack_setToStackBuffer(&parseState->objectStack, stackObjects, stackKeys, stackHashes,
                                      kObjectStackStackCount);
    // The collections (and, in a one-call parse, the strings) are carved out of the arena. An
    // immutable one-call parse makes one tree of them that goes whole; the cache holds its strings
    // without counting until the parse ends.
    JsonArena arena;  // closed when the parse returns; its blocks live on with the collections
    const bool tree = parseState->stringsInArena && !mutableCollections && arena.beginTree();
    parseState->arena = &arena;
    // Should making an object throw (memory exhausted), the state must not keep pointers into
    // this frame's storage.
    struct ReleaseOnUnwind {
        JsonParseState* state;
        bool tree;
        ~ReleaseOnUnwind() {
            if (!state) return;
            json_managedBuffer_release(&state->tokenBuffer);
            json_objectStack_release(&state->objectStack);
            if (tree) json_forgetCache(state);
            state->stringBufferBytes = nullptr;
            state->stringBufferLength = 0;
            state->error.reset();
            state->token = JsonParseToken();
            state->arena = nullptr;
        }
    } guard{parseState, tree};

    JsonValue parsedObject = json_parse_it(parseState);
    guard.state = nullptr;

    if (parseState->error) {
        parsedObject = JsonValue();
        if (error) *error = *parseState->error;
    }

    json_managedBuffer_release(&parseState->tokenBuffer);
    json_objectStack_release(&parseState->objectStack);
    if (tree) {
        json_forgetCache(parseState);
        arena.endTree(!parsedObject.isNone());
    }

    parseState->stringBufferBytes = nullptr;
    parseState->stringBufferLength = 0;
    parseState->atIndex = 0;
    parseState->lineNumber = 1;
    parseState->error.reset();
    parseState->mutableResults = false;
    parseState->token = JsonParseToken();
    parseState->arena = nullptr;
    return parsedObject;
}

}  // namespace json::detail
