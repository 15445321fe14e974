// Rectifying lists of pair files into a folder: the batch tool's checks
// before any work, then its run over the pairs (batch/pipeline.hpp).

#include <filesystem>
#include <system_error>

#include "api/api_data.hpp"
#include "api/run_preparation.hpp"
#include "batch/batch_report.hpp"
#include "batch/pipeline.hpp"
#include "imagefiles/image_file.hpp"

namespace stereo_rectify {
namespace {

std::vector<rectify::PairPaths> paths_of(const std::vector<PairFiles>& pairs) {
    std::vector<rectify::PairPaths> paths;
    paths.reserve(pairs.size());
    for (const PairFiles& pair : pairs) {
        paths.push_back({pair.left, pair.right});
    }
    return paths;
}

std::vector<PairFiles> files_of(const std::vector<rectify::PairPaths>& paths) {
    std::vector<PairFiles> pairs;
    pairs.reserve(paths.size());
    for (const rectify::PairPaths& pair : paths) {
        pairs.push_back({pair.left, pair.right});
    }
    return pairs;
}

}  // namespace

std::vector<PairFiles> read_pair_list(const std::string& path) {
    try {
        return files_of(rectify::read_pair_list(path));
    } catch (const rectify::PairListError& error) {
        throw Error(Error::Kind::file, error.what());
    }
}

std::vector<PairFiles> pair_folders(const std::string& left_folder,
                                    const std::string& right_folder) {
    try {
        return files_of(rectify::pair_folders(left_folder, right_folder));
    } catch (const rectify::PairListError& error) {
        throw Error(Error::Kind::file, error.what());
    }
}

FilesReport rectify_files(const Rectifier& rectifier, const std::vector<PairFiles>& pairs,
                          const std::string& output_folder, const FileOptions& file_options) {
    rectify::BatchOptions options = rectifier.data().batch_options;
    options.format = static_cast<rectify::OutputFormat>(file_options.format);
    options.jpeg_quality = file_options.jpeg_quality;
    options.masks = file_options.masks;
    if (options.format == rectify::OutputFormat::jpeg &&
        (options.jpeg_quality < 1 || options.jpeg_quality > 100)) {
        throw Error(Error::Kind::invalid, "Invalid JPEG quality " +
                                              std::to_string(options.jpeg_quality) +
                                              ": 1 to 100 expected.");
    }
    if (file_options.jobs < 0 || file_options.jobs > 1024) {
        throw Error(Error::Kind::invalid, "Invalid number of jobs " +
                                              std::to_string(file_options.jobs) +
                                              ": 0 to 1024 expected.");
    }
    const std::vector<rectify::PairPaths> paths = paths_of(pairs);
    if (paths.empty()) {
        throw Error(Error::Kind::invalid, "No pairs to rectify.");
    }
    if (const auto collision = rectify::check_output_collisions(
            *rectify::stream_pairs(paths), output_folder, options)) {
        throw Error(Error::Kind::invalid, *collision);
    }
    if (const auto problem = rectify::make_output_folders(output_folder, options.masks)) {
        throw Error(Error::Kind::file, *problem);
    }
    if (!file_options.cameras_path.empty() &&
        !rectify::write_cameras_file(file_options.cameras_path,
                                     rectify::rectifier_cameras(
                                         rectifier.calibration().data().calibration,
                                         rectifier.data().rectifier))) {
        throw Error(Error::Kind::file, "Cannot write file " + file_options.cameras_path + ".");
    }
    rectify::RunSettings settings;
    settings.jobs = file_options.jobs;
    FilesReport report;
    report.pairs.reserve(paths.size());
    const auto collect = [&](std::size_t index, const rectify::PairResult& result) {
        PairResult pair{{result.pair.left, result.pair.right},
                        result.outputs.left,
                        result.outputs.right,
                        result.outputs.left_mask,
                        result.outputs.right_mask,
                        {}};
        if (!result.failure.empty()) {
            pair.failure = "pair " + std::to_string(index + 1) + " (" + result.pair.left + ", " +
                           result.pair.right + "): " + result.failure;
        }
        report.pairs.push_back(std::move(pair));
    };
    const rectify::RunSummary summary = rectify::run_pairs(
        *rectify::stream_pairs(paths), output_folder, rectifier.data().rectifier, options,
        settings, collect);
    report.rectified = summary.rectified;
    report.failed = summary.failed;
    return report;
}

FilesReport rectify_files(const Calibration& calibration, const Options& options,
                          const std::vector<PairFiles>& pairs, const std::string& output_folder,
                          const FileOptions& file_options) {
    if (pairs.empty()) {
        throw Error(Error::Kind::invalid, "No pairs to rectify.");
    }
    Options sized = options;
    if (!sized.image_size && !calibration.image_size()) {
        const std::optional<rectify::FirstImage> first =
            rectify::first_image({pairs.front().left, pairs.front().right});
        if (!first) {
            throw Error(Error::Kind::file, "Cannot rectify: the first pair's left image " +
                                               pairs.front().left +
                                               " cannot be read, and the calibration gives no "
                                               "image size.");
        }
        sized.image_size = first->size;
    }
    return rectify_files(Rectifier(calibration, sized), pairs, output_folder, file_options);
}

cv::Mat read_image(const std::string& path) {
    cv::Mat image = rectify::read_image(path, rectify::ImageMode::any);
    if (image.empty()) {
        throw Error(Error::Kind::file, "Cannot open file " + path + ".");
    }
    return image;
}

}  // namespace stereo_rectify
