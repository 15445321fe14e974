#pragma once
// What the benchmark programs share: the small-run switch of the CI smoke run,
// default flags, and a reporter that keeps the medians the programs print
// their same-run ratios from.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

// BENCH_SMALL=1: the CI smoke run, tiny sizes and no repetitions.
// A new empty folder for a benchmark's files, in BENCH_OUTPUT_DIR when set
// (the disk the tool's outputs would go to), else the temporary folder; an
// empty path when none can be made.
inline std::filesystem::path make_work_folder(const std::string& prefix) {
    std::error_code error;
    const char* parent = std::getenv("BENCH_OUTPUT_DIR");
    const std::filesystem::path base = parent != nullptr
                                           ? std::filesystem::path(parent)
                                           : std::filesystem::temp_directory_path(error);
    if (error) {
        return {};
    }
    std::string pattern = (base / (prefix + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) {
        return {};
    }
    return pattern;
}

inline bool small_run() {
    const char* small = std::getenv("BENCH_SMALL");
    return small != nullptr && std::string(small) == "1";
}

// Initialises the library with five interleaved repetitions by default (none in
// a small run); flags on the command line override them. False when a flag is
// not understood.
inline bool initialize_benchmarks(int argc, char** argv) {
    std::vector<char*> arguments{argv[0]};
    std::string repetitions = "--benchmark_repetitions=5";
    std::string interleaving = "--benchmark_enable_random_interleaving=true";
    if (!small_run()) {
        arguments.push_back(repetitions.data());
        arguments.push_back(interleaving.data());
    }
    arguments.insert(arguments.end(), argv + 1, argv + argc);
    int count = static_cast<int>(arguments.size());
    benchmark::Initialize(&count, arguments.data());
    return !benchmark::ReportUnrecognizedArguments(count, arguments.data());
}

// The console table, plus per benchmark its median real time: the median
// aggregate when repetitions report one, else the median of the runs.
class MedianReporter : public benchmark::ConsoleReporter {
  public:
    // Colours only on a terminal, as the library's own reporter does by default.
    MedianReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred) {
                continue;
            }
            const std::string& name = run.run_name.function_name;
            if (run.run_type == Run::RT_Iteration) {
                times_[name].push_back(run.GetAdjustedRealTime());
            } else if (run.aggregate_name == "median") {
                medians_[name] = run.GetAdjustedRealTime();
            }
        }
    }

    // 0 when the benchmark did not run.
    double median(const std::string& name) const {
        if (const auto found = medians_.find(name); found != medians_.end()) {
            return found->second;
        }
        const auto found = times_.find(name);
        if (found == times_.end() || found->second.empty()) {
            return 0.0;
        }
        std::vector<double> times = found->second;
        const auto middle = times.begin() + static_cast<std::ptrdiff_t>(times.size() / 2);
        std::nth_element(times.begin(), middle, times.end());
        return *middle;
    }

  private:
    std::map<std::string, std::vector<double>> times_;
    std::map<std::string, double> medians_;
};
