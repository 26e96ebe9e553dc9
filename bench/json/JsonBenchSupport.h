#pragma once
// What the JSON benchmarks share: three generated documents of about 1 MB (number-heavy,
// string-heavy with escapes and non-ASCII text, deeply structured objects) and a reporter that
// prints, per document, MB/s of a baseline and of the measured work and their ratio, from the
// fastest repetition of each (the machine is shared: slower repetitions measure the others).

#include <benchmark/benchmark.h>

#include <cstdio>
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

// Prints the usual table, then per label MB/s of the baseline and of the measured benchmark and
// the ratio measured time / baseline time. Runs are told apart by the prefix of their name and
// matched by their label; sizes gives, in the order printed, each label and the bytes a run of it
// processes.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter(std::string baselinePrefix, std::string baselineTitle, std::string measuredTitle, std::string aim,
                  std::vector<std::pair<std::string, size_t>> sizes)
        : baselinePrefix_(std::move(baselinePrefix)),
          baselineTitle_(std::move(baselineTitle)),
          measuredTitle_(std::move(measuredTitle)),
          aim_(std::move(aim)),
          sizes_(std::move(sizes)) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
            const double seconds = run.real_accumulated_time / static_cast<double>(run.iterations);
            auto& fastest = (run.benchmark_name().rfind(baselinePrefix_, 0) == 0 ? baseline_ : measured_);
            auto found = fastest.find(run.report_label);
            if (found == fastest.end() || seconds < found->second) fastest[run.report_label] = seconds;
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\n%-18s %14s %14s %8s\n", "document", (baselineTitle_ + " MB/s").c_str(),
                    (measuredTitle_ + " MB/s").c_str(), "ratio");
        for (const auto& [label, bytes] : sizes_) {
            if (!baseline_.count(label) || !measured_.count(label)) continue;
            const double megabytes = static_cast<double>(bytes) / 1e6;
            std::printf("%-18s %14.1f %14.1f %7.2fx\n", label.c_str(), megabytes / baseline_[label],
                        megabytes / measured_[label], measured_[label] / baseline_[label]);
        }
        std::printf("(aim: %s)\n", aim_.c_str());
    }

private:
    std::string baselinePrefix_;
    std::string baselineTitle_;
    std::string measuredTitle_;
    std::string aim_;
    std::vector<std::pair<std::string, size_t>> sizes_;
    std::map<std::string, double> baseline_;
    std::map<std::string, double> measured_;
};

// The body of a benchmark program's main: runs the benchmarks the command line selects and
// reports them.
inline int runBenchmarks(int argc, char** argv, RatioReporter& reporter) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

}  // namespace jsonbench
