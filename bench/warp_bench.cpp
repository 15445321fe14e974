// Benchmarks of the inverse-mapping warp against its per-pixel reference and
// against OpenCV's nearest-neighbour resampling with the same warp map.
//
// Sizes: 640 x 480 and 4000 x 3000 by default. With the environment variable
// BENCH_SMALL=1 only a 64 x 48 image is measured (a quick smoke run for
// CI); WARP_BENCH_SIZES="WxH,WxH,..." measures the listed sizes instead.
// The usual Google Benchmark flags apply (--benchmark_filter,
// --benchmark_repetitions, ...). After the table a summary prints, per size,
// the ratios of the medians of this run.
//
// The warp map is the left map H1 of the bundled calibration (nominal frame
// 640 x 480), written out here so that the benchmark does not depend on the
// geometry, and scaled to each image size: H_W = D * H1 * D^-1 with
// D = diag(W / 640, W / 640, 1).
//
// Measured per size: warp_image as shipped (AVX2 where available, rows spread
// over OpenCV's worker threads); the same with the portable scalar rows in the
// calling thread alone (the starting point), with scalar rows on the worker
// threads, and with AVX2 rows in the calling thread alone; the per-pixel
// reference; cv::warpPerspective (nearest, inverse map, constant border) with
// the same map; cv::remap (nearest) on coordinate maps computed beforehand,
// which is the lookup alone. OpenCV keeps its default thread count: that is
// the peer users would run, and the pool warp_image shares.

#include <benchmark/benchmark.h>

#include "bench_support.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>
#include <opencv2/imgproc.hpp>

#include "geometry/matrix.hpp"
#include "imaging/warp.hpp"

namespace {

using rectify::WarpOptions;

constexpr double nominal_width = 640.0;

cv::Mat left_map_for_width(int width) {
    const double H1[3][3] = {
        {1.0056, 0.0040, -2.3}, {-0.0038, 1.0063, 1.1}, {0.0000062, -0.0000004, 0.9985}};
    const double s = width / nominal_width;
    const double d[3] = {s, s, 1.0};
    cv::Mat H(3, 3, CV_32F);
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            H.at<float>(r, c) = static_cast<float>(d[r] * H1[r][c] / d[c]);
        }
    }
    return H;
}

struct Scene {
    cv::Mat H;
    cv::Mat source;
    cv::Mat destination;
};

Scene make_scene(cv::Size size) {
    Scene scene{left_map_for_width(size.width), cv::Mat(size, CV_8UC3), cv::Mat(size, CV_8UC3)};
    cv::RNG rng(42);
    rng.fill(scene.source, cv::RNG::UNIFORM, 0, 256);
    return scene;
}

void count_pixels(benchmark::State& state, cv::Size size) {
    state.counters["Mpx"] = benchmark::Counter(
        size.area() / 1e6, benchmark::Counter::kIsRate | benchmark::Counter::kIsIterationInvariant);
}

void run_warp(benchmark::State& state, cv::Size size, WarpOptions options) {
    Scene scene = make_scene(size);
    for (auto _ : state) {
        rectify::warp_image(scene.H, scene.source, size.width, size.height, scene.destination,
                            rectify::LEFT_FILL, options);
        benchmark::DoNotOptimize(scene.destination.data);
    }
    count_pixels(state, size);
}

void run_per_pixel(benchmark::State& state, cv::Size size) {
    Scene scene = make_scene(size);
    for (auto _ : state) {
        rectify::warp_image_per_pixel(scene.H, scene.source, size.width, size.height,
                                      scene.destination, rectify::LEFT_FILL);
        benchmark::DoNotOptimize(scene.destination.data);
    }
    count_pixels(state, size);
}

void run_warp_perspective(benchmark::State& state, cv::Size size) {
    Scene scene = make_scene(size);
    for (auto _ : state) {
        cv::warpPerspective(scene.source, scene.destination, scene.H, size,
                            cv::INTER_NEAREST | cv::WARP_INVERSE_MAP, cv::BORDER_CONSTANT,
                            cv::Scalar::all(rectify::LEFT_FILL));
        benchmark::DoNotOptimize(scene.destination.data);
    }
    count_pixels(state, size);
}

// The source coordinates of every output pixel, computed before timing.
void run_remap(benchmark::State& state, cv::Size size) {
    Scene scene = make_scene(size);
    cv::Mat map_x(size, CV_32F), map_y(size, CV_32F);
    const auto* m = scene.H.ptr<float>();
    for (int y = 0; y < size.height; ++y) {
        for (int x = 0; x < size.width; ++x) {
            const auto q =
                rectify::project_homogeneous(m, static_cast<float>(x), static_cast<float>(y), 1.0f);
            map_x.at<float>(y, x) = q[0];
            map_y.at<float>(y, x) = q[1];
        }
    }
    for (auto _ : state) {
        cv::remap(scene.source, scene.destination, map_x, map_y, cv::INTER_NEAREST,
                  cv::BORDER_CONSTANT, cv::Scalar::all(rectify::LEFT_FILL));
        benchmark::DoNotOptimize(scene.destination.data);
    }
    count_pixels(state, size);
}

