#pragma once
// The rectified pair as a calibrated stereo rig: the projection matrices,
// rotations and disparity-to-depth matrix of the two outputs, whatever view
// made them, and the cameras file that describes them.

#include <string>

#include <opencv2/core.hpp>

#include "geometry/rectification.hpp"

namespace rectify {

// The rectified pair as a calibrated rig, in output pixels. Every matrix is
// CV_64F except the warp maps, which are the run's own CV_32F ones.
struct RectifiedCameras {
    cv::Size image_size;  // the outputs' width and height
    cv::Mat H1, H2;       // warp maps: warped-image pixel -> source pixel
    // 3x4 projections of the outputs; the world frame is the original left
    // camera's. Scaled so that the left 3x3 block is K [R | .] with K(2,2) = 1:
    // the third coordinate is the depth along the rectified optical axis.
    cv::Mat P1, P2;
    cv::Mat K1, K2;  // 3x3 upper-triangular intrinsics of the two outputs
    cv::Mat R1, R2;  // rotations from the original left / right camera frame to the rectified one
    cv::Mat Q;       // 4x4 disparity-to-depth matrix, OpenCV's reprojectImageTo3D convention
    double baseline = 0.0;  // distance between the optical centres, calibration units
    bool degenerate_rule_applied = false;
};

// The cameras of two outputs. K_left, K_right: the calibration's intrinsics;
// T: its 4x4 (or 3x4) transformation, X_right = R X_left + t. to_output1,
// to_output2: for each side, the 3x3 map from its ideal source pixels to
// output pixels; left_source, right_source: the sources' sizes. H1, H2 and
// degenerate_rule_applied are left for the caller to fill.
RectifiedCameras cameras_of_outputs(const cv::Mat& K_left, const cv::Mat& K_right, const cv::Mat& T,
                                    const cv::Mat& to_output1, const cv::Mat& to_output2,
                                    cv::Size left_source, cv::Size right_source,
                                    cv::Size output_size);

// The 3x3 map from warped-image pixels to output pixels of a bilinear resize
// from `from` to `to`: x -> (x + 0.5) * sx - 0.5 with sx = to.width / from.width,
// likewise in y (pixel centres, not corners, are what cv::resize aligns).
cv::Mat resize_matrix(cv::Size from, cv::Size to);

// The six-argument tool's outputs: each source warped at its own size through
// the nominal frame, then resized to the output size. K_left, K_right, T: the
// calibration as the run read it; geometry: the run's.
RectifiedCameras derive_cameras(const cv::Mat& K_left, const cv::Mat& K_right, const cv::Mat& T,
                                const Rectification& geometry, cv::Size left_source,
                                cv::Size right_source, cv::Size output_size);

// The cameras file as cv::FileStorage writes YAML.
std::string format_cameras_yaml(const RectifiedCameras& cameras);

}  // namespace rectify
