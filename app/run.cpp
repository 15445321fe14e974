#include "app/run.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <new>
#include <system_error>
#include <opencv2/imgproc.hpp>

#include "calibration/readers.hpp"
#include "geometry/matrix.hpp"
#include "imagefiles/atomic_file.hpp"
#include "imagefiles/image_pair.hpp"
#include "imagefiles/ppm_writer.hpp"
#include "imaging/remap.hpp"
#include "imaging/warp.hpp"

namespace rectify {
namespace {

bool read_calibration(const RunArguments& arguments, PreparedRun& run, Reporter& reporter) {
    run.K_left = new_matrix(3, 3);
    run.K_right = new_matrix(3, 3);
    run.T = new_matrix(4, 4);
    struct File {
        const std::string& path;
        cv::Mat& matrix;
        bool intrinsics;
    };
    const File files[] = {{arguments.left_intrinsics_path, run.K_left, true},
                          {arguments.right_intrinsics_path, run.K_right, true},
                          {arguments.transformation_path, run.T, false}};
    for (const File& file : files) {
        const ReadStatus status = file.intrinsics
                                      ? read_intrinsics_file(file.path, file.matrix, reporter)
                                      : read_transformation_file(file.path, file.matrix, reporter);
        if (status == ReadStatus::cannot_open) {
            // The reader has printed this line already; the run repeats it.
            reporter.report(format_text("Cannot open file %s.\n", file.path.c_str()));
        }
        if (status != ReadStatus::ok) {
            return false;
        }
    }
    return true;
}

const std::string& path_of(const RunArguments& arguments, CalibrationInput input) {
    switch (input) {
        case CalibrationInput::left_intrinsics:
            return arguments.left_intrinsics_path;
        case CalibrationInput::right_intrinsics:
            return arguments.right_intrinsics_path;
        default:
            return arguments.transformation_path;
    }
}

bool outputs_are_safe(const RunArguments& arguments, const PreparedRun& run, Reporter& reporter) {
    const auto conflict =
        find_output_conflict(arguments, {run.left_output_path, run.right_output_path});
    if (!conflict) {
        return output_paths_usable({run.left_output_path, run.right_output_path}, reporter);
    }
    reporter.report(
        conflict->clash_is_input
            ? format_text("Refusing to write %s: it is the input file %s.\n",
                          conflict->output.c_str(), conflict->clash.c_str())
            : format_text("Refusing to write %s and %s: both outputs would be the same file.\n",
                          conflict->clash.c_str(), conflict->output.c_str()));
    return false;
}

}  // namespace

bool output_paths_usable(const std::vector<std::string>& outputs, Reporter& reporter) {
    for (const std::string& output : outputs) {
        if (output.empty()) {
            continue;
        }
        if (!name_fits_file_system(output)) {
            reporter.report(format_text(
                "Refusing to write %s: its name is too long for the file system.\n", output.c_str()));
            return false;
        }
        if (!replaceable_by_output(output)) {
            reporter.report(
                format_text("Refusing to write %s: it is not a regular file.\n", output.c_str()));
            return false;
        }
    }
    return true;
}

bool commit_outputs(const std::vector<AtomicFile*>& files, Reporter& reporter) {
    CommitFailure failure;
    if (commit_together(files, failure)) {
        return true;
    }
    reporter.report(failure.not_regular
                        ? format_text("Refusing to write %s: it is not a regular file.\n",
                                      failure.path.c_str())
                        : format_text("Cannot write file %s.\n", failure.path.c_str()));
    return false;
}

cv::Mat warp_to_new_image(const cv::Mat& source, const cv::Mat& H, int fill,
                          long long* from_source) {
    cv::Mat warped(source.size(), CV_8UC3);
    const long long count = warp_image(H, source, source.cols, source.rows, warped, fill);
    if (from_source != nullptr) {
        *from_source = count;
    }
    return warped;
}

bool same_file(const std::string& a, const std::string& b) {
    struct stat sa {
    }, sb{};
    if (stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0) {
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    }
    std::error_code ea, eb;
    const auto ca = std::filesystem::weakly_canonical(std::filesystem::absolute(a), ea);
    const auto cb = std::filesystem::weakly_canonical(std::filesystem::absolute(b), eb);
    return !ea && !eb && ca == cb;
}

std::optional<OutputConflict> find_output_conflict(const RunArguments& arguments,
                                                   const std::vector<std::string>& outputs) {
    const std::string* inputs[] = {&arguments.transformation_path, &arguments.left_intrinsics_path,
                                   &arguments.right_intrinsics_path, &arguments.left_image_path,
                                   &arguments.right_image_path};
    for (const std::string& output : outputs) {
        for (const std::string* input : inputs) {
            if (!output.empty() && same_file(output, *input)) {
                return OutputConflict{output, *input, true};
            }
        }
    }
    for (size_t i = 0; i < outputs.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (!outputs[i].empty() && !outputs[j].empty() && same_file(outputs[i], outputs[j])) {
                return OutputConflict{outputs[i], outputs[j], false};
            }
        }
    }
    return std::nullopt;
}

std::string output_file_name(const std::string& image_path) {
    const size_t slash = image_path.rfind('/');
    const size_t name_start = (slash == std::string::npos) ? 0 : slash + 1;
    const size_t dot = image_path.rfind('.');
    const bool has_extension = dot != std::string::npos && dot > name_start;
    return image_path.substr(0, has_extension ? dot : image_path.size()) + "_rectified.ppm";
}

