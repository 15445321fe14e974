#include "batch/run_record.hpp"

#include <cstdio>
#include <fstream>
#include <iterator>

#include "imagefiles/atomic_file.hpp"

namespace rectify {
namespace {

std::string folder_file(const std::string& folder, const char* name) {
    return (folder.ends_with('/') ? folder : folder + "/") + name;
}

void append_matrix(std::string& text, const char* name, const cv::Mat& m) {
    text += name;
    cv::Mat d;
    m.convertTo(d, CV_64F);
    for (int i = 0; i < static_cast<int>(d.total()); ++i) {
        char number[32];
        std::snprintf(number, sizeof number, " %.17g", d.at<double>(i));
        text += number;
    }
    text += '\n';
}

void append_distortion(std::string& text, const char* name, const Distortion& distortion) {
    text += name;
    text += distortion.model == DistortionModel::fisheye ? " fisheye" : " standard";
    for (const double coefficient : distortion.coefficients) {
        char number[32];
        std::snprintf(number, sizeof number, " %.17g", coefficient);
        text += number;
    }
    text += '\n';
}

}  // namespace

std::string describe_run(const StereoCalibration& calibration, cv::Size image_size,
                         const BatchOptions& options) {
    std::string text = "stereo-rectify-batch run record 1\n";
    append_matrix(text, "K1", calibration.K1);
    append_distortion(text, "D1", calibration.D1);
    append_matrix(text, "K2", calibration.K2);
    append_distortion(text, "D2", calibration.D2);
    append_matrix(text, "R", calibration.R);
    append_matrix(text, "T", calibration.T);
    char line[256];
    std::snprintf(line, sizeof line,
                  "image_size %d %d\nview %s\ninterpolation %s\nscale %.17g\nfill %d %d\n"
                  "masks %d\nformat %s\njpeg_quality %d\n",
                  image_size.width, image_size.height, view_name(options.view),
                  interpolation_name(options.interpolation), options.scale, options.left_fill,
                  options.right_fill, options.masks ? 1 : 0,
                  output_extension(options.format, 3).c_str() + 1, options.jpeg_quality);
    return text + line;
}

RecordMatch check_run_record(const std::string& output_folder, const std::string& description) {
    std::ifstream in(folder_file(output_folder, RUN_RECORD_NAME), std::ios::binary);
    if (!in) {
        return RecordMatch::absent;
    }
    const std::string recorded((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    return recorded == description ? RecordMatch::same : RecordMatch::different;
}

bool write_run_record(const std::string& output_folder, const std::string& description) {
    const std::string path = folder_file(output_folder, RUN_RECORD_NAME);
    return replaceable_by_output(path) && write_file_atomically(path, description);
}

}  // namespace rectify
