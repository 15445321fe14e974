#include "batch/batch_report.hpp"

#include <cstdio>

#include "calibration/reporter.hpp"
#include "imagefiles/atomic_file.hpp"

namespace rectify {
namespace {

std::string json_size(cv::Size size) {
    char text[48];
    std::snprintf(text, sizeof text, "[%d, %d]", size.width, size.height);
    return text;
}

}  // namespace

std::string batch_json_head(const std::string& output_folder, const BatchOptions& options,
                            const PairRectifier& rectifier) {
    char numbers[128];
    std::snprintf(numbers, sizeof numbers, ", \"scale\": %.17g, \"image_size\": %s, \"output_size\": %s",
                  options.scale, json_size(rectifier.image_size).c_str(),
                  json_size(rectifier.output_size).c_str());
    std::string head = "{\"output_dir\": ";
    head.append(json_string(output_folder))
        .append(", \"view\": ")
        .append(json_string(view_name(options.view)))
        .append(", \"interpolation\": ")
        .append(json_string(interpolation_name(options.interpolation)))
        .append(numbers)
        .append(", \"pairs\": [");
    return head;
}

std::string batch_json_pair(std::size_t index, const PairResult& result, bool first) {
    std::string text = first ? "{\"index\": " : ", {\"index\": ";
    text.append(std::to_string(index));
    const auto field = [&text](const char* name, const std::string& value) {
        text.append(", \"").append(name).append("\": ").append(json_string(value));
    };
    field("left", result.pair.left);
    field("right", result.pair.right);
    if (!result.failure.empty()) {
        field("error", result.failure);
    } else {
        field("left_output", result.outputs.left);
        field("right_output", result.outputs.right);
        if (!result.outputs.left_mask.empty()) {
            field("left_mask", result.outputs.left_mask);
            field("right_mask", result.outputs.right_mask);
        }
        if (result.skipped) {
            text.append(", \"skipped\": true");
        }
    }
    return text.append("}");
}

std::string batch_json_tail(const RunSummary& summary) {
    char tail[256];
    std::snprintf(tail, sizeof tail,
                  "], \"rectified\": %zu, \"skipped\": %zu, \"failed\": %zu, \"stage_seconds\": "
                  "{\"decode\": %.3f, \"resample\": %.3f, \"encode\": %.3f, \"write\": %.3f}}\n",
                  summary.rectified, summary.skipped, summary.failed, summary.times.decode,
                  summary.times.resample, summary.times.encode, summary.times.write);
    return tail;
}

bool write_cameras_file(const std::string& path, const RectifiedCameras& cameras) {
    if (!replaceable_by_output(path)) {
        return false;
    }
    return write_file_atomically(path, format_cameras_yaml(cameras));
}

}  // namespace rectify
