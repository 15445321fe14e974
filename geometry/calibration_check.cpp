#include "geometry/calibration_check.hpp"

#include <algorithm>
#include <cmath>

#include "geometry/matrix.hpp"
#include "geometry/rectification.hpp"

// All of the checks run in double, on the values as the files gave them; only
// the camera centres are formed from the float matrices the geometry uses.

namespace rectify {
namespace {

// Reciprocal condition number from the singular values; a non-finite one
// counts as singular too.
bool numerically_singular(const cv::Mat& m) {
    cv::Mat w;
    cv::SVD::compute(to_double(m), w, cv::SVD::NO_UV);
    double smallest = 0.0, largest = 0.0;
    cv::minMaxLoc(w, &smallest, &largest);
    const double rcond = smallest / largest;
    return !std::isfinite(rcond) || rcond < 1e-9;
}

bool has_non_finite(const cv::Mat& m) {
    return !cv::checkRange(to_double(m));
}

bool has_shape(const cv::Mat& m, int rows, int cols) {
    return m.rows == rows && m.cols == cols && m.channels() == 1;
}

// A camera's intrinsic matrix maps rays in front of it to pixels only when its
// last row is (0, 0, c) with c > 0; anything else is a homography of the image
// plane, or a camera looking backwards.
bool last_row_is_pinhole(const cv::Mat& K) {
    const cv::Mat d = to_double(K);
    const double tolerance = 1e-6 * cv::norm(d, cv::NORM_INF);
    return std::abs(d.at<double>(2, 0)) <= tolerance && std::abs(d.at<double>(2, 1)) <= tolerance &&
           d.at<double>(2, 2) > tolerance;
}

CalibrationProblem intrinsics_problem(const cv::Mat& K, CalibrationInput input) {
    if (!has_shape(K, 3, 3)) {
        return {input, "the intrinsic matrix is not 3 x 3"};
    }
    if (has_non_finite(K)) {
        return {input, "the intrinsic matrix has a non-finite element"};
    }
    if (numerically_singular(K)) {
        return {input, "the intrinsic matrix is singular"};
    }
    if (!last_row_is_pinhole(K)) {
        return {input, "the intrinsic matrix's last row is not (0, 0, c) with c > 0"};
    }
    return {};
}

CalibrationProblem rotation_problem(const cv::Mat& R) {
    const auto transformation = CalibrationInput::transformation;
    if (numerically_singular(R)) {
        return {transformation, "the rotation block of the transformation is singular"};
    }
    const cv::Mat d = to_double(R);
    if (cv::norm(d.t() * d - cv::Mat::eye(3, 3, CV_64F), cv::NORM_INF) > 1e-2) {
        return {transformation, "the rotation block of the transformation is not a rotation"};
    }
    if (cv::determinant(d) < 0.0) {
        return {transformation, "the rotation block of the transformation is a reflection"};
    }
    // The right camera's optical axis in left-camera coordinates is the third
    // row of R; beyond 90 degrees from the left one's (0, 0, 1), no point in
    // front of one camera is in front of the other.
    if (d.at<double>(2, 2) < 0.0) {
        return {transformation,
                "the optical axes are more than 90 degrees apart (the cameras face away from "
                "each other)"};
    }
    return {};
}

double length3(const cv::Mat& v) {
    return cv::norm(to_double(v), cv::NORM_L2);
}

}  // namespace

CalibrationProblem check_calibration(const cv::Mat& K_left, const cv::Mat& K_right,
                                     const cv::Mat& T) {
    if (auto problem = intrinsics_problem(K_left, CalibrationInput::left_intrinsics)) {
        return problem;
    }
    if (auto problem = intrinsics_problem(K_right, CalibrationInput::right_intrinsics)) {
        return problem;
    }
    const auto transformation = CalibrationInput::transformation;
    if (!has_shape(T, 4, 4)) {
        return {transformation, "the transformation is not 4 x 4"};
    }
    // Every element counts: the zero fourth column of [I 0] meets the whole of
    // T in the product K [I 0] T, and 0 times a non-finite value is NaN.
    if (has_non_finite(T)) {
        return {transformation, "the transformation has a non-finite element"};
    }
    if (auto problem = rotation_problem(T(cv::Rect(0, 0, 3, 3)))) {
        return problem;
    }
    // The geometry's own float matrices, so the centres are those it works on.
    cv::Mat Kl, Kr, Tf;
    K_left.convertTo(Kl, CV_32F);
    K_right.convertTo(Kr, CV_32F);
    T.convertTo(Tf, CV_32F);
    const auto [Po1, Po2] = old_projections(Kl, Kr, Tf);
    const cv::Mat c1 = optical_centre(Po1);
    const cv::Mat c2 = optical_centre(Po2);
    if (!all_finite(Po2) || !all_finite(c1) || !all_finite(c2)) {
        return {transformation,
                "its numbers are too large for the computation (the camera centres overflow "
                "32-bit floats)"};
    }
    // The baseline counts as zero when |c2 - c1| <= 1e-6 * max(1, |c1|, |c2|).
    // The centres enter the solves as the rows (c, 1) of float systems, so a
    // difference below about ten float steps (float epsilon is 1.2e-7) of the
    // largest element of those rows, the 1 included, is lost to rounding
    // there: the two rows coincide and the common focal plane is not
    // determined. A real rig's baseline is many orders of magnitude above this
    // in any unit from metres down.
    const double baseline = cv::norm(to_double(c2) - to_double(c1), cv::NORM_L2);
    if (!(baseline > 1e-6 * std::max({1.0, length3(c1), length3(c2)}))) {
        return {transformation, "the two optical centres coincide (zero baseline)"};
    }
    return {};
}

bool warp_maps_finite(const cv::Mat& H1, const cv::Mat& H2) {
    return all_finite(H1) && all_finite(H2);
}

}  // namespace rectify
