#pragma once
// The record an output folder keeps of the run that writes it: the
// calibration and every option the outputs depend on. A resumed run checks it,
// so outputs made with another calibration or other options are never mixed
// with new ones.

#include <string>

#include <opencv2/core.hpp>

#include "batch/batch_run.hpp"
#include "geometry/stereo_calibration.hpp"

namespace rectify {

// The record's file name within the output folder.
inline constexpr const char* RUN_RECORD_NAME = "stereo-rectify-batch.run";

// What the outputs depend on, as text: every calibration value at full
// precision, the image size, the view, the sampling, the scale, the fills,
// the masks, the format and the JPEG quality. Not the number of jobs nor the
// shard, which change nothing in the outputs.
std::string describe_run(const StereoCalibration& calibration, cv::Size image_size,
                         const BatchOptions& options);

enum class RecordMatch { absent, same, different };
RecordMatch check_run_record(const std::string& output_folder, const std::string& description);

// Writes the record atomically; false when it cannot be written.
bool write_run_record(const std::string& output_folder, const std::string& description);

}  // namespace rectify
