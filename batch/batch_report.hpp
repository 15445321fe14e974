#pragma once
// What a batch run reports: the JSON object of every pair's outputs or
// failure, and the cameras file of its outputs.

#include <string>
#include <vector>

#include "batch/batch_run.hpp"

namespace rectify {

// One JSON object on one line, ending in a line end:
// {"output_dir": ..., "view": ..., "interpolation": ..., "scale": ...,
//  "image_size": [w, h], "output_size": [w, h], "succeeded": n, "failed": m,
//  "pairs": [{"left": ..., "right": ..., "left_output": ..., "right_output": ...
//             [, "left_mask": ..., "right_mask": ...]} or {..., "error": ...}]}
std::string format_batch_json(const std::string& output_folder, const BatchOptions& options,
                              const PairRectifier& rectifier,
                              const std::vector<PairResult>& results);

// A JSON string literal for any bytes: quotes, backslashes and control
// characters escaped, bytes that are not UTF-8 as \u00XX of their value.
std::string json_string(const std::string& text);

// The cameras file (cv::FileStorage YAML), written atomically.
bool write_cameras_file(const std::string& path, const RectifiedCameras& cameras);

}  // namespace rectify
