#pragma once
// What the calibration loaders share: reading a file whole, the wording of
// their one-line failures and the final check of a loaded calibration.

#include <string>

#include "calibration/calibration_files.hpp"

namespace rectify {

// Where a part of the calibration came from, for the failure lines.
struct KeyOrigin {
    std::string file, key;
};

// "Cannot read calibration file <file>: <what>." as a CalibrationError.
[[noreturn]] void fail_file(const std::string& file, const std::string& what);
// "Cannot read calibration file <file>: key <key> <what>."
[[noreturn]] void fail_key(const KeyOrigin& origin, const std::string& what);

// The whole content of a calibration file. Opens without blocking (a FIFO
// with no writer reads as empty), refuses folders and files over 64 MiB.
std::string read_calibration_text(const std::string& path);

// Whether the text nests deeper than any calibration does (brackets, XML
// elements or indentation), which the parsers would follow down until the
// stack runs out. Counted conservatively: quoted text counts too.
bool nests_too_deep(const std::string& text);

// Whether every element of a CV_64F matrix is finite.
bool all_elements_finite(const cv::Mat& m);

// Runs check_calibration on the loaded values and checks the distortion
// coefficients (count and finiteness); failures name the key at fault:
// origins of K1, D1, K2, D2, the rotation and the translation.
struct CalibrationOrigins {
    KeyOrigin K1, D1, K2, D2, R, T;
};
void check_loaded(const StereoCalibration& calibration, const CalibrationOrigins& origins);

// A 3 x 3 rotation matrix from a rotation vector (axis times angle).
cv::Mat rotation_from_vector(double x, double y, double z);

// Camera-chain files (camchain.cpp): whether the parsed text is one, and the
// calibration it holds.
bool is_camera_chain(const std::string& text);
StereoCalibration load_camera_chain(const std::string& path, const std::string& text);

}  // namespace rectify
