// Benchmarks of the rectification geometry alone, per call, on the bundled
// calibration (data/sample, written out below), against OpenCV's
// cv::stereoRectify for the same cameras with zero distortion.
//
// Measured: compute_rectification (the form the run uses, and the classic form
// writing H1, H2 only), check_calibration followed by compute_rectification
// (what the run does between reading the files and warping), and
// cv::stereoRectify at the sample's 640 x 480.
//
// By default every benchmark is repeated 5 times, the repetitions of all
// benchmarks interleaved in random order, so that the ratios printed after the
// table compare medians taken over the same stretch of a noisy machine. Any
// Google Benchmark flag given on the command line overrides these defaults.
// BENCH_SMALL=1 (the CI smoke run) drops the repetitions; the geometry has no
// image size to shrink.

#include <benchmark/benchmark.h>

#include <unistd.h>
#include "bench_support.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <opencv2/calib3d.hpp>

#include "geometry/calibration_check.hpp"
#include "geometry/matrix.hpp"
#include "geometry/rectification.hpp"

namespace {

// data/sample/K_left.txt, K_right.txt and T.txt.
constexpr double sample_K_left[9] = {536.0734368, 0, 342.3703824, 0, 536.0163521,
                                     235.5368542, 0, 0,           1};
constexpr double sample_K_right[9] = {542.3547381, 0, 328.3241829, 0, 541.6149919,
                                      246.9472838, 0, 0,           1};
constexpr double sample_T[16] = {0.9999852423,
                                 0.004129050871,
                                 0.003530725766,
                                 -3.344247037,
                                 -0.004128094548,
                                 0.9999914407,
                                 -0.0002781020896,
                                 0.04172118452,
                                 -0.003531843843,
                                 0.0002635228157,
                                 0.9999937283,
                                 0.05296020536,
                                 0,
                                 0,
                                 0,
                                 1};

// A CV_32F matrix as the calibration readers deliver it.
cv::Mat float_matrix(int rows, int cols, const double* values) {
    cv::Mat m = rectify::new_matrix(rows, cols);
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) {
            rectify::set(m, r, c, values[r * cols + c]);
        }
    }
    return m;
}

struct Calibration {
    cv::Mat K_left = float_matrix(3, 3, sample_K_left);
    cv::Mat K_right = float_matrix(3, 3, sample_K_right);
    cv::Mat T = float_matrix(4, 4, sample_T);
};

void run_compute_rectification(benchmark::State& state) {
    const Calibration calibration;
    for (auto _ : state) {
        rectify::Rectification result =
            rectify::compute_rectification(calibration.K_left, calibration.K_right, calibration.T);
        benchmark::DoNotOptimize(result.H1.data);
        benchmark::DoNotOptimize(result.H2.data);
    }
}

void run_compute_rectification_classic(benchmark::State& state) {
    const Calibration calibration;
    cv::Mat H1 = rectify::new_matrix(3, 3), H2 = rectify::new_matrix(3, 3);
    for (auto _ : state) {
        rectify::compute_rectification(calibration.K_left, calibration.K_right, calibration.T, H1,
                                       H2);
        benchmark::DoNotOptimize(H1.data);
        benchmark::DoNotOptimize(H2.data);
    }
}

void run_check_and_compute(benchmark::State& state) {
    const Calibration calibration;
    for (auto _ : state) {
        const rectify::CalibrationProblem problem =
            rectify::check_calibration(calibration.K_left, calibration.K_right, calibration.T);
        if (problem) {
            state.SkipWithError("the sample calibration was refused");
            break;
        }
        rectify::Rectification result =
            rectify::compute_rectification(calibration.K_left, calibration.K_right, calibration.T);
        benchmark::DoNotOptimize(result.H1.data);
        benchmark::DoNotOptimize(result.H2.data);
    }
}

void run_cv_stereo_rectify(benchmark::State& state) {
    cv::Mat K1(3, 3, CV_64F), K2(3, 3, CV_64F), R(3, 3, CV_64F), t(3, 1, CV_64F);
    for (int i = 0; i < 9; ++i) {
        K1.at<double>(i / 3, i % 3) = sample_K_left[i];
        K2.at<double>(i / 3, i % 3) = sample_K_right[i];
        R.at<double>(i / 3, i % 3) = sample_T[(i / 3) * 4 + i % 3];
    }
    for (int r = 0; r < 3; ++r) {
        t.at<double>(r) = sample_T[r * 4 + 3];
    }
    const cv::Mat no_distortion = cv::Mat::zeros(1, 5, CV_64F);
    cv::Mat R1, R2, P1, P2, Q;
    for (auto _ : state) {
        cv::stereoRectify(K1, no_distortion, K2, no_distortion,
                          cv::Size(rectify::NOMINAL_WIDTH, rectify::NOMINAL_HEIGHT), R, t, R1, R2,
                          P1, P2, Q, cv::CALIB_ZERO_DISPARITY, -1);
        benchmark::DoNotOptimize(P1.data);
        benchmark::DoNotOptimize(P2.data);
    }
}

constexpr const char* ours = "compute_rectification";
constexpr const char* classic = "compute_rectification_H1_H2";
constexpr const char* checked = "check_calibration+compute_rectification";
constexpr const char* peer = "cv_stereoRectify";

void print_summary(const MedianReporter& reporter) {
    const double t_ours = reporter.median(ours);
    const double t_peer = reporter.median(peer);
    std::printf("\nMedian real time per call, this run:\n");
    for (const char* name : {ours, classic, checked, peer}) {
        std::printf("  %-42s %9.2f us\n", name, reporter.median(name));
    }
    std::printf("compute_rectification / cv::stereoRectify  %6.2f\n",
                (t_ours > 0 && t_peer > 0) ? t_ours / t_peer : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
    if (!initialize_benchmarks(argc, argv)) {
        return 1;
    }
    for (const auto& [name, function] :
         {std::pair{ours, &run_compute_rectification},
          std::pair{classic, &run_compute_rectification_classic},
          std::pair{checked, &run_check_and_compute}, std::pair{peer, &run_cv_stereo_rectify}}) {
        benchmark::RegisterBenchmark(name, function)->UseRealTime()->Unit(benchmark::kMicrosecond);
    }
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    print_summary(reporter);
    benchmark::Shutdown();
    return 0;
}
