#pragma once
// Resampling through a source-coordinate map (geometry/rectify_maps.hpp), with
// the fill value wherever the map points outside the source.
//
// The work is split in two: a plan, built once per map (the sampling tables
// and the masks, which depend on the map and the source size only), and the
// per-image resampling, which is a lookup and an interpolation.

#include <opencv2/core.hpp>

#include "geometry/rectify_maps.hpp"

namespace rectify {

enum class Interpolation { nearest, linear, cubic, lanczos };

// "nearest", "linear", "cubic" or "lanczos".
const char* interpolation_name(Interpolation interpolation);

// Whether a map pixel that samples the point (u, v) has a source pixel:
// - nearest: the six-argument tool's rule, floor(u + 0.5) in 0 .. width - 2
//   (and likewise v): the last column and row count as outside;
// - the others: 0 <= u <= width - 1 and 0 <= v <= height - 1.
bool has_source(float u, float v, cv::Size source_size, Interpolation interpolation);

struct SamplingPlan {
    Interpolation interpolation = Interpolation::linear;
    cv::Size source_size;  // the images this plan resamples
    cv::Size map_size;     // the maps' size
    cv::Size output_size;  // the map size, or the nominal view's output size
    // nearest: CV_32SC2 source pixel (x, y) per map pixel, (-1, -1) where
    // none; the others: cv::convertMaps' fixed-point CV_16SC2 and CV_16UC1
    // maps, with which cv::remap gives what it gives on the float maps.
    cv::Mat table, fractions;
    cv::Mat outside;    // CV_8U, map size: 255 where the map pixel has no source
    bool fills = true;  // whether any map pixel has no source
    // The valid-pixel mask of the output (CV_8U, output size): 255 where the
    // pixel has a source, 0 elsewhere. After the nominal view's resize, a
    // pixel has a source when every warped pixel it blends has one.
    cv::Mat mask;
};

// map_x, map_y: CV_32F of one size. output_size: the map's size, or (the
// nominal view) the size the resampled image is resized to afterwards, with
// the six-argument tool's bilinear resize.
SamplingPlan plan_sampling(const cv::Mat& map_x, const cv::Mat& map_y, cv::Size source_size,
                           cv::Size output_size, Interpolation interpolation);

// One side of a fitted view, from the calibration to the plan: the maps are
// built with threads of our own and then planned.
SamplingPlan plan_side(const StereoCalibration& calibration, const ViewFit& fit, Side side,
                       Interpolation interpolation);

// A BandRunner (geometry/rectify_maps.hpp) over this process's processors.
void run_bands_in_parallel(int bands, const std::function<void(int)>& task);

// Resamples source (CV_8U or CV_16U, 1 or 3 channels, of plan.source_size)
// into a new image of plan.output_size and the source's type. A pixel with a
// source is interpolated as cv::remap does with BORDER_REPLICATE (bicubic
// with a = -0.75, Lanczos over 8 x 8), except nearest, which rounds
// floor(u + 0.5); every other pixel takes the fill: fill_8bit (0 .. 255) in
// each channel, times 257 for a 16-bit image. Rows are spread over this
// process's processors with threads of our own; none needs to start.
// threads: how many may share the rows (0: every processor available).
cv::Mat resample(const cv::Mat& source, const SamplingPlan& plan, int fill_8bit, int threads = 0);

// The six-argument tool's final resize: bilinear (cv::resize), the image as
// it is when it already has the size; runs in this thread alone when the
// image library cannot start its own threads.
cv::Mat resize_bilinear(const cv::Mat& image, cv::Size size);

}  // namespace rectify
