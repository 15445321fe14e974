#pragma once
// Lens distortion: where a lens puts the image of a ray, in normalised image
// coordinates (x = X/Z, y = Y/Z in the camera's frame, before the intrinsic
// matrix). The two models are OpenCV's standard (radial-tangential) model and
// its fisheye (equidistant) model, with OpenCV's formulas.

#include <cmath>
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

// A distortion unpacked once, for evaluation at many points.
struct DistortionTerms {
    bool none = true;
    bool fisheye = false;
    bool tilted = false;
    double k1 = 0, k2 = 0, p1 = 0, p2 = 0, k3 = 0, k4 = 0, k5 = 0, k6 = 0;
    double s1 = 0, s2 = 0, s3 = 0, s4 = 0;
    cv::Matx33d tilt = cv::Matx33d::eye();  // the 14-coefficient model's sensor tilt
};

DistortionTerms unpack(const Distortion& distortion);

// A normalised ideal point -> the distorted normalised point, with OpenCV's
// formulas (projectPoints, fisheye::projectPoints).
inline cv::Point2d distort_point(const DistortionTerms& t, cv::Point2d p) {
    if (t.none) {
        return p;
    }
    const double x = p.x, y = p.y;
    const double r2 = x * x + y * y;
    if (t.fisheye) {
        const double r = std::sqrt(r2);
        if (r <= 1e-8) {
            return p;
        }
        const double theta = std::atan(r);
        const double t2 = theta * theta, t4 = t2 * t2;
        const double theta_d =
            theta * (1.0 + t.k1 * t2 + t.k2 * t4 + t.p1 * t4 * t2 + t.p2 * t4 * t4);
        const double factor = theta_d / r;
        return {x * factor, y * factor};
    }
    const double r4 = r2 * r2, r6 = r4 * r2;
    const double radial =
        (1.0 + t.k1 * r2 + t.k2 * r4 + t.k3 * r6) / (1.0 + t.k4 * r2 + t.k5 * r4 + t.k6 * r6);
    const double xy2 = 2.0 * x * y;
    const double xd = x * radial + t.p1 * xy2 + t.p2 * (r2 + 2.0 * x * x) + t.s1 * r2 + t.s2 * r4;
    const double yd = y * radial + t.p1 * (r2 + 2.0 * y * y) + t.p2 * xy2 + t.s3 * r2 + t.s4 * r4;
    if (!t.tilted) {
        return {xd, yd};
    }
    const cv::Vec3d tilted = t.tilt * cv::Vec3d(xd, yd, 1.0);
    const double inverse = tilted[2] != 0.0 ? 1.0 / tilted[2] : 1.0;
    return {tilted[0] * inverse, tilted[1] * inverse};
}

// Whether the model takes that many coefficients: 4, 5, 8, 12 or 14 for the
// standard model, 4 for the fisheye one (0 always: no distortion).
bool coefficient_count_fits(DistortionModel model, std::size_t count);

// The same for a single point. The caller checks the coefficient count first.
inline cv::Point2d distort_point(const Distortion& distortion, cv::Point2d ideal) {
    return distort_point(unpack(distortion), ideal);
}

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
