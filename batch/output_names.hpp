#pragma once
// Where a batch run writes: DIR/left/ and DIR/right/ (masks in DIR/left_mask/
// and DIR/right_mask/), each output named after its input with the output
// format's extension, so that two cameras' recordings named alike stay so.

#include <cstdint>
#include <optional>
#include <unordered_map>
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

// Finds the first way the outputs of a list would destroy something: two
// outputs that are one file, or an output that is one of the inputs. Pairs are
// added one at a time and only a hash of each path is kept, so a list of any
// length can be checked.
class CollisionCheck {
  public:
    // One line, without a line end, when this pair's outputs collide with an
    // input or an output of a pair added before (or with its own).
    std::optional<std::string> add(std::size_t index, const PairPaths& pair,
                                   const PairOutputs& outputs);
    // Once every pair is added: an output of a pair that is an input of a
    // later one.
    std::optional<std::string> finish() const;

  private:
    std::unordered_map<std::uint64_t, std::size_t> inputs_, outputs_;  // path hash -> pair
};

}  // namespace rectify
