#pragma once
// stereo-rectify-inspect: what a rectification run produces, seen as a stereo
// rig. From the prepared run it derives the projection matrices, rotations and
// disparity-to-depth matrix of the two outputs, measures how much of each
// output shows the source and how much the warp stretches it, and composes a
// side-by-side preview and an anaglyph of the outputs.

#include <string>
#include <string_view>
#include <vector>

#include <opencv2/core.hpp>

#include "app/run.hpp"
#include "calibration/reporter.hpp"
#include "geometry/rectification.hpp"
#include "geometry/rectified_cameras.hpp"

namespace rectify {

struct ImageSizes {
    cv::Size left, right;  // the sources, which are also the warped images' sizes
    cv::Size output;
};

// The output's share of image pixels, per output pixel in [0, 1]: 1 where the
// warp takes the pixel from the source by its own bounds rule, 0 where it
// fills, in between where the resize blends the two. CV_32F, output size.
cv::Mat source_coverage(cv::Size source_size, const cv::Mat& H, cv::Size output_size);

// Smallest and largest local area scale (square root of the absolute Jacobian
// determinant of the map from source pixels to output pixels), sampled on a
// grid of about 64 points across the output where coverage is at least one
// half. NaN for both when no sample is covered.
struct ScaleRange {
    double smallest = 0.0, largest = 0.0;
};
ScaleRange local_scale_range(const cv::Mat& H, const cv::Mat& resize, const cv::Mat& coverage);

struct SideReport {
    double fx = 0, fy = 0, cx = 0, cy = 0;
    double image_share = 0;  // mean coverage
    ScaleRange scale;
};

struct InspectionReport {
    cv::Size left_size, right_size, output_size;
    SideReport left, right;
    double baseline = 0.0;
    bool degenerate_rule_applied = false;
    std::vector<std::string> warnings;
};

InspectionReport build_report(const ImageSizes& sizes, const RectifiedCameras& cameras,
                              const cv::Mat& left_coverage, const cv::Mat& right_coverage);

std::string format_report_text(const InspectionReport& report);
std::string format_report_json(const InspectionReport& report);

// Preview: the two outputs side by side with a 1-pixel guide line on rows 16,
// 48, 80... across both. Anaglyph: left in red, right in cyan.
inline constexpr int GUIDE_LINE_SPACING = 32;
inline const cv::Scalar GUIDE_LINE_COLOUR(0, 255, 0);  // BGR green
cv::Mat compose_preview(const cv::Mat& left, const cv::Mat& right);
cv::Mat compose_anaglyph(const cv::Mat& left, const cv::Mat& right);

// Sends failures to standard error (an immediate repeat of the same line is
// dropped: the shared stages print a calibration file's "Cannot open" twice);
// progress goes to standard error when verbose, else nowhere.
class StderrReporter : public Reporter {
  public:
    explicit StderrReporter(bool verbose) : verbose_(verbose) {}
    void report(std::string_view text) override;
    void progress(std::string_view text) override;

  private:
    bool verbose_;
    std::string last_;
};

struct InspectRequest {
    RunArguments arguments;
    std::string cameras_path, preview_path, anaglyph_path;  // empty: not written
    bool json = false;
};

// The whole inspection: prepares the run, derives the cameras, writes the
// requested files and puts the report (text or JSON) into report_text. Reports
// any failure as one line and returns false; never throws.
bool inspect_pair(const InspectRequest& request, Reporter& reporter, std::string& report_text);

}  // namespace rectify
