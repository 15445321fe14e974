#pragma once
// Binary PPM (P6) output, written atomically.

#include <string>

#include <opencv2/core.hpp>

namespace rectify {

// Writes image (CV_8UC3, BGR in memory) as a binary PPM with the bytes the
// image library's own encoder produces ("P6\n<w> <h>\n255\n", then RGB rows),
// streaming row by row into a temporary file in the same folder, which is then
// renamed over path. On any failure the temporary is removed, an earlier file
// at path is left as it was, and false is returned. A process killed mid-write
// leaves at most a stray temporary, never a truncated file under path.
// (The data is not forced to disk before the rename: the guarantee is about
// the process failing, not the machine.)
bool write_ppm_atomically(const std::string& path, const cv::Mat& image);

}  // namespace rectify
