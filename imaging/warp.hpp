#pragma once
// Inverse-mapping warp: every output pixel is mapped through H into the source
// and takes the nearest source pixel, or the fill value where the source has none.

#include <opencv2/core.hpp>

namespace rectify {

inline constexpr int LEFT_FILL = 100;
inline constexpr int RIGHT_FILL = 255;

// H: 3x3 CV_32F warp map (output pixel -> source pixel). source, destination:
// CV_8UC3, each addressed with its own row step; destination at least
// width x height. Only the first 3*width bytes of each of the first height
// destination rows are written. fill: its low 8 bits go to all three channels.
// Returns how many output pixels came from the source (the others hold fill).
long long warp_image(const cv::Mat& H, const cv::Mat& source, int width, int height,
                     cv::Mat& destination, int fill);

// The same result, one project_point call per pixel: the reference the fast
// warp is tested and measured against.
void warp_image_per_pixel(const cv::Mat& H, const cv::Mat& source, int width, int height,
                          cv::Mat& destination, int fill);

// How warp_image runs. Every choice writes the same bytes; the choices exist so
// that tests can reach the portable path on any machine and benchmarks can
// show what the vector instructions and the threads each contribute.
struct WarpOptions {
    bool vector_instructions = true;  // AVX2 when the processor has it
    bool worker_threads = true;       // rows spread over every available processor
};

long long warp_image(const cv::Mat& H, const cv::Mat& source, int width, int height,
                     cv::Mat& destination, int fill, const WarpOptions& options);

}  // namespace rectify