std::optional<PreparedRun> prepare_run(const RunArguments& arguments, Reporter& reporter) {
    PreparedRun run;
    reporter.progress("Opening parameters files...\n");
    // The left image's header is read before anything of the right image is
    // touched; then both decode at once, one on each core. The pixel grid must
    // be the one the calibration refers to: an orientation tag does not rotate
    // it.
    ImagePair images =
        read_image_pair(arguments.left_image_path, arguments.right_image_path, ImageMode::color);
    if (images.failure == ImagePair::Failure::first) {
        reporter.report(format_text("Cannot open file %s.\n\n", arguments.left_image_path.c_str()));
        return std::nullopt;
    }
    if (images.failure == ImagePair::Failure::second) {
        reporter.report(format_text("Cannot open file %s.\n", arguments.right_image_path.c_str()));
        return std::nullopt;
    }
    run.left_image = std::move(images.first);
    run.right_image = std::move(images.second);
    if (!read_calibration(arguments, run, reporter)) {
        return std::nullopt;
    }
    if (const CalibrationProblem problem = check_calibration(run.K_left, run.K_right, run.T)) {
        reporter.report(format_text("Cannot rectify with the calibration in %s: %s.\n",
                                    path_of(arguments, problem.input).c_str(),
                                    problem.reason.c_str()));
        return std::nullopt;
    }
    const cv::Size left_size = run.left_image.size();
    const std::optional<cv::Size> size = output_size_for(left_size, arguments.scale_factor);
    if (!size) {
        reporter.report(format_text(
            "Invalid scale factor %g: the outputs would be %.10g x %.10g pixels (at least 1 x 1 "
            "and at most 2^30 pixels are possible).\n",
            arguments.scale_factor, std::trunc(left_size.width * arguments.scale_factor),
            std::trunc(left_size.height * arguments.scale_factor)));
        return std::nullopt;
    }
    run.output_size = *size;
    run.left_output_path = output_file_name(arguments.left_image_path);
    run.right_output_path = output_file_name(arguments.right_image_path);
    if (!outputs_are_safe(arguments, run, reporter)) {
        return std::nullopt;
    }
    reporter.progress("Computing rectify trasnformation...\n");
    run.geometry = compute_rectification(run.K_left, run.K_right, run.T);
    if (!warp_maps_finite(run.geometry.H1, run.geometry.H2)) {
        reporter.report(
            "Cannot rectify: the computed warp maps are not finite numbers (degenerate "
            "calibration).\n");
        return std::nullopt;
    }
    return run;
}

cv::Mat resize_to_output(const cv::Mat& warped, cv::Size output_size) {
    return resize_bilinear(warped, output_size);
}

namespace {

// Warps one side; false, with the line saying so, when the output would show
// no pixel of its image at all.
bool warp_side(const char* side, const cv::Mat& source, const cv::Mat& H, int fill,
               const std::string& path, cv::Mat& warped, Reporter& reporter) {
    reporter.progress(format_text("Warping %s image...\n", side));
    long long from_source = 0;
    warped = warp_to_new_image(source, H, fill, &from_source);
    if (from_source == 0) {
        reporter.report(format_text("Cannot rectify: the %s output would show no pixel of %s.\n",
                                    side, path.c_str()));
        return false;
    }
    return true;
}

bool run_stages(const RunArguments& arguments, Reporter& reporter) {
    std::optional<PreparedRun> run = prepare_run(arguments, reporter);
    if (!run) {
        return false;
    }
    // Each source is released as soon as it is warped, and each warped image
    // once its output is written: nothing observable changes, the peak memory
    // drops by the size of the images no longer needed.
    cv::Mat left_warped, right_warped;
    if (!warp_side("left", run->left_image, run->geometry.H1, LEFT_FILL,
                   arguments.left_image_path, left_warped, reporter)) {
        return false;
    }
    run->left_image.release();
    if (!warp_side("right", run->right_image, run->geometry.H2, RIGHT_FILL,
                   arguments.right_image_path, right_warped, reporter)) {
        return false;
    }
    run->right_image.release();

    // Both outputs are written completely to their temporaries before either
    // is renamed into place, so a failure anywhere before the renames leaves
    // both earlier outputs as they were.
    AtomicFile left_file(run->left_output_path), right_file(run->right_output_path);
    const struct {
        const char* progress;
        cv::Mat& warped;
        AtomicFile& file;
    } sides[] = {{"Saving left image...\n", left_warped, left_file},
                 {"Saving right image...\n", right_warped, right_file}};
    for (const auto& side : sides) {
        reporter.progress(side.progress);
        cv::Mat output = resize_to_output(side.warped, run->output_size);
        side.warped.release();
        if (!write_ppm(side.file, output)) {
            reporter.report(format_text("Cannot write file %s.\n", side.file.final_path().c_str()));
            return false;
        }
    }
    if (!commit_outputs({&left_file, &right_file}, reporter)) {
        return false;
    }
    reporter.progress("\ndone\n");
    return true;
}

}  // namespace

bool run_reporting_exceptions(const char* prefix, Reporter& reporter,
                              const std::function<bool()>& stages) {
    try {
        return stages();
    } catch (const std::bad_alloc&) {
        reporter.report(format_text("%s: out of memory.\n", prefix));
    } catch (const cv::Exception& error) {
        std::string message = error.err;
        std::replace(message.begin(), message.end(), '\n', ' ');
        std::replace(message.begin(), message.end(), '\r', ' ');
        reporter.report(
            format_text("%s: the image library failed (%s).\n", prefix, message.c_str()));
    } catch (const std::exception& error) {
        reporter.report(format_text("%s: %s.\n", prefix, error.what()));
    }
    return false;
}

bool rectify_images(const RunArguments& arguments, Reporter& reporter) {
    return run_reporting_exceptions("Cannot rectify", reporter,
                                    [&] { return run_stages(arguments, reporter); });
}

}  // namespace rectify
