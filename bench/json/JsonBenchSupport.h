#pragma once
// What the JSON benchmarks share: three generated documents of about 1 MB (number-heavy,
// string-heavy with escapes and non-ASCII text, deeply structured objects) and a reporter that
// prints one row per document: MB/s of every contender (the median of its repetitions), then the
// project's MB/s over the best comparable peer's. The runs of all contenders are interleaved at
// random, so a burst of load from other work on the machine falls on all of them alike.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace jsonbench {

inline constexpr size_t kTargetSize = 1 << 20;

inline std::string numberHeavy() {
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

inline std::string stringHeavy() {
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

inline void deepObject(std::mt19937_64& random, std::string& text, int depth) {
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

inline std::string deeplyStructured() {
    std::mt19937_64 random(3);
    std::string text = "[";
    while (text.size() < kTargetSize) {
        deepObject(random, text, 0);
        text += ',';
    }
    text += "{}]";
    return text;
}

// The three documents by name.
inline const std::vector<std::pair<std::string, std::string>>& documents() {
    static const std::vector<std::pair<std::string, std::string>> docs = {
        {"numbers", numberHeavy()}, {"strings", stringHeavy()}, {"structured", deeplyStructured()}};
    return docs;
}

// One column of the table: who does the work, and whether its result counts as comparable with
// the project's on a row (a peer that builds no tree, or reads some doubles wrong, is shown but
// not compared with).
struct Contender {
    std::string name;
    bool peer = false;
};

// One row: a document (or a way of writing it) and the bytes one run handles, on which every
// contender's MB/s is counted.
struct Row {
    std::string label;
    size_t bytes = 0;
    // Contender names that do not count as comparable on this row, with the reason shown under
    // the table.
    std::map<std::string, std::string> notComparable;
};

// Registers one benchmark per row and contender, named "<contender>/<row>", that runs body
// and counts the row's bytes.
inline void registerRun(const Contender& contender, const Row& row, std::function<void()> body) {
    const std::string name = contender.name + "/" + row.label;
    benchmark::RegisterBenchmark(name.c_str(),
                                 [body = std::move(body), bytes = row.bytes](benchmark::State& state) {
                                     for (auto _ : state) body();
                                     state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
                                 })
        ->Unit(benchmark::kMillisecond)
        ->MinTime(0.1)
        ->Repetitions(7)
        ->ReportAggregatesOnly(false);
}

// Prints the usual lines, then the table: per row, MB/s of each contender (median of its
// repetitions), and the project's over the best comparable peer's ("project / best").
class PeerTableReporter : public benchmark::ConsoleReporter {
public:
    PeerTableReporter(std::string project, std::vector<Contender> contenders, std::vector<Row> rows)
        : project_(std::move(project)), contenders_(std::move(contenders)), rows_(std::move(rows)) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0) continue;
            const std::string name = run.run_name.function_name;
            const size_t slash = name.find('/');
            if (slash == std::string::npos) continue;
            seconds_[{name.substr(0, slash), name.substr(slash + 1)}].push_back(run.real_accumulated_time /
                                                                                  static_cast<double>(run.iterations));
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nMB/s, median of the repetitions; ratio = %s / best comparable peer\n", project_.c_str());
        std::printf("%-18s", "document");
        for (const Contender& c : contenders_) std::printf(" %12s", c.name.c_str());
        std::printf("  %-6s %s\n", "ratio", "best comparable peer");
        std::vector<std::string> notes;
        for (const Row& row : rows_) {
            std::printf("%-18s", row.label.c_str());
            double projectSpeed = 0;
            double bestSpeed = 0;
            std::string best;
            for (const Contender& c : contenders_) {
                const double speed = megabytesPerSecond(c.name, row);
                if (speed <= 0) {
                    std::printf(" %12s", "-");
                    continue;
                }
                const auto excluded = row.notComparable.find(c.name);
                std::printf(" %11.1f%s", speed, excluded != row.notComparable.end() ? "*" : " ");
                if (c.name == project_) projectSpeed = speed;
                if (c.peer && excluded == row.notComparable.end() && speed > bestSpeed) {
                    bestSpeed = speed;
                    best = c.name;
                }
                if (excluded != row.notComparable.end()) notes.push_back(row.label + ", " + c.name + ": " + excluded->second);
            }
            if (projectSpeed > 0 && bestSpeed > 0) {
                std::printf("  %5.2fx %s\n", projectSpeed / bestSpeed, best.c_str());
            } else {
                std::printf("  %6s\n", "-");
            }
        }
        for (const std::string& note : notes) std::printf("* %s\n", note.c_str());
    }

private:
    double megabytesPerSecond(const std::string& contender, const Row& row) {
        auto found = seconds_.find({contender, row.label});
        if (found == seconds_.end() || found->second.empty()) return 0;
        std::vector<double> times = found->second;
        std::sort(times.begin(), times.end());
        const size_t n = times.size();
        const double median = n % 2 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
        return static_cast<double>(row.bytes) / 1e6 / median;
    }

    std::string project_;
    std::vector<Contender> contenders_;
    std::vector<Row> rows_;
    std::map<std::pair<std::string, std::string>, std::vector<double>> seconds_;
};

// The body of a benchmark program's main, after its benchmarks are registered: runs those the
// command line selects, interleaved at random unless the command line says otherwise.
inline int runBenchmarks(int argc, char** argv, PeerTableReporter& reporter) {
    std::vector<char*> args(argv, argv + argc);
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    const bool chosen = std::any_of(args.begin(), args.end(), [](const char* arg) {
        return std::strncmp(arg, "--benchmark_enable_random_interleaving", 38) == 0;
    });
    if (!chosen) args.insert(args.begin() + 1, interleave);
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

}  // namespace jsonbench
