// stereo-rectify-batch: rectifies many stereo pairs with one calibration, lens
// distortion included. Messages on standard error, the JSON report (--json) on
// standard output; exit status 0 when every pair was rectified, 1 when any
// failed, 2 for a usage or calibration error.

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <opencv2/core/utils/logger.hpp>

#include "app/batch_command_line.hpp"
#include "imaging/huge_page_allocator.hpp"
#include "batch/batch_report.hpp"
#include "calibration/calibration_files.hpp"
#include "imagefiles/image_file.hpp"
#include "imagefiles/signal_cleanup.hpp"

#ifndef STEREO_RECTIFY_VERSION
#define STEREO_RECTIFY_VERSION "unknown"
#endif

namespace rectify {
namespace {

constexpr const char* kName = "stereo-rectify-batch";

int usage_error(const std::string& problem) {
    std::fprintf(stderr, "%s: %s (see --help)\n", kName, problem.c_str());
    return 2;
}

int failure(const std::string& line, int status) {
    std::fprintf(stderr, "%s: %s\n", kName, line.c_str());
    return status;
}

StereoCalibration load_calibration(const BatchCommandLine& line) {
    if (!line.calibration_files.empty()) {
        return load_calibration_files(line.calibration_files);
    }
    return load_calibration_text(line.transformation, line.left_intrinsics,
                                 line.right_intrinsics);
}

std::vector<PairPaths> list_pairs(const BatchCommandLine& line) {
    if (!line.pairs_file.empty()) {
        return read_pair_list(line.pairs_file);
    }
    if (!line.left_folder.empty()) {
        return pair_folders(line.left_folder, line.right_folder);
    }
    return line.pairs;
}

// The size and depth of the first pair whose left image can be read: the
// header where it tells them, else the decoded image.
struct FirstImage {
    cv::Size size;
    int depth = CV_8U;
};
std::optional<FirstImage> first_image(const std::vector<PairPaths>& pairs) {
    for (const PairPaths& pair : pairs) {
        std::optional<ImageFile> file = ImageFile::open(pair.left, ImageMode::any);
        if (!file) {
            continue;
        }
        if (file->header().width > 0) {
            return FirstImage{{file->header().width, file->header().height},
                              CV_MAT_DEPTH(file->header().type)};
        }
        const cv::Mat image = file->decode();
        if (!image.empty()) {
            return FirstImage{image.size(), image.depth()};
        }
    }
    return std::nullopt;
}

bool make_folders(const BatchCommandLine& line) {
    std::vector<std::string> folders = {"left", "right"};
    if (line.options.masks) {
        folders.insert(folders.end(), {"left_mask", "right_mask"});
    }
    for (const std::string& folder : folders) {
        std::error_code error;
        const std::filesystem::path path = std::filesystem::path(line.output_folder) / folder;
        std::filesystem::create_directories(path, error);
        if (error || !std::filesystem::is_directory(path)) {
            failure("Cannot create folder " + path.string() + ": " +
                        (error ? error.message() : "something else is in the way") + ".",
                    1);
            return false;
        }
    }
    return true;
}

// "12/100 pairs, 8.4 pairs/s, 11 s left" on a terminal, rewritten in place.
void show_progress(size_t done, size_t total, std::chrono::steady_clock::time_point start) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double rate = seconds > 0 ? done / seconds : 0.0;
    const double left = rate > 0 ? (total - done) / rate : 0.0;
    std::fprintf(stderr, "\r%zu/%zu pairs, %.1f pairs/s, %.0f s left   ", done, total, rate, left);
    std::fflush(stderr);
}

int run(const BatchCommandLine& line) {
    StereoCalibration calibration;
    try {
        calibration = load_calibration(line);
    } catch (const CalibrationError& error) {
        return failure(error.what(), 2);
    }
    std::vector<PairPaths> pairs;
    try {
        pairs = list_pairs(line);
    } catch (const PairListError& error) {
        return failure(error.what(), 2);
    }
    const BatchOptions& options = line.options;
    const std::string extension = output_extension(options.format, 3);
    std::vector<PairOutputs> outputs;
    for (const PairPaths& pair : pairs) {
        outputs.push_back(pair_outputs(line.output_folder, pair, extension, extension,
                                       options.masks));
    }
    if (const auto collision = find_collision(pairs, outputs)) {
        return failure(*collision, 2);
    }
    const std::optional<FirstImage> first = first_image(pairs);
    if (first && first->depth == CV_16U && options.format == OutputFormat::jpeg) {
        return usage_error("--format jpg cannot hold the 16-bit images (" + pairs.front().left +
                           "); choose png, ppm or tiff");
    }
    const cv::Size image_size =
        calibration.image_size ? *calibration.image_size : (first ? first->size : cv::Size());
    if (image_size.area() == 0) {
        return failure("Cannot rectify: no image of the pairs can be read, and the calibration "
                       "gives no image size.",
                       1);
    }
    PairRectifier rectifier;
    try {
        rectifier = make_pair_rectifier(calibration, options, image_size);
    } catch (const std::exception& error) {
        return failure(std::string("Cannot rectify: ") + error.what(), 2);
    }
    if (!make_folders(line)) {
        return 1;
    }
    if (!line.cameras_path.empty() &&
        !write_cameras_file(line.cameras_path, rectifier_cameras(calibration, rectifier))) {
        return failure("Cannot write file " + line.cameras_path + ".", 1);
    }

    // A grey pair's PPM outputs are named .pgm; the names were checked with
    // .ppm, which changes every name alike.
    const bool progress = !line.quiet && isatty(STDERR_FILENO);
    const auto start = std::chrono::steady_clock::now();
    std::vector<PairResult> results;
    size_t failed = 0;
    for (size_t i = 0; i < pairs.size(); ++i) {
        PairResult result = rectify_pair_files(rectifier, options, pairs[i], outputs[i]);
        if (!result.failure.empty()) {
            ++failed;
            if (progress) {
                std::fputc('\n', stderr);
            }
            std::fprintf(stderr, "%s: pair %zu (%s, %s): %s\n", kName, i + 1,
                         pairs[i].left.c_str(), pairs[i].right.c_str(), result.failure.c_str());
        }
        if (line.json) {
            results.push_back(std::move(result));
        }
        if (progress) {
            show_progress(i + 1, pairs.size(), start);
        }
    }
    if (progress) {
        std::fputc('\n', stderr);
    }
    if (line.json) {
        const std::string report = format_batch_json(line.output_folder, options, rectifier, results);
        std::fwrite(report.data(), 1, report.size(), stdout);
        if (std::fflush(stdout) != 0) {
            return failure("cannot write the report.", 1);
        }
    }
    return failed == 0 ? 0 : 1;
}

}  // namespace
}  // namespace rectify

int main(int argc, char** argv) {
    rectify::BatchCommandLine line;
    if (const std::string problem = rectify::parse_batch_command_line(argc, argv, line);
        !problem.empty()) {
        return rectify::usage_error(problem);
    }
    if (line.help) {
        std::fputs(rectify::kBatchHelp, stdout);
        return 0;
    }
    if (line.version) {
        std::printf("stereo-rectify-batch %s\n", STEREO_RECTIFY_VERSION);
        return 0;
    }
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    rectify::use_huge_pages_for_images();
    rectify::remove_temporaries_on_signals();
    try {
        return rectify::run(line);
    } catch (const std::bad_alloc&) {
        return rectify::failure("Cannot rectify: out of memory.", 1);
    } catch (const std::exception& error) {
        return rectify::failure(std::string("Cannot rectify: ") + error.what(), 1);
    }
}
