#pragma once
// Image files out, in the formats the batch tool writes: PNG, PPM/PGM, TIFF
// and JPEG, each written straight into an atomic file.

#include <optional>
#include <string>
#include <string_view>

#include <opencv2/core.hpp>

#include "imagefiles/atomic_file.hpp"

namespace rectify {

enum class OutputFormat { png, ppm, tiff, jpeg };

// "png", "ppm", "tiff" (or "tif"), "jpg" (or "jpeg"); nothing for any other.
std::optional<OutputFormat> output_format_named(std::string_view name);

// The file extension for a format and an image of the given channel count:
// ".png", ".ppm" (".pgm" for grey), ".tiff", ".jpg".
std::string output_extension(OutputFormat format, int channels);

// Whether the format holds images of this depth (JPEG holds 8 bits only).
bool format_holds(OutputFormat format, int depth);

// Writes an 8- or 16-bit, grey or BGR image into file and finishes it; false
// on any failure (nothing from the libraries reaches the terminal). PNG files
// are compressed for speed (PngCompression::fast).
// jpeg_quality: 1 to 100, for JPEG only.
bool write_image(AtomicFile& file, const cv::Mat& image, OutputFormat format,
                 int jpeg_quality = 95);

// Baseline JPEG through libjpeg-turbo, 4:2:0 for colour, as the image
// library's own encoder writes it.
bool write_jpeg(AtomicFile& file, const cv::Mat& image, int quality);

// Uncompressed TIFF through libtiff, one strip per 64 rows, RGB or grey.
bool write_tiff(AtomicFile& file, const cv::Mat& image);

}  // namespace rectify
