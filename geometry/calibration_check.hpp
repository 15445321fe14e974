#pragma once
// Whether a calibration describes two cameras that can be rectified at all.

#include <string>

#include <opencv2/core.hpp>

namespace rectify {

enum class CalibrationInput { none, left_intrinsics, right_intrinsics, transformation };

struct CalibrationProblem {
    CalibrationInput input = CalibrationInput::none;  // the file at fault
    std::string reason;                               // e.g. "the intrinsic matrix is singular"
    explicit operator bool() const { return input != CalibrationInput::none; }
};

// Finds, in this order, for the left and then the right intrinsic matrix: a
// non-finite element; numerical singularity (reciprocal condition number below
// 1e-9); a last row other than (0, 0, c) with c > 0 (to 1e-6 of the largest
// element). Then for the transformation: a non-finite element; a singular
// rotation block; a block that is not a rotation (max |R^T R - I| > 1e-2, which
// accepts rotations printed with three decimals) or a reflection (det R < 0);
// optical axes more than 90 degrees apart; camera centres that overflow the
// float computation; two coinciding optical centres. Skew, unequal focal
// lengths, any unit for the translation and any fourth row are accepted.
// Takes CV_32F or CV_64F matrices.
CalibrationProblem check_calibration(const cv::Mat& K_left, const cv::Mat& K_right,
                                     const cv::Mat& T);

// Whether both warp maps came out as finite numbers.
bool warp_maps_finite(const cv::Mat& H1, const cv::Mat& H2);

}  // namespace rectify
