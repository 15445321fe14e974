#pragma once
// Bilinear resampling of 8-bit grey images through the fixed-point maps that
// cv::convertMaps builds (CV_16SC2 top-left source pixels, CV_16UC1 fractions
// in 1/32 steps), giving exactly what cv::remap gives with INTER_LINEAR and
// BORDER_REPLICATE: (S00 w00 + S01 w01 + S10 w10 + S11 w11 + 512) >> 10 with
// w00 = (32 - fx)(32 - fy), w01 = fx (32 - fy), w10 = (32 - fx) fy, w11 = fx fy.
// Eight pixels at a time with AVX2 where the processor has it; a portable
// path otherwise, which gives the same bytes.

#include <opencv2/core.hpp>

namespace rectify {

// Rows y_begin .. y_end - 1 of output (CV_8UC1, the maps' size) from source
// (CV_8UC1). Pixels whose outside byte is set are for the caller to fill
// afterwards: what they hold here is unspecified.
void bilinear_grey_rows(const cv::Mat& source, const cv::Mat& table, const cv::Mat& fractions,
                        const cv::Mat& outside, cv::Mat& output, int y_begin, int y_end,
                        bool vector_instructions = true);

}  // namespace rectify
