// Write throughput: the trees of the three generated documents (the structured one also pretty
// printed) written to text by the project's writer, against the project's parse of the written
// bytes in the same run and against the peers a user would pick instead, each writing its own
// tree of the same document into its own string type. Every contender's MB/s counts the bytes of
// the project's text, so the ratio is one of times; the peers' texts differ a little (shorter
// doubles; pretty printing without sorted keys).

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "JsonBenchSupport.h"
#include "JsonPeers.h"
#include "json/JSONDecoder.h"
#include "json/JsonSerializer.h"

namespace {

struct Written {
    std::string label;
    const std::string* document;  // the text the trees were read from
    JsonValue tree;
    JsonSerializeOptionFlags options;
    std::string text;  // what the writer gives, and what the parse baseline reads
};

const std::vector<Written>& written() {
    static const std::vector<Written> all = [] {
        std::vector<Written> cases;
        for (const auto& [name, text] : jsonbench::documents()) {
            const JsonValue tree = objectFromJSONString(text);
            cases.push_back(
                {name, &text, tree, JsonSerializeOptionNone, *JSONStringWithOptions(tree, JsonSerializeOptionNone)});
            if (name == "structured")
                cases.push_back({name + " pretty", &text, tree, JsonSerializeOptionPretty,
                                 *JSONStringWithOptions(tree, JsonSerializeOptionPretty)});
        }
        return cases;
    }();
    return all;
}

}  // namespace

int main(int argc, char** argv) {
    using jsonbench::Contender;
    std::vector<Contender> contenders = {{"parse", false}, {"project", false}};
#if VARNEL_BENCH_HAS_RAPIDJSON
    contenders.push_back({"rapidjson", true});
#endif
#if VARNEL_BENCH_HAS_NLOHMANN
    contenders.push_back({"nlohmann", true});
#endif

    std::vector<jsonbench::Row> rows;
    for (const Written& w : written()) {
        const jsonbench::Row row{w.label, w.text.size(), {}};
        const Written* c = &w;
        const bool pretty = w.options & JsonSerializeOptionPretty;
        jsonbench::registerRun(contenders[0], row, [c] {
            JsonValue value = objectFromJSONStringWithParseOptions(c->text, 0);
            benchmark::DoNotOptimize(value);
        });
        jsonbench::registerRun(contenders[1], row, [c] {
            std::optional<std::string> text = JSONStringWithOptions(c->tree, c->options);
            benchmark::DoNotOptimize(text);
        });
#if VARNEL_BENCH_HAS_RAPIDJSON
        {
            const rapidjson::Document* tree = &jsonbench::rapidjsonTree(*w.document);
            if (pretty) {
                jsonbench::registerRun({"rapidjson", true}, row, [tree] {
                    jsonbench::rapidjsonWrite<rapidjson::PrettyWriter<rapidjson::StringBuffer>>(*tree, 2);
                });
            } else {
                jsonbench::registerRun({"rapidjson", true}, row, [tree] {
                    jsonbench::rapidjsonWrite<rapidjson::Writer<rapidjson::StringBuffer>>(*tree, 0);
                });
            }
        }
#endif
#if VARNEL_BENCH_HAS_NLOHMANN
        {
            const nlohmann::json* tree = &jsonbench::nlohmannTree(*w.document);
            jsonbench::registerRun({"nlohmann", true}, row,
                                   [tree, pretty] { jsonbench::nlohmannWrite(*tree, pretty ? 2 : -1); });
        }
#endif
        rows.push_back(row);
    }
    jsonbench::PeerTableReporter reporter("project", contenders, rows);
    return jsonbench::runBenchmarks(argc, argv, reporter);
}
