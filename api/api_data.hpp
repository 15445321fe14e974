#pragma once
// What the API's handles hold: the library's own types, so that a program
// built in this tree (the batch tool) can reach them through a Calibration or
// a Rectifier and share one path with the API's callers.

#include <stereo_rectify/stereo_rectify.hpp>

#include "batch/batch_run.hpp"
#include "geometry/rectified_cameras.hpp"
#include "geometry/stereo_calibration.hpp"

namespace stereo_rectify {

struct Calibration::Data {
    rectify::StereoCalibration calibration;
};

struct Rectifier::Data {
    Calibration calibration;
    Options options;
    rectify::BatchOptions batch_options;  // the options as the batch run takes them
    rectify::PairRectifier rectifier;
    Cameras cameras;
    std::string cameras_yaml;
};

// The batch run's options for these (the output format and masks are the
// FileOptions', set by rectify_files), and back.
rectify::BatchOptions batch_options(const Options& options);
Options options_of(const rectify::BatchOptions& batch, std::optional<cv::Size> image_size);

}  // namespace stereo_rectify
