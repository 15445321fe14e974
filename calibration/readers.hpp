#pragma once
// Readers of the calibration text files: an intrinsic matrix (9 numbers) and
// the camera transformation (16 numbers), in row order. Numbers follow the
// syntax of scanf's %lf and may be spread over lines in any way; only their
// order counts, and text after the last needed number is never read.

#include <string>

#include <opencv2/core.hpp>

#include "calibration/reporter.hpp"

namespace rectify {

enum class ReadStatus {
    ok,           // every element written, all finite
    cannot_open,  // "Cannot open file %s.\n" reported, matrix untouched
    bad_content,  // opened, but too few numbers, a non-number or a non-finite
                  // value; one line reported, matrix untouched
};

// K: a 3x3 CV_32F matrix owned by the caller (its storage is written).
ReadStatus read_intrinsics_file(const std::string& path, cv::Mat& K, Reporter& reporter);
// T: a 4x4 CV_32F matrix owned by the caller. The fourth row is stored too.
ReadStatus read_transformation_file(const std::string& path, cv::Mat& T, Reporter& reporter);

}  // namespace rectify
