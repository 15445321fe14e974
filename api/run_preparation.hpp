#pragma once
// What a run over pair files checks and makes before any pair is touched,
// shared by the batch tool and the library's rectify_files.

#include <functional>
#include <optional>
#include <string>

#include "batch/batch_run.hpp"
#include "batch/pair_list.hpp"

namespace rectify {

// The first way the outputs of the pairs would destroy something (an output
// that is an input, two outputs that are one file), as one line; nothing when
// there is none. Reads the stream through (up to the collision), calling
// each, when given, with every pair and its 0-based index in the list.
std::optional<std::string> check_output_collisions(
    PairStream& pairs, const std::string& output_folder, const BatchOptions& options,
    const std::function<void(std::size_t, const PairPaths&)>& each = {});

// DIR/left and DIR/right (and the mask folders when masks are asked for);
// the line that says why one cannot be made, or nothing.
std::optional<std::string> make_output_folders(const std::string& output_folder, bool masks);

// The size and depth of a pair's left image: the header where it tells them,
// else the decoded image; nothing when it cannot be read.
struct FirstImage {
    cv::Size size;
    int depth = CV_8U;
};
std::optional<FirstImage> first_image(const PairPaths& pair);

}  // namespace rectify
