#include "geometry/rectify_maps.hpp"

#include <algorithm>
#include <cmath>

#include "geometry/matrix.hpp"

namespace rectify {
namespace {

std::optional<cv::Point2d> dehomogenise(const cv::Vec3d& p) {
    const cv::Point2d q(p[0] / p[2], p[1] / p[2]);
    if (!std::isfinite(q.x) || !std::isfinite(q.y)) {
        return std::nullopt;
    }
    return q;
}

// The ideal pixel (u, v) -> the stored pixel, written into the maps. The
// arithmetic of stored_from_ideal with the matrices unpacked.
struct StoredPixel {
    double k[9], k_inverse[9];
    double limit2;
    DistortionTerms terms;

    explicit StoredPixel(const SourceMapping& m) : terms(m.distortion) {
        for (int i = 0; i < 9; ++i) {
            k[i] = m.K(i / 3, i % 3);
            k_inverse[i] = m.K_inverse(i / 3, i % 3);
        }
        limit2 = m.radius_limit * m.radius_limit;
    }

    void operator()(double u, double v, float* x_row, float* y_row, int x) const {
        const double w = k_inverse[6] * u + k_inverse[7] * v + k_inverse[8];
        const double xn = (k_inverse[0] * u + k_inverse[1] * v + k_inverse[2]) / w;
        const double yn = (k_inverse[3] * u + k_inverse[4] * v + k_inverse[5]) / w;
        if (!(xn * xn + yn * yn <= limit2)) {
            x_row[x] = y_row[x] = NO_SOURCE;
            return;
        }
        const cv::Point2d d = distort_point(terms, {xn, yn});
        const double s = k[6] * d.x + k[7] * d.y + k[8];
        x_row[x] = static_cast<float>((k[0] * d.x + k[1] * d.y + k[2]) / s);
        y_row[x] = static_cast<float>((k[3] * d.x + k[4] * d.y + k[5]) / s);
        if (!std::isfinite(x_row[x]) || !std::isfinite(y_row[x])) {
            x_row[x] = y_row[x] = NO_SOURCE;
        }
    }
};

void build_rows(const SourceMapping& mapping, const ViewFit& fit, const cv::Mat& H, int y_begin,
                int y_end, SourceMaps& maps) {
    const bool nominal = fit.view == View::nominal;
    float h[9];
    double hd[9];
    for (int i = 0; i < 9; ++i) {
        h[i] = H.at<float>(i / 3, i % 3);
        hd[i] = mapping.to_ideal(i / 3, i % 3);
    }
    const bool distorted = !mapping.distortion.none;
    const StoredPixel stored(mapping);
    for (int y = y_begin; y < y_end; ++y) {
        float* x_row = maps.map_x.ptr<float>(y);
        float* y_row = maps.map_y.ptr<float>(y);
        for (int x = 0; x < fit.map_size.width; ++x) {
            double u = 0.0, v = 0.0;
            if (nominal) {
                // The six-argument tool's own float arithmetic.
                const auto q =
                    project_homogeneous(h, static_cast<float>(x), static_cast<float>(y), 1.0f);
                u = q[0];
                v = q[1];
            } else {
                const double w = hd[6] * x + hd[7] * y + hd[8];
                u = (hd[0] * x + hd[1] * y + hd[2]) / w;
                v = (hd[3] * x + hd[4] * y + hd[5]) / w;
                if (!(w > 0.0)) {
                    u = v = NAN;  // behind the rectifying transform's horizon
                }
            }
            if (!std::isfinite(u) || !std::isfinite(v)) {
                x_row[x] = y_row[x] = NO_SOURCE;
            } else if (!distorted) {
                x_row[x] = static_cast<float>(u);
                y_row[x] = static_cast<float>(v);
                if (!std::isfinite(x_row[x]) || !std::isfinite(y_row[x])) {
                    x_row[x] = y_row[x] = NO_SOURCE;
                }
            } else {
                stored(u, v, x_row, y_row, x);
            }
        }
    }
}

}  // namespace

std::optional<cv::Point2d> SourceMapping::stored_from_ideal(cv::Point2d ideal) const {
    if (distortion.none) {
        return ideal;
    }
    const auto normalised = dehomogenise(K_inverse * cv::Vec3d(ideal.x, ideal.y, 1.0));
    if (!normalised || !(normalised->x * normalised->x + normalised->y * normalised->y <=
                         radius_limit * radius_limit)) {
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
    mapping.distortion = unpack(distortion);
    mapping.radius_limit = monotonic_radius(distortion);
    mapping.to_ideal = to_map.inv();
    mapping.positive_only = positive_only;
    return mapping;
}

SourceMapping source_mapping(const StereoCalibration& calibration, const ViewFit& fit, Side side) {
    const bool left = side == Side::left;
    return source_mapping(left ? calibration.K1 : calibration.K2,
                          left ? calibration.D1 : calibration.D2, left ? fit.to_map1 : fit.to_map2,
                          fit.view != View::nominal);
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
