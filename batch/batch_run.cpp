#include "batch/batch_run.hpp"

#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <new>
#include <stdexcept>

#include "imagefiles/atomic_file.hpp"
#include "imagefiles/image_pair.hpp"

namespace rectify {
namespace {

std::string size_text(cv::Size size) {
    return std::to_string(size.width) + " x " + std::to_string(size.height);
}

cv::Mat to_double(const cv::Matx33d& m) {
    return cv::Mat(m).clone();
}

// The work of rectify_pair_files; the outputs' names may change (.pgm).
double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::optional<std::string> rectify_into(const PairRectifier& rectifier, const BatchOptions& options,
                                        int threads, PairResult& result) {
    const PairPaths& pair = result.pair;
    PairOutputs& outputs = result.outputs;
    StageTimes& times = result.times;
    auto start = std::chrono::steady_clock::now();
    ImagePair images = read_image_pair(pair.left, pair.right, ImageMode::any, threads != 1);
    times.decode = seconds_since(start);
    if (images.failure != ImagePair::Failure::none) {
        return "cannot read image " +
               (images.failure == ImagePair::Failure::first ? pair.left : pair.right) + ".";
    }
    if (images.first.size() != images.second.size()) {
        return "the images differ in size (" + size_text(images.first.size()) + " and " +
               size_text(images.second.size()) + ").";
    }
    if (images.first.size() != rectifier.image_size) {
        return "the images are " + size_text(images.first.size()) + ", not " +
               size_text(rectifier.image_size) + " like the run's.";
    }
    for (const cv::Mat* image : {&images.first, &images.second}) {
        if (!format_holds(options.format, image->depth())) {
            return std::string("JPEG cannot hold the 16-bit image ") +
                   (image == &images.first ? pair.left : pair.right) + ".";
        }
    }
    // A grey image's PPM output is a PGM.
    if (options.format == OutputFormat::ppm) {
        for (auto [image, path] : {std::pair{&images.first, &outputs.left},
                                   std::pair{&images.second, &outputs.right}}) {
            if (image->channels() == 1 && path->ends_with(".ppm")) {
                path->replace(path->size() - 4, 4, ".pgm");
            }
        }
    }
    start = std::chrono::steady_clock::now();
    const cv::Mat left = resample(images.first, rectifier.left, options.left_fill, threads);
    images.first.release();
    const cv::Mat right = resample(images.second, rectifier.right, options.right_fill, threads);
    images.second.release();
    times.resample = seconds_since(start);

    struct Output {
        std::string path;
        const cv::Mat* image;
        OutputFormat format;
    };
    std::vector<Output> wanted = {{outputs.left, &left, options.format},
                                  {outputs.right, &right, options.format}};
    if (!outputs.left_mask.empty()) {
        wanted.push_back({outputs.left_mask, &rectifier.left.mask, OutputFormat::png});
        wanted.push_back({outputs.right_mask, &rectifier.right.mask, OutputFormat::png});
    }
    std::vector<std::unique_ptr<AtomicFile>> files;
    std::vector<AtomicFile*> committing;
    for (const Output& output : wanted) {
        if (!replaceable_by_output(output.path)) {
            return "cannot write " + output.path + ": it is not a regular file.";
        }
        start = std::chrono::steady_clock::now();
        files.push_back(std::make_unique<AtomicFile>(output.path));
        const bool written =
            write_image(*files.back(), *output.image, output.format, options.jpeg_quality);
        const double writing = files.back()->seconds_writing();
        times.encode += seconds_since(start) - writing;
        times.write += writing;
        if (!written) {
            return "cannot write file " + output.path + ".";
        }
        committing.push_back(files.back().get());
    }
    start = std::chrono::steady_clock::now();
    CommitFailure failure;
    const bool committed = commit_together(committing, failure);
    times.write += seconds_since(start);
    if (!committed) {
        return "cannot write file " + failure.path + ".";
    }
    return std::nullopt;
}

}  // namespace

PairRectifier make_pair_rectifier(const StereoCalibration& calibration,
                                  const BatchOptions& options, cv::Size image_size) {
    const std::optional<cv::Size> output_size = output_size_for(image_size, options.scale);
    if (!output_size) {
        throw std::invalid_argument("the scale " + std::to_string(options.scale) +
                                    " gives no output size for " + size_text(image_size) +
                                    " images (at least 1 x 1 and at most 2^30 pixels)");
    }
    PairRectifier rectifier;
    rectifier.image_size = image_size;
    rectifier.output_size = *output_size;
    rectifier.fit = fit_view(calibration, options.view, image_size, *output_size);
    rectifier.left = plan_side(calibration, rectifier.fit, Side::left, options.interpolation);
    rectifier.right = plan_side(calibration, rectifier.fit, Side::right, options.interpolation);
    return rectifier;
}

RectifiedCameras rectifier_cameras(const StereoCalibration& calibration,
                                   const PairRectifier& rectifier) {
    const ViewFit& fit = rectifier.fit;
    RectifiedCameras cameras = cameras_of_outputs(
        calibration.K1, calibration.K2, transformation_matrix(calibration),
        to_double(fit.to_output1()), to_double(fit.to_output2()), rectifier.image_size,
        rectifier.image_size, rectifier.output_size);
    // The warp maps: map pixel -> ideal source pixel.
    cv::Mat(fit.to_map1.inv()).convertTo(cameras.H1, CV_32F);
    cv::Mat(fit.to_map2.inv()).convertTo(cameras.H2, CV_32F);
    cameras.degenerate_rule_applied = fit.geometry.degenerate_rule_applied;
    return cameras;
}

StageTimes& StageTimes::operator+=(const StageTimes& other) {
    decode += other.decode;
    resample += other.resample;
    encode += other.encode;
    write += other.write;
    return *this;
}

PairResult rectify_pair_files(const PairRectifier& rectifier, const BatchOptions& options,
                              const PairPaths& pair, const PairOutputs& outputs, int threads) {
    PairResult result;
    result.pair = pair;
    result.outputs = outputs;
    try {
        if (const std::optional<std::string> failure =
                rectify_into(rectifier, options, threads, result)) {
            result.failure = *failure;
        }
    } catch (const std::bad_alloc&) {
        result.failure = "out of memory.";
    } catch (const std::exception& error) {
        result.failure = std::string("cannot rectify: ") + error.what();
    }
    return result;
}

bool pair_outputs_exist(const PairOutputs& outputs, OutputFormat format) {
    const auto exists = [format](const std::string& path) {
        struct stat info {};
        if (path.empty() || stat(path.c_str(), &info) == 0) {
            return true;
        }
        if (format == OutputFormat::ppm && path.ends_with(".ppm")) {
            const std::string grey = path.substr(0, path.size() - 4) + ".pgm";
            return stat(grey.c_str(), &info) == 0;
        }
        return false;
    };
    return exists(outputs.left) && exists(outputs.right) && exists(outputs.left_mask) &&
           exists(outputs.right_mask);
}

}  // namespace rectify
