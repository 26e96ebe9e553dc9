// Parse throughput on three generated documents of about 1 MB (number-heavy, string-heavy with
// escapes and non-ASCII text, deeply structured objects): the project's reader against a baseline
// measured in the same run (one pass that validates the UTF-8 and classifies every byte, the least
// work any parser must do) and against the peers a user would pick instead, each building its
// tree from the text and dropping it again. A peer counts as comparable on a document when it
// builds a tree and reads every double of it exactly as the project does (correctly rounded).

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "JsonBenchSupport.h"
#include "JsonPeers.h"
#include "json/JSONDecoder.h"

namespace {

using jsonbench::documents;

// Byte classes a JSON scanner tells apart.
enum ByteClass : uint8_t { Other, Space, Quote, Backslash, Digit, Punctuation, Control, High };

struct ClassTable {
    uint8_t classes[256];
    ClassTable() {
        for (int c = 0; c < 256; ++c) {
            classes[c] = c < 0x20 ? Control : c >= 0x80 ? High : Other;
        }
        for (unsigned char c : std::string(" \t\r\n")) classes[c] = Space;
        for (unsigned char c : std::string("0123456789-+.eE")) classes[c] = Digit;
        for (unsigned char c : std::string("{}[]:,")) classes[c] = Punctuation;
        classes[static_cast<unsigned char>('"')] = Quote;
        classes[static_cast<unsigned char>('\\')] = Backslash;
    }
};

// The baseline: validate the UTF-8 (well-formed sequences only) and count the bytes of every
// class.
uint64_t validateAndClassify(const std::string& text) {
    static const ClassTable table;
    uint64_t counts[8] = {};
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    const uint8_t* end = p + text.size();
    while (p < end) {
        const uint8_t c = *p;
        ++counts[table.classes[c]];
        if (c < 0x80) {
            ++p;
            continue;
        }
        int length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
        if (c < 0xC2 || c > 0xF4 || end - p < length) return UINT64_MAX;
        for (int i = 1; i < length; ++i) {
            if ((p[i] & 0xC0) != 0x80) return UINT64_MAX;
        }
        if ((c == 0xE0 && p[1] < 0xA0) || (c == 0xED && p[1] > 0x9F) || (c == 0xF0 && p[1] < 0x90) ||
            (c == 0xF4 && p[1] > 0x8F))
            return UINT64_MAX;
        p += length;
    }
    return counts[Quote] + counts[Punctuation] * 3 + counts[Digit] * 5 + counts[Space] + counts[High] * 7;
}

void mustParse(bool parsed, const char* who) {
    if (!parsed) {
        std::fprintf(stderr, "%s refused a benchmark document\n", who);
        std::abort();
    }
}

// Marks the peer as not comparable on the row when it reads a double differently.
void checkDoubles(jsonbench::Row& row, const std::string& peer, const jsonbench::DoubleCheck& check) {
    if (check.differ == 0) return;
    row.notComparable[peer] = std::to_string(check.differ) + " of " + std::to_string(check.doubles) +
                              " doubles differ from the correctly rounded value";
}

}  // namespace

int main(int argc, char** argv) {
    using jsonbench::Contender;
    std::vector<Contender> contenders = {{"baseline", false}, {"project", false}};
#if VARNEL_BENCH_HAS_RAPIDJSON
    contenders.push_back({"rapidjson", true});
    contenders.push_back({"rapidjson-fp", true});
#endif
#if VARNEL_BENCH_HAS_NLOHMANN
    contenders.push_back({"nlohmann", true});
#endif
#if VARNEL_BENCH_HAS_SIMDJSON
    contenders.push_back({"simdjson", true});
#endif

    std::vector<jsonbench::Row> rows;
    for (const auto& [label, text] : documents()) {
        jsonbench::Row row{label, text.size(), {}};
        const JsonValue ours = objectFromJSONString(text);
        mustParse(!ours.isNone(), "the project");
        const std::string* document = &text;
        jsonbench::registerRun(contenders[0], row, [document] { benchmark::DoNotOptimize(validateAndClassify(*document)); });
        jsonbench::registerRun(contenders[1], row, [document] {
            JsonValue value = objectFromJSONStringWithParseOptions(*document, 0);
            benchmark::DoNotOptimize(value);
        });
#if VARNEL_BENCH_HAS_RAPIDJSON
        mustParse(jsonbench::rapidjsonParse<rapidjson::kParseDefaultFlags>(text), "RapidJSON");
        checkDoubles(row, "rapidjson", jsonbench::rapidjsonDoubles<rapidjson::kParseDefaultFlags>(text, ours));
        checkDoubles(row, "rapidjson-fp", jsonbench::rapidjsonDoubles<rapidjson::kParseFullPrecisionFlag>(text, ours));
        jsonbench::registerRun({"rapidjson", true}, row,
                               [document] { jsonbench::rapidjsonParse<rapidjson::kParseDefaultFlags>(*document); });
        jsonbench::registerRun({"rapidjson-fp", true}, row,
                               [document] { jsonbench::rapidjsonParse<rapidjson::kParseFullPrecisionFlag>(*document); });
#endif
#if VARNEL_BENCH_HAS_NLOHMANN
        mustParse(jsonbench::nlohmannParse(text), "nlohmann/json");
        checkDoubles(row, "nlohmann", jsonbench::nlohmannDoubles(text, ours));
        jsonbench::registerRun({"nlohmann", true}, row, [document] { jsonbench::nlohmannParse(*document); });
#endif
#if VARNEL_BENCH_HAS_SIMDJSON
        {
            auto input = std::make_shared<jsonbench::SimdjsonInput>(text);
            mustParse(jsonbench::simdjsonParse(*input), "simdjson");
            const jsonbench::DoubleCheck check = jsonbench::simdjsonDoubles(text, ours);
            row.notComparable["simdjson"] =
                "builds no tree of its own objects (a read-only view of one reused parser's tape); " +
                std::to_string(check.differ) + " of " + std::to_string(check.doubles) + " doubles differ";
            jsonbench::registerRun({"simdjson", true}, row, [input] { jsonbench::simdjsonParse(*input); });
        }
#endif
        rows.push_back(std::move(row));
    }
    jsonbench::PeerTableReporter reporter("project", contenders, rows);
    return jsonbench::runBenchmarks(argc, argv, reporter);
}
