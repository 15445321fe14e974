// stereo-rectify-batch: rectifies many stereo pairs with one calibration, lens
// distortion included. Messages on standard error, the JSON report (--json) on
// standard output; exit status 0 when every pair was rectified, 1 when any
// failed, 2 for a usage or calibration error.

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core/utility.hpp>
#include <opencv2/core/utils/logger.hpp>

#include <stereo_rectify/stereo_rectify.hpp>

#include "api/api_data.hpp"
#include "api/run_preparation.hpp"
#include "app/batch_command_line.hpp"
#include "imaging/huge_page_allocator.hpp"
#include "batch/batch_report.hpp"
#include "batch/pipeline.hpp"
#include "batch/run_record.hpp"
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

stereo_rectify::Calibration load_calibration(const BatchCommandLine& line) {
    if (!line.calibration_files.empty()) {
        return stereo_rectify::Calibration::from_files(line.calibration_files);
    }
    return stereo_rectify::Calibration::from_text_files(line.transformation, line.left_intrinsics,
                                                        line.right_intrinsics);
}

// Opens the pairs as a stream, anew each time: the list is read once to be
// checked and once more as the pairs are rectified.
std::function<std::unique_ptr<PairStream>()> pair_source(const BatchCommandLine& line) {
    if (!line.pairs_file.empty()) {
        struct stat info {};
        if (stat(line.pairs_file.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
            return [path = line.pairs_file] { return stream_pair_list(path); };
        }
        // A pipe or FIFO can be read only once: its paths are kept.
        auto pairs = std::make_shared<std::vector<PairPaths>>(read_pair_list(line.pairs_file));
        return [pairs] { return stream_pairs(*pairs); };
    }
    auto pairs = std::make_shared<std::vector<PairPaths>>(
        line.left_folder.empty() ? line.pairs : pair_folders(line.left_folder, line.right_folder));
    return [pairs] { return stream_pairs(*pairs); };
}

// What the first pass over the list finds.
struct ListFacts {
    std::size_t pairs = 0, in_shard = 0;
    std::optional<PairPaths> first;
};

// Counts the pairs and refuses outputs that would destroy an input or each
// other, before any work; returns the line that refuses, or nothing.
std::optional<std::string> check_list(PairStream& pairs, const BatchCommandLine& line,
                                      ListFacts& facts) {
    return check_output_collisions(pairs, line.output_folder, line.options,
                                   [&](std::size_t index, const PairPaths& pair) {
                                       if (!facts.first) {
                                           facts.first = pair;
                                       }
                                       facts.in_shard += in_shard(index, line.settings) ? 1 : 0;
                                       ++facts.pairs;
                                   });
}

// "12/100 pairs, 8.4 pairs/s, 11 s left, 1 failed" on a terminal, rewritten
// in place.
void show_progress(size_t done, size_t total, size_t failed,
                   std::chrono::steady_clock::time_point start) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double rate = seconds > 0 ? done / seconds : 0.0;
    const double left = rate > 0 ? (total - done) / rate : 0.0;
    std::fprintf(stderr, "\r%zu/%zu pairs, %.1f pairs/s, %.0f s left, %zu failed   ", done, total,
                 rate, left, failed);
    std::fflush(stderr);
}

// Checks the output folder's record of the run that wrote it, and writes it
// for this run; the exit status (with the line printed) when the run must not
// go on.
std::optional<int> keep_record(const BatchCommandLine& line, const std::string& description) {
    const std::string record = line.output_folder + "/" + RUN_RECORD_NAME;
    std::error_code ignored;
    const bool has_outputs = !std::filesystem::is_empty(line.output_folder + "/left", ignored) &&
                             std::filesystem::exists(line.output_folder + "/left");
    switch (check_run_record(line.output_folder, description)) {
        case RecordMatch::same:
            return std::nullopt;
        case RecordMatch::absent:
            if (has_outputs) {
                if (line.settings.resume) {
                    return failure("Refusing to resume in " + line.output_folder +
                                       ": it holds outputs but no record (" + record +
                                       ") of the calibration and options that made them.",
                                   2);
                }
                return std::nullopt;  // outputs of unknown making: no record, so no resume later
            }
            if (!write_run_record(line.output_folder, description)) {
                return failure("Cannot write file " + record + ".", 1);
            }
            return std::nullopt;
        case RecordMatch::different:
            if (line.settings.resume) {
                return failure("Refusing to resume in " + line.output_folder +
                                   ": its outputs were made with another calibration or other "
                                   "options (" + record + ").",
                               2);
            }
            // The folder now mixes two runs' outputs: no later run may resume in it.
            std::filesystem::remove(record, ignored);
            std::fprintf(stderr,
                         "%s: warning: %s held outputs made with another calibration or other "
                         "options; they are kept where this run does not replace them, and "
                         "--resume will refuse the folder.\n",
                         kName, line.output_folder.c_str());
            return std::nullopt;
    }
    return std::nullopt;
}

