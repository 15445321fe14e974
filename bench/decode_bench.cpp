// Decoding alone: the image-file library's read_image against cv::imread, both
// in COLOR mode (IMREAD_COLOR | IMREAD_IGNORE_ORIENTATION), on a 12 MP JPEG
// (quality 95) and a 12 MP PNG of the same camera-like image: a gradient with
// Gaussian noise, which compresses about as badly as a photograph (a smooth
// upscale would flatter both decoders). With BENCH_SMALL=1 (the CI smoke run)
// the image is 64 x 48.
//
// The files go into a fresh folder under BENCH_OUTPUT_DIR, else the system's
// temporary folder, removed at the end. By default every benchmark is repeated
// 5 times, interleaved in random order; the ratios printed after the table are
// of the medians of this run.

#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "bench_support.hpp"
#include "imagefiles/image_file.hpp"

namespace {

cv::Mat camera_like(cv::Size size) {
    cv::Mat image(size, CV_8UC3);
    cv::RNG rng(42);
    for (int y = 0; y < size.height; ++y) {
        auto* row = image.ptr<cv::Vec3b>(y);
        for (int x = 0; x < size.width; ++x) {
            for (int c = 0; c < 3; ++c) {
                const double level =
                    255.0 * (x + y + c * size.width / 4) / (size.width + size.height);
                row[x][c] = cv::saturate_cast<uchar>(level + rng.gaussian(8.0));
            }
        }
    }
    return image;
}

void run_ours(benchmark::State& state, std::string path) {
    for (auto _ : state) {
        const cv::Mat image = rectify::read_image(path, rectify::ImageMode::color);
        if (image.empty()) {
            state.SkipWithError(("cannot decode " + path).c_str());
            break;
        }
        benchmark::DoNotOptimize(image.data);
    }
}

void run_imread(benchmark::State& state, std::string path) {
    for (auto _ : state) {
        const cv::Mat image = cv::imread(path, cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION);
        if (image.empty()) {
            state.SkipWithError(("cannot decode " + path).c_str());
            break;
        }
        benchmark::DoNotOptimize(image.data);
    }
}

constexpr const char* FORMATS[] = {"jpeg", "png"};

}  // namespace

int main(int argc, char** argv) {
    if (!initialize_benchmarks(argc, argv)) {
        return 1;
    }
    const std::filesystem::path folder = make_work_folder("decode_bench");
    if (folder.empty()) {
        std::fprintf(stderr, "decode_bench: cannot create a folder for the files\n");
        return 1;
    }
    const cv::Mat image = camera_like(small_run() ? cv::Size(64, 48) : cv::Size(4000, 3000));
    for (const std::string format : FORMATS) {
        const std::string path = (folder / ("image." + format)).string();
        if (!cv::imwrite(path, image)) {
            std::fprintf(stderr, "decode_bench: cannot write %s\n", path.c_str());
            return 1;
        }
        benchmark::RegisterBenchmark(("read_image/" + format).c_str(), run_ours, path)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("cv_imread/" + format).c_str(), run_imread, path)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
    }
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    std::printf("\nMedian real times and their ratio, this run (%dx%d):\n", image.cols, image.rows);
    std::printf("  %-8s %12s %12s %18s\n", "format", "ours ms", "imread ms", "ours / imread");
    for (const std::string format : FORMATS) {
        const double ours = reporter.median("read_image/" + format);
        const double peer = reporter.median("cv_imread/" + format);
        if (ours > 0 || peer > 0) {
            std::printf("  %-8s %12.2f %12.2f %18.3f\n", format.c_str(), ours, peer,
                        ours > 0 && peer > 0 ? ours / peer : 0.0);
        }
    }
    benchmark::Shutdown();
    std::error_code error;
    std::filesystem::remove_all(folder, error);
    return 0;
}
