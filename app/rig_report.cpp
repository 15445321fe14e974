#include "app/rig_report.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <limits>
#include <new>
#include <optional>
#include <opencv2/imgproc.hpp>

#include "geometry/matrix.hpp"
#include "imagefiles/atomic_file.hpp"
#include "imagefiles/png_encoder.hpp"
#include "imaging/warp.hpp"

// How the cameras of the outputs are found.
//
// T1 carries a left source pixel to the nominal frame, and the warped left
// image's pixel grid is that frame (H1 maps warped pixel (x, y) to the source),
// cut to the source's size. The resize then carries warped pixel x to
// (x + 0.5) * s - 0.5 in the output. So a point X of the left camera's frame
// lands in the output at A1 T1 K_left [I | 0] X, and one of the right camera at
// A2 T2 K_right [R | t] X, where A1, A2 are the resize maps: each side has its
// own, since both outputs take the left source's size times the scale while
// the right one is warped at the right source's size. Those two 3x4 matrices,
// rescaled so that the third coordinate is the depth, are P1 and P2; the
// rotations and intrinsics come from their left blocks, and Q from both.
//
// Everything here runs in double, from the float values the run computed.

namespace rectify {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

SideReport side_report(const cv::Mat& K, const cv::Mat& H, const cv::Mat& resize,
                       const cv::Mat& coverage) {
    SideReport side;
    side.fx = K.at<double>(0, 0);
    side.fy = K.at<double>(1, 1);
    side.cx = K.at<double>(0, 2);
    side.cy = K.at<double>(1, 2);
    side.image_share = cv::mean(coverage)[0];
    side.scale = local_scale_range(H, resize, coverage);
    return side;
}

void add_side_warnings(const char* name, const SideReport& side,
                       std::vector<std::string>& warnings) {
    if (!(side.image_share >= 0.5)) {
        warnings.push_back(
            format_text("the %s output holds image pixels on only %.1f %% of its area", name,
                        100.0 * side.image_share));
    }
    if (side.scale.largest > 2.0 * side.scale.smallest) {
        warnings.push_back(format_text(
            "the %s warp's local scale changes by %.2f x across the image (%.3g to %.3g)", name,
            side.scale.largest / side.scale.smallest, side.scale.smallest, side.scale.largest));
    }
}

// ---- JSON, by hand ----

std::string json_number(double value) {
    return std::isfinite(value) ? format_text("%.10g", value) : std::string("null");
}

std::string json_size(cv::Size size) {
    return format_text("[%d, %d]", size.width, size.height);
}

std::string json_side(const SideReport& side) {
    return "{\"fx\": " + json_number(side.fx) + ", \"fy\": " + json_number(side.fy) +
           ", \"cx\": " + json_number(side.cx) + ", \"cy\": " + json_number(side.cy) +
           ", \"image_share\": " + json_number(side.image_share) +
           ", \"smallest_scale\": " + json_number(side.scale.smallest) +
           ", \"largest_scale\": " + json_number(side.scale.largest) + "}";
}

// ---- files ----

// Writes bytes into a temporary of their own; the run renames every file it
// was asked for together at its end.
bool write_output(AtomicFile& file, std::string_view bytes, Reporter& reporter) {
    if (file.write(bytes.data(), bytes.size()) && file.finish()) {
        return true;
    }
    reporter.report(format_text("Cannot write file %s.\n", file.final_path().c_str()));
    return false;
}

// Streams the PNG straight into its temporary: no encoded copy in memory.
bool save_png(AtomicFile& file, const cv::Mat& image, Reporter& reporter) {
    const bool written =
        rectify::write_png(image, [&file](const unsigned char* data, size_t size) {
            return file.write(data, size);
        }) &&
        file.finish();
    if (!written) {
        reporter.report(format_text("Cannot write file %s.\n", file.final_path().c_str()));
    }
    return written;
}

// The files asked for must not overwrite an input or each other.
bool files_are_safe(const InspectRequest& request, Reporter& reporter) {
    const auto conflict = find_output_conflict(
        request.arguments, {request.cameras_path, request.preview_path, request.anaglyph_path});
    if (!conflict) {
        return output_paths_usable(
            {request.cameras_path, request.preview_path, request.anaglyph_path}, reporter);
    }
    reporter.report(conflict->clash_is_input
                        ? format_text("Refusing to write %s: it is the input file %s.\n",
                                      conflict->output.c_str(), conflict->clash.c_str())
                        : format_text("Refusing to write %s twice.\n", conflict->output.c_str()));
    return false;
}

// The files asked for, each to be written under a temporary name of its own.
struct RequestedFiles {
    std::optional<AtomicFile> cameras, preview, anaglyph;

