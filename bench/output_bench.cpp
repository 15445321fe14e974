// Benchmarks of the output stage of a run: resize_to_output followed by
// write_ppm_atomically (the tool), against cv::resize followed by cv::imwrite
// of a ".ppm" (the plain OpenCV way), on a random colour image.
//
// Sizes: 640 x 480 and 4000 x 3000, each at scale 1.0 (resize_to_output hands
// the image back as it is, cv::resize copies it) and 0.5, and the writing alone
// (write_ppm_atomically against cv::imwrite, "write_only"). With BENCH_SMALL=1
// (the CI smoke run) only 64 x 48 is measured.
//
// The files go into a fresh folder under BENCH_OUTPUT_DIR, else the system's
// temporary folder, which is removed at the end.
//
// By default every benchmark is repeated 5 times, the repetitions of all
// benchmarks interleaved in random order, so that the ratios printed after the
// table compare medians taken over the same stretch of a noisy machine. Any
// Google Benchmark flag given on the command line overrides these defaults
// (BENCH_SMALL=1 drops them).

#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <unistd.h>
#include "bench_support.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "imagefiles/ppm_writer.hpp"
#include "app/run.hpp"

namespace {

// One measured case: the image size and the output scale, or the writing
// alone (no resize, no copy) when write_only.
struct Case {
    cv::Size size;
    double scale = 1.0;
    bool write_only = false;
};

cv::Size scaled(cv::Size size, double scale) {
    return {static_cast<int>(size.width * scale), static_cast<int>(size.height * scale)};
}

cv::Mat random_image(cv::Size size) {
    cv::Mat image(size, CV_8UC3);
    cv::RNG rng(42);
    rng.fill(image, cv::RNG::UNIFORM, 0, 256);
    return image;
}

void count_pixels(benchmark::State& state, cv::Size size) {
    state.counters["Mpx"] = benchmark::Counter(
        size.area() / 1e6, benchmark::Counter::kIsRate | benchmark::Counter::kIsIterationInvariant);
}

void run_tool_output(benchmark::State& state, Case c, std::string path) {
    const cv::Mat warped = random_image(c.size);
    const cv::Size output_size = scaled(c.size, c.scale);
    for (auto _ : state) {
        const cv::Mat output =
            c.write_only ? warped : rectify::resize_to_output(warped, output_size);
        if (!rectify::write_ppm_atomically(path, output)) {
            state.SkipWithError(("cannot write " + path).c_str());
            break;
        }
    }
    count_pixels(state, c.size);
}

void run_cv_output(benchmark::State& state, Case c, std::string path) {
    const cv::Mat warped = random_image(c.size);
    const cv::Size output_size = scaled(c.size, c.scale);
    for (auto _ : state) {
        cv::Mat output = warped;
        if (!c.write_only) {
            cv::resize(warped, output, output_size, 0, 0, cv::INTER_LINEAR);
        }
        if (!cv::imwrite(path, output)) {
            state.SkipWithError(("cannot write " + path).c_str());
            break;
        }
    }
    count_pixels(state, c.size);
}

std::string case_name(const Case& c) {
    char name[64];
    if (c.write_only) {
        std::snprintf(name, sizeof name, "%dx%d/write_only", c.size.width, c.size.height);
    } else {
        std::snprintf(name, sizeof name, "%dx%d/scale:%.2g", c.size.width, c.size.height, c.scale);
    }
    return name;
}

// "/<case name>", appended to each benchmark name. (Built with append: GCC 12
// warns falsely on "/" + std::string.)
std::string case_suffix(const Case& c) {
    std::string suffix("/");
    suffix.append(case_name(c));
    return suffix;
}

// Without a resize in write_only cases.
constexpr const char* ours = "resize_to_output+write_ppm_atomically";
constexpr const char* peer = "cv_resize+cv_imwrite";

void print_summary(const MedianReporter& reporter, const std::vector<Case>& cases) {
    std::printf("\nMedian real times and their ratio, this run:\n");
    std::printf("  %-22s %12s %12s %14s\n", "case", "tool ms", "OpenCV ms", "tool / OpenCV");
    for (const Case& c : cases) {
        const std::string suffix = case_suffix(c);
        const double t_ours = reporter.median(ours + suffix);
        const double t_peer = reporter.median(peer + suffix);
        if (t_ours == 0 && t_peer == 0) {
            continue;  // filtered out
        }
        std::printf("  %-22s %12.2f %12.2f %14.2f\n", case_name(c).c_str(), t_ours, t_peer,
                    (t_ours > 0 && t_peer > 0) ? t_ours / t_peer : 0.0);
    }
}

std::vector<Case> benchmark_cases() {
    const std::vector<cv::Size> sizes = small_run()
                                            ? std::vector<cv::Size>{{64, 48}}
                                            : std::vector<cv::Size>{{640, 480}, {4000, 3000}};
    std::vector<Case> cases;
    for (const cv::Size size : sizes) {
        for (const double scale : {1.0, 0.5}) {
            cases.push_back({size, scale, false});
        }
        cases.push_back({size, 1.0, true});
    }
    return cases;
}

}  // namespace

int main(int argc, char** argv) {
    if (!initialize_benchmarks(argc, argv)) {
        return 1;
    }
    const std::filesystem::path folder = make_work_folder("output_bench");
    if (folder.empty()) {
        std::fprintf(stderr, "output_bench: cannot create a folder for the outputs\n");
        return 1;
    }
    const std::vector<Case> cases = benchmark_cases();
    for (const Case& c : cases) {
        const std::string suffix = case_suffix(c);
        std::string file = case_name(c);
        std::replace(file.begin(), file.end(), '/', '_');
        const std::string ours_path = (folder / ("tool_" + file + ".ppm")).string();
        const std::string peer_path = (folder / ("opencv_" + file + ".ppm")).string();
        benchmark::RegisterBenchmark((ours + suffix).c_str(), run_tool_output, c, ours_path)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((peer + suffix).c_str(), run_cv_output, c, peer_path)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
    }
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    print_summary(reporter, cases);
    benchmark::Shutdown();
    std::error_code error;
    std::filesystem::remove_all(folder, error);
    return 0;
}
