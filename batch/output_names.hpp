#pragma once
// Where a batch run writes: DIR/left/ and DIR/right/ (masks in DIR/left_mask/
// and DIR/right_mask/), each output named after its input with the output
// format's extension, so that two cameras' recordings named alike stay so.

#include <optional>
#include <string>
#include <vector>

#include "batch/pair_list.hpp"

namespace rectify {

struct PairOutputs {
    std::string left, right;            // the rectified images
    std::string left_mask, right_mask;  // empty unless masks are asked for
};

// The file name of path without its extension (the part from the last "."
// after the last "/", not a hidden file's leading one).
std::string file_stem(const std::string& path);

// The outputs of one pair. extension: of the images (".png"); masks are PNG
// files whatever the images' format (lossless, and small for a mask).
PairOutputs pair_outputs(const std::string& output_folder, const PairPaths& pair,
                         const std::string& left_extension, const std::string& right_extension,
                         bool masks);

// The first way the outputs of a list would destroy something: two outputs
// that are one file, or an output that is one of the inputs. One line, without
// a line end; nothing when the outputs are safe.
std::optional<std::string> find_collision(const std::vector<PairPaths>& pairs,
                                          const std::vector<PairOutputs>& outputs);

}  // namespace rectify
