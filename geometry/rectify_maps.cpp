#include "geometry/rectify_maps.hpp"

#include <algorithm>
#include <cmath>

#include "geometry/matrix.hpp"

namespace rectify {
namespace {

cv::Matx33d as_matx(const cv::Mat& m) {
    cv::Mat d;
    m.convertTo(d, CV_64F);
    return cv::Matx33d(d);
}

std::optional<cv::Point2d> dehomogenise(const cv::Vec3d& p) {
    const cv::Point2d q(p[0] / p[2], p[1] / p[2]);
    if (!std::isfinite(q.x) || !std::isfinite(q.y)) {
        return std::nullopt;
    }
    return q;
}

// Stores a stored pixel, or NO_SOURCE, as floats.
void store(float* x_row, float* y_row, int x, const std::optional<cv::Point2d>& p) {
    if (p) {
        x_row[x] = static_cast<float>(p->x);
        y_row[x] = static_cast<float>(p->y);
    }
    if (!p || !std::isfinite(x_row[x]) || !std::isfinite(y_row[x])) {
        x_row[x] = NO_SOURCE;
        y_row[x] = NO_SOURCE;
    }
}

void build_rows(const SourceMapping& mapping, const ViewFit& fit, const cv::Mat& H, int y_begin,
                int y_end, SourceMaps& maps) {
    const bool nominal = fit.view == View::nominal;
    float h[9];
    for (int i = 0; i < 9; ++i) {
        h[i] = H.at<float>(i / 3, i % 3);
    }
    const bool distorted = !mapping.distortion.is_none();
    for (int y = y_begin; y < y_end; ++y) {
        float* x_row = maps.map_x.ptr<float>(y);
        float* y_row = maps.map_y.ptr<float>(y);
        for (int x = 0; x < fit.map_size.width; ++x) {
            if (nominal) {
                // The six-argument tool's own float arithmetic.
                const auto q =
                    project_homogeneous(h, static_cast<float>(x), static_cast<float>(y), 1.0f);
                if (!distorted) {
                    x_row[x] = q[0];
                    y_row[x] = q[1];
                    if (!std::isfinite(q[0]) || !std::isfinite(q[1])) {
                        x_row[x] = y_row[x] = NO_SOURCE;
                    }
                    continue;
                }
                std::optional<cv::Point2d> stored;
                if (std::isfinite(q[0]) && std::isfinite(q[1])) {
                    stored = mapping.stored_from_ideal(cv::Point2d(q[0], q[1]));
                }
                store(x_row, y_row, x, stored);
            } else {
                store(x_row, y_row, x, mapping.stored_from_map(cv::Point2d(x, y)));
            }
        }
    }
}

}  // namespace

std::optional<cv::Point2d> SourceMapping::stored_from_ideal(cv::Point2d ideal) const {
    if (distortion.is_none()) {
        return ideal;
    }
    const auto normalised = dehomogenise(K_inverse * cv::Vec3d(ideal.x, ideal.y, 1.0));
    if (!normalised || !(std::hypot(normalised->x, normalised->y) <= radius_limit)) {
        return std::nullopt;
    }
    const cv::Point2d distorted = distort_point(distortion, *normalised);
    return dehomogenise(K * cv::Vec3d(distorted.x, distorted.y, 1.0));
}

std::optional<cv::Point2d> SourceMapping::stored_from_map(cv::Point2d map_pixel) const {
    const cv::Vec3d p = to_ideal * cv::Vec3d(map_pixel.x, map_pixel.y, 1.0);
    if (positive_only && !(p[2] > 0.0)) {
        return std::nullopt;
    }
    const auto ideal = dehomogenise(p);
    return ideal ? stored_from_ideal(*ideal) : std::nullopt;
}

SourceMapping source_mapping(const cv::Mat& K, const Distortion& distortion,
                             const cv::Matx33d& to_map, bool positive_only) {
    SourceMapping mapping;
    mapping.K = as_matx(K);
    mapping.K_inverse = mapping.K.inv();
    mapping.distortion = distortion;
    mapping.radius_limit = monotonic_radius(distortion);
    mapping.to_ideal = to_map.inv();
    mapping.positive_only = positive_only;
    return mapping;
}

SourceMapping source_mapping(const StereoCalibration& calibration, const ViewFit& fit, Side side) {
    const bool left = side == Side::left;
    return source_mapping(left ? calibration.K1 : calibration.K2,
                          left ? calibration.D1 : calibration.D2,
                          left ? fit.to_map1 : fit.to_map2, fit.view != View::nominal);
}

SourceMaps build_source_maps(const StereoCalibration& calibration, const ViewFit& fit, Side side,
                             const BandRunner& runner) {
    const SourceMapping mapping = source_mapping(calibration, fit, side);
    const cv::Mat& H = side == Side::left ? fit.geometry.H1 : fit.geometry.H2;
    SourceMaps maps{cv::Mat(fit.map_size, CV_32F), cv::Mat(fit.map_size, CV_32F)};
    const int height = fit.map_size.height;
    // Bands of about 64k pixels, for the runner to spread.
    const long long pixels = static_cast<long long>(fit.map_size.area());
    const int bands = static_cast<int>(std::clamp<long long>(pixels >> 16, 1, std::max(height, 1)));
    const auto task = [&](int band) {
        const int begin = static_cast<int>(static_cast<long long>(height) * band / bands);
        const int end = static_cast<int>(static_cast<long long>(height) * (band + 1) / bands);
        build_rows(mapping, fit, H, begin, end, maps);
    };
    if (runner && bands > 1) {
        runner(bands, task);
    } else {
        for (int band = 0; band < bands; ++band) {
            task(band);
        }
    }
    return maps;
}

}  // namespace rectify
