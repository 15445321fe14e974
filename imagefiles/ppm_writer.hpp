#pragma once
// Binary PPM and PGM output, written atomically.

#include <string>

#include <opencv2/core.hpp>

#include "imagefiles/atomic_file.hpp"

namespace rectify {

// Writes image as a binary PNM into file and finishes it (ready for commit);
// false on any failure. 8- or 16-bit, BGR (a PPM, P6) or grey (a PGM, P5),
// with the bytes the image library's own encoder writes: "P6\n<w> <h>\n255\n"
// (65535 for 16 bits), then the rows (RGB, 16-bit samples big-endian).
bool write_ppm(AtomicFile& file, const cv::Mat& image);

// Writes image (CV_8UC3, BGR in memory) as a binary PPM with the bytes the
// image library's own encoder produces ("P6\n<w> <h>\n255\n", then RGB rows),
// streaming row by row into an AtomicFile. On any failure nothing is left
// behind, an earlier file at path is left as it was, and false is returned.
bool write_ppm_atomically(const std::string& path, const cv::Mat& image);

}  // namespace rectify
