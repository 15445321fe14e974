#pragma once
// Lens distortion: where a lens puts the image of a ray, in normalised image
// coordinates (x = X/Z, y = Y/Z in the camera's frame, before the intrinsic
// matrix). The two models are OpenCV's standard (radial-tangential) model and
// its fisheye (equidistant) model, with OpenCV's formulas.

#include <optional>
#include <vector>

#include <opencv2/core.hpp>

namespace rectify {

enum class DistortionModel {
    standard,  // k1 k2 p1 p2 [k3 [k4 k5 k6 [s1 s2 s3 s4 [tau_x tau_y]]]]
    fisheye,   // k1 k2 k3 k4: theta_d = theta (1 + k1 theta^2 + ... + k4 theta^8)
};

struct Distortion {
    DistortionModel model = DistortionModel::standard;
    std::vector<double> coefficients;  // empty: an ideal pinhole lens

    bool is_none() const;  // no coefficients, or all of them zero
};

// Whether the model takes that many coefficients: 4, 5, 8, 12 or 14 for the
// standard model, 4 for the fisheye one (0 always: no distortion).
bool coefficient_count_fits(DistortionModel model, std::size_t count);

// A normalised ideal point -> the distorted normalised point. The caller
// checks the coefficient count first.
cv::Point2d distort_point(const Distortion& distortion, cv::Point2d ideal);

// A ray's distorted image is trusted only where the model keeps mapping
// larger angles to larger image radii: beyond the first fold of the radial
// polynomial, points far outside the field of view would come back into the
// image. The largest normalised radius sqrt(x^2 + y^2) at which the model is
// still monotonic (infinity when it never folds within 100, or with no
// distortion).
double monotonic_radius(const Distortion& distortion);

// The inverse of distort_point: the normalised ideal point whose distorted
// image is `distorted`, solved by Newton's method to 1e-12; empty when there
// is none within radius_limit (monotonic_radius of the same distortion: the
// point lies beyond what the lens images).
std::optional<cv::Point2d> undistort_point(const Distortion& distortion, cv::Point2d distorted,
                                           double radius_limit);

}  // namespace rectify
