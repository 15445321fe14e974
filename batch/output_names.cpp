#include "batch/output_names.hpp"

#include <filesystem>
#include <unordered_map>

namespace rectify {
namespace {

// One spelling per file: absolute, with "." and ".." and links resolved as
// far as the file exists.
std::string canonical(const std::string& path) {
    std::error_code ignored;
    const auto absolute = std::filesystem::absolute(path, ignored);
    const auto resolved = std::filesystem::weakly_canonical(absolute, ignored);
    return (resolved.empty() ? absolute : resolved).lexically_normal().string();
}

}  // namespace

std::string file_stem(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

PairOutputs pair_outputs(const std::string& output_folder, const PairPaths& pair,
                         const std::string& left_extension, const std::string& right_extension,
                         bool masks) {
    const std::string folder = output_folder.ends_with('/') ? output_folder : output_folder + "/";
    PairOutputs outputs;
    outputs.left = folder + "left/" + file_stem(pair.left) + left_extension;
    outputs.right = folder + "right/" + file_stem(pair.right) + right_extension;
    if (masks) {
        outputs.left_mask = folder + "left_mask/" + file_stem(pair.left) + ".png";
        outputs.right_mask = folder + "right_mask/" + file_stem(pair.right) + ".png";
    }
    return outputs;
}

std::optional<std::string> find_collision(const std::vector<PairPaths>& pairs,
                                          const std::vector<PairOutputs>& outputs) {
    std::unordered_map<std::string, std::string> inputs;
    for (const PairPaths& pair : pairs) {
        inputs.emplace(canonical(pair.left), pair.left);
        inputs.emplace(canonical(pair.right), pair.right);
    }
    std::unordered_map<std::string, size_t> written;  // output -> its pair's index
    for (size_t i = 0; i < outputs.size(); ++i) {
        for (const std::string* path : {&outputs[i].left, &outputs[i].right,
                                        &outputs[i].left_mask, &outputs[i].right_mask}) {
            if (path->empty()) {
                continue;
            }
            const std::string key = canonical(*path);
            if (const auto input = inputs.find(key); input != inputs.end()) {
                return "Refusing to write " + *path + ": it is the input file " + input->second +
                       ".";
            }
            const auto [earlier, inserted] = written.emplace(key, i);
            if (!inserted) {
                return "Refusing to write " + *path + " twice: pairs " +
                       std::to_string(earlier->second + 1) + " (" + pairs[earlier->second].left +
                       ") and " + std::to_string(i + 1) + " (" + pairs[i].left +
                       ") would both write it.";
            }
        }
    }
    return std::nullopt;
}

}  // namespace rectify
