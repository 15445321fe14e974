#include "geometry/distortion.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace rectify {
namespace {

// Coefficient i, or 0 where the list is shorter.
double coefficient(const Distortion& d, std::size_t i) {
    return i < d.coefficients.size() ? d.coefficients[i] : 0.0;
}

// The projection onto the tilted sensor plane of the 14-coefficient model:
// a rotation by tau_x about x, then by tau_y about y, then the projection
// back along the rotated optical axis.
cv::Matx33d tilt_matrix(double tau_x, double tau_y) {
    const double cx = std::cos(tau_x), sx = std::sin(tau_x);
    const double cy = std::cos(tau_y), sy = std::sin(tau_y);
    const cv::Matx33d rot_x(1, 0, 0, 0, cx, sx, 0, -sx, cx);
    const cv::Matx33d rot_y(cy, 0, -sy, 0, 1, 0, sy, 0, cy);
    const cv::Matx33d rot = rot_y * rot_x;
    const cv::Matx33d project(rot(2, 2), 0, -rot(0, 2), 0, rot(2, 2), -rot(1, 2), 0, 0, 1);
    return project * rot;
}

// The distorted radius of an ideal point at normalised radius r on the x
// axis, radial terms only: what must keep growing with r.
double radial_image(const Distortion& d, double r) {
    if (d.model == DistortionModel::fisheye) {
        return distort_point(d, {r, 0.0}).x;
    }
    const double r2 = r * r, r4 = r2 * r2, r6 = r4 * r2;
    const double numerator =
        1.0 + coefficient(d, 0) * r2 + coefficient(d, 1) * r4 + coefficient(d, 4) * r6;
    const double denominator =
        1.0 + coefficient(d, 5) * r2 + coefficient(d, 6) * r4 + coefficient(d, 7) * r6;
    return denominator > 0.0 ? r * numerator / denominator
                             : -std::numeric_limits<double>::infinity();
}

}  // namespace

bool Distortion::is_none() const {
    return std::all_of(coefficients.begin(), coefficients.end(), [](double c) { return c == 0.0; });
}

bool coefficient_count_fits(DistortionModel model, std::size_t count) {
    if (count == 0) {
        return true;
    }
    if (model == DistortionModel::fisheye) {
        return count == 4;
    }
    return count == 4 || count == 5 || count == 8 || count == 12 || count == 14;
}

DistortionTerms unpack(const Distortion& d) {
    DistortionTerms t;
    t.none = d.is_none();
    t.fisheye = d.model == DistortionModel::fisheye;
    // The fisheye model's k1 .. k4 go to the first four slots.
    t.k1 = coefficient(d, 0), t.k2 = coefficient(d, 1);
    t.p1 = coefficient(d, 2), t.p2 = coefficient(d, 3);
    if (!t.fisheye) {
        t.k3 = coefficient(d, 4), t.k4 = coefficient(d, 5);
        t.k5 = coefficient(d, 6), t.k6 = coefficient(d, 7);
        t.s1 = coefficient(d, 8), t.s2 = coefficient(d, 9);
        t.s3 = coefficient(d, 10), t.s4 = coefficient(d, 11);
        t.tilted = coefficient(d, 12) != 0.0 || coefficient(d, 13) != 0.0;
        if (t.tilted) {
            t.tilt = tilt_matrix(coefficient(d, 12), coefficient(d, 13));
        }
    }
    return t;
}

double monotonic_radius(const Distortion& distortion) {
    constexpr double infinity = std::numeric_limits<double>::infinity();
    if (distortion.is_none()) {
        return infinity;
    }
    // Steps of 0.2 % (and at least 1e-4) up to a radius of 100 (an angle of
    // 89.4 degrees from the axis), then the fold pinned down by bisection.
    double previous = 0.0;
    for (double r = 1e-3; r <= 100.0; r += std::max(1e-4, 2e-3 * r)) {
        const double image = radial_image(distortion, r);
        if (!(image > previous)) {
            double low = r - std::max(1e-4, 2e-3 * r), high = r;
            for (int j = 0; j < 40; ++j) {
                const double mid = 0.5 * (low + high);
                const double slope =
                    radial_image(distortion, mid + 1e-9) - radial_image(distortion, mid);
                (slope > 0.0 ? low : high) = mid;
            }
            return low;
        }
        previous = image;
    }
    return infinity;
}

std::optional<cv::Point2d> undistort_point(const Distortion& distortion, cv::Point2d distorted,
                                           double radius_limit) {
    if (distortion.is_none()) {
        return distorted;
    }
    const DistortionTerms terms = unpack(distortion);
    const auto residual = [&](cv::Point2d p) { return distort_point(terms, p) - distorted; };
    const auto inside = [&](cv::Point2d p) { return std::hypot(p.x, p.y) <= radius_limit; };
    cv::Point2d p = distorted;
    if (!inside(p)) {
        p *= radius_limit / std::hypot(p.x, p.y) * 0.5;
    }
    cv::Point2d f = residual(p);
    for (int iteration = 0; iteration < 100; ++iteration) {
        if (std::hypot(f.x, f.y) < 1e-12) {
            return p;
        }
        // Newton step with the Jacobian from central differences.
        constexpr double h = 1e-7;
        const cv::Point2d dx =
            (residual(p + cv::Point2d(h, 0)) - residual(p - cv::Point2d(h, 0))) / (2 * h);
        const cv::Point2d dy =
            (residual(p + cv::Point2d(0, h)) - residual(p - cv::Point2d(0, h))) / (2 * h);
        const double det = dx.x * dy.y - dy.x * dx.y;
        if (!(std::abs(det) > 1e-300)) {
            return std::nullopt;
        }
        cv::Point2d step((dy.y * f.x - dy.x * f.y) / det, (-dx.y * f.x + dx.x * f.y) / det);
        // Halve the step until it stays within the trusted radius and
        // reduces the residual.
        bool improved = false;
        for (int halving = 0; halving < 40 && !improved; ++halving, step *= 0.5) {
            const cv::Point2d candidate = p - step;
            const cv::Point2d g = inside(candidate) ? residual(candidate) : cv::Point2d(NAN, NAN);
            if (std::hypot(g.x, g.y) < std::hypot(f.x, f.y)) {
                p = candidate;
                f = g;
                improved = true;
            }
        }
        if (!improved) {
            break;
        }
    }
    return std::hypot(f.x, f.y) < 1e-9 ? std::optional<cv::Point2d>(p) : std::nullopt;
}

}  // namespace rectify
