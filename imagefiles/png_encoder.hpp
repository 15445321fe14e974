#pragma once
// PNG files out, through libpng at compression level 6: 8-bit grey, BGR or
// BGRA images, and their 16-bit counterparts.

#include <cstddef>
#include <functional>
#include <vector>

#include <opencv2/core.hpp>

namespace rectify {

// Receives the encoded bytes piece by piece, in order; returns false to stop
// the encoding (a failed write).
using PngSink = std::function<bool(const unsigned char* bytes, std::size_t size)>;

// Encodes the image into sink. False when the image's type is not one of the
// above, it is empty, or the sink refuses bytes.
bool write_png(const cv::Mat& image, const PngSink& sink);

// The whole file in memory; empty on failure.
std::vector<unsigned char> encode_png(const cv::Mat& image);

}  // namespace rectify
