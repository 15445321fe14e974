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

// compact: zlib level 6 with libpng's adaptive filters, for pictures that are
// kept; fast: what the image library does by default (the Sub filter, zlib
// level 1, run-length matching), several times faster for files about a fifth
// larger, for recordings.
enum class PngCompression { compact, fast };

// Encodes the image into sink. False when the image's type is not one of the
// above, it is empty, or the sink refuses bytes.
bool write_png(const cv::Mat& image, const PngSink& sink,
               PngCompression compression = PngCompression::compact);

// The whole file in memory; empty on failure.
std::vector<unsigned char> encode_png(const cv::Mat& image);

}  // namespace rectify
