#pragma once
// One rectification run, from the five paths and the scale factor to the two
// rectified PPM files, split into stages that other front ends reuse.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "imagefiles/atomic_file.hpp"
#include "calibration/reporter.hpp"
#include "geometry/calibration_check.hpp"
#include "geometry/rectification.hpp"

namespace rectify {

struct RunArguments {
    std::string transformation_path;
    std::string left_intrinsics_path;
    std::string right_intrinsics_path;
    std::string left_image_path;
    std::string right_image_path;
    double scale_factor = 0.0;
};

// Everything a run knows once the geometry is computed and every check passed.
struct PreparedRun {
    cv::Mat left_image, right_image;  // the sources, 8-bit BGR
    cv::Mat K_left, K_right, T;
    Rectification geometry;
    cv::Size output_size;
    std::string left_output_path, right_output_path;
};

// The output name: the image path with the extension of its file name replaced
// by "_rectified.ppm". Only a "." after the last "/" starts an extension, and
// not the leading "." of a hidden file's name.
std::string output_file_name(const std::string& image_path);


// "Opening parameters files..." through the geometry: loads both images, reads
// the three calibration files, checks the calibration, the scale factor and the
// output names, prints "Computing rectify trasnformation..." and computes the
// warp maps, which must come out finite. Every failure is reported as one line
// (the "Cannot open file" lines as the run has always printed them).
std::optional<PreparedRun> prepare_run(const RunArguments& arguments, Reporter& reporter);

// Warps source through H into a new image of the source's size; from_source,
// when given, receives how many of its pixels came from the source.
cv::Mat warp_to_new_image(const cv::Mat& source, const cv::Mat& H, int fill,
                          long long* from_source = nullptr);

// The warped image scaled (bilinear) to the output size. An image that already
// has that size is returned as it is, which is what the resize would give.
cv::Mat resize_to_output(const cv::Mat& warped, cv::Size output_size);

// Whether two paths name one file: the same inode when both exist, else the
// same normalised absolute path.
bool same_file(const std::string& a, const std::string& b);

// The first way a set of output paths (empty ones skipped) would destroy a
// file: an output that is one of the run's five inputs (checked for every
// output first), else two outputs that are one file.
struct OutputConflict {
    std::string output;
    std::string clash;  // the input, or the earlier output, it collides with
    bool clash_is_input = false;
};
std::optional<OutputConflict> find_output_conflict(const RunArguments& arguments,
                                                   const std::vector<std::string>& outputs);

// Refuses, with one line "Refusing to write <path>: <why>.", an output path
// that exists and is a folder, a device, a FIFO or a socket (or a link to one),
// or whose name is too long for its file system: a rename there could only
// fail after the other outputs were in place. Empty paths are skipped.
bool output_paths_usable(const std::vector<std::string>& outputs, Reporter& reporter);

// Renames a run's finished files into place together; on failure reports the
// file at fault in one line and returns false.
bool commit_outputs(const std::vector<AtomicFile*>& files, Reporter& reporter);

// Runs stages and turns any exception (out of memory, the image library
// failing on a corrupt or gigantic image) into one line "<prefix>: <why>.".
bool run_reporting_exceptions(const char* prefix, Reporter& reporter,
                              const std::function<bool()>& stages);

// The whole run. Reports progress and failures, never throws; true once both
// outputs are written.
bool rectify_images(const RunArguments& arguments, Reporter& reporter);

}  // namespace rectify
