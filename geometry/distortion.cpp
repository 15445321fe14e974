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

cv::Point2d distort_standard(const Distortion& d, cv::Point2d p) {
    const double k1 = coefficient(d, 0), k2 = coefficient(d, 1);
    const double p1 = coefficient(d, 2), p2 = coefficient(d, 3);
    const double k3 = coefficient(d, 4), k4 = coefficient(d, 5);
    const double k5 = coefficient(d, 6), k6 = coefficient(d, 7);
    const double s1 = coefficient(d, 8), s2 = coefficient(d, 9);
    const double s3 = coefficient(d, 10), s4 = coefficient(d, 11);
    const double x = p.x, y = p.y;
    const double r2 = x * x + y * y, r4 = r2 * r2, r6 = r4 * r2;
    const double radial =
        (1.0 + k1 * r2 + k2 * r4 + k3 * r6) / (1.0 + k4 * r2 + k5 * r4 + k6 * r6);
    const double xy2 = 2.0 * x * y;
    const double xd = x * radial + p1 * xy2 + p2 * (r2 + 2.0 * x * x) + s1 * r2 + s2 * r4;
    const double yd = y * radial + p1 * (r2 + 2.0 * y * y) + p2 * xy2 + s3 * r2 + s4 * r4;
    if (d.coefficients.size() < 14 || (d.coefficients[12] == 0.0 && d.coefficients[13] == 0.0)) {
        return {xd, yd};
    }
    const cv::Vec3d tilted = tilt_matrix(d.coefficients[12], d.coefficients[13]) * cv::Vec3d(xd, yd, 1);
    const double inverse = tilted[2] != 0.0 ? 1.0 / tilted[2] : 1.0;
    return {tilted[0] * inverse, tilted[1] * inverse};
}

cv::Point2d distort_fisheye(const Distortion& d, cv::Point2d p) {
    const double r = std::sqrt(p.x * p.x + p.y * p.y);
    if (r <= 1e-8) {
        return p;
    }
    const double theta = std::atan(r);
    const double t2 = theta * theta, t4 = t2 * t2, t6 = t4 * t2, t8 = t4 * t4;
    const double theta_d = theta * (1.0 + coefficient(d, 0) * t2 + coefficient(d, 1) * t4 +
                                    coefficient(d, 2) * t6 + coefficient(d, 3) * t8);
    const double factor = theta_d / r;
    return {p.x * factor, p.y * factor};
}

// The distorted radius of an ideal point at normalised radius r on the x
// axis, radial terms only: what must keep growing with r.
double radial_image(const Distortion& d, double r) {
    if (d.model == DistortionModel::fisheye) {
        return distort_fisheye(d, {r, 0.0}).x;
    }
    const double r2 = r * r, r4 = r2 * r2, r6 = r4 * r2;
    const double numerator = 1.0 + coefficient(d, 0) * r2 + coefficient(d, 1) * r4 + coefficient(d, 4) * r6;
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

cv::Point2d distort_point(const Distortion& distortion, cv::Point2d ideal) {
    if (distortion.coefficients.empty()) {
        return ideal;
    }
    return distortion.model == DistortionModel::fisheye ? distort_fisheye(distortion, ideal)
                                                        : distort_standard(distortion, ideal);
}

double monotonic_radius(const Distortion& distortion) {
    constexpr double infinity = std::numeric_limits<double>::infinity();
    if (distortion.is_none()) {
        return infinity;
    }
    // Steps of 1e-3 up to a radius of 100 (an angle of 89.4 degrees from the
    // axis), then the fold pinned down by bisection.
    constexpr double step = 1e-3;
    constexpr int steps = 100000;
    double previous = 0.0;
    for (int i = 1; i <= steps; ++i) {
        const double r = i * step;
        const double image = radial_image(distortion, r);
        if (!(image > previous)) {
            double low = r - step, high = r;
            for (int j = 0; j < 40; ++j) {
                const double mid = 0.5 * (low + high);
                const double slope = radial_image(distortion, mid + 1e-9) - radial_image(distortion, mid);
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
    const auto residual = [&](cv::Point2d p) { return distort_point(distortion, p) - distorted; };
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
        const cv::Point2d dx = (residual(p + cv::Point2d(h, 0)) - residual(p - cv::Point2d(h, 0))) / (2 * h);
        const cv::Point2d dy = (residual(p + cv::Point2d(0, h)) - residual(p - cv::Point2d(0, h))) / (2 * h);
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