    explicit RequestedFiles(const InspectRequest& request) {
        if (!request.cameras_path.empty()) {
            cameras.emplace(request.cameras_path);
        }
        if (!request.preview_path.empty()) {
            preview.emplace(request.preview_path);
        }
        if (!request.anaglyph_path.empty()) {
            anaglyph.emplace(request.anaglyph_path);
        }
    }
    std::vector<AtomicFile*> all() {
        std::vector<AtomicFile*> files;
        for (std::optional<AtomicFile>* file : {&cameras, &preview, &anaglyph}) {
            if (file->has_value()) {
                files.push_back(&file->value());
            }
        }
        return files;
    }
};

bool inspect_stages(const InspectRequest& request, Reporter& reporter, std::string& report_text) {
    std::optional<PreparedRun> run = prepare_run(request.arguments, reporter);
    if (!run) {
        return false;
    }
    const ImageSizes sizes{run->left_image.size(), run->right_image.size(), run->output_size};
    const RectifiedCameras cameras =
        derive_cameras(run->K_left, run->K_right, run->T, run->geometry, sizes.left,
                       sizes.right, sizes.output);
    reporter.progress("Measuring the warps...\n");
    const InspectionReport report =
        build_report(sizes, cameras, source_coverage(sizes.left, cameras.H1, sizes.output),
                     source_coverage(sizes.right, cameras.H2, sizes.output));

    // Every file is written in full before any is renamed into place: a run
    // leaves all of its files or none.
    RequestedFiles files(request);
    if (files.cameras) {
        reporter.progress("Saving cameras...\n");
        if (!write_output(*files.cameras, format_cameras_yaml(cameras), reporter)) {
            return false;
        }
    }
    if (!request.preview_path.empty() || !request.anaglyph_path.empty()) {
        // The very pixels stereo-rectify writes.
        reporter.progress("Warping left image...\n");
        const cv::Mat left = resize_to_output(
            warp_to_new_image(run->left_image, run->geometry.H1, LEFT_FILL), sizes.output);
        reporter.progress("Warping right image...\n");
        const cv::Mat right = resize_to_output(
            warp_to_new_image(run->right_image, run->geometry.H2, RIGHT_FILL), sizes.output);
        if (files.preview && !save_png(*files.preview, compose_preview(left, right), reporter)) {
            return false;
        }
        if (files.anaglyph &&
            !save_png(*files.anaglyph, compose_anaglyph(left, right), reporter)) {
            return false;
        }
    }
    if (!commit_outputs(files.all(), reporter)) {
        return false;
    }
    report_text = request.json ? format_report_json(report) : format_report_text(report);
    return true;
}

}  // namespace

cv::Mat source_coverage(cv::Size source_size, const cv::Mat& H, cv::Size output_size) {
    // An all-white source warped with fill 0 is white exactly where the warp
    // takes a source pixel: its own bounds rule decides, whatever the image shows.
    const cv::Mat marker(source_size, CV_8UC3, cv::Scalar::all(255));
    const cv::Mat warped = warp_to_new_image(marker, H, 0);
    cv::Mat mask, share;
    cv::extractChannel(warped, mask, 0);
    mask.convertTo(share, CV_32F, 1.0 / 255.0);
    return resize_to_output(share, output_size);
}

ScaleRange local_scale_range(const cv::Mat& H, const cv::Mat& resize, const cv::Mat& coverage) {
    // G maps output pixels to source pixels; the Jacobian determinant of a
    // homography at q is det G / (g3 . q)^3, and the map from source to output
    // has its reciprocal.
    const cv::Mat G = to_double(H) * resize.inv();
    const double det = cv::determinant(G);
    const double g0 = G.at<double>(2, 0), g1 = G.at<double>(2, 1), g2 = G.at<double>(2, 2);
    const int step = std::max(1, std::max(coverage.cols, coverage.rows) / 64);
    ScaleRange range{kNaN, kNaN};
    for (int y = step / 2; y < coverage.rows; y += step) {
        for (int x = step / 2; x < coverage.cols; x += step) {
            if (!(coverage.at<float>(y, x) >= 0.5f)) {
                continue;
            }
            const double w = g0 * x + g1 * y + g2;
            const double scale = std::sqrt(std::abs(w * w * w / det));
            range.smallest = std::isnan(range.smallest) ? scale : std::min(range.smallest, scale);
            range.largest = std::isnan(range.largest) ? scale : std::max(range.largest, scale);
        }
    }
    return range;
}

