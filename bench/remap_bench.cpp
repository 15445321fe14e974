// Benchmarks of the distortion-aware rectification of real rigs, on the raw
// sample's calibration (data/raw/stereo.yml, its intrinsics scaled to the
// image size), full view, against OpenCV's own pipeline for the same size:
//
// - per run, one side's maps and sampling plan (plan_side) against
//   cv::stereoRectify + cv::initUndistortRectifyMap (float maps);
// - per image, resample (linear and Lanczos, 8-bit colour) against cv::remap
//   with BORDER_CONSTANT on the float maps.
//
// Sizes: 640 x 480 and 2560 x 1920 (64 x 48 in the BENCH_SMALL smoke run).
// Ratios of medians from the same run are printed after the table.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "bench_support.hpp"
#include "calibration/calibration_files.hpp"
#include "geometry/views.hpp"
#include "imaging/remap.hpp"

namespace {

using namespace rectify;

StereoCalibration calibration_for(cv::Size size) {
    StereoCalibration c = load_calibration_files({std::string(RAW_DIR) + "/stereo.yml"});
    const double s = size.width / 640.0;
    c.K1.rowRange(0, 2) *= s;
    c.K2.rowRange(0, 2) *= s;
    return c;
}

std::vector<cv::Size> sizes() {
    if (small_run()) {
        return {cv::Size(64, 48)};
    }
    return {cv::Size(640, 480), cv::Size(2560, 1920)};
}

std::string label(const char* what, cv::Size size) {
    return std::string(what) + "/" + std::to_string(size.width) + "x" + std::to_string(size.height);
}

void run_plan(benchmark::State& state, cv::Size size) {
    const StereoCalibration c = calibration_for(size);
    for (auto _ : state) {
        const ViewFit fit = fit_view(c, View::full, size, size);
        SamplingPlan plan = plan_side(c, fit, Side::left, Interpolation::linear);
        benchmark::DoNotOptimize(plan.table.data);
    }
}

void run_peer_maps(benchmark::State& state, cv::Size size) {
    const StereoCalibration c = calibration_for(size);
    for (auto _ : state) {
        cv::Mat R1, R2, P1, P2, Q, map_x, map_y;
        cv::stereoRectify(c.K1, c.D1.coefficients, c.K2, c.D2.coefficients, size, c.R, c.T, R1, R2,
                          P1, P2, Q, 0, 1.0);
        cv::initUndistortRectifyMap(c.K1, c.D1.coefficients, R1, P1, size, CV_32F, map_x, map_y);
        benchmark::DoNotOptimize(map_x.data);
    }
}

void run_resample(benchmark::State& state, cv::Size size, Interpolation interpolation) {
    const StereoCalibration c = calibration_for(size);
    const SamplingPlan plan =
        plan_side(c, fit_view(c, View::full, size, size), Side::left, interpolation);
    cv::Mat image(size, CV_8UC3);
    cv::randu(image, 0, 256);
    for (auto _ : state) {
        cv::Mat out = resample(image, plan, 100);
        benchmark::DoNotOptimize(out.data);
    }
}

void run_peer_remap(benchmark::State& state, cv::Size size, int flag) {
    const StereoCalibration c = calibration_for(size);
    const SourceMaps maps = build_source_maps(c, fit_view(c, View::full, size, size), Side::left);
    cv::Mat image(size, CV_8UC3);
    cv::randu(image, 0, 256);
    for (auto _ : state) {
        cv::Mat out;
        cv::remap(image, out, maps.map_x, maps.map_y, flag, cv::BORDER_CONSTANT,
                  cv::Scalar::all(100));
        benchmark::DoNotOptimize(out.data);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (!initialize_benchmarks(argc, argv)) {
        return 1;
    }
    for (const cv::Size size : sizes()) {
        const auto add = [&](const char* what, auto function) {
            benchmark::RegisterBenchmark(label(what, size).c_str(),
                                         [=](benchmark::State& state) { function(state, size); })
                ->UseRealTime()
                ->Unit(benchmark::kMillisecond);
        };
        add("plan_side", run_plan);
        add("cv_stereoRectify+initUndistortRectifyMap", run_peer_maps);
        add("resample_linear",
            [](benchmark::State& s, cv::Size z) { run_resample(s, z, Interpolation::linear); });
        add("cv_remap_linear",
            [](benchmark::State& s, cv::Size z) { run_peer_remap(s, z, cv::INTER_LINEAR); });
        add("resample_lanczos",
            [](benchmark::State& s, cv::Size z) { run_resample(s, z, Interpolation::lanczos); });
        add("cv_remap_lanczos",
            [](benchmark::State& s, cv::Size z) { run_peer_remap(s, z, cv::INTER_LANCZOS4); });
    }
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nRatios of medians, this run (below 1: ours is faster):\n");
    for (const cv::Size size : sizes()) {
        const auto ratio = [&](const char* ours, const char* peer) {
            const double a = reporter.median(label(ours, size)),
                         b = reporter.median(label(peer, size));
            std::printf("  %-58s %6.2f\n", (label(ours, size) + " / " + peer).c_str(),
                        a > 0 && b > 0 ? a / b : 0.0);
        };
        ratio("plan_side", "cv_stereoRectify+initUndistortRectifyMap");
        ratio("resample_linear", "cv_remap_linear");
        ratio("resample_lanczos", "cv_remap_lanczos");
    }
    benchmark::Shutdown();
    return 0;
}
