#include "api/run_preparation.hpp"

#include <filesystem>
#include <system_error>
#include <vector>

#include "imagefiles/image_file.hpp"

namespace rectify {

std::optional<std::string> check_output_collisions(
    PairStream& pairs, const std::string& output_folder, const BatchOptions& options,
    const std::function<void(std::size_t, const PairPaths&)>& each) {
    const std::string extension = output_extension(options.format, 3);
    CollisionCheck collisions;
    std::size_t index = 0;
    while (std::optional<PairPaths> pair = pairs.next()) {
        const PairOutputs outputs =
            pair_outputs(output_folder, *pair, extension, extension, options.masks);
        if (auto collision = collisions.add(index, *pair, outputs)) {
            return collision;
        }
        if (each) {
            each(index, *pair);
        }
        ++index;
    }
    return collisions.finish();
}

std::optional<std::string> make_output_folders(const std::string& output_folder, bool masks) {
    std::vector<std::string> folders = {"left", "right"};
    if (masks) {
        folders.insert(folders.end(), {"left_mask", "right_mask"});
    }
    for (const std::string& folder : folders) {
        std::error_code error;
        const std::filesystem::path path = std::filesystem::path(output_folder) / folder;
        std::filesystem::create_directories(path, error);
        if (error || !std::filesystem::is_directory(path)) {
            return "Cannot create folder " + path.string() + ": " +
                   (error ? error.message() : "something else is in the way") + ".";
        }
    }
    return std::nullopt;
}

std::optional<FirstImage> first_image(const PairPaths& pair) {
    std::optional<ImageFile> file = ImageFile::open(pair.left, ImageMode::any);
    if (!file) {
        return std::nullopt;
    }
    if (file->header().width > 0) {
        return FirstImage{{file->header().width, file->header().height},
                          CV_MAT_DEPTH(file->header().type)};
    }
    const cv::Mat image = file->decode();
    if (image.empty()) {
        return std::nullopt;
    }
    return FirstImage{image.size(), image.depth()};
}

}  // namespace rectify