int run(const BatchCommandLine& line) {
    std::optional<stereo_rectify::Calibration> loaded;
    try {
        loaded.emplace(load_calibration(line));
    } catch (const stereo_rectify::Error& error) {
        return failure(error.what(), 2);
    }
    const StereoCalibration& calibration = loaded->data().calibration;
    std::function<std::unique_ptr<PairStream>()> open_pairs;
    ListFacts facts;
    try {
        open_pairs = pair_source(line);
        if (const auto collision = check_list(*open_pairs(), line, facts)) {
            return failure(*collision, 2);
        }
    } catch (const PairListError& error) {
        return failure(error.what(), 2);
    }
    const BatchOptions& options = line.options;
    const std::optional<FirstImage> first = facts.first ? first_image(*facts.first) : std::nullopt;
    if (first && first->depth == CV_16U && options.format == OutputFormat::jpeg) {
        return usage_error("--format jpg cannot hold the 16-bit images (" + facts.first->left +
                           "); choose png, ppm or tiff");
    }
    const cv::Size image_size =
        calibration.image_size ? *calibration.image_size : (first ? first->size : cv::Size());
    if (facts.pairs == 0) {
        return failure("No pairs to rectify.", 2);
    }
    if (image_size.area() == 0) {
        return failure("Cannot rectify: the first pair's left image " + facts.first->left +
                           " cannot be read, and the calibration gives no image size.",
                       1);
    }
    std::optional<stereo_rectify::Rectifier> built;
    try {
        built.emplace(*loaded, stereo_rectify::options_of(options, image_size));
    } catch (const stereo_rectify::Error& error) {
        return failure(error.what(), 2);
    }
    const PairRectifier& rectifier = built->data().rectifier;
    if (const auto problem = make_output_folders(line.output_folder, options.masks)) {
        return failure(*problem, 1);
    }
    if (const std::optional<int> status =
            keep_record(line, describe_run(calibration, image_size, options))) {
        return *status;
    }
    if (!line.cameras_path.empty() &&
        !write_cameras_file(line.cameras_path, rectifier_cameras(calibration, rectifier))) {
        return failure("Cannot write file " + line.cameras_path + ".", 1);
    }

    const bool progress = !line.quiet && isatty(STDERR_FILENO);
    const auto start = std::chrono::steady_clock::now();
    if (line.json) {
        const std::string head = batch_json_head(line.output_folder, options, rectifier);
        std::fwrite(head.data(), 1, head.size(), stdout);
    }
    size_t reported = 0, failed = 0;
    const auto report = [&](std::size_t index, const PairResult& result) {
        if (!result.failure.empty()) {
            ++failed;
            std::fprintf(stderr, "%s%s: pair %zu (%s, %s): %s\n", progress ? "\n" : "", kName,
                         index + 1, result.pair.left.c_str(), result.pair.right.c_str(),
                         result.failure.c_str());
        }
        if (line.json) {
            const std::string text = batch_json_pair(index, result, reported == 0);
            std::fwrite(text.data(), 1, text.size(), stdout);
        }
        ++reported;
        if (progress) {
            show_progress(reported, facts.in_shard, failed, start);
        }
    };
    RunSummary summary;
    try {
        summary = run_pairs(*open_pairs(), line.output_folder, rectifier, options, line.settings,
                            report);
    } catch (const PairListError& error) {
        return failure(error.what(), 1);
    }
    if (progress) {
        std::fputc('\n', stderr);
    }
    if (line.json) {
        const std::string tail = batch_json_tail(summary);
        std::fwrite(tail.data(), 1, tail.size(), stdout);
        if (std::fflush(stdout) != 0) {
            return failure("cannot write the report.", 1);
        }
    }
    return summary.failed == 0 ? 0 : 1;
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
    // The work is spread over threads of the tool's own (several pairs at
    // once, or one pair's rows): the image library's pool would only compete
    // with them, and it may fail to start where memory is tight.
    cv::setNumThreads(1);
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
