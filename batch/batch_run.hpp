#pragma once
// Rectifying pairs of image files with one calibration: the maps are built
// once for the run's image size, and each pair is then read, resampled and
// written, all of its files together or none.

#include <optional>
#include <string>

#include <opencv2/core.hpp>

#include "batch/output_names.hpp"
#include "batch/pair_list.hpp"
#include "geometry/rectified_cameras.hpp"
#include "geometry/stereo_calibration.hpp"
#include "geometry/views.hpp"
#include "imagefiles/image_writer.hpp"
#include "imaging/remap.hpp"

namespace rectify {

struct BatchOptions {
    View view = View::full;
    Interpolation interpolation = Interpolation::linear;
    double scale = 1.0;
    int left_fill = 100, right_fill = 255;  // 8-bit levels; times 257 for 16-bit outputs
    bool masks = false;
    OutputFormat format = OutputFormat::png;
    int jpeg_quality = 95;
};

// Everything that depends on the calibration, the options and the image size
// alone, built once per run.
struct PairRectifier {
    cv::Size image_size, output_size;
    ViewFit fit;
    SamplingPlan left, right;
};

// Throws ViewError when the view cannot be fitted, std::invalid_argument for
// a scale that gives no output size.
PairRectifier make_pair_rectifier(const StereoCalibration& calibration,
                                  const BatchOptions& options, cv::Size image_size);

// The cameras of the outputs (the inspect tool's cameras file), for this
// view and scale.
RectifiedCameras rectifier_cameras(const StereoCalibration& calibration,
                                   const PairRectifier& rectifier);

// What became of one pair: the files written (a grey image's PPM output is a
// PGM, named .pgm), or the failure as one line without a line end.
// Where a pair's time went, in seconds: decoding both images, resampling
// them, encoding the outputs and handing the bytes to the system (writing,
// and renaming the files into place).
struct StageTimes {
    double decode = 0, resample = 0, encode = 0, write = 0;
    StageTimes& operator+=(const StageTimes& other);
};

struct PairResult {
    PairPaths pair;
    PairOutputs outputs;
    std::string failure;  // empty on success
    bool skipped = false;  // a resumed run found every output there already
    StageTimes times;
};

// Reads, rectifies and writes one pair; all of its files are renamed into
// place together. threads: how many the pair's own work may use (1 when
// several pairs run at once; 0 for every processor).
PairResult rectify_pair_files(const PairRectifier& rectifier, const BatchOptions& options,
                              const PairPaths& pair, const PairOutputs& outputs, int threads = 0);

// Whether every output of a pair is there (for PPM output, as .ppm or .pgm).
bool pair_outputs_exist(const PairOutputs& outputs, OutputFormat format);

}  // namespace rectify
