#include "batch/output_names.hpp"

#include <filesystem>
#include <functional>

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

std::optional<std::string> CollisionCheck::add(std::size_t index, const PairPaths& pair,
                                               const PairOutputs& outputs) {
    for (const std::string* input : {&pair.left, &pair.right}) {
        inputs_.emplace(std::hash<std::string>{}(canonical(*input)), index);
    }
    for (const std::string* path :
         {&outputs.left, &outputs.right, &outputs.left_mask, &outputs.right_mask}) {
        if (path->empty()) {
            continue;
        }
        const std::uint64_t key = std::hash<std::string>{}(canonical(*path));
        if (const auto input = inputs_.find(key); input != inputs_.end()) {
            return "Refusing to write " + *path + ": it is an input of pair " +
                   std::to_string(input->second + 1) + ".";
        }
        const auto [earlier, inserted] = outputs_.emplace(key, index);
        if (!inserted) {
            return "Refusing to write " + *path + " twice: pairs " +
                   std::to_string(earlier->second + 1) + " and " + std::to_string(index + 1) +
                   " would both write it.";
        }
    }
    return std::nullopt;
}

std::optional<std::string> CollisionCheck::finish() const {
    for (const auto& [key, writer] : outputs_) {
        if (const auto input = inputs_.find(key); input != inputs_.end()) {
            return "Refusing to write the outputs of pair " + std::to_string(writer + 1) +
                   ": one of them is an input of pair " + std::to_string(input->second + 1) + ".";
        }
    }
    return std::nullopt;
}

}  // namespace rectify
