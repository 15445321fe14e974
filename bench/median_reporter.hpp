#pragma once
// The console table of a benchmark program, plus per benchmark its median real
// time, from which the programs print ratios measured in the same run: the
// median aggregate when repetitions report one, else the median of the runs.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

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
