#pragma once
// View fitting: where the rectified images land in the outputs.
//
// The rectifying transforms come from the intrinsic matrices and the
// transformation exactly as in the six-argument tool (rectify_projections);
// a view then orients, shifts and scales them:
// - nominal: the six-argument tool's fitting to the 640 x 480 nominal frame,
//   whatever the image size; the images are resampled at their own size and
//   then resized (bilinear) to the output size.
// - full: the whole rectified outline of both images (for a distorted image,
//   its border mapped densely through the inverse distortion) fits the
//   output, with one scale for x and y, so output pixels are square.
// - valid: the largest such fit in which every output pixel of both images
//   has a source pixel, rows still shared.
// In full and valid, the output size is the map size: the scale is part of
// the maps, and each image is resampled once. views.cpp tells how each view
// is fitted.
// Distortion plays no part in the transforms themselves: it enters where an
// ideal source pixel becomes a stored one (rectify_maps.hpp).

#include <stdexcept>
#include <string>
#include <utility>

#include <opencv2/core.hpp>

#include "geometry/rectification.hpp"
#include "geometry/stereo_calibration.hpp"

namespace rectify {

enum class View { nominal, full, valid };

// "nominal", "full" or "valid".
const char* view_name(View view);

// A view that cannot be fitted (an image whose rectified outline is
// unbounded, a border beyond what its lens model describes); what() is one
// line without a line end.
class ViewError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct ViewFit {
    View view = View::full;
    cv::Size source_size;  // the size of both images
    cv::Size map_size;     // what the maps cover: source size for nominal, else output size
    cv::Size output_size;
    // Ideal (undistorted) source pixel -> map pixel, per side. Scaled so that
    // every source pixel (in the nominal view: the image centre) has a
    // positive third coordinate.
    cv::Matx33d to_map1, to_map2;
    // Map pixel -> output pixel: the bilinear resize of the nominal view
    // (x -> (x + 0.5) sx - 0.5), the identity for the other views.
    cv::Matx33d map_to_output = cv::Matx33d::eye();
    // The six-argument tool's geometry (nominal frame), for every view; its
    // H1, H2 are the nominal view's warp maps.
    Rectification geometry;

    cv::Matx33d to_output1() const { return map_to_output * to_map1; }
    cv::Matx33d to_output2() const { return map_to_output * to_map2; }
};

// Fits the view for images of image_size and outputs of output_size (the
// left image size times the scale). The calibration is assumed to have passed
// check_calibration. Throws ViewError.
ViewFit fit_view(const StereoCalibration& calibration, View view, cv::Size image_size,
                 cv::Size output_size);

// The region of a source image that every interpolation can sample, the
// six-argument tool's nearest rule included (its last column and row count
// as outside): 0 <= u <= width - 1.5, likewise v. The valid view keeps every
// output pixel inside it.
inline cv::Rect2d valid_source_region(cv::Size size) {
    return {0.0, 0.0, size.width - 1.5, size.height - 1.5};
}

}  // namespace rectify
