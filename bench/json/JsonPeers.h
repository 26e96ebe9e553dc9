#pragma once
// The libraries a user would pick instead of the project's reader and writer, driven through
// their ordinary public interfaces: RapidJSON (default and full-precision parsing, Writer and
// PrettyWriter), nlohmann/json (parse, dump) and simdjson (DOM parse only). Each is there when its
// Debian package was found at configure time (VARNEL_BENCH_HAS_*); without it its columns stay
// empty. Also: how many of a peer's doubles differ from the project's (which are correctly
// rounded), so that a peer that reads numbers inexactly is not counted as comparable.

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <type_traits>

#include <benchmark/benchmark.h>

#include "json/JsonArray.h"
#include "json/JsonDictionary.h"
#include "json/JsonValue.h"

#if VARNEL_BENCH_HAS_RAPIDJSON
#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#endif
#if VARNEL_BENCH_HAS_NLOHMANN
#include <nlohmann/json.hpp>
#endif
#if VARNEL_BENCH_HAS_SIMDJSON
#include <simdjson.h>
#endif

namespace jsonbench {

// Doubles a peer read, and how many of them differ (by bits) from the project's.
struct DoubleCheck {
    uint64_t doubles = 0;
    uint64_t differ = 0;
    void compare(const JsonValue& ours, double theirs) {
        ++doubles;
        const double mine = ours.doubleValue();
        if (!ours.isNumber() || std::memcmp(&mine, &theirs, sizeof mine) != 0) ++differ;
    }
};

#if VARNEL_BENCH_HAS_RAPIDJSON
// One parse into a new document; false when RapidJSON refused the text.
template <unsigned Flags>
bool rapidjsonParse(const std::string& text) {
    rapidjson::Document document;
    document.Parse<Flags>(text.data(), text.size());
    benchmark::DoNotOptimize(document);
    return !document.HasParseError();
}

inline void rapidjsonCheck(const JsonValue& ours, const rapidjson::Value& theirs, DoubleCheck& check) {
    if (theirs.IsArray()) {
        const JsonArray* array = ours.array();
        for (rapidjson::SizeType i = 0; i < theirs.Size(); ++i) {
            rapidjsonCheck(array && i < array->count() ? array->objectAtIndex(i) : jsonNone(), theirs[i], check);
        }
    } else if (theirs.IsObject()) {
        const JsonDictionary* dictionary = ours.dictionary();
        for (auto member = theirs.MemberBegin(); member != theirs.MemberEnd(); ++member) {
            const std::string_view key(member->name.GetString(), member->name.GetStringLength());
            rapidjsonCheck(dictionary ? dictionary->objectForKey(key) : jsonNone(), member->value, check);
        }
    } else if (theirs.IsDouble()) {
        check.compare(ours, theirs.GetDouble());
    }
}

template <unsigned Flags>
DoubleCheck rapidjsonDoubles(const std::string& text, const JsonValue& ours) {
    rapidjson::Document document;
    document.Parse<Flags>(text.data(), text.size());
    DoubleCheck check;
    rapidjsonCheck(ours, document, check);
    return check;
}

// A document kept for the writer rows, read exactly.
inline const rapidjson::Document& rapidjsonTree(const std::string& text) {
    static std::map<const std::string*, rapidjson::Document> trees;
    rapidjson::Document& document = trees[&text];
    if (document.IsNull()) document.Parse<rapidjson::kParseFullPrecisionFlag>(text.data(), text.size());
    return document;
}

template <class Writer>
size_t rapidjsonWrite(const rapidjson::Document& document, int indent) {
    rapidjson::StringBuffer buffer;
    Writer writer(buffer);
    if constexpr (std::is_same_v<Writer, rapidjson::PrettyWriter<rapidjson::StringBuffer>>) writer.SetIndent(' ', indent);
    document.Accept(writer);
    benchmark::DoNotOptimize(buffer.GetString());
    return buffer.GetSize();
}
#endif

#if VARNEL_BENCH_HAS_NLOHMANN
inline bool nlohmannParse(const std::string& text) {
    nlohmann::json tree = nlohmann::json::parse(text, nullptr, false);
    benchmark::DoNotOptimize(tree);
    return !tree.is_discarded();
}

inline void nlohmannCheck(const JsonValue& ours, const nlohmann::json& theirs, DoubleCheck& check) {
    if (theirs.is_array()) {
        const JsonArray* array = ours.array();
        for (size_t i = 0; i < theirs.size(); ++i) {
            nlohmannCheck(array && i < array->count() ? array->objectAtIndex(i) : jsonNone(), theirs[i], check);
        }
    } else if (theirs.is_object()) {
        const JsonDictionary* dictionary = ours.dictionary();
        for (const auto& item : theirs.items()) {
            nlohmannCheck(dictionary ? dictionary->objectForKey(std::string_view(item.key())) : jsonNone(), item.value(),
                          check);
        }
    } else if (theirs.is_number_float()) {
        check.compare(ours, theirs.get<double>());
    }
}

inline DoubleCheck nlohmannDoubles(const std::string& text, const JsonValue& ours) {
    DoubleCheck check;
    nlohmannCheck(ours, nlohmann::json::parse(text, nullptr, false), check);
    return check;
}

inline const nlohmann::json& nlohmannTree(const std::string& text) {
    static std::map<const std::string*, nlohmann::json> trees;
    auto found = trees.find(&text);
    if (found == trees.end()) found = trees.emplace(&text, nlohmann::json::parse(text)).first;
    return found->second;
}

inline size_t nlohmannWrite(const nlohmann::json& tree, int indent) {
    std::string text = tree.dump(indent);
    benchmark::DoNotOptimize(text);
    return text.size();
}
#endif

#if VARNEL_BENCH_HAS_SIMDJSON
// simdjson reads from a padded copy of the text and reuses its parser, as its interface asks.
struct SimdjsonInput {
    simdjson::padded_string padded;
    simdjson::dom::parser parser;
    explicit SimdjsonInput(const std::string& text) : padded(text) {}
};

inline bool simdjsonParse(SimdjsonInput& input) {
    simdjson::dom::element root;
    const bool ok = input.parser.parse(input.padded).get(root) == simdjson::SUCCESS;
    benchmark::DoNotOptimize(root);
    return ok;
}

inline void simdjsonCheck(const JsonValue& ours, simdjson::dom::element theirs, DoubleCheck& check) {
    simdjson::dom::array array;
    simdjson::dom::object object;
    double real;
    if (theirs.get(array) == simdjson::SUCCESS) {
        const JsonArray* mine = ours.array();
        uint64_t i = 0;
        for (simdjson::dom::element element : array) {
            simdjsonCheck(mine && i < mine->count() ? mine->objectAtIndex(i) : jsonNone(), element, check);
            ++i;
        }
    } else if (theirs.get(object) == simdjson::SUCCESS) {
        const JsonDictionary* mine = ours.dictionary();
        for (simdjson::dom::key_value_pair field : object) {
            simdjsonCheck(mine ? mine->objectForKey(field.key) : jsonNone(), field.value, check);
        }
    } else if (theirs.type() == simdjson::dom::element_type::DOUBLE && theirs.get(real) == simdjson::SUCCESS) {
        check.compare(ours, real);
    }
}

inline DoubleCheck simdjsonDoubles(const std::string& text, const JsonValue& ours) {
    SimdjsonInput input(text);
    simdjson::dom::element root;
    DoubleCheck check;
    if (input.parser.parse(input.padded).get(root) == simdjson::SUCCESS) simdjsonCheck(ours, root, check);
    return check;
}
#endif

}  // namespace jsonbench
