#pragma once
// A calibrated stereo rig, whichever file it came from.

#include <optional>

#include <opencv2/core.hpp>

#include "geometry/distortion.hpp"

namespace rectify {

struct StereoCalibration {
    cv::Mat K1, K2;  // 3x3 CV_64F intrinsic matrices (left, right)
    Distortion D1, D2;
    // X_right = R X_left + T, as cv::stereoCalibrate returns them: R 3x3 and
    // T 3x1, CV_64F.
    cv::Mat R, T;
    std::optional<cv::Size> image_size;  // when the calibration file gives one
};

// [R T; 0 0 0 1] as the 4x4 CV_32F transformation the rectification geometry
// takes (the six-argument tool's T.txt).
cv::Mat transformation_matrix(const StereoCalibration& calibration);

}  // namespace rectify