std::vector<cv::Size> parse_sizes(const std::string& list) {
    std::vector<cv::Size> sizes;
    std::istringstream in(list);
    std::string item;
    while (std::getline(in, item, ',')) {
        int width = 0, height = 0;
        if (std::sscanf(item.c_str(), "%dx%d", &width, &height) == 2 && width > 0 && height > 0) {
            sizes.emplace_back(width, height);
        }
    }
    return sizes;
}

std::vector<cv::Size> benchmark_sizes() {
    if (small_run()) {
        return {{64, 48}};
    }
    const char* listed = std::getenv("WARP_BENCH_SIZES");
    if (listed != nullptr) {
        return parse_sizes(listed);
    }
    return {{640, 480}, {4000, 3000}};
}

std::string size_name(cv::Size size) {
    std::ostringstream name;
    name << size.width << 'x' << size.height;
    return name.str();
}

// "/WxH", appended to each benchmark name.
std::string size_suffix(cv::Size size) {
    std::string suffix("/");
    suffix.append(size_name(size));
    return suffix;
}

// Names of the measured variants; the summary refers to them.
constexpr const char* ours = "warp_image";
constexpr const char* scalar_one_thread = "warp_image_scalar_1thread";
constexpr const char* scalar_threads = "warp_image_scalar_threads";
constexpr const char* vector_one_thread = "warp_image_avx2_1thread";
constexpr const char* per_pixel = "warp_image_per_pixel";
constexpr const char* warp_perspective = "cv_warpPerspective_nearest";
constexpr const char* remap = "cv_remap_nearest_premapped";

void register_benchmarks(const std::vector<cv::Size>& sizes) {
    for (const cv::Size size : sizes) {
        const std::string suffix = size_suffix(size);
        const auto add = [&](const char* name, auto function, auto... arguments) {
            return benchmark::RegisterBenchmark((name + suffix).c_str(), function, size,
                                                arguments...)
                ->UseRealTime()
                ->Unit(benchmark::kMillisecond);
        };
        add(ours, run_warp, WarpOptions{});
        add(scalar_one_thread, run_warp,
            WarpOptions{.vector_instructions = false, .worker_threads = false});
        add(scalar_threads, run_warp,
            WarpOptions{.vector_instructions = false, .worker_threads = true});
        add(vector_one_thread, run_warp,
            WarpOptions{.vector_instructions = true, .worker_threads = false});
        auto* reference = add(per_pixel, run_per_pixel);
        if (size.area() > 1'000'000) {
            reference->Iterations(1);
        }
        add(warp_perspective, run_warp_perspective);
        add(remap, run_remap);
    }
}

// The ratios of median real times, per size.
void print_summary(const MedianReporter& reporter, const std::vector<cv::Size>& sizes) {
    std::printf("\nRatios of median real times, this run:\n");
    for (const cv::Size size : sizes) {
        const std::string suffix = size_suffix(size);
        const auto ratio = [&](const char* a, const char* b) {
            const double ta = reporter.median(a + suffix), tb = reporter.median(b + suffix);
            return (ta > 0 && tb > 0) ? ta / tb : 0.0;
        };
        std::printf("%s:\n", size_name(size).c_str());
        std::printf("  warp_image / warpPerspective          %6.2f  (target <= 1.0)\n",
                    ratio(ours, warp_perspective));
        std::printf("  warp_image / remap (premapped)        %6.2f\n", ratio(ours, remap));
        std::printf("  per-pixel reference / warp_image      %6.1f  (target >= 20)\n",
                    ratio(per_pixel, ours));
        std::printf("  scalar 1 thread / warp_image          %6.2f\n",
                    ratio(scalar_one_thread, ours));
        std::printf("  scalar 1 thread / scalar threads      %6.2f\n",
                    ratio(scalar_one_thread, scalar_threads));
        std::printf("  scalar 1 thread / avx2 1 thread       %6.2f\n",
                    ratio(scalar_one_thread, vector_one_thread));
        std::printf("  avx2 1 thread / warp_image            %6.2f\n",
                    ratio(vector_one_thread, ours));
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    const std::vector<cv::Size> sizes = benchmark_sizes();
    register_benchmarks(sizes);
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    print_summary(reporter, sizes);
    benchmark::Shutdown();
    return 0;
}
