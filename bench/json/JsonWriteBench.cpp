// Write throughput: the trees of the three generated documents (the structured one also pretty
// printed) written to text, each against the reader's parse of the written bytes in the same run.
// Prints MB/s of the written text for both and the ratio write time / parse time.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "JsonBenchSupport.h"
#include "json/JSONDecoder.h"
#include "json/JsonSerializer.h"

namespace {

struct Written {
    std::string label;
    JsonValue tree;
    JsonSerializeOptionFlags options;
    std::string text;  // what the writer gives, and what the parse baseline reads
};

const std::vector<Written>& written() {
    static const std::vector<Written> all = [] {
        std::vector<Written> cases;
        for (const auto& [name, text] : jsonbench::documents()) {
            const JsonValue tree = objectFromJSONString(text);
            cases.push_back({name, tree, JsonSerializeOptionNone, *JSONStringWithOptions(tree, JsonSerializeOptionNone)});
            if (name == "structured")
                cases.push_back({name + " pretty", tree, JsonSerializeOptionPretty,
                                 *JSONStringWithOptions(tree, JsonSerializeOptionPretty)});
        }
        return cases;
    }();
    return all;
}

void BM_ParseWritten(benchmark::State& state) {
    const Written& w = written()[static_cast<size_t>(state.range(0))];
    for (auto _ : state) {
        platform::Error error;
        JsonValue value = objectFromJSONStringWithParseOptions(w.text, 0, &error);
        if (!value) state.SkipWithError(error.description.c_str());
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * w.text.size()));
    state.SetLabel(w.label);
}

void BM_Write(benchmark::State& state) {
    const Written& w = written()[static_cast<size_t>(state.range(0))];
    for (auto _ : state) {
        platform::Error error;
        std::optional<std::string> text = JSONStringWithOptions(w.tree, w.options, &error);
        if (!text) state.SkipWithError(error.description.c_str());
        benchmark::DoNotOptimize(text);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * w.text.size()));
    state.SetLabel(w.label);
}

BENCHMARK(BM_ParseWritten)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->Repetitions(3);
BENCHMARK(BM_Write)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->Repetitions(3);

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::pair<std::string, size_t>> sizes;
    for (const Written& w : written()) sizes.emplace_back(w.label, w.text.size());
    jsonbench::RatioReporter reporter("BM_ParseWritten", "parse", "write", "1.0x of the parse; number-heavy within 1.5x",
                                      sizes);
    return jsonbench::runBenchmarks(argc, argv, reporter);
}
