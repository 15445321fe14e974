#pragma once
// Loading a stereo calibration from any of the files that hold one:
//
// - OpenCV FileStorage files (YAML, XML or JSON), one or several, their keys
//   merged: K1 | M1 | cameraMatrix1 and K2 | M2 | cameraMatrix2 (3 x 3);
//   D1 | distCoeffs1 and D2 | distCoeffs2 (optional, none meaning no
//   distortion; 4, 5, 8, 12 or 14 coefficients, 1 x N or N x 1); R (3 x 3) or
//   a rotation vector om | rvec (3 elements); T (3 elements), with
//   X_right = R X_left + T; optionally image_width and image_height, or
//   image_size ([width, height]); optionally distortion_model: fisheye (or
//   equidistant) for 4-coefficient fisheye lenses on both cameras, radtan,
//   plumb_bob or standard for the standard model (the default). Matrices may
//   be OpenCV matrices or plain (nested) sequences of numbers; other keys are
//   ignored. A key that more than one file gives (or one file under two
//   names) is refused rather than silently overridden.
// - A robotics toolbox camera-chain YAML, recognised by its top-level cam0 and
//   cam1 (it holds the whole calibration, so it comes alone): camera_model
//   pinhole, intrinsics [fu, fv, pu, pv], distortion_model radtan |
//   equidistant | none, distortion_coeffs, resolution [w, h], and
//   cam1.T_cn_cnm1 (4 x 4, carrying cam0 coordinates into cam1 coordinates).
// - The six-argument tool's three text files, through its readers.
//
// Every source passes check_calibration and needs finite distortion
// coefficients. A failure is one line naming the file and the key, e.g.
// "Cannot read calibration file stereo.yml: key D1 has 3 elements (4, 5, 8,
// 12 or 14 expected).", thrown as a CalibrationError; nothing from the
// parsing libraries reaches the message or the terminal.

#include <stdexcept>
#include <string>
#include <vector>

#include "geometry/stereo_calibration.hpp"

namespace rectify {

// what(): the one line, ending in a full stop, without a line end.
class CalibrationError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// FileStorage files (merged) or one camera-chain file. Throws CalibrationError.
StereoCalibration load_calibration_files(const std::vector<std::string>& paths);

// The six-argument tool's T.txt, K_left.txt and K_right.txt. The values keep
// the readers' float precision, so the geometry sees exactly what
// stereo-rectify sees. Throws CalibrationError with the readers' own lines
// ("Cannot open file K_left.txt.") or the calibration check's ("Cannot rectify
// with the calibration in T.txt: ...").
StereoCalibration load_calibration_text(const std::string& transformation_path,
                                        const std::string& left_intrinsics_path,
                                        const std::string& right_intrinsics_path);

}  // namespace rectify