InspectionReport build_report(const ImageSizes& sizes, const RectifiedCameras& cameras,
                              const cv::Mat& left_coverage, const cv::Mat& right_coverage) {
    InspectionReport report;
    report.left_size = sizes.left;
    report.right_size = sizes.right;
    report.output_size = sizes.output;
    report.left =
        side_report(cameras.K1, cameras.H1, resize_matrix(sizes.left, sizes.output), left_coverage);
    report.right = side_report(cameras.K2, cameras.H2, resize_matrix(sizes.right, sizes.output),
                               right_coverage);
    report.baseline = cameras.baseline;
    report.degenerate_rule_applied = cameras.degenerate_rule_applied;
    if (sizes.left != sizes.right) {
        report.warnings.push_back(format_text(
            "the two images differ in size (%d x %d and %d x %d): the rows of the outputs do not "
            "correspond",
            sizes.left.width, sizes.left.height, sizes.right.width, sizes.right.height));
    }
    add_side_warnings("left", report.left, report.warnings);
    add_side_warnings("right", report.right, report.warnings);
    return report;
}

std::string format_report_text(const InspectionReport& report) {
    auto camera = [](const SideReport& s) {
        return format_text("fx %.2f  fy %.2f  cx %.2f  cy %.2f", s.fx, s.fy, s.cx, s.cy);
    };
    std::string text;
    text += format_text("output size      %d x %d\n", report.output_size.width,
                        report.output_size.height);
    text += "left output      " + camera(report.left) + "\n";
    text += "right output     " + camera(report.right) + "\n";
    text += format_text("baseline         %.6g (calibration units)\n", report.baseline);
    text += format_text("degenerate rule  %s\n",
                        report.degenerate_rule_applied ? "applied" : "not applied");
    text += format_text("image pixels     left %.1f %%, right %.1f %%\n",
                        100.0 * report.left.image_share, 100.0 * report.right.image_share);
    auto range = [](const ScaleRange& r) {
        return std::isnan(r.smallest) ? std::string("n/a (no image pixels sampled)")
                                      : format_text("%.3f to %.3f", r.smallest, r.largest);
    };
    text += "local scale      left " + range(report.left.scale) + ", right " +
            range(report.right.scale) + "\n";
    for (const std::string& warning : report.warnings) {
        text += "warning: " + warning + "\n";
    }
    return text;
}

std::string format_report_json(const InspectionReport& report) {
    std::string warnings;
    for (const std::string& warning : report.warnings) {
        warnings += (warnings.empty() ? "" : ", ") + json_string(warning);
    }
    return "{\"output_size\": " + json_size(report.output_size) +
           ", \"left_size\": " + json_size(report.left_size) +
           ", \"right_size\": " + json_size(report.right_size) +
           ", \"left\": " + json_side(report.left) + ", \"right\": " + json_side(report.right) +
           ", \"baseline\": " + json_number(report.baseline) +
           ", \"degenerate_rule_applied\": " + (report.degenerate_rule_applied ? "true" : "false") +
           ", \"warnings\": [" + warnings + "]}\n";
}

cv::Mat compose_preview(const cv::Mat& left, const cv::Mat& right) {
    cv::Mat preview;
    cv::hconcat(left, right, preview);
    for (int y = GUIDE_LINE_SPACING / 2; y < preview.rows; y += GUIDE_LINE_SPACING) {
        preview.row(y).setTo(GUIDE_LINE_COLOUR);
    }
    return preview;
}

cv::Mat compose_anaglyph(const cv::Mat& left, const cv::Mat& right) {
    cv::Mat left_grey, right_grey, anaglyph;
    cv::cvtColor(left, left_grey, cv::COLOR_BGR2GRAY);
    cv::cvtColor(right, right_grey, cv::COLOR_BGR2GRAY);
    cv::merge(std::vector<cv::Mat>{right_grey, right_grey, left_grey}, anaglyph);  // B, G, R
    return anaglyph;
}

void StderrReporter::report(std::string_view text) {
    if (text == last_) {
        return;
    }
    last_ = text;
    std::fwrite(text.data(), 1, text.size(), stderr);
}

void StderrReporter::progress(std::string_view text) {
    if (verbose_) {
        std::fwrite(text.data(), 1, text.size(), stderr);
    }
}

bool inspect_pair(const InspectRequest& request, Reporter& reporter, std::string& report_text) {
    return run_reporting_exceptions("Cannot inspect", reporter, [&] {
        return files_are_safe(request, reporter) && inspect_stages(request, reporter, report_text);
    });
}

}  // namespace rectify
