#pragma once
// The source-coordinate maps of a view: for every map pixel, the stored
// source pixel to sample, as two CV_32F maps like cv::initUndistortRectifyMap
// gives. They depend on the calibration, the view and the sizes only, so a
// run builds them once and every pair is then a lookup and an interpolation.
//
// The chain for one map pixel: map pixel -> (inverse of to_map) -> ideal
// source pixel -> normalised by K -> distorted -> back through K -> stored
// pixel. A map pixel with no stored pixel (no finite ideal point, an ideal
// point behind the rectifying transform's horizon in the full and valid
// views, or a ray beyond the lens model's fold) holds NO_SOURCE in both maps,
// which every sampling rule counts as outside.

#include <functional>
#include <optional>

#include <opencv2/core.hpp>

#include "geometry/distortion.hpp"
#include "geometry/stereo_calibration.hpp"
#include "geometry/views.hpp"

namespace rectify {

enum class Side { left, right };

inline constexpr float NO_SOURCE = -1.0e6f;

// One side's chain from an ideal source pixel to a stored one, and from a map
// pixel to an ideal one (in double).
struct SourceMapping {
    cv::Matx33d K = cv::Matx33d::eye(), K_inverse = cv::Matx33d::eye();
    DistortionTerms distortion;
    double radius_limit = 0.0;                  // monotonic_radius of the distortion
    cv::Matx33d to_ideal = cv::Matx33d::eye();  // map pixel -> ideal source pixel
    bool positive_only = true;                  // ideal points need a positive third coordinate

    // Ideal source pixel -> stored pixel; empty beyond the lens model's fold.
    std::optional<cv::Point2d> stored_from_ideal(cv::Point2d ideal) const;
    // Map pixel -> stored pixel.
    std::optional<cv::Point2d> stored_from_map(cv::Point2d map_pixel) const;
};

// K: 3x3 (CV_32F or CV_64F); to_map: ideal source pixel -> map pixel.
SourceMapping source_mapping(const cv::Mat& K, const Distortion& distortion,
                             const cv::Matx33d& to_map, bool positive_only);

// The mapping of one side of a fitted view.
SourceMapping source_mapping(const StereoCalibration& calibration, const ViewFit& fit, Side side);

struct SourceMaps {
    cv::Mat map_x, map_y;  // CV_32F, fit.map_size
};

// Runs task(0) .. task(bands - 1), each once, in any order or concurrently.
using BandRunner = std::function<void(int bands, const std::function<void(int)>& task)>;

// The maps of one side. In the nominal view the ideal source pixel is the
// six-argument tool's float projection through geometry.H1 / H2 (bit for bit,
// so with no distortion its nearest sampling gives the same bytes); in the
// other views it is computed in double. Rows are built in bands through
// runner, or in this thread when runner is empty.
SourceMaps build_source_maps(const StereoCalibration& calibration, const ViewFit& fit, Side side,
                             const BandRunner& runner = {});

}  // namespace rectify
