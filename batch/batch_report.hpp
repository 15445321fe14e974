#pragma once
// What a batch run reports: the JSON object of every pair's outputs or
// failure, and the cameras file of its outputs.

#include <string>
#include <vector>

#include "batch/batch_run.hpp"
#include "batch/pipeline.hpp"

namespace rectify {

// The JSON report, one object on one line, written as the run goes:
// {"output_dir": ..., "view": ..., "interpolation": ..., "scale": ...,
//  "image_size": [w, h], "output_size": [w, h], "pairs": [
//   {"index": i, "left": ..., "right": ..., "left_output": ..., "right_output": ...
//    [, "left_mask": ..., "right_mask": ...] [, "skipped": true]} or {..., "error": ...}, ...],
//  "rectified": n, "skipped": s, "failed": m,
//  "stage_seconds": {"decode": ..., "resample": ..., "encode": ..., "write": ...}}
std::string batch_json_head(const std::string& output_folder, const BatchOptions& options,
                            const PairRectifier& rectifier);
std::string batch_json_pair(std::size_t index, const PairResult& result, bool first);
std::string batch_json_tail(const RunSummary& summary);

// The cameras file (cv::FileStorage YAML), written atomically.
bool write_cameras_file(const std::string& path, const RectifiedCameras& cameras);

}  // namespace rectify
