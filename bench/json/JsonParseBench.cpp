// Parse throughput on three generated documents of about 1 MB (number-heavy, string-heavy with
// escapes and non-ASCII text, deeply structured objects), each against a baseline measured in
// the same run: one pass that validates the UTF-8 and classifies every byte, the least work any
// parser must do. Prints MB/s of each and the ratio parse time / baseline time, from the fastest
// of three repetitions of each (the machine is shared: slower repetitions measure the others).

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "JsonBenchSupport.h"
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

void BM_Baseline(benchmark::State& state) {
    const std::string& text = documents()[static_cast<size_t>(state.range(0))].second;
    for (auto _ : state) benchmark::DoNotOptimize(validateAndClassify(text));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
    state.SetLabel(documents()[static_cast<size_t>(state.range(0))].first);
}

void BM_Parse(benchmark::State& state) {
    const std::string& text = documents()[static_cast<size_t>(state.range(0))].second;
    for (auto _ : state) {
        platform::Error error;
        JsonValue value = objectFromJSONStringWithParseOptions(text, 0, &error);
        if (!value) state.SkipWithError(error.description.c_str());
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
    state.SetLabel(documents()[static_cast<size_t>(state.range(0))].first);
}

BENCHMARK(BM_Baseline)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->Repetitions(3);
BENCHMARK(BM_Parse)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->Repetitions(3);

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::pair<std::string, size_t>> sizes;
    for (const auto& [label, text] : documents()) sizes.emplace_back(label, text.size());
    jsonbench::RatioReporter reporter("BM_Baseline", "baseline", "parse", "within 4x of the baseline", sizes);
    return jsonbench::runBenchmarks(argc, argv, reporter);
}
