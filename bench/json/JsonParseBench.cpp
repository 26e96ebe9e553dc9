// Parse throughput on three generated documents of about 1 MB (number-heavy, string-heavy with
// escapes and non-ASCII text, deeply structured objects), each against a baseline measured in
// the same run: one pass that validates the UTF-8 and classifies every byte, the least work any
// parser must do. Prints MB/s of each and the ratio parse time / baseline time, from the fastest
// of three repetitions of each (the machine is shared: slower repetitions measure the others).

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "json/JSONDecoder.h"

namespace {

constexpr size_t kTargetSize = 1 << 20;

std::string numberHeavy() {
    std::mt19937_64 random(1);
    std::string text = "[";
    while (text.size() < kTargetSize) {
        switch (random() % 4) {
        case 0:
            text += std::to_string(static_cast<int64_t>(random() >> 1) - (int64_t{1} << 61));
            break;
        case 1:
            text += std::to_string(random() % 100000);
            break;
        case 2:
            text += std::to_string(random() % 100000) + "." + std::to_string(random() % 1000000);
            break;
        default:
            text += std::to_string(random() % 1000) + "." + std::to_string(random() % 1000) + "e-" +
                    std::to_string(random() % 300);
            break;
        }
        text += ',';
    }
    text += "0]";
    return text;
}

std::string stringHeavy() {
    std::mt19937_64 random(2);
    const char* const pieces[] = {"mixer ",  "scene ",      "Kanal ",      "\\\"quoted\\\" ", "tab\\t",
                                  "new\\n",  "caf\xC3\xA9 ", "\xE2\x82\xAC", "\xE6\xB7\xB7\xE9\x9F\xB3 ",
                                  "\\u00e9", "\\uD834\\uDD1E", "\xF0\x9F\x8E\x9A ", "preset "};
    std::string text = "[";
    while (text.size() < kTargetSize) {
        text += '"';
        const int parts = 1 + static_cast<int>(random() % 12);
        for (int i = 0; i < parts; ++i) text += pieces[random() % std::size(pieces)];
        text += "\",";
    }
    text += "\"\"]";
    return text;
}

void deepObject(std::mt19937_64& random, std::string& text, int depth) {
    text += '{';
    const int members = 2 + static_cast<int>(random() % 4);
    for (int i = 0; i < members; ++i) {
        if (i) text += ',';
        text += "\"field" + std::to_string(random() % 16) + "_" + std::to_string(i) + "\":";
        if (depth < 7 && random() % 3 != 0) {
            deepObject(random, text, depth + 1);
        } else if (random() % 2) {
            text += "[true,null," + std::to_string(random() % 1000) + ",\"v\"]";
        } else {
            text += std::to_string(random() % 100000);
        }
    }
    text += '}';
}

std::string deeplyStructured() {
    std::mt19937_64 random(3);
    std::string text = "[";
    while (text.size() < kTargetSize) {
        deepObject(random, text, 0);
        text += ',';
    }
    text += "{}]";
    return text;
}

const std::vector<std::pair<std::string, std::string>>& documents() {
    static const std::vector<std::pair<std::string, std::string>> docs = {
        {"numbers", numberHeavy()}, {"strings", stringHeavy()}, {"structured", deeplyStructured()}};
    return docs;
}

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

// Prints the usual table, then MB/s of both and the ratio per document (fastest repetitions).
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
            const double seconds = run.real_accumulated_time / static_cast<double>(run.iterations);
            const std::string name = run.benchmark_name();
            auto& fastest = (name.rfind("BM_Baseline", 0) == 0 ? baseline_ : parse_);
            auto found = fastest.find(run.report_label);
            if (found == fastest.end() || seconds < found->second) fastest[run.report_label] = seconds;
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\n%-12s %12s %12s %8s\n", "document", "baseline MB/s", "parse MB/s", "ratio");
        for (const auto& [label, text] : documents()) {
            if (!baseline_.count(label) || !parse_.count(label)) continue;
            const double megabytes = static_cast<double>(text.size()) / 1e6;
            std::printf("%-12s %12.1f %12.1f %7.2fx\n", label.c_str(), megabytes / baseline_[label],
                        megabytes / parse_[label], parse_[label] / baseline_[label]);
        }
        std::printf("(aim: within 4x of the baseline)\n");
    }

private:
    std::map<std::string, double> baseline_;
    std::map<std::string, double> parse_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
